#!/bin/bash
# The start-up and report benchmark. Alternates our program with a reference
# in the same run (A B A B ...) and prints the medians and their ratio:
#   - `--report` against lscpu, and against the full reports of lshw and
#     hwinfo, on this machine (lshw and hwinfo are installed when missing);
#   - the same inside mount namespaces over generated trees of 64, 256 and
#     2048 CPUs, once with the *_list files and once with masks only;
#   - the window's time to map and resident memory against a one-label GTK
#     window under Xvfb, after one warm-up client.
# Usage: bench/speed.sh [BUILD_DIR] [RUNS]   (default build, 15 runs)
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=$(realpath "${1:-build}")
runs=${2:-15}
bin=$build/zorvantelquist
[ -x "$bin" ] || { echo "no program at $bin (build first)" >&2; exit 2; }
command -v lscpu >/dev/null || { echo "lscpu not found" >&2; exit 2; }

# The full-system tools are only needed here, not to build or test.
install_tools() {
  local missing=() tool sudo=()
  for tool in lshw hwinfo; do command -v "$tool" >/dev/null || missing+=("$tool"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
    echo "could not install ${missing[*]}" >&2
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Times "ours" and a reference command alternately; prints "OURS_MS REF_MS"
# (medians). Runs in whatever namespace it is started in.
alternate() {
  local n=$1 bin=$2 a=() b=() t0 t1 i
  shift 2
  local ref=("${@:-lscpu}")
  "$bin" --report >/dev/null 2>&1 || true; "${ref[@]}" >/dev/null 2>&1 || true  # warm the page cache
  for ((i = 0; i < n; i++)); do
    t0=$EPOCHREALTIME; "$bin" --report >/dev/null 2>&1 || true; t1=$EPOCHREALTIME
    a+=("$(awk -v s="$t0" -v e="$t1" 'BEGIN { printf "%.3f", (e - s) * 1000 }')")
    t0=$EPOCHREALTIME; "${ref[@]}" >/dev/null 2>&1 || true; t1=$EPOCHREALTIME
    b+=("$(awk -v s="$t0" -v e="$t1" 'BEGIN { printf "%.3f", (e - s) * 1000 }')")
  done
  echo "$(printf '%s\n' "${a[@]}" | median) $(printf '%s\n' "${b[@]}" | median)"
}

row() {  # NAME OURS REF UNIT
  awk -v n="$1" -v a="$2" -v b="$3" -v u="$4" 'BEGIN {
    printf "| %-34s | %9.1f %-3s | %9.1f %-3s | %5.2fx |\n", n, a, u, b, u, (b > 0 ? a / b : 0) }'
}

if [ "${ZQ_BENCH_INNER:-}" = alternate ]; then
  alternate "$runs" "$bin"
  exit 0
fi

if [ "${ZQ_BENCH_INNER:-}" = window ]; then
  map=$build/bench_window_map ref=$build/bench_one_label
  cfg=$(mktemp -d /tmp/zq-bench-speed-cfg.XXXXXX)
  trap 'rm -rf "$cfg"' EXIT
  export XDG_CONFIG_HOME=$cfg NO_AT_BRIDGE=1 GDK_BACKEND=x11
  # Warm-up clients: fonts, icon theme, and the visual list the first GDK
  # clients of a server probe through GL and leave on the root window.
  # Only some clients leave that list behind (ours does); until it is there,
  # every client loads the GL driver, some 45 MiB more.
  "$map" 1500 "$bin" >/dev/null
  for ((i = 0; i < 3; i++)); do "$map" 300 "$ref" >/dev/null; done
  ma=() ra=() mb=() rb=()
  for ((i = 0; i < runs; i++)); do
    read -r m r < <("$map" 1500 "$bin"); ma+=("$m"); ra+=("$r")
    read -r m r < <("$map" 1500 "$ref"); mb+=("$m"); rb+=("$r")
  done
  row "window: start to mapped" "$(printf '%s\n' "${ma[@]}" | median)" "$(printf '%s\n' "${mb[@]}" | median)" ms
  a=$(printf '%s\n' "${ra[@]}" | median) b=$(printf '%s\n' "${rb[@]}" | median)
  awk -v a="$a" -v b="$b" 'BEGIN {
    printf "| %-34s | %9.1f MiB | %9.1f MiB | %+5.1f MiB |\n", "window: resident memory", a / 1024, b / 1024, (a - b) / 1024 }'
  exit 0
fi

echo "runs: $runs each, medians"
echo "| what                               |      ours     |   reference   | ratio  |"
echo "|------------------------------------|---------------|---------------|--------|"
read -r a b < <(alternate "$runs" "$bin")
row "--report vs lscpu, this machine" "$a" "$b" ms
install_tools
for ref in "lshw" "hwinfo"; do
  if command -v "$ref" >/dev/null; then
    read -r a b < <(alternate "$runs" "$bin" "$ref")
    row "--report vs $ref (full)" "$a" "$b" ms
  else
    echo "| --report vs $ref: $ref not installed |"
  fi
done

trees=$(mktemp -d /tmp/zq-bench-speed-trees.XXXXXX)
trap 'rm -rf "$trees"' EXIT
for cpus in 64 256 2048; do
  for kind in lists masks; do
    tree=$trees/$cpus-$kind
    python3 bench/make_cpu_tree.py "$tree" "$cpus" "$kind"
    out=$(ZQ_BENCH_INNER=alternate tests/ns_run.sh "$tree" "$self" "$build" "$runs") || {
      echo "| $cpus CPUs ($kind): mount namespaces not allowed here |"; continue; }
    read -r a b <<<"$out"
    row "--report vs lscpu, $cpus CPUs, $kind" "$a" "$b" ms
  done
  rm -rf "$trees"/"$cpus"-*
done

if command -v xvfb-run >/dev/null && [ -x "$build/bench_window_map" ]; then
  ZQ_BENCH_INNER=window xvfb-run -a -s "-screen 0 1600x1000x24" "$self" "$build" "$runs"
else
  echo "| window: needs xvfb-run and build/bench_window_map |"
fi
