#!/usr/bin/env bash
# options.sh PROGRAM NAME: PROGRAM answers --help with its usage on standard output and status 0,
# and an unknown option with the usage on standard error and status 2, writing no file either
# way (it runs in an empty directory of its own).
set -u
program=$1
name=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "$name: $*" >&2; exit 1; }

"$program" --help >out 2>err </dev/null
status=$?
[ "$status" -eq 0 ] || fail "--help ended with status $status"
grep -q "^usage: $name" out || fail "--help printed no usage on standard output: $(cat out)"
[ ! -s err ] || fail "--help wrote to standard error: $(cat err)"

"$program" --no-such-option >out 2>err </dev/null
status=$?
[ "$status" -eq 2 ] || fail "a bad option ended with status $status"
grep -q "^usage: $name" err || fail "a bad option printed no usage on standard error: $(cat err)"
[ ! -s out ] || fail "a bad option wrote to standard output: $(cat out)"

left=$(ls -A | grep -vx -e out -e err)
[ -z "$left" ] || fail "left files behind: $left"
echo "$name: --help and a bad option answered as every program does"
