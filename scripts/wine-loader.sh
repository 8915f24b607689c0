# Sourced by the scripts that run the Windows builds under wine.
#
# Debian's `wine` starts its 32-bit loader first, even for a 64-bit program,
# and some kernels run no 32-bit program at all (32-bit emulation left out or
# turned off, as on some virtual machines): there every wine command fails
# with "Exec format error". On such a machine this puts `wine` and
# `wine-stable` (which wineboot and wine's other tools start) that use the
# 64-bit loader alone first on PATH, from build/wine64-only, and sets
# PELMORA_NO_32BIT=1: the 64-bit programs then run as anywhere else, and the
# 32-bit ones cannot be run here at all.
pelmora_wine_loader() {
  local top=$1
  PELMORA_NO_32BIT=
  if [ -e /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    return 0
  fi
  [ -x /usr/lib/wine/wine64 ] || return 0
  PELMORA_NO_32BIT=1
  mkdir -p "$top/build/wine64-only"
  local name
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' \
      > "$top/build/wine64-only/$name"
    chmod +x "$top/build/wine64-only/$name"
  done
  case ":$PATH:" in
    *":$top/build/wine64-only:"*) ;;
    *) PATH="$top/build/wine64-only:$PATH" ;;
  esac
  export PATH PELMORA_NO_32BIT
}
