#!/usr/bin/env bash
# The Linux program's driver:  driver.sh SCENARIO
# The program runs on a tmux pane of its own, 80 x 24, in a UTF-8 locale
# unless LOCALE says otherwise: the screen is read with capture-pane, keys
# are typed with send-keys. The pane notes the terminal's modes before and
# after, the program's CPU time and its exit status.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../lib.sh"
: "${PELMORA:?}"
export TERM=xterm
socket=
settle=0.5

tm() { tmux -S "$socket" -f /dev/null "$@"; }
screen() { tm capture-pane -p -t e2e; }
on_screen() { screen | grep -qE -- "$1"; }
stop_front_end() { [ -z "$socket" ] || tm kill-server 2>/dev/null; socket=; }
on_fail() { [ -S "${socket:-}" ] && { echo "--- screen:"; screen; }; }

launch() {
    stop_front_end
    at=$out/$run
    socket=$at/tmux.sock
    # IGNORE_HUP=1: the pane ignores SIGHUP, as nohup-like wrappers make it.
    cat > "$at/session.sh" <<EOF
${IGNORE_HUP:+trap '' HUP}
cd "$prog" || exit
stty -g > "$at/stty.before"
LC_ALL=${LOCALE:-C.UTF-8} bash -c 'echo \$\$ > "$at/pid"; exec "$PELMORA"' 2> "$at/stderr"
status=\$?
times > "$at/times"
stty -g > "$at/stty.after"
echo "\$status" > "$at/status.part" && mv "$at/status.part" "$at/status"
echo "SESSION OVER"
${IGNORE_HUP:+exit}
exec sleep 300
EOF
    tm new-session -d -x 80 -y 24 -s e2e "bash '$at/session.sh'" || fail "tmux would not start"
    wait_for 10 "the program showed nothing" on_screen 'Protein Info:|% Completed|\[ OK \]'
}

window_shown() { local s; s=$(screen); grep -qF "Protein Info:" <<<"$s" && ! grep -qF "% Completed" <<<"$s"; }
tray_shown() { local s; s=$(screen); grep -qF "% Completed" <<<"$s" && ! grep -qF "Protein Info:" <<<"$s"; }
expect_view() { wait_for 10 "the view is not the $1" "${1}_shown"; }

# Each line of the two texts side by side, the percent, and the bar's full
# cells (█, the rest ░) in proportion.
expect_texts() { # UNIT COUNTERS PERCENT
    local s left right i bar full rest
    s=$(screen)
    mapfile -t left < <(printf '%b\n' "$1")
    mapfile -t right < <(printf '%b\n' "$2")
    for i in "${!left[@]}"; do
        grep -F -- "${left[i]}" <<<"$s" | grep -qF -- "${right[i]}" || fail "no line '${left[i]} ... ${right[i]}'"
    done
    grep -qE "(│| ) *$3% *(│| )" <<<"$s" || fail "no percent $3%"
    bar=$(grep -E "█|░" <<<"$s" | head -n 1)
    full=$(grep -o "█" <<<"$bar" | wc -l)
    rest=$(grep -o "░" <<<"$bar" | wc -l)
    [ "$full" = $(($3 * (full + rest) / 100)) ] || fail "the bar is not $3% full: $bar"
}

wait_text() { wait_for "${2:-10}" "the screen never showed '$1'" on_screen "$1"; }

press() {
    local -A key=([ok]=Enter [cancel]=Escape [close]=q [minimise]=m [restore]=Space)
    tm send-keys -t e2e "${key[$1]}"
}

status_written() { [ -f "$at/status" ]; }

# The exit status; the terminal as the program found it (same modes, the
# shell's screen back), nothing on stderr, and under a second of CPU time
# (the children's line of bash's times: 0m0.012s 0m0.004s).
expect_end() { # STATUS [SECONDS]
    wait_for "${2:-5}" "the program did not end" status_written
    [ "$(cat "$at/status")" = "$1" ] || fail "exit status $(cat "$at/status"), expected $1"
    [ -n "${IGNORE_HUP:-}" ] || {
        wait_for 5 "the session did not go on" on_screen "SESSION OVER"
        cmp -s "$at/stty.before" "$at/stty.after" || fail "terminal modes changed: $(cat "$at/stty.before") -> $(cat "$at/stty.after")"
        ! on_screen 'Protein Info:|Pelmora 2\.0' || fail "the program's screen was left behind"
    }
    [ -s "$at/stderr" ] && fail "something on stderr: $(cat "$at/stderr")"
    awk 'NR == 2 { split($1, u, "[ms]"); split($2, s, "[ms]"); exit !(u[1] * 60 + u[2] + s[1] * 60 + s[2] < 1) }' \
        "$at/times" || fail "the program used too much CPU time: $(cat "$at/times")"
}

expect_message() { # CAPTION TEXT
    local line
    while IFS= read -r line; do on_screen "$line" || fail "'$line' is not in the message box"; done < <(printf '%b\n' "$1\n$2")
    screenshot message-box
    sleep "$settle"
    status_written && fail "the message did not wait"
    press ok
}

screenshot() { screen > "$out/$run/$1.txt"; }

source "$here/../scenarios.sh"
source "$here/own.sh"
run_scenario
