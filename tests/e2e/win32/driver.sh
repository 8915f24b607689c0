#!/usr/bin/env bash
# pelmora.exe's driver:  driver.sh SCENARIO
# The program runs under wine on an Xvfb display of its own, in the wine
# prefix PELMORA_E2E_PREFIX (made on first use; the 32- and 64-bit runs take
# turns through a lock on it), and probe.exe reads and works its dialog.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../lib.sh"
source "$here/wine_desktop.sh"
: "${PELMORA_EXE:?}" "${PELMORA_PROBE:?}" "${PELMORA_E2E_PREFIX:?}"
xvfb= pid= front=
settle=1

stop_front_end() {
    [ -z "$pid" ] || kill "$pid" 2>/dev/null
    drop_front
    # Everything left in the prefix is this scenario's (the lock says so).
    timeout 20 wineserver -k 2>/dev/null 9>&-
    timeout 20 wineserver -w 2>/dev/null 9>&-
    [ -z "$xvfb" ] || { kill "$xvfb"; wait "$xvfb"; } 2>/dev/null
}
on_fail() { [ -f "$out/transcript.txt" ] && { echo "--- probe:"; tail -n 30 "$out/transcript.txt"; }; }

wine_desktop "$PELMORA_E2E_PREFIX" "$out"

# Runs probe commands; what it said is in $said and in the transcript.
probe() {
    echo "> probe $*" >> "$out/transcript.txt"
    said=$(timeout 60 wine "$PELMORA_PROBE" "$@" 2>> "$out/transcript.txt" 9>&-)
    local status=$?
    printf '%s\n' "$said" >> "$out/transcript.txt"
    [ $status -eq 0 ] || fail "probe $* ended with $status"
}

# Each argument is a line that the last probe's output must hold.
expect() {
    local line
    for line; do grep -qxF -- "$line" <<<"$said" || fail "no '$line' in: $(tr '\n' ' ' <<<"$said")"; done
}

start_program() {
    cp "$PELMORA_EXE" "$prog/pelmora.exe"
    (cd "$prog" && exec timeout 120 wine pelmora.exe > "$out/$run/wine.out" 2>&1 9>&-) &
    pid=$!
}

launch() {
    start_program
    # The window exists from the start-up on, shown or not, also behind a message box.
    probe wait-view any 30000
}

# A window of the probe's own, in front; the keys it receives are in
# $out/$run/front.txt.
hold_front() {
    (exec timeout 100 wine "$PELMORA_PROBE" front 90000 > "$out/$run/front.txt" 2>&1 9>&-) &
    front=$!
    wait_for 30 "the front window did not come up" grep -q '^front=ready' "$out/$run/front.txt"
}
drop_front() { [ -z "$front" ] || { kill "$front"; wait "$front"; } 2>/dev/null; front=; }

expect_view() { probe wait-view "$1" 10000; }
expect_texts() { probe state; expect "text101=$1" "text106=$2" "text104=$3%" "bar=$3"; }
wait_text() { probe wait-text "$1" $((${2:-10} * 1000)); }

press() {
    local -A action=([ok]=enter [cancel]=escape [close]=close [minimise]=minimise [restore]=tray-dblclick)
    probe post "${action[$1]}"
}

expect_end() { # STATUS [SECONDS]
    wait_for "${2:-20}" "pelmora.exe did not end" ended "$pid"
    wait "$pid"
    local status=$?
    pid=
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_message() { # CAPTION TEXT
    probe messagebox 30000
    expect "caption=$1" "text=$2" owner=main buttons=ok
}

screenshot() { import -display "$DISPLAY" -window root "$out/$run/$1.png" 2>> "$out/xvfb.log" || echo "no screenshot $1" >&2; }

source "$here/../scenarios.sh"
source "$here/own.sh"
run_scenario
