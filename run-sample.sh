#!/usr/bin/env bash
# Builds the Release configuration in build-release/ and runs the packet-road benchmark on the
# small HTTP trace the project ships (and on the shared FTP trace when it is there), listing every
# transaction the road found. Installs what the build needs when run as root on Debian; otherwise
# names what is missing.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libpcap-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing packages: ${missing[*]} (install them with apt-get as root)" >&2
    exit 1
  fi
fi

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORRANA_TESTS=OFF >/dev/null
cmake --build build-release --target roadBench >/dev/null

bench=build-release/Monitor/libgrabber/bench/roadBench
"$bench" --list Monitor/libwire/tests/data/http_nginx_curl.pcap
ftp=../shared/traces/ftp_retr.pcap
if [ -f "$ftp" ]; then
  echo
  "$bench" --list "$ftp"
fi
