#!/usr/bin/env bash
# Whole-program scenarios for the Linux program, one per run:
#   scenarios.sh NAME
# Each works in a fresh copy of demo/ under $WORK_DIR/NAME and runs $PELMORA
# either on a terminal (a tmux pane of its own: the screen is read with
# capture-pane and keys are typed with send-keys) or headless. Every wait is
# bounded. Exit 0: passed; 1: failed; 77: skipped (no tmux).
set -uo pipefail

scenario=${1:?scenario name}
: "${PELMORA:?}" "${SIMCLIENT:?}" "${MONITOR_SERVER:?}" "${STATS_SITE:?}" "${DEMO_DIR:?}" "${WORK_DIR:?}"
export TERM=${TERM:-xterm}

base="$WORK_DIR/$scenario"
rm -rf "$base"
mkdir -p "$base"

# --- One run of the program ----------------------------------------------------

# A fresh client directory: $client (demo/), $prog (its pelmora/), $log.
fresh_client() {
    run="$base/${1:-run}"
    rm -rf "$run"
    mkdir -p "$run"
    cp -R "$DEMO_DIR/." "$run/client/"
    client="$run/client"
    prog="$client/pelmora"
    log="$prog/pelmora_log.txt"
}

fail() {
    echo "FAIL [$scenario${run:+: ${run##*/}}]: $*" >&2
    if [ -n "${socket:-}" ] && [ -S "$socket" ]; then
        echo "--- screen:" >&2
        screen >&2
    fi
    if [ -n "${log:-}" ] && [ -f "$log" ]; then
        echo "--- log:" >&2
        cat "$log" >&2
    fi
    exit 1
}

pass() { echo "ok [$scenario${run:+: ${run##*/}}]: $*"; }

# --- On a terminal ---------------------------------------------------------

tm() { tmux -S "$socket" -f /dev/null "$@"; }

stop_terminal() {
    [ -n "${socket:-}" ] && tm kill-server 2>/dev/null
    socket=
}
trap 'stop_terminal; for child in ${pid:-} ${sim:-} ${server:-} ${site:-}; do kill "$child" 2>/dev/null; done' EXIT

# Starts the program in a pane of COLS x ROWS (80 x 24), in a UTF-8 locale
# unless LOCALE says otherwise. The pane notes the terminal's modes before and
# after, and the exit status, then stays open so the screen can be read.
start_on_terminal() {
    command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }
    local cols=${1:-80} rows=${2:-24}
    stop_terminal
    socket="$run/tmux.sock"
    # IGNORE_HUP=1: the pane ignores SIGHUP, as nohup-like wrappers make
    # it, and notes the program's CPU time (bash's times, for its children).
    cat > "$run/session.sh" <<EOF
${IGNORE_HUP:+trap '' HUP}
cd "$prog" || exit
stty -g > "$run/stty.before"
LC_ALL=${LOCALE:-C.UTF-8} bash -c 'echo \$\$ > "$run/pid"; exec "$PELMORA"' 2> "$run/stderr"
status=\$?
${IGNORE_HUP:+times > "$run/times"}
stty -g > "$run/stty.after"
echo "\$status" > "$run/status.part" && mv "$run/status.part" "$run/status"
echo "SESSION OVER"
${IGNORE_HUP:+exit}
exec sleep 300
EOF
    tm new-session -d -x "$cols" -y "$rows" -s e2e "bash '$run/session.sh'" || fail "tmux would not start"
    wait_screen "$PELMORA_READY" 10
}
PELMORA_READY="Pelmora 2.0"

screen() { tm capture-pane -p -t e2e; }
keys() { tm send-keys -t e2e "$@"; }

# The program's process id, as the pane noted it.
program_pid() { cat "$run/pid" 2>/dev/null; }

wait_screen() { # TEXT [SECONDS]
    local tries=$(( ${2:-10} * 10 ))
    for ((i = 0; i < tries; i++)); do
        screen | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    fail "the screen never showed '$1'"
}

on_screen() { screen | grep -qF -- "$1" || fail "'$1' is not on the screen"; }
not_on_screen() { screen | grep -qF -- "$1" && fail "'$1' is still on the screen"; return 0; }

# The exit status once the program has ended; fails after SECONDS (5).
wait_status() {
    local tries=$(( ${1:-5} * 10 ))
    for ((i = 0; i < tries; i++)); do
        [ -f "$run/status" ] && { cat "$run/status"; return 0; }
        sleep 0.1
    done
    fail "the program did not end"
}

expect_status() { # STATUS [SECONDS]
    local got
    got=$(wait_status "${2:-5}") || exit 1
    [ "$got" = "$1" ] || fail "exit status $got, expected $1"
}

# The terminal is as the program found it: same modes, the shell's screen back.
expect_terminal_restored() {
    wait_screen "SESSION OVER" 5
    cmp -s "$run/stty.before" "$run/stty.after" ||
        fail "terminal modes changed: $(cat "$run/stty.before") -> $(cat "$run/stty.after")"
    not_on_screen "Protein Info:"
    not_on_screen "Pelmora 2.0"
}

# --- Headless ------------------------------------------------------------------

start_headless() {
    (cd "$prog" && exec "$PELMORA" > "$run/stdout" 2> "$run/stderr") &
    pid=$!
}

# Waits, bounded, for a child process to end and gives its exit status.
wait_child() { # PID SECONDS WHAT
    local tries=$(( $2 * 10 )) state
    for ((i = 0; i < tries; i++)); do
        state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)
        [ -z "$state" ] || [ "$state" = Z ] && break
        sleep 0.1
    done
    [ -z "$state" ] || [ "$state" = Z ] || { kill -KILL "$1"; fail "$3 did not end"; }
    wait "$1"
}

wait_headless_exit() { wait_child "$pid" "${1:-5}" "the program"; }

# --- The log ---------------------------------------------------------------

wait_log() { # TEXT [SECONDS]
    local tries=$(( ${2:-5} * 10 ))
    for ((i = 0; i < tries; i++)); do
        grep -qF -- "$1" "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "the log never had '$1'"
}

expect_banner() {
    grep -qxF "Pelmora v2.0      (C) 2026 the Pelmora team" "$log" || fail "no start banner in the log"
    grep -qF "Continuing process at 42% for p2665_R_Zn_Cyc_R3 on " "$log" || fail "the banner names no unit"
}

expect_summary() {
    grep -qxF "Pelmora stats after shutdown" "$log" || fail "no shutdown summary in the log"
    [ "$(grep -c "Pelmora stats after shutdown" "$log")" = 1 ] || fail "more than one summary"
}

expect_no_summary() {
    grep -qF "Pelmora stats after shutdown" "$log" && fail "a shutdown summary was written"
    return 0
}

# --- The scenarios ---------------------------------------------------------------

# The window view: the dialog's texts, the two text columns side by side,
# the bar, the percent label and the credits.
scenario_window_view() {
    fresh_client
    start_on_terminal 80 24
    wait_screen "Time(minutes): 0"
    local line
    for line in "Protein Info:" \
        "p2665_R_Zn_Cyc_R3       CPU#: 1" \
        "Core: Tinker            WU#: 1" \
        "Point Value: 357        Start Date: March 3" \
        "Time(minutes): 0        Due by: March 17" \
        "42%" "(C) 2026 the Pelmora team" \
        "Enter OK   Esc Cancel   m minimise   q close"; do
        on_screen "$line"
    done
    local bar
    bar=$(screen | grep -F "█" | head -1)
    [ "$(grep -o "█" <<<"$bar" | wc -l)" = 21 ] || fail "the bar is not 42% full: $bar"
    [ "$(grep -o "░" <<<"$bar" | wc -l)" = 31 ] || fail "the bar's rest is not 58%: $bar"
    screen > "$base/window-view.txt"
    keys q
    expect_status 0
    expect_terminal_restored
    pass "window view"
}

# m to the compact view (the tooltip only), where Enter and Escape do
# nothing; Space back to the window, and q from the compact view.
scenario_tray_view() {
    fresh_client
    start_on_terminal 80 24
    keys m
    wait_screen "42% Completed"
    on_screen "CPU#: 1    WU#: 1"
    on_screen "Name: p2665_R_Zn_Cyc_R3"
    on_screen "Core: Tinker     Points: 357"
    on_screen "Space window   q close"
    not_on_screen "Protein Info:"
    screen > "$base/compact-view.txt"
    keys Enter Escape
    sleep 0.5
    [ -f "$run/status" ] && fail "Enter or Escape ended the program in the compact view"
    on_screen "42% Completed"
    keys Space
    wait_screen "Protein Info:"
    not_on_screen "42% Completed"
    keys m
    wait_screen "42% Completed"
    keys q
    expect_status 0
    expect_summary
    expect_terminal_restored
    pass "compact view"
}

# Smaller, larger, tiny: each size redrawn whole, with nothing left over.
scenario_resize() {
    fresh_client
    start_on_terminal 80 24
    tm resize-window -t e2e -x 50 -y 16
    wait_screen "p2665_R_Zn_Cyc_R3    CPU#: 1"
    [ "$(screen | grep -cF "Protein Info:")" = 1 ] || fail "the old view was left on the screen"
    on_screen "Start Date: March 3"

    tm resize-window -t e2e -x 100 -y 30
    wait_screen "p2665_R_Zn_Cyc_R3       CPU#: 1"
    [ "$(screen | grep -cF "Protein Info:")" = 1 ] || fail "the old view was left on the screen"
    screen | grep -q "^                      ┌─ Pelmora 2.0 " || fail "the box is not centred on 100 columns"

    tm resize-window -t e2e -x 20 -y 6
    wait_screen "p2665_R_Zn_Cyc_R3"
    [ "$(screen | head -1)" = "Pelmora 2.0" ] || fail "the small view does not start with the title"

    LOCALE=C
    keys q
    expect_status 0
    # Without UTF-8 the bar is drawn in ASCII.
    fresh_client ascii
    start_on_terminal 80 24
    wait_screen "#####################..............................."
    keys q
    expect_status 0
    pass "resize"
}

# How each key ends the program, its exit status, and whether the log gets
# the summary: Enter none; Escape, q, and q in the compact view do.
scenario_keys_end_the_program() {
    local case key status summary
    for case in "Enter 1 no" "Escape 0 yes" "q 0 yes" "m+q 0 yes"; do
        read -r key status summary <<<"$case"
        fresh_client "${key/+/-then-}"
        start_on_terminal 80 24
        if [ "$key" = "m+q" ]; then
            keys m
            wait_screen "42% Completed"
            key=q
        fi
        keys "$key"
        expect_status "$status"
        expect_banner
        if [ "$summary" = yes ]; then expect_summary; else expect_no_summary; fi
        expect_terminal_restored
        [ -s "$run/stderr" ] && fail "something on stderr: $(cat "$run/stderr")"
        pass "$case"
    done
}

# SIGTERM, SIGINT and SIGHUP are close requests on a terminal too.
scenario_signals_on_terminal() {
    local signal pid
    for signal in TERM INT HUP; do
        fresh_client "$signal"
        start_on_terminal 80 24
        pid=$(program_pid) || fail "no program running in the pane"
        kill -"$signal" "$pid"
        expect_status 0
        expect_banner
        expect_summary
        expect_terminal_restored
        pass "SIG$signal"
    done
    # The terminal hangs up while SIGHUP is ignored: the hang-up closes the
    # program all the same, at once and without spinning on the dead terminal.
    fresh_client hangup
    IGNORE_HUP=1 start_on_terminal 80 24
    pid=$(program_pid) || fail "no program running in the pane"
    stop_terminal
    expect_status 0 5
    pid=
    expect_banner
    expect_summary
    # The children's line of times: user and system time, e.g. 0m0.012s 0m0.004s.
    awk 'NR == 2 { split($1, u, "[ms]"); split($2, s, "[ms]"); exit !(u[1] * 60 + u[2] + s[1] * 60 + s[2] < 1) }' \
        "$run/times" || fail "the program used too much CPU time: $(cat "$run/times")"
    pass "hang-up with SIGHUP ignored"
}

# Without ../unitinfo.txt: the message in a box that waits for Enter, then
# status 0, and nothing logged.
scenario_missing_unit_file_on_terminal() {
    fresh_client
    rm "$client/unitinfo.txt"
    PELMORA_READY="[ OK ]" start_on_terminal 80 24
    on_screen "../unitinfo.txt"
    on_screen "Cannot locate unitinfo.txt file. Pelmora must be installed in your"
    on_screen "Folding @ Home directory to work properly."
    screen > "$base/message-box.txt"
    sleep 0.5
    [ -f "$run/status" ] && fail "the message did not wait"
    keys Enter
    expect_status 0
    expect_terminal_restored
    [ -e "$log" ] && fail "something was logged"
    pass "message box"
}

# The simulated client finishes the unit and starts another: the next poll
# shows WU# 2 and the log gets the unit's group.
scenario_unit_change_on_terminal() {
    fresh_client
    # Without a delay line the program polls at its shortest period, 5 seconds.
    grep -v '^delay' "$DEMO_DIR/pelmora/pelmora.ini" > "$prog/pelmora.ini"
    start_on_terminal 80 24
    wait_screen "WU#: 1"
    "$SIMCLIENT" 1 "$client" 50 2> "$run/simclient.err" &
    sim=$!
    wait_screen "WU#: 2" 25
    on_screen "p3697_Trp_cage_fold_R4"
    wait_log "Beginning process for p3697_Trp_cage_fold_R4 on "
    grep -qF "p2665_R_Zn_Cyc_R3 completed in " "$log" || fail "no line for the finished unit"
    grep -qF "Average frame time: " "$log" || fail "no frame time for the finished unit"
    keys q
    expect_status 0
    grep -qxF "Total WUs completed: 1" "$log" || fail "the summary does not count the finished unit"

    kill -TERM "$sim"
    wait "$sim"
    local status=$?
    sim=
    [ "$status" = 0 ] || fail "the simulated client ended with $status on SIGTERM"
    [ -e "$client/.unitinfo.txt.tmp" ] && fail "the simulated client left its temporary file"
    [ -s "$run/simclient.err" ] && fail "the simulated client complained: $(cat "$run/simclient.err")"
    pass "unit change"
}

# Headless: nothing on stdout, and each signal is a close request (status 0
# and the summary).
scenario_headless_signals() {
    local signal
    for signal in TERM INT HUP; do
        fresh_client "$signal"
        start_headless
        wait_log "Continuing process at 42%"
        kill -"$signal" "$pid"
        wait_headless_exit 5
        local status=$?
        [ "$status" = 0 ] || fail "SIG$signal: exit status $status"
        expect_banner
        expect_summary
        [ -s "$run/stdout" ] && fail "something was drawn: $(head -c 200 "$run/stdout")"
        [ -s "$run/stderr" ] && fail "something on stderr: $(cat "$run/stderr")"
        pass "SIG$signal"
    done
}

# Headless without ../unitinfo.txt: the caption and the text on stderr, status 0.
scenario_headless_missing_unit_file() {
    fresh_client
    rm "$client/unitinfo.txt"
    start_headless
    wait_headless_exit 5
    local status=$?
    [ "$status" = 0 ] || fail "exit status $status"
    printf '%s\n' "../unitinfo.txt: Cannot locate unitinfo.txt file. Pelmora must be installed in your" \
        "Folding @ Home directory to work properly." > "$run/expected"
    cmp -s "$run/expected" "$run/stderr" || fail "stderr was: $(cat "$run/stderr")"
    [ -s "$run/stdout" ] && fail "something on stdout"
    [ -e "$log" ] && fail "something was logged"
    pass "missing unit file"
}

# A monitor server on 127.0.0.1 that answers the program's reports with the
# command bytes given, one per report, then 0.
start_monitor_server() { # BYTE...
    printf '%s\n' "$@" > "$run/commands"
    "$MONITOR_SERVER" -s "$run/commands" ${MONITOR_MODE:+-m "$MONITOR_MODE"} > "$run/server.out" 2>&1 &
    server=$!
    for ((i = 0; i < 50; i++)); do
        grep -q "^listening on 127.0.0.1:25876" "$run/server.out" && return 0
        sleep 0.1
    done
    fail "the monitor server did not start: $(cat "$run/server.out")"
}

stop_monitor_server() {
    kill -TERM "$server"
    wait_child "$server" 5 "the monitor server"
    server=
}

reports_received() { grep -c "^record [0-9]* slot [0-9]* bytes 768 " "$run/server.out"; }

# Without a delay line the program polls every 5 seconds, no more often,
# and sleeps in between: each poll sends a report, so in 12.5 seconds the
# server gets the start-up report and two more; the exit report follows.
scenario_headless_poll_period() {
    fresh_client
    grep -v '^delay' "$DEMO_DIR/pelmora/pelmora.ini" | sed 's/^stats 0$/stats 1/' > "$prog/pelmora.ini"
    start_monitor_server
    start_headless
    sleep 12.5
    local reports ticks
    reports=$(reports_received)
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    [ "$reports" = 3 ] || fail "$reports reports in 12.5 seconds: $(cat "$run/server.out")"
    [ "$ticks" -lt 30 ] || fail "used $ticks clock ticks of CPU in 12.5 seconds"
    kill -TERM "$pid"
    wait_headless_exit 5
    local status=$?
    [ "$status" = 0 ] || fail "exit status $status"
    stop_monitor_server
    [ "$(reports_received)" = 4 ] || fail "no exit report: $(cat "$run/server.out")"
    pass "three polls, then the exit report"
}

# The monitor server's commands: 1 ends the program right after the
# start-up (summary, exit report, status 0; not a poll period later); 2
# sends it to the compact view and sets nowin, so Space does not bring the
# window back (and is not offered).
scenario_monitor_server_commands() {
    fresh_client exit
    sed -i 's/^stats 0$/stats 1/' "$prog/pelmora.ini"
    start_monitor_server 1
    start_headless
    wait_headless_exit 5
    local status=$?
    [ "$status" = 0 ] || fail "exit status $status"
    expect_banner
    expect_summary
    stop_monitor_server
    [ "$(reports_received)" = 2 ] || fail "the server did not get the start-up and exit reports: $(cat "$run/server.out")"
    pass "exit request"

    fresh_client tray
    sed -i 's/^stats 0$/stats 1/' "$prog/pelmora.ini"
    start_monitor_server 2
    PELMORA_READY="42% Completed" start_on_terminal 80 24
    not_on_screen "Protein Info:"
    not_on_screen "Space window"
    on_screen "q close"
    keys Space
    sleep 0.5
    not_on_screen "Protein Info:"
    keys q
    expect_status 0
    expect_summary
    stop_monitor_server
    pass "to the tray"
}

# A stats site on a free port of 127.0.0.1 answering every request with
# STATUS; more options (-m, -n) may follow.
start_stats_site() { # STATUS [OPTION...]
    "$STATS_SITE" -p 0 -s "$@" > "$run/site.out" 2>&1 &
    site=$!
    for ((i = 0; i < 50; i++)); do
        site_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$run/site.out" 2>/dev/null)
        [ -n "$site_port" ] && return 0
        sleep 0.1
    done
    fail "the stats site did not start: $(cat "$run/site.out")"
}

# A unit that finishes while korv! is 1 is submitted: the URL carries the
# finished unit's figures, the reply lands in Korvex.html, and a 404 answer
# leaves an earlier Korvex.html as it was.
scenario_headless_stats_site() {
    local status_line saved
    for status_line in "200 OK" "404 Not Found"; do
        fresh_client "${status_line%% *}"
        start_stats_site "$status_line"
        grep -v -e '^delay' -e '^korv' -e '^khost' "$DEMO_DIR/pelmora/pelmora.ini" > "$prog/pelmora.ini"
        printf 'korv! 1\nkhost 127.0.0.1:%s\n' "$site_port" >> "$prog/pelmora.ini"
        echo "earlier reply" > "$prog/Korvex.html"
        start_headless
        sleep 1
        printf 'Name: p794_next_unit\nProgress: 1%%\n' > "$client/unitinfo.txt.new"
        mv "$client/unitinfo.txt.new" "$client/unitinfo.txt"
        for ((i = 0; i < 100; i++)); do
            grep -q "^request 1: " "$run/site.out" && break
            sleep 0.1
        done
        grep -q "^request 1: GET /folding/unitstats.php?username=FoldingFan&team=48213&cpu=2&wucount=1&cpuvendor=[^&]*&cpustring=[^&]*&cpumhz=[0-9]*&frametime=0.[0-9]*&protein=p2665_R_Zn_Cyc_R3&core=GroCVS&memory=[0-9]* HTTP/1.1$" "$run/site.out" ||
            fail "no submission as expected: $(cat "$run/site.out")"
        wait_log "Submitting data to 127.0.0.1:$site_port..."
        kill -TERM "$pid"
        wait_headless_exit 5
        kill -TERM "$site"
        wait_child "$site" 5 "the stats site"
        site=
        saved=$(cat "$prog/Korvex.html")
        if [ "$status_line" = "200 OK" ]; then
            [ "$saved" = "<html><body>Unit received. Thank you for folding.</body></html>" ] || fail "Korvex.html holds: $saved"
        else
            [ "$saved" = "earlier reply" ] || fail "a 404 changed Korvex.html: $saved"
        fi
    done
    pass "submission, and a 404 that keeps the earlier reply"
}

# --- Hostile peers ----------------------------------------------------------------

# The unit moves on to NAME (the file replaced in one step).
next_unit() { # NAME
    printf 'Name: %s\nProgress: 1%%\n' "$1" > "$client/unitinfo.txt.new"
    mv "$client/unitinfo.txt.new" "$client/unitinfo.txt"
}

# Waits, bounded, until COUNT lines of FILE match PATTERN.
wait_lines() { # PATTERN FILE COUNT SECONDS
    local tries=$(( $4 * 10 ))
    for ((i = 0; i < tries; i++)); do
        [ "$(grep -c -- "$1" "$2" 2>/dev/null)" -ge "$3" ] && return 0
        sleep 0.1
    done
    fail "fewer than $3 lines '$1' in ${2##*/} after $4 seconds: $(tail -n 5 "$2")"
}

# The log holds whole groups only: the banner, one group per finished unit
# (with its frames line, stats being 1), then the summary, ending the file.
expect_whole_groups() { # FINISHED-UNITS
    expect_banner
    expect_summary
    local lines
    for lines in "completed in [0-9.]* minutes on " "^Average frame time: " "^Beginning process for " "frames total$"; do
        [ "$(grep -c -- "$lines" "$log")" = "$1" ] || fail "not $1 lines '$lines' in the log"
    done
    [ "$(tail -c 53 "$log")" = "------------------------------------------------" ] ||
        fail "the log does not end with the summary"
}

# A hostile monitor server (pelmora-monitor-server -m MODE): the program
# notes the unit change made while the server misbehaves, goes on reporting
# (CONNECTIONS reports at least), never keeps one exchange longer than one
# 10-second receive time-out (a failed receive ends the exchange), and ends
# with whole log groups.
hostile_monitor() { # MODE CONNECTIONS SECONDS
    fresh_client
    grep -v '^delay' "$DEMO_DIR/pelmora/pelmora.ini" | sed 's/^stats 0$/stats 1/' > "$prog/pelmora.ini"
    MONITOR_MODE=$1 start_monitor_server
    local began=$SECONDS
    start_headless
    wait_log "Continuing process at 42%"
    next_unit p794_next_unit
    wait_log "p2665_R_Zn_Cyc_R3 completed in" "$3"
    wait_lines "^record " "$run/server.out" "$2" "$3"
    [ -d "/proc/$pid" ] || fail "the program ended by itself"
    kill -TERM "$pid"
    wait_headless_exit 35
    local status=$?
    [ "$status" = 0 ] || fail "exit status $status"
    stop_monitor_server
    expect_whole_groups 1
    awk '$7 == "held" && $8 + 0 > 11.5 { bad = 1 } END { exit bad }' "$run/server.out" ||
        fail "an exchange outlasted the time-outs: $(cat "$run/server.out")"
    pass "$1 server: $(grep -c '^record ' "$run/server.out") reports in $((SECONDS - began)) s"
}

scenario_hostile_monitor_silent() { hostile_monitor silent 2 60; }
scenario_hostile_monitor_drip() { hostile_monitor drip 3 30; }
scenario_hostile_monitor_reset() { hostile_monitor reset 3 30; }
scenario_hostile_monitor_flood() {
    hostile_monitor flood 3 30
    grep -q "^record 3 slot 3 bytes 768 held [0-9.]*: 1 " "$run/server.out" ||
        fail "the slot from the flood's first byte was not kept: $(cat "$run/server.out")"
}

# A stats site that never answers: the submission gives up after the 60-second
# request time-out, the earlier Korvex.html stays, and the next unit change,
# made meanwhile, is logged once the program is free again.
scenario_hostile_stats_site_stall() {
    fresh_client
    start_stats_site "200 OK" -m stall -n 1
    grep -v -e '^delay' -e '^korv' -e '^khost' "$DEMO_DIR/pelmora/pelmora.ini" > "$prog/pelmora.ini"
    printf 'korv! 1\nkhost 127.0.0.1:%s\n' "$site_port" >> "$prog/pelmora.ini"
    echo "earlier reply" > "$prog/Korvex.html"
    start_headless
    wait_log "Continuing process at 42%"
    next_unit p794_next_unit
    wait_lines "^request 1: GET " "$run/site.out" 1 10
    local began=$SECONDS
    next_unit p795_third_unit
    wait_log "p794_next_unit completed in" 75
    local waited=$((SECONDS - began))
    [ "$waited" -le 70 ] || fail "the program was held $waited s"
    kill -TERM "$pid"
    wait_headless_exit 5
    [ "$(cat "$prog/Korvex.html")" = "earlier reply" ] || fail "a stalled answer changed Korvex.html"
    kill -TERM "$site" 2>/dev/null
    site=
    pass "stalled submission given up; the next change logged after $waited s"
}

# A stats site that sends a body without end, then one that answers 500:
# the body is kept up to 4 MiB, a 500's body is saved like any other, and
# the program polls on after each.
scenario_hostile_stats_site_replies() {
    local mode
    for mode in endless 500; do
        fresh_client "$mode"
        if [ "$mode" = endless ]; then start_stats_site "200 OK" -m endless
        else start_stats_site "500 Internal Server Error"; fi
        grep -v -e '^delay' -e '^korv' -e '^khost' "$DEMO_DIR/pelmora/pelmora.ini" > "$prog/pelmora.ini"
        printf 'korv! 1\nkhost 127.0.0.1:%s\n' "$site_port" >> "$prog/pelmora.ini"
        start_headless
        wait_log "Continuing process at 42%"
        next_unit p794_next_unit
        wait_lines "^request 1: GET " "$run/site.out" 1 10
        next_unit p795_third_unit
        wait_lines "^request 2: GET " "$run/site.out" 1 20
        wait_log "p794_next_unit completed in" 5
        kill -TERM "$pid"
        wait_headless_exit 10
        kill -TERM "$site"
        wait_child "$site" 5 "the stats site"
        site=
        if [ "$mode" = endless ]; then
            [ "$(stat -c %s "$prog/Korvex.html")" = 4194304 ] || fail "Korvex.html is $(stat -c %s "$prog/Korvex.html") bytes, not 4 MiB"
        else
            [ "$(cat "$prog/Korvex.html")" = "<html><body>Unit received. Thank you for folding.</body></html>" ] ||
                fail "the 500 body was not saved"
        fi
    done
    pass "endless body capped at 4 MiB; a 500's body saved; polling went on"
}

# The client's files change under the running program: the unit file gone
# for a poll (the last values stay, no message), then a new unit; the log
# replaced by a directory (that change goes unlogged), then back. The
# program runs on throughout and the log keeps every group it could write.
scenario_files_change_under_program() {
    fresh_client
    grep -v '^delay' "$DEMO_DIR/pelmora/pelmora.ini" > "$prog/pelmora.ini"
    start_headless
    wait_log "Continuing process at 42%"
    mv "$client/unitinfo.txt" "$client/unitinfo.txt.away"
    sleep 6
    [ -d "/proc/$pid" ] || fail "the program ended when the unit file went away"
    next_unit p794_next_unit
    wait_log "p2665_R_Zn_Cyc_R3 completed in" 8
    mv "$log" "$log.kept"
    mkdir "$log"
    next_unit p795_third_unit
    sleep 6
    [ -d "/proc/$pid" ] || fail "the program ended when the log could not be opened"
    rmdir "$log"
    mv "$log.kept" "$log"
    kill -TERM "$pid"
    wait_headless_exit 5
    local status=$?
    [ "$status" = 0 ] || fail "exit status $status"
    expect_banner
    expect_summary
    [ "$(grep -c "completed in" "$log")" = 1 ] || fail "not one unit group in the log"
    grep -q "^Beginning process for p794_next_unit on " "$log" || fail "the first change's group is not whole"
    pass "unit file away, log a directory: the program ran on"
}

declare -F "scenario_$scenario" >/dev/null || { echo "no scenario '$scenario'" >&2; exit 1; }
"scenario_$scenario"
