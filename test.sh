#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
# Installs what the build needs when run as root on Debian; otherwise names what is missing.
set -euo pipefail

usage="usage: test.sh
Builds everything with sanitizers and runs every test, then builds and runs them again under
ThreadSanitizer. FUZZ_SECONDS sets how long each fuzz target runs (default 60, 0 skips them);
BUILD_DIR names the build directory (default build), TSAN_BUILD_DIR the ThreadSanitizer one
(default build-tsan)."
case "${1:-}" in
  "") ;;
  -h | --help) echo "$usage"; exit 0 ;;
  *) echo "test.sh: unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
cd "$(dirname "$0")"

. scripts/ensure-packages.sh
# What the build needs, and every program a test runs, so that no test skips for want of one:
# tshark (the outside reference), systemd-analyze (package systemd, the unit's check), goaccess
# (reads the export), and the live captures' lab: ip and tc (iproute2), the servers, the
# clients, tcpdump and ethtool.
ensure_packages cmake ninja-build g++ libgtest-dev libpcap-dev tshark systemd goaccess \
  iproute2 nginx-light vsftpd lftp curl wrk tcpdump ethtool

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORRANA_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

# The parsers' fuzz targets, briefly (FUZZ_SECONDS=0 skips them; developers run ./fuzz.sh longer).
if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  ./fuzz.sh "${FUZZ_SECONDS:-60}"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || status=$?
scripts/skip-reasons.sh "$build"

# The same suite under ThreadSanitizer, which cannot share a build with ASan: a data race or a
# lock-order inversion anywhere, in a test or in a program a test starts, fails the run.
tsan_build=${TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORRANA_TSAN=ON >/dev/null
cmake --build "$tsan_build" -j "$(nproc)"
reports="$tsan_build/tsan-reports"
rm -rf "$reports"
mkdir -p "$reports"
tsan_status=0
# The live cases compare a monitor capturing in real time with tcpdump; a ThreadSanitizer build
# is several times too slow to keep up, so only the ASan run above has them.
# Reports judged false, each with its reason, are in scripts/tsan.supp.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp log_path=$PWD/$reports/report" \
  ctest --test-dir "$tsan_build" --output-on-failure -j "$(nproc)" -LE live || tsan_status=$?
if compgen -G "$reports/report*" >/dev/null; then
  cat "$reports"/report*
  echo "test.sh: ThreadSanitizer reported the above" >&2
  tsan_status=1
fi
[ "$status" -ne 0 ] || status=$tsan_status
exit "$status"
