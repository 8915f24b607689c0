#!/usr/bin/env bash
# Checks that the README's set-up installs everything the build needs: in a
# minimal Debian 12 made here (debootstrap's minbase variant: apt and the
# essential packages, no compiler, no pkg-config), `setup-debian.sh build`
# runs first, then the linux preset is configured and built whole (the
# monitor, the server, the bridge, the tools and every test program) and
# its Debian packages made (cpack). A package missing from the set-up fails
# here, not on a newcomer's machine. Then the packages are installed in a
# copy of the minimal Debian as it was before the set-up and checked
# (scripts/test-install-debian.sh), and lintian looks at them when the host
# has it. Needs root and Debian's mirror; the tree copied in is the working
# tree.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$top/build/fresh-debian
root=$work/root
mirror=${PELMORA_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
  echo "test-fresh-debian: needs root (debootstrap and chroot)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || bash scripts/setup-debian.sh

# Mounts are made in a mount namespace of this run's own, so none of them
# outlives it and the old tree can always be removed.
rm -rf "$work"
mkdir -p "$work"
echo "== a minimal Debian 12 in $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$work/debootstrap.log" 2>&1 \
  || { tail -n 20 "$work/debootstrap.log"; exit 1; }
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The packages are installed where nothing of the build is.
cp -a "$root" "$work/clean"
mkdir -p "$root/src"
tar -C "$top" --exclude=./build --exclude=./.git -cf - . | tar -C "$root/src" -xf -

echo "== set-up, configure and build inside it"
unshare --mount --fork bash -euo pipefail -c '
  mount --make-rprivate /
  mount -t proc proc "$1/proc"
  mount --rbind /dev "$1/dev"
  exec chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    bash -euo pipefail -c "cd /src && bash scripts/setup-debian.sh build && cmake --preset linux && cmake --build --preset linux && cd build/linux && cpack -G DEB"
' fresh-debian "$root"
echo "== the linux preset builds in a minimal Debian after setup-debian.sh build"

packages=$root/src/build/linux/packages
if command -v lintian >/dev/null; then
  echo "== lintian"
  # no-manual-page is the one tag known and explained in the README.
  lintian --info --suppress-tags no-manual-page --fail-on warning,error "$packages"/*.deb
fi
bash scripts/test-install-debian.sh "$work/clean" "$packages" "$root"
