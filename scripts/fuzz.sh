#!/bin/bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# SECONDS, several at a time, failing on any finding.
#
#   scripts/fuzz.sh SECONDS [TARGET...]     (TARGET such as root_data)
#
# Each target starts from its seed corpus in tests/data/fuzz/<target>/ (read
# only: new inputs go to build-fuzz/corpus/) and, where the shared real data
# is present, from that as well. Findings land in build-fuzz/findings/; an
# input that found a fault belongs in the seed corpus afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
jobs=$(nproc)

cmake -S . -B build-fuzz -DZQ_FUZZ=ON -DZQ_TESTS=OFF -DZQ_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in build-fuzz/tests/fuzz/fuzz_*; do targets+=("$(basename "$t" | sed 's/^fuzz_//')"); done
fi

# Extra corpora from real machines, when the shared data is there.
shared=../shared/data
extra_for() {
  case $1 in
    smbios) [ -d "$shared/smbios" ] && echo "$shared/smbios" ;;
    edid) [ -d "$shared/edid" ] && echo "$shared/edid" ;;
    spd) [ -d "$shared/spd-ddr5" ] && echo "$shared/spd-ddr5" ;;
  esac
  return 0
}

mkdir -p build-fuzz/findings build-fuzz/logs
run_one() {
  local t=$1 corpus=build-fuzz/corpus/$1
  mkdir -p "$corpus"
  local seeds=()
  [ -d "tests/data/fuzz/$t" ] && seeds+=("tests/data/fuzz/$t")
  local extra
  extra=$(extra_for "$t")
  [ -n "$extra" ] && seeds+=("$extra")
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build-fuzz/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$t-" "$corpus" "${seeds[@]}" \
    >"build-fuzz/logs/$t.log" 2>&1; then
    echo "fuzz $t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/logs/$t.log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz $t: FINDING (build-fuzz/logs/$t.log)"
    grep -E 'ERROR|broken promise|SUMMARY|Test unit written' "build-fuzz/logs/$t.log" | head -5
    return 1
  fi
}

failed=0
running=0
pids=()
names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
    running=$((running - 1))
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
[ "$failed" -eq 0 ] || { echo "fuzzing found faults" >&2; exit 1; }
echo "All fuzz targets ran without a finding."
