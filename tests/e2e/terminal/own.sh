# Scenarios of the terminal front-end alone: the view follows the terminal's
# size, signals are close requests, and without a terminal the program runs
# headless.

# Smaller, larger, tiny: each size redrawn whole with nothing left over;
# without UTF-8 the bar is drawn in ASCII.
scenario_resize() {
    fresh_client resize
    launch
    tm resize-window -t e2e -x 50 -y 16
    wait_text "p2665_R_Zn_Cyc_R3    CPU#: 3"
    [ "$(screen | grep -cF "Protein Info:")" = 1 ] || fail "the old view was left on the screen"
    tm resize-window -t e2e -x 100 -y 30
    wait_text "p2665_R_Zn_Cyc_R3       CPU#: 3"
    [ "$(screen | grep -cF "Protein Info:")" = 1 ] || fail "the old view was left on the screen"
    screen | grep -q "^                      ┌─ Pelmora 2.0 " || fail "the box is not centred on 100 columns"
    tm resize-window -t e2e -x 20 -y 6
    wait_text "p2665_R_Zn_Cyc_R3"
    [ "$(screen | head -n 1)" = "Pelmora 2.0" ] || fail "the small view does not start with the title"
    press close
    expect_end 0

    fresh_client ascii
    LOCALE=C launch
    wait_text "#####################..............................."
    press close
    expect_end 0
}

# SIGTERM, SIGINT and SIGHUP close the program (summary, status 0); so does
# the terminal hanging up while SIGHUP is ignored, at once and without
# spinning on the dead terminal.
scenario_signals() {
    local signal
    for signal in TERM INT HUP; do
        fresh_client "$signal"
        launch
        kill -"$signal" "$(cat "$at/pid")"
        expect_end 0
        expect_banner
        expect_summary
    done
    fresh_client hangup
    IGNORE_HUP=1 launch
    stop_front_end
    IGNORE_HUP=1 expect_end 0
    expect_summary
}

# Standard output not a terminal: nothing drawn, each signal a close
# request, and the missing unit file's message on stderr.
scenario_headless() {
    local signal pid
    for signal in TERM INT HUP missing; do
        fresh_client "$signal"
        [ "$signal" != missing ] || rm "$client/unitinfo.txt"
        (cd "$prog" && exec "$PELMORA" > "$out/$run/stdout" 2> "$out/$run/stderr") &
        pid=$!
        if [ "$signal" != missing ]; then
            wait_for 5 "no start-up" log_has "^Continuing process"
            kill -"$signal" "$pid"
        fi
        wait_for 5 "the program did not end" ended "$pid"
        wait "$pid" || fail "exit status $?"
        [ ! -s "$out/$run/stdout" ] || fail "something was drawn: $(head -c 200 "$out/$run/stdout")"
        if [ "$signal" = missing ]; then
            printf '%s\n' "../unitinfo.txt: Cannot locate unitinfo.txt file. Pelmora must be installed in your" \
                "Folding @ Home directory to work properly." | cmp -s - "$out/$run/stderr" ||
                fail "stderr was: $(cat "$out/$run/stderr")"
            [ ! -e "$log" ] || fail "something was logged"
        else
            expect_summary
            [ ! -s "$out/$run/stderr" ] || fail "something on stderr: $(cat "$out/$run/stderr")"
        fi
    done
}
