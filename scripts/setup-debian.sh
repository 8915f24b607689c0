#!/usr/bin/env bash
# Installs, on Debian, the packages that building and testing Pelmora needs,
# when any is missing. Installing needs root; without it the missing
# packages are named and the script fails.
set -euo pipefail

needed=(
  cmake ninja-build g++ googletest libgtest-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine64 wine32:i386 fonts-wine
  libncurses-dev tmux
  xvfb xauth imagemagick clang libclang-rt-14-dev
  libbenchmark-dev strace time heaptrack iproute2
  libcpp-httplib-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev libcli11-dev curl jq libboost-dev
  chromium chromium-driver python3-selenium
)

missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run this as root, or install them with apt-get." >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' \
   && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
