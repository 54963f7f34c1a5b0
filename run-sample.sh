#!/usr/bin/env bash
# Builds the Release configuration in build-release/ and runs the packet-road benchmark on the
# small HTTP trace the project ships (and on the shared FTP trace when it is there), listing every
# transaction the road found. Installs what the build needs when run as root on Debian; otherwise
# names what is missing.
set -euo pipefail
cd "$(dirname "$0")"

. scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libpcap-dev

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORRANA_TESTS=OFF >/dev/null
cmake --build build-release --target roadBench >/dev/null

bench=build-release/Monitor/libgrabber/bench/roadBench
"$bench" --list Monitor/libwire/tests/data/http_nginx_curl.pcap
ftp=../shared/traces/ftp_retr.pcap
if [ -f "$ftp" ]; then
  echo
  "$bench" --list "$ftp"
fi
