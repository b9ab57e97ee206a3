#!/bin/bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
PACKAGES=(
  build-essential cmake pkg-config git
  libgtk-3-dev libdrm-dev
  libgtest-dev
  xvfb xauth dbus dbus-x11 fonts-dejavu-core
  pci.ids usb.ids
  bzip2 util-linux mount sudo
  iproute2 iputils-ping
  clang-14 libclang-rt-14-dev
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
