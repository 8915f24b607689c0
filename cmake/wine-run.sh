#!/bin/sh
# Runs a Windows program under wine in the project's own prefix (build/wineprefix),
# creating the prefix on first use. Usage: wine-run.sh program.exe [args...]
set -e
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${PELMORA_WINEPREFIX:-$here/../build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the programs need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two test programs starting at once must not both create the prefix.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
