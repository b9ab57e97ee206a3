#!/bin/bash
# Runs the full text report and lscpu alternately and prints the ratio of
# their median wall times. Usage: bench/report_vs_lscpu.sh [BINARY] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/zorvantelquist}
runs=${2:-15}
[ -x "$bin" ] || { echo "no program at $bin (build first)" >&2; exit 2; }
command -v lscpu >/dev/null || { echo "lscpu not found" >&2; exit 2; }

wall_ms() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo $(( (end - start) / 1000 ))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

ours=() theirs=()
"$bin" --report >/dev/null 2>&1; lscpu >/dev/null 2>&1  # warm the page cache
for ((i = 0; i < runs; i++)); do
  ours+=("$(wall_ms "$bin" --report)")
  theirs+=("$(wall_ms lscpu)")
done
m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_theirs=$(printf '%s\n' "${theirs[@]}" | median)
awk -v a="$m_ours" -v b="$m_theirs" -v n="$runs" 'BEGIN {
  printf "runs: %d each\nreport median: %.1f ms\nlscpu median:  %.1f ms\nratio: %.2f\n", n, a / 1000, b / 1000, a / b }'
