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

# Started in the tray behind another window: that window keeps the focus,
# and real keystrokes typed there reach it, not the hidden dialog. A
# double-click brings the window forward with the focus. The monitor
# server's command brings it back above the front window, which keeps the
# focus (nothing the user did asked for it). Once shown, the window takes
# Enter again.
scenario_focus() {
    fresh_client focus "quiet 1"
    hold_front
    launch
    expect_view tray
    probe sleep $((settle * 1000)) state
    expect foreground=front visible=0
    probe key enter key escape
    wait_for 5 "the front window got no Escape" grep -qx 'key=0x1b' "$out/$run/front.txt"
    grep -qx 'key=0x0d' "$out/$run/front.txt" || fail "the front window got no Enter"
    probe sleep 500 state
    expect visible=0 tray=1
    ended "$pid" && fail "the keys ended pelmora.exe"
    steps "restore>window"
    probe wait-state foreground=main 5000 key enter
    expect_end 1
    drop_front

    start_monitor_server 0 2
    fresh_client command "quiet 1" "stats 1" "ipadd 127.0.0.1"
    hold_front
    launch
    expect_view tray
    probe wait-view window 15000 state
    expect foreground=front over-front=1
    screenshot over-front
    press close
    expect_end 0
    expect_summary
}

# The icon deleted behind the program's back comes back on the shell's
# restart broadcast. A minimise right behind another (nowin: to the tray and
# back), or a double-click right behind a minimise, is not lost, and the
# window comes back with the focus.
scenario_tray_edges() {
    fresh_client shell "quiet 1"
    launch
    expect_view tray
    probe tray-remove wait-state tray=0 10000 shell-restarted
    steps "tray restore>window close"
    expect_end 0

    local row
    for row in "twice|nowin 1|minimise minimise" "dblclick|nowin 0|minimise tray-dblclick"; do
        IFS='|' read -r name setting actions <<<"$row"
        fresh_client "$name" "$setting"
        launch
        expect_view window
        probe post ${actions% *} post ${actions#* }
        # Both are handled by the time the second one's effect is seen.
        probe sleep $((settle * 1000)) wait-view window 10000 wait-state foreground=main 5000 state
        expect iconic=0 tray=0
        press close
        expect_end 0
    done
}
