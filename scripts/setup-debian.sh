#!/usr/bin/env bash
# Installs, on Debian, the packages that building and testing Pelmora needs,
# when any is missing. Installing needs root; without it the missing
# packages are named and the script fails.
#
#   setup-debian.sh            everything: every preset, every test, the demo
#   setup-debian.sh build      only what the linux preset's configure and build
#                              need (scripts/test-fresh-debian.sh checks that
#                              this list is whole, in a minimal Debian)
set -euo pipefail

# What `cmake --preset linux && cmake --build --preset linux` needs, and
# cpack to make the Debian packages (dpkg-shlibdeps, file).
build=(
  cmake ninja-build g++ pkg-config dpkg-dev file
  googletest libgtest-dev libbenchmark-dev
  libncurses-dev
  libcpp-httplib-dev libcurl4-openssl-dev libsqlite3-dev libpq-dev nlohmann-json3-dev libcli11-dev libboost-dev
  zlib1g-dev
)
# The Windows presets, built with mingw-w64 and tested under wine.
windows=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine64 wine32:i386 fonts-wine
)
# What the tests, the sanitizer and fuzz builds and the demo run.
testing=(
  tmux xvfb xauth imagemagick clang libclang-rt-14-dev
  strace time heaptrack iproute2 curl jq
  chromium chromium-driver python3-selenium nodejs npm
  prometheus
  postgresql-15
  haproxy
  debootstrap lintian
)

case "${1:-all}" in
  build) needed=("${build[@]}") ;;
  all) needed=("${build[@]}" "${windows[@]}" "${testing[@]}") ;;
  *) echo "usage: $0 [build|all]" >&2; exit 2 ;;
esac

# What installed packages provide counts too (NodeSource's nodejs provides npm).
provided=$(dpkg-query -W -f='${db:Status-Abbrev}|${Provides}\n' 2>/dev/null \
  | awk -F'|' '$1 ~ /^ii/ { print $2 }' | tr ',' '\n' | sed 's/ *(.*//; s/^ *//')

missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || grep -qxF "$package" <<<"$provided" || missing+=("$package")
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
