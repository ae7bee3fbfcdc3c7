#!/usr/bin/env bash
# Installs everything the builds, tests and demo need on a fresh Debian 12 machine.
# Run as root. A second run changes nothing when all is present.
# The shipped deliverables are 32-bit (i686 mingw). This kind of machine cannot execute 32-bit
# Linux code, so Wine's 32-bit loader cannot run here: the quick Wine tests use the 64-bit loader
# and an x86_64 build of the same sources, and the shipped build runs under 32-bit Wine in a test
# guest (qemu with its own kernel; debootstrap makes its image, scripts/guest/).
set -euo pipefail

packages=(
  cmake ninja-build ccache g++ clang libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 libwine-dev fonts-wine
  xvfb xauth imagemagick xdotool
  googletest libgtest-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libstb-dev
  groff zip python3
  msitools wixl
  g++-multilib qemu-user-static
  qemu-system-x86 debootstrap e2fsprogs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
