#!/usr/bin/env bash
# Builds the libFuzzer targets (Monitor/*/fuzz) with clang, ASan and UBSan in a build directory of
# their own and runs each for the given number of seconds, several at a time, from its seed
# corpus (Monitor/<library>/fuzz/corpus/<name>). CI runs them briefly; developers run them longer.
#
#   ./fuzz.sh [seconds per target, default 60] [target names, default all]
#
# FUZZ_BUILD_DIR (default build-fuzzers) is the build directory; FUZZ_JOBS (default the number of
# processors) how many targets run at once. New inputs that widen coverage go to
# <build>/fuzz-corpus/<name>, logs to <build>/fuzz-logs; a finding's input is written to
# <build>/fuzz-artifacts/<name>/ and makes the script fail. Installs clang and the fuzzer runtime
# when run as root on Debian; otherwise names what is missing.
set -euo pipefail

usage="usage: fuzz.sh [SECONDS] [TARGET ...]
Builds the fuzz targets with clang and runs each for SECONDS (default 60), all or the named ones."
case "${1:-}" in
  -h | --help) echo "$usage"; exit 0 ;;
  -*) echo "fuzz.sh: unknown option $1" >&2; echo "$usage" >&2; exit 2 ;;
esac
cd "$(dirname "$0")"

seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-build-fuzzers}
jobs=${FUZZ_JOBS:-$(nproc)}

. scripts/ensure-packages.sh
ensure_packages cmake ninja-build clang libclang-rt-14-dev libpcap-dev

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORRANA_FUZZ=ON -DCORRANA_TESTS=OFF >/dev/null
cmake --build "$build" --target corrana_fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$t" _fuzz)"); done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/fuzz-logs"

run() {
  local name=$1
  local seeds
  seeds=$(ls -d Monitor/*/fuzz/corpus/"$name" 2>/dev/null | head -n 1 || true)
  mkdir -p "$build/fuzz-corpus/$name" "$build/fuzz-artifacts/$name"
  # -timeout: one input that takes this long counts as a hang; -rss_limit_mb: growth past it as a
  # finding.
  "$build/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name/" \
    "$build/fuzz-corpus/$name" ${seeds:+"$seeds"} >"$build/fuzz-logs/$name.log" 2>&1
}

declare -A pids
for name in "${targets[@]}"; do
  if [ ! -x "$build/fuzz/${name}_fuzz" ]; then
    echo "no fuzz target $name" >&2
    exit 1
  fi
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "$name" &
  pids[$name]=$!
done

failed=0
for name in "${targets[@]}"; do
  if wait "${pids[$name]}"; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/fuzz-logs/$name.log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]*' "$build/fuzz-logs/$name.log" | tail -n 1 || echo '')
    echo "fuzz $name: ${seconds}s, $runs inputs, $cov, no finding"
  else
    failed=1
    echo "fuzz $name: FINDING (log $build/fuzz-logs/$name.log, input in $build/fuzz-artifacts/$name/)"
    grep -E 'ERROR|SUMMARY|deadly signal|runtime error' "$build/fuzz-logs/$name.log" | head -n 5 || true
  fi
done
exit $failed
