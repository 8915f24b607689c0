#!/bin/sh
# Runs one test program's full-disk case on a 16 KiB tmpfs of its own, named
# to it by PELMORA_SMALL_DISK. The tmpfs is mounted where the program runs
# (under wine the wineserver opens the files) and unmounted on the way out.
# Mounting needs root, as CI and the developers' machines run; elsewhere the
# case is skipped (exit 77).
#
#   on_small_disk.sh GTEST_FILTER [EMULATOR...] PROGRAM
set -eu
filter=$1
shift
[ "$(id -u)" = 0 ] || { echo "skipped: mounting a tmpfs needs root"; exit 77; }
disk=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-small-disk.XXXXXX")
trap 'umount "$disk" 2>/dev/null || umount -l "$disk" 2>/dev/null; rmdir "$disk"' EXIT
mount -t tmpfs -o size=16k,mode=0700 tmpfs "$disk"
PELMORA_SMALL_DISK="$disk" "$@" --gtest_also_run_disabled_tests --gtest_filter="$filter"
