#!/usr/bin/env bash
# Checks a Windows release archive as a user would find it:
#   check-windows-archive.sh build/win32/pelmora-VERSION-win32.zip
# it holds the two programs and the three texts and nothing else, the texts
# in CR LF, README.txt naming the version; unpacked into a client directory,
# both programs say their version under wine, and the monitor opens its
# window on the sample client (on an Xvfb display of its own, in a wine
# prefix of its own, build/wineprefix-archive, so ending its programs
# touches no other run's).
set -euo pipefail
zip=$(realpath "$1")
cd "$(dirname "$0")/.."
top=$PWD
version=$(sed -n 's/^#define PELMORA_VERSION "\(.*\)"$/\1/p' src/state/version.h)
fail() { echo "check-windows-archive: $(basename "$zip"): $*" >&2; exit 1; }

work=$(mktemp -d)
xvfb=
monitor=
finish() {
  [ -z "$monitor" ] || kill "$monitor" 2>/dev/null || true
  WINEPREFIX=$top/build/wineprefix-archive timeout 20 wineserver -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# The sample client: its files beside the monitor's folder.
cp demo/unitinfo.txt demo/client.cfg "$work/"
mkdir "$work/pelmora"
python3 - "$zip" "$work/pelmora" "$version" <<'PY' || exit 1
import sys, zipfile
archive, target, version = sys.argv[1:]
wanted = ["README.txt", "database.txt", "pelmora-bridge.exe", "pelmora.exe", "pelmora.ini"]
with zipfile.ZipFile(archive) as z:
    names = sorted(z.namelist())
    if names != wanted:
        sys.exit(f"{archive} holds {names}, not {wanted}")
    for name in ("README.txt", "database.txt", "pelmora.ini"):
        text = z.read(name)
        if text.count(b"\n") != text.count(b"\r\n") or not text.endswith(b"\r\n"):
            sys.exit(f"{name}: not every line ends with CR LF")
    if f"Pelmora {version} for Windows".encode() not in z.read("README.txt"):
        sys.exit(f"README.txt does not name version {version}")
    z.extractall(target)
PY

# A display of its own from the first wine program on: the prefix's desktop
# process, which outlives a program for a few seconds, keeps the display it
# was started with.
# A machine that runs no 32-bit program can check a 32-bit archive's files
# only.
source scripts/wine-loader.sh
pelmora_wine_loader "$top"
if [ -n "$PELMORA_NO_32BIT" ] && [[ $(basename "$zip") == *-win32.zip ]]; then
  echo "check-windows-archive: $(basename "$zip"): the files and their line ends (its programs not started: this machine runs no 32-bit program)"
  exit 0
fi

for display in $(seq 140 160); do [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] || break; done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$display"
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
run() { PELMORA_WINEPREFIX=$top/build/wineprefix-archive timeout 120 sh "$top/cmake/wine-run.sh" "$@" 2>>"$work/wine.err" | tr -d '\r'; }
cd "$work/pelmora"
for program in pelmora pelmora-bridge; do
  said=$(run "$program.exe" --version || true)
  [ "$said" = "$program $version" ] || fail "$program.exe --version said '$said' (wine: $(tail -n 3 "$work/wine.err" | tr '\n' ' '))"
done

# The window, titled as the program names itself.
run pelmora.exe > "$work/monitor.out" &
monitor=$!
for _ in $(seq 120); do
  xwininfo -root -tree 2>/dev/null | grep "\"Pelmora $version\"" >/dev/null && break
  kill -0 "$monitor" 2>/dev/null || { wait "$monitor" || true; fail "pelmora.exe ended before its window showed: $(tail -n 5 "$work/wine.err")"; }
  sleep 0.5
done
xwininfo -root -tree | grep "\"Pelmora $version\"" >/dev/null || fail "no window \"Pelmora $version\""
echo "check-windows-archive: $(basename "$zip"): the files, their line ends, both programs' versions and the monitor's window"
