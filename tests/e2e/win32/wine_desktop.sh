# Sourced by the whole-program tests that run pelmora.exe: the shared wine
# prefix and a display of the test's own.
#
#   wine_desktop PREFIX OUT
# takes the prefix's lock on fd 9 (the 32- and 64-bit runs and the other
# suites take turns; commands started from here should close fd 9), makes
# the prefix on first use (a virtual desktop, so the window gets its frame
# without a window manager and the tray shows as a small window of its own
# while it holds an icon; wine's own fonts), and starts Xvfb on a free
# display: DISPLAY is set and $xvfb is its process. Calls fail() when it
# cannot.
wine_desktop() {
    export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    local out=$2
    exec 9> "$WINEPREFIX.lock"
    flock -w 600 9 || fail "the wine prefix stayed locked"
    if [ ! -f "$WINEPREFIX/.pelmora-e2e" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        timeout 300 wineboot --init > "$out/wineboot.log" 2>&1 9>&-
        printf '%s\r\n' REGEDIT4 '[HKEY_CURRENT_USER\Software\Wine\Explorer]' '"Desktop"="Default"' \
            '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]' '"Default"="1280x1024"' \
            '"EnableShell"=dword:00000000' > "$WINEPREFIX/drive_c/desktop.reg"
        timeout 60 wine regedit /S 'C:\desktop.reg' >> "$out/wineboot.log" 2>&1 9>&- ||
            fail "could not set up the desktop"
        cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
        timeout 60 wineserver -w 9>&-
        [ -f "$WINEPREFIX/system.reg" ] || fail "wineboot made no prefix (see $out/wineboot.log)"
        touch "$WINEPREFIX/.pelmora-e2e"
    fi
    # Xvfb picks a free number and writes it to fd 3.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$out/display" 2> "$out/xvfb.log" 9>&- &
    xvfb=$!
    local tries
    for tries in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
    [ -s "$out/display" ] || fail "Xvfb gave no display number"
    export DISPLAY=:$(head -n 1 "$out/display")
}
