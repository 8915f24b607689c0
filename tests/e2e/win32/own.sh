# Scenarios of the Windows front-end alone: the window's styles and
# priority, what the tray icon's messages do, ontop, and a dialog that
# cannot be made.

scenario_window() {
    # Shown, not top-most, not minimised, no tray icon, at idle priority.
    fresh_client plain
    launch
    expect_view window
    probe state
    expect visible=1 topmost=0 iconic=0 tray=0 priority=0x40
    # A size change that is not a minimise, and a single click on the icon,
    # do nothing.
    probe post size-restored sleep 500 state
    expect visible=1 iconic=0 tray=0
    probe post minimise wait-view tray 5000 post tray-click sleep 500 state
    expect visible=0 tray=1
    screenshot tray
    press close
    expect_end 0

    # ontop: top-most, again after a trip to the tray.
    fresh_client ontop "ontop 1"
    launch
    probe wait-view window 10000 state
    expect topmost=1
    steps "minimise>tray restore>window"
    probe state
    expect topmost=1
    press close
    expect_end 0

    # Started in the tray with nowin set: a double-click does nothing, a
    # minimise brings the window back and sends it to the tray again.
    fresh_client quiet-nowin "quiet 1" "nowin 1"
    launch
    steps "=tray restore=tray minimise>window minimise>tray close"
    expect_end 0
    expect_summary
}

# A program file whose template names a window class that does not exist:
# the dialog cannot be made, and the status is -1 (255 as wine passes it).
scenario_no_dialog() {
    fresh_client spoilt
    cp "$PELMORA_EXE" "$out/spoilt.exe"
    perl -0777 -pi -e 's/P\0R\0O\0G\0R\0E\0S\0S\x003\x002\0/N\0O\0S\0U\0C\0H\0C\0T\0R\0L\0/i' "$out/spoilt.exe"
    cmp -s "$PELMORA_EXE" "$out/spoilt.exe" && fail "found no progress-bar class in the template to spoil"
    PELMORA_EXE=$out/spoilt.exe start_program
    expect_end 255 30
    [ ! -e "$log" ] || fail "something was logged"
}
