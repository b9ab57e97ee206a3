#!/bin/bash
# Proves the README's two commands on a machine nobody prepared: builds a
# minimal Debian 12 root (debootstrap --variant=minbase, no Recommends),
# enters it in a private mount namespace with pivot_root, so that "/" is a
# mount point and the namespace tests run, and runs ./run.sh --version and
# ./test.sh there as root, then both again as a user with sudo.
#
#   scripts/fresh_debian_check.sh [WORKDIR]
#
# Needs root and the package mirror; takes many minutes. Not part of
# ./test.sh. The checkout's committed state (HEAD) is what gets tested.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/var/tmp/zq-fresh-debian}
root=$work/root
mirror=http://deb.debian.org/debian

command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
if [ ! -x "$root/bin/bash" ]; then
  rm -rf "$root"
  mkdir -p "$root"
  debootstrap --variant=minbase bookworm "$root" "$mirror"
fi
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
echo "APT::Install-Recommends \"false\";" >"$root/etc/apt/apt.conf.d/99no-recommends"

rm -rf "$root/root/src"
git clone -q --no-local "$repo" "$root/root/src"

# The check itself, run inside the new root.
cat >"$root/root/check.sh" <<'EOF'
#!/bin/bash
set -euo pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
timed() {
  local start=$(date +%s)
  "$@"
  echo "== $* took $(( $(date +%s) - start )) s"
}
cd /root/src
timed ./run.sh --version
timed ./test.sh
# Again as a user who has sudo, on a fresh copy.
id tester >/dev/null 2>&1 || useradd --create-home --shell /bin/bash tester
echo "tester ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/tester
rm -rf /home/tester/src
cp -a /root/src /home/tester/src
rm -rf /home/tester/src/build /home/tester/src/build-asan
chown -R tester: /home/tester/src
timed runuser -u tester -- bash -c 'cd ~/src && ./run.sh --version && ./test.sh'
EOF
chmod 755 "$root/root/check.sh"
cp /etc/resolv.conf "$root/etc/resolv.conf"

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
  exec /root/check.sh
' bash "$root"
