# The whole-program tests' shared part, sourced by terminal/driver.sh and
# win32/driver.sh: a fresh client directory per run, bounded waits, the
# loopback peers (tools/fake-*), the log checks, pass and fail. A driver gives
# the verbs that scenarios.sh uses, each wait in them bounded:
#   launch; expect_view window|tray; wait_text TEXT [SECONDS];
#   expect_texts UNIT COUNTERS PERCENT (texts 101 and 106, lines joined by \n,
#   the percent label and the bar); press ok|cancel|close|minimise|restore
#   (restore: the tray icon's double-click); expect_end STATUS [SECONDS];
#   expect_message CAPTION TEXT (then dismissed); screenshot NAME;
# and $settle, a pause long enough for a press to have been handled.
set -uo pipefail

scenario=${1:?scenario name}
: "${PELMORA_DEMO:?}" "${E2E_OUT:?}" "${FAKE_MONITOR_SERVER:?}" "${FAKE_STATS_SITE:?}"
out=$E2E_OUT/$scenario
rm -rf "$out"
mkdir -p "$out"
peers=() run=

fail() {
    echo "FAIL [$scenario${run:+: $run}]: $*" >&2
    declare -F on_fail >/dev/null && on_fail >&2
    [ -f "${log:-}" ] && { echo "--- pelmora_log.txt:"; logtext; } >&2
    exit 1
}

stop_peers() { local p; for p in "${peers[@]}"; do kill "$p"; wait "$p"; done 2>/dev/null; peers=(); }
trap 'declare -F stop_front_end >/dev/null && stop_front_end; stop_peers' EXIT

now_ms() { local t=${EPOCHREALTIME/[.,]/}; echo $((t / 1000)); }

# Runs COMMAND every 0.1 s until it succeeds, for at most SECONDS.
wait_for() { # SECONDS WHAT COMMAND...
    local deadline=$(($(now_ms) + $1 * 1000)) what=$2
    shift 2
    until "$@"; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "$what"
        sleep 0.1
    done
}

# Whether process PID has ended (gone, or a zombie not yet reaped).
ended() { local s; s=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null); [ -z "$s" ] || [ "$s" = Z ]; }

# A fresh copy of demo/ for run NAME: $client, $prog (its pelmora/), $log.
# pelmora.ini gets cpunum 3, fhlog 1 and the given lines; without a delay
# line the program polls every 5 seconds, its shortest period.
fresh_client() { # NAME [SETTING...]
    run=$1 client=$out/$1/client prog=$out/$1/client/pelmora log=$out/$1/client/pelmora/pelmora_log.txt
    shift
    mkdir -p "$out/$run"
    cp -R "$PELMORA_DEMO/." "$client/"
    printf '%s\n' "cpunum 3" "fhlog 1" "$@" > "$prog/pelmora.ini"
}

# The client moves on: ../unitinfo.txt replaced in one step, CR LF lines.
write_unit() { # NAME DOWNLOAD-TIME DUE-TIME|"" PERCENT
    local due=
    [ -z "$3" ] || due="Due time: $3"$'\r\n'
    printf 'Current Work Unit\r\n-----------------\r\nName: %s\r\nTag: P0000R0C0G0\r\nDownload time: %s\r\n%sProgress: %s%%  [|_________]\r\n' \
        "$1" "$2" "$due" "$4" > "$client/unitinfo.new"
    mv "$client/unitinfo.new" "$client/unitinfo.txt"
}

# The user's steps, each a word: VIEW waits for the view (window or tray);
# ACTION>VIEW presses, then waits for the view; ACTION=VIEW presses and,
# after a pause, checks that the view is as said (=VIEW: no press); texts:
# the window shows the demo unit; any other word is pressed.
steps() { # "STEP..."
    local step
    for step in $1; do
        case $step in
        *'>'*) press "${step%>*}"; expect_view "${step#*>}" ;;
        *=*) [ -z "${step%=*}" ] || press "${step%=*}"; sleep "$settle"; expect_view "${step#*=}" ;;
        window | tray) expect_view "$step" ;;
        texts) expect_texts "$demo_unit" "$demo_counters" 42; screenshot back-from-tray ;;
        *) press "$step" ;;
        esac
    done
}

# --- The log (CR LF on Windows) ----------------------------------------------------

logtext() { tr -d '\r' < "$log" 2>/dev/null; }
log_has() { logtext | grep -qE -- "$1"; }
expect_log() { local l; for l; do log_has "$l" || fail "no line /$l/ in the log"; done; }
expect_log_count() { # COUNT PATTERN...
    local l
    for l in "${@:2}"; do [ "$(logtext | grep -cE -- "$l")" = "$1" ] || fail "not $1 lines /$l/ in the log"; done
}

expect_banner() {
    expect_log '^Pelmora v2\.0      \(C\) 2026 the Pelmora team$' '^Continuing process at 42% for p2665_R_Zn_Cyc_R3 on '
}

# One summary, ending the log, with LINE if given.
expect_summary() { # [LINE]
    expect_log_count 1 '^Pelmora stats after shutdown$'
    [ "$(logtext | grep . | tail -n 1)" = "------------------------------------------------" ] || fail "the log does not end with the summary"
    [ -z "${1:-}" ] || expect_log "^$1\$"
}

expect_no_summary() {
    [ -f "$log" ] || fail "no log"
    expect_log_count 0 'after shutdown'
}

# COUNT finished units, each group whole; stats 1 adds the frames line.
expect_unit_groups() { # COUNT [frames]
    expect_log_count "$1" '^[^ ]+ completed in [0-9]+\.[0-9]{6} minutes on ' '^Average frame time: ' \
        '^Beginning process for ' ${2:+'^[0-9]+ frames total$'}
}

# --- Loopback peers -----------------------------------------------------------

# Starts a peer with its output in $out/NAME.txt; once it listens, $port.
start_peer() { # NAME TOOL ARG...
    local name=$1 tool=$2
    shift 2
    "$tool" "$@" > "$out/$name.txt" 2>&1 9>&- &
    peers+=($!)
    wait_for 5 "the $name did not start: $(cat "$out/$name.txt")" grep -q '^listening on' "$out/$name.txt"
    port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out/$name.txt")
}

# The monitor server on 25876 answering each report with the next BYTE
# (then 0), or misbehaving as MODE says.
start_monitor_server() { # BYTE...
    printf '%s\n' "$@" > "$out/commands"
    start_peer monitor_server "$FAKE_MONITOR_SERVER" -s "$out/commands" ${MODE:+-m "$MODE"}
}
records() { grep -c '^record ' "$out/monitor_server.txt"; }
records_reach() { [ "$(records)" -ge "$1" ]; }

# The stats site on a free port answering every request with STATUS.
start_stats_site() { # [STATUS]
    start_peer stats_site "$FAKE_STATS_SITE" -p 0 -s "${1:-200 OK}"
}

run_scenario() { declare -F "scenario_$scenario" >/dev/null || fail "no such scenario"; "scenario_$scenario"; echo "ok [$scenario]"; }
