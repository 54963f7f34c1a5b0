#!/usr/bin/env bash
# Builds the Release configuration in build-release/, installs it into a temporary folder and runs
# the monitor there in the foreground on the small HTTP trace the project ships: the capture
# engine replays it, the analysis engine counts it, and the analysis engine's console prints what
# it counted. Installs what the build needs when run as root on Debian; otherwise names what is
# missing.
set -euo pipefail

usage="usage: run-sample.sh
Builds the Release configuration in build-release/, installs it into a temporary folder, replays
Monitor/libwire/tests/data/http_nginx_curl.pcap through the installed corramon and prints what
the analysis engine's console counted; the folder is removed at the end."
case "${1:-}" in
  "") ;;
  -h | --help) echo "$usage"; exit 0 ;;
  *) echo "run-sample.sh: unknown argument $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
cd "$(dirname "$0")"

. scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libpcap-dev

echo "Building the monitor (Release, build-release/) ..."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORRANA_TESTS=OFF >/dev/null
cmake --build build-release >/dev/null

install=$(mktemp -d "${TMPDIR:-/tmp}/corrana-sample.XXXXXX")
monitor=
cleanup() {
  if [ -n "$monitor" ]; then kill "$monitor" 2>/dev/null || true; fi
  rm -rf "$install"
}
trap cleanup EXIT
echo "Installing into $install ..."
cmake --install build-release --prefix "$install" >/dev/null

# The sample's configuration: consoles on ports of their own, the shipped trace as the capture
# adapter, its web server (198.18.0.1:80) watched, and a window over all time (the trace's
# connections are years old) in place of the default day.
admin=$install/conf/admin
trace=$PWD/Monitor/libwire/tests/data/http_nginx_curl.pcap
printf 'port 18189\ndevice 0\ndbpath default\n' >"$admin/cengineInstall.cfg"
printf 'port 18190\ndbpath default\n' >"$admin/aengineInstall.cfg"
printf 'adapter: file:%s\n' "$trace" >"$admin/adapters.cfg"
printf 'http: 198.18.0.1:80\n' >"$admin/installa.cfg"
sed -i -e 's/^name{Today}/name{Everything}/' -e 's/^windowType{0}/windowType{1}/' \
  -e 's/^staticNowTime{0}/staticNowTime{4026531840}/' -e 's/^staticAgoTime{0}/staticAgoTime{1}/' \
  -e 's/^staticNumOfBins{24}/staticNumOfBins{1}/' "$admin/aengine_prvt.cfg" "$admin/aengine_prvtDef.cfg"

echo "Replaying $trace through corramon ..."
console=$install/console
output=$install/output
mkfifo "$console"
"$install/bin/corramon" -f -i <"$console" >"$output" 2>&1 &
monitor=$!
exec 3>"$console"

# Asks the console for the counts once a second until they have settled (every connection of
# the trace closes, so that takes a moment), then quits the monitor cleanly.
last=
for _ in $(seq 1 60); do
  sleep 1
  if ! kill -0 "$monitor" 2>/dev/null; then
    echo "corramon ended early:" >&2
    cat "$output" >&2
    exit 1
  fi
  printf 'a\n' >&3
  sleep 0.3
  counts=$(awk '/Update statistics/ {block = ""}
                /^(Window|  )/ {block = block $0 "\n"}
                END {printf "%s", block}' "$output")
  if [ -n "$counts" ] && [ "$counts" = "$last" ] && grep -q 'All Hits' <<<"$counts"; then
    break
  fi
  last=$counts
done
printf 'q\n' >&3
exec 3>&-
wait "$monitor"
monitor=
echo
echo "What the analysis engine counted:"
printf '%s\n' "$last"
