#!/bin/bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
PACKAGES=(
  build-essential cmake pkg-config git
  libgtk-3-dev libdrm-dev
  libgtest-dev
  xvfb xauth dbus dbus-x11 fonts-dejavu-core desktop-file-utils
  pci.ids usb.ids pciutils
  bzip2 util-linux mount sudo procps e2fsprogs btrfs-progs
  iproute2 iputils-ping
  clang-14 libclang-rt-14-dev
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
# sudo drops exported variables; debconf would then try dialogs.
AS_ROOT=(env DEBIAN_FRONTEND=noninteractive)
[ "$(id -u)" -eq 0 ] || AS_ROOT=(sudo DEBIAN_FRONTEND=noninteractive)
"${AS_ROOT[@]}" apt-get update -qq
"${AS_ROOT[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
