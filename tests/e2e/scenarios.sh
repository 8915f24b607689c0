# Whole-program scenarios that hold on both front-ends, written against the
# driver's verbs (lib.sh lists them). Each function is one ctest test.

demo_unit='p2665_R_Zn_Cyc_R3\nCore: Tinker\nPoint Value: 357\nTime(minutes): 0'
demo_counters='CPU#: 3\nWU#: 1\nStart Date: March 3\nDue by: March 17'

# The demo unit, then two changes seen by consecutive polls (5 seconds
# apart): the texts, the bar and the log's groups; with korv! 1 each
# finished unit goes to the stats site and its reply lands in Korvex.html.
scenario_units() {
    start_stats_site
    fresh_client units "korv! 1" "khost 127.0.0.1:$port"
    launch
    expect_view window
    expect_texts "$demo_unit" "$demo_counters" 42
    screenshot dialog

    write_unit p1588_Spring_coil_R1 "March 17 09:00:00" "March 31 09:00:00" 7
    wait_text 'WU#: 2' 15
    local seen
    seen=$(now_ms)
    expect_texts 'p1588_Spring_coil_R1\nCore: GroSMP\nPoint Value: 1007\nTime(minutes): 0' \
        'CPU#: 3\nWU#: 2\nStart Date: March 17\nDue by: March 31' 7
    # A project the database does not know, and no due date (the last stays).
    write_unit p9999_Unlisted "April 2 10:00:00" "" 0
    wait_text 'WU#: 3' 15
    local gap=$(($(now_ms) - seen))
    [ "$gap" -ge 3000 ] && [ "$gap" -le 8000 ] || fail "the second change took $gap ms to show, not one 5-second period"
    expect_texts 'p9999_Unlisted\nCore: Unknown\nPoint Value: 0\nTime(minutes): 0' \
        'CPU#: 3\nWU#: 3\nStart Date: April 2\nDue by: March 31' 0

    local site=$out/stats_site.txt url='^request [0-9]+: GET /folding/unitstats\.php\?username=FoldingFan&team=48213&cpu=2'
    wait_for 5 "no second submission" grep -q '^request 2: ' "$site"
    # Each names the finished unit, with the core of the one that follows.
    grep -qE "$url&wucount=1&cpuvendor=[^&]*&cpustring=[^& ]*&cpumhz=[0-9]+&frametime=0\.[0-9]{6}&protein=p2665_R_Zn_Cyc_R3&core=GroSMP&memory=[0-9]+ HTTP/1\.1$" "$site" &&
        grep -qE "$url&wucount=2&.*&protein=p1588_Spring_coil_R1&core=Unknown&" "$site" || fail "submissions: $(cat "$site")"
    wait_for 5 "Korvex.html is not the reply" grep -qxF "<html><body>Unit received. Thank you for folding.</body></html>" "$prog/Korvex.html"
    expect_log "^Submitting data to 127\.0\.0\.1:$port\.\.\.$"
    press cancel
    expect_end 0
    expect_summary "Total WUs completed: 2"
    expect_unit_groups 2
}

# How each ending leaves the program: OK ends with status 1 and writes no
# summary; Cancel and close end with 0 and the summary.
scenario_endings() {
    local case action status summary
    for case in "ok 1 no" "cancel 0 yes" "close 0 yes"; do
        read -r action status summary <<<"$case"
        fresh_client "$action"
        launch
        expect_view window
        press "$action"
        expect_end "$status"
        expect_banner
        if [ "$summary" = yes ]; then expect_summary "Total WUs completed: 0"; else expect_no_summary; fi
    done
}

# The window and the tray, one run per row: SETTING|STEPS (see steps).
scenario_tray() {
    local row setting name
    for row in "|window minimise>tray restore>window minimise>tray close" \
        "nowin 1|window minimise>tray restore=tray close" \
        "quiet 1|=tray restore>window texts minimise>tray restore>window cancel"; do
        setting=${row%%|*}
        name=${setting%% *}
        fresh_client "${name:-plain}" ${setting:+"$setting"}
        launch
        steps "${row#*|}"
        expect_end 0
        expect_summary
    done
}

# The monitor server's commands: the start-up report's 2 sends the window to
# the tray and sets nowin (a double-click then does nothing), the first
# poll's 2 brings it back, the second poll's 1 ends the program at once:
# summary, exit report, status 0. The records keep slot 1 and carry the
# tray state as it was when each was made.
scenario_monitor_server() {
    start_monitor_server 2 2 1
    fresh_client monitor "stats 1" "ipadd 127.0.0.1"
    launch
    steps "tray restore=tray window"
    wait_for 10 "no second poll's report" records_reach 3
    expect_end 0 3
    expect_summary "Total WUs completed: 0"
    stop_peers
    local unit=p2665_R_Zn_Cyc_R3 record
    for record in "1 slot 1 bytes 768 command 2: 1 [^ ]+ 3 1 42 $unit 0 [0-9]+\.[0-9]{6} [^ ]* Tinker 200 357 FoldingFan 48213( -?[0-9]+)*  0" \
        "2 slot 2 bytes 768 command 2: 1 .* $unit 0 .*  1" "3 slot 3 bytes 768 command 1: 1 .* $unit 0 .*  0" \
        "4 slot 4 bytes 768 command 0: 1 .* $unit 1 .*  0"; do
        grep -qE "^record $record\$" "$out/monitor_server.txt" || fail "no record /$record/: $(cat "$out/monitor_server.txt")"
    done
    [ "$(records)" = 4 ] || fail "$(records) records"
}

# Without ../unitinfo.txt: the message, dismissed with OK, then status 0
# and nothing logged.
scenario_missing_unit_file() {
    fresh_client missing
    rm "$client/unitinfo.txt"
    launch
    expect_message "../unitinfo.txt" \
        'Cannot locate unitinfo.txt file. Pelmora must be installed in your\nFolding @ Home directory to work properly.'
    expect_end 0
    [ ! -e "$log" ] || fail "something was logged"
}

# A monitor server that drips its answers a byte a second: the program
# notes the unit change, and a close made while a report is under way ends
# it promptly with the summary; no exchange outlasts the receive time-out.
scenario_hostile_monitor() {
    MODE=drip start_monitor_server
    fresh_client drip "stats 1" "ipadd 127.0.0.1"
    launch
    expect_view window
    write_unit p1588_Spring_coil_R1 "March 17 09:00:00" "" 7
    wait_for 20 "no poll's report" records_reach 2
    press close
    expect_end 0 8
    stop_peers
    expect_summary "Total WUs completed: 1"
    expect_unit_groups 1 frames
    awk '$7 == "held" && $8 + 0 > 11.5 { bad = 1 } END { exit bad }' "$out/monitor_server.txt" ||
        fail "an exchange outlasted the time-out: $(cat "$out/monitor_server.txt")"
}
