#!/bin/bash
# Proves the README's two commands on a machine nobody prepared: builds a
# minimal Debian 12 root (debootstrap --variant=minbase, no Recommends),
# enters a copy of it in a private mount namespace with pivot_root, so that
# "/" is a mount point and the namespace tests run, and runs ./run.sh
# --version and ./test.sh there as root; then, on another untouched copy,
# both again as a user with sudo.
#
#   scripts/fresh_debian_check.sh [WORKDIR]
#
# Needs root and the package mirror; takes many minutes. Not part of
# ./test.sh. The checkout's committed state (HEAD) is what gets tested.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/var/tmp/zq-fresh-debian}
pristine=$work/pristine
root=$work/root
mirror=http://deb.debian.org/debian

command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
if [ ! -x "$pristine/bin/bash" ]; then
  rm -rf "$pristine"
  mkdir -p "$pristine"
  debootstrap --variant=minbase bookworm "$pristine" "$mirror"
  {
    echo "deb $mirror bookworm main"
    echo "deb $mirror bookworm-updates main"
    echo "deb http://deb.debian.org/debian-security bookworm-security main"
  } >"$pristine/etc/apt/sources.list"
  echo 'APT::Install-Recommends "false";' >"$pristine/etc/apt/apt.conf.d/99no-recommends"
fi

# Each pass gets its own copy of the untouched root and installs what it
# needs itself. $1: where the checkout goes inside it.
fresh_root() {
  rm -rf "$root"
  cp -a "$pristine" "$root"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$(dirname "$root/$1")"
  git clone -q --no-local "$repo" "$root/$1"
}

# $1: the commands to run inside, after the shared preamble.
check_script() {
  {
    echo '#!/bin/bash'
    echo 'set -euo pipefail'
    echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
    echo 'timed() { local start=$(date +%s); "$@"; echo "== $* took $(( $(date +%s) - start )) s"; }'
    echo "$1"
  } >"$root/check.sh"
  chmod 755 "$root/check.sh"
}

enter() {
  unshare --mount --pid --fork --propagation private bash -c '
    set -e
    root=$1
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "$root/.oldroot"
    cd "$root"
    pivot_root . .oldroot
    umount -l /.oldroot
    exec /check.sh
  ' bash "$root"
}

echo "==== as root"
fresh_root root/src
check_script 'cd /root/src
timed ./run.sh --version
timed ./test.sh'
enter

# Such a machine has, beyond the minimal install, sudo and the rule that
# lets the user use it.
echo "==== as a user with sudo"
fresh_root home/tester/src
check_script 'DEBIAN_FRONTEND=noninteractive apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq sudo >/dev/null
useradd --shell /bin/bash tester
echo "tester ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/tester
chown -R tester: /home/tester
cd /home/tester/src
timed runuser -u tester -- ./run.sh --version
timed runuser -u tester -- ./test.sh'
enter
echo "==== both passes green"
