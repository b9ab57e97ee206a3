#!/bin/bash
# ns_run.sh FIXTURE COMMAND [ARGS...]
# Runs COMMAND in a private mount namespace in which the fixture tree stands in
# for the machine: FIXTURE/sys replaces /sys, and every file under FIXTURE/proc
# is bound over the same file of /proc. Exits 77 where mount namespaces are
# not allowed, so callers can skip.
set -u
[ $# -ge 2 ] || { echo "usage: $0 FIXTURE COMMAND [ARGS...]" >&2; exit 2; }
fixture=$(realpath "$1") || exit 2
shift
if unshare -m true 2>/dev/null; then
  ns=(unshare -m --propagation private)
elif unshare -rm true 2>/dev/null; then
  ns=(unshare -rm --propagation private)
else
  echo "ns_run: mount namespaces are not allowed here" >&2
  exit 77
fi
exec "${ns[@]}" bash -c '
  fixture=$1; shift
  if [ -d "$fixture/sys" ]; then
    mount --bind "$fixture/sys" /sys || { echo "ns_run: cannot bind /sys" >&2; exit 77; }
  fi
  if [ -d "$fixture/proc" ]; then
    while IFS= read -r -d "" f; do
      rel=${f#"$fixture"/proc/}
      if [ -e "/proc/$rel" ]; then
        mount --bind "$f" "/proc/$rel" || { echo "ns_run: cannot bind /proc/$rel" >&2; exit 77; }
      fi
    done < <(find "$fixture/proc" -type f -print0)
  fi
  exec "$@"
' ns_run "$fixture" "$@"
