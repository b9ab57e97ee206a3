#!/bin/bash
# Runs the report program of a ThreadSanitizer build (ZQ_TSAN=ON) on this
# machine and on every fixture machine under tests/data, each in a private
# mount namespace, and fails on any report: the pages of one collection are
# read on several threads.
# Usage: scripts/tsan_report.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:?usage: $0 BUILD_DIR}/zorvantelquist
[ -x "$bin" ] || { echo "no program at $bin" >&2; exit 2; }
export TSAN_OPTIONS="halt_on_error=1:exitcode=66"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

check() {  # NAME COMMAND...
  local name=$1 status=0
  shift
  "$@" >/dev/null 2>"$log" || status=$?
  if grep -q "ThreadSanitizer" "$log"; then
    echo "thread sanitizer, $name:" >&2
    cat "$log" >&2
    exit 1
  fi
  if [ "$status" = 77 ]; then
    echo "tsan $name: mount namespaces not allowed here, skipped"
  elif [ "$status" != 0 ]; then
    echo "tsan $name: exit status $status" >&2
    cat "$log" >&2
    exit 1
  fi
}

check "this machine" "$bin" --report
for tree in tests/data/*/; do
  [ -d "$tree/sys" ] || continue
  check "$(basename "$tree")" tests/ns_run.sh "$tree" "$bin" --report
done
echo "The report ran on every machine without a thread sanitizer report."
