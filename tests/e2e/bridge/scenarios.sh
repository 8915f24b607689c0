#!/usr/bin/env bash
# scenarios.sh linux|wine|hostile v8|v7: a simulated client moves its unit on, the bridge keeps
# unitinfo.txt and database.txt of a copy of demo/, the monitor (started first on the demo's unit;
# wine: the .exe files, read by probe.exe) logs the finished unit and shows the next one's project.
# hostile: bad input from the client; the bridge reconnects and the unit file is whole at every look.
# rig (v8): a CPU unit and two GPU units at once, three monitors (cpunum 1, 2, 3), each behind a bridge
# (--units cpu, --gpu ID), started as the Debian package's templated units start them from NAME.conf.
set -uo pipefail
kind=$1 client=$2 base=$WORK_DIR/$1-$2 pids=() xvfb=
rm -rf "$base" && mkdir -p "$base" && cp -R "$DEMO_DIR/." "$base/client/"
dir=$base/client log=$base/client/pelmora/pelmora_log.txt to=$base/client password=$base/password
grep -v '^delay' "$DEMO_DIR/pelmora/pelmora.ini" >"$dir/pelmora/pelmora.ini" # a poll every 5 s
export TZ=UTC

fail() {
    echo "FAIL [$kind $client]: $*" >&2
    for file in "$base"/*.txt "$dir/unitinfo.txt" "$log"; do [ -f "$file" ] && tail -n 12 "$file" >&2; done
    exit 1
}
trap 'kill "${pids[@]}" $xvfb 2>/dev/null; [ $kind = wine ] && timeout 20 wineserver -k 9>&-' EXIT
wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" 2>/dev/null; do [ $SECONDS -lt $deadline ] || fail "waited in vain for: $*"; sleep 0.2; done
}
in_log() { tr -d '\r' <"$log" | grep -qF -- "$1"; }
has() { tr -d '\r' <"$2" | grep -qxF -- "$1"; } # LINE FILE (Windows writes CR LF)

if [ "$kind" = rig ]; then
    "$SIM_V8" --step 1000 --progress-step 7 --restart-after 0 --gpus 2 >"$base/sim.txt" 2>&1 &
    pids+=($!)
    wait_for 5 grep -q '^listening' "$base/sim.txt"
    port=$(sed -n 's/^listening on 127.0.0.1://p' "$base/sim.txt")
    units=$(dirname "$0")/../../../packaging
    # A unit's ExecStart, with the programs built here in place of the installed ones.
    exec_start() { sed -n 's/^ExecStart=//p' "$units/$1" | sed "s|/usr/bin/$2|$3|"; }
    bridge_line=$(exec_start pelmora-bridge@.service pelmora-bridge "$BRIDGE")
    monitor_line=$(exec_start pelmora-monitor@.service pelmora "$PELMORA")
    number=1
    for name in cpu gpu1 gpu2; do
        # NAME.conf as the README makes it from the package's example.
        sed "s|/NAME$|/$name|; s|/var/lib/pelmora-clients|$base|" "$units/debian/client.conf" >"$base/$name.conf"
        option="--units cpu"
        [ $name = cpu ] || option="--gpu gpu:0${name#gpu}:00:00"
        sed -i "s|^BRIDGE_OPTIONS=.*|BRIDGE_OPTIONS=\"--client v8 --port $port $option\"|" "$base/$name.conf"
        mkdir -p "$base/$name" && cp -R "$DEMO_DIR/." "$base/$name/" && rm "$base/$name/unitinfo.txt"
        grep -v '^delay' "$DEMO_DIR/pelmora/pelmora.ini" | sed "s/^cpunum .*/cpunum $number/" >"$base/$name/pelmora/pelmora.ini"
        number=$((number + 1))
        (set -a && source "$base/$name.conf" && eval "exec $bridge_line" 2>"$base/bridge-$name.txt") &
        pids+=($!)
        (set -a && source "$base/$name.conf" && eval "exec $monitor_line" >/dev/null 2>"$base/pelmora-$name.txt") &
        pids+=($!)
    done
    # Each monitor sees its own unit finish and the next begin, never another's.
    for check in "cpu p18213_R412_C7_G19 p18401_R413_C7_G20 p17[56]" "gpu1 p17500_R0_C3_G0 p17501_R1_C3_G1 p1(8|76)" \
        "gpu2 p17600_R0_C4_G0 p17601_R1_C4_G1 p1(8|75)"; do
        set -- $check
        dir=$base/$1 log=$base/$1/pelmora/pelmora_log.txt
        wait_for 90 in_log "Beginning process for $3 on "
        in_log "$2 completed in " || fail "no line for the finished $2"
        ! tr -d '\r' <"$log" | grep -Eq "process (at [0-9]+% )?for $4" || fail "the $1 monitor saw another's unit"
    done
    has "17500 ws2.example.org 0 0.00 0.00 50000.00 100 0x22" "$base/gpu1/pelmora/database.txt" || fail "no GPU project"
    has "17600 ws2.example.org 0 0.00 0.00 50000.00 100 0x22" "$base/gpu2/pelmora/database.txt" || fail "no second GPU project"
    has "18213 ws1.example.org 0 0.00 0.00 9210.00 100 0xa8" "$base/cpu/pelmora/database.txt" || fail "no CPU project"
    grep -q "connected to 127.0.0.1:$port" "$base/bridge-gpu2.txt" || fail "no connection logged"
    ! grep -q '^received' "$base/sim.txt" || fail "a bridge sent the client: $(grep -m1 '^received' "$base/sim.txt")"
    exit 0
fi

sim=("$SIM_V8" --step 1000 --progress-step 7 --restart-after 1)
first=p18213_R412_C7_G19 second=p18401_R413_C7_G20 shows='p18401_R413_C7_G20\nCore: 0xa9\nPoint Value: 12000'
lines=("18213 ws1.example.org 0 0.00 0.00 9210.00 100 0xa8" "18401 ws1.example.org 0 0.00 0.00 12000.50 100 0xa9"
    "Download time: December 30 22:15:00" "Due time: January 2 22:15:00")
if [ "$client" = v7 ]; then
    echo secret >"$password"
    sim=("$SIM_V7" --step 1000 --progress-step 7 --password secret)
    first=p13000_R100_C7_G0 second=p13001_R101_C7_G1 shows='p13001_R101_C7_G1\nCore: 0xa8\nPoint Value: 4410'
    lines=("13000 128.252.203.2 0 0.00 0.00 9210.00 200 0xa8" "13001 128.252.203.2 0 0.00 0.00 4410.25 200 0xa8"
        "Download time: February 28 23:30:00" "Due time: March 2 23:30:00")
fi
[ "$kind" = hostile ] && sim+=(--bad) && rm "$dir/unitinfo.txt"

if [ "$kind" = wine ]; then
    source "$(dirname "$0")/../win32/wine_desktop.sh"
    wine_desktop "$WINE_PREFIX" "$base"
    cp "$PELMORA" "$dir/pelmora/pelmora.exe"
    (cd "$dir/pelmora" && exec timeout 150 wine pelmora.exe >"$base/pelmora.txt" 2>&1 9>&-) &
    to=Z:$dir password=Z:$password
elif [ "$kind" = linux ]; then
    (cd "$dir/pelmora" && exec "$PELMORA" >/dev/null 2>"$base/pelmora.txt") &
    pids+=($!)
fi
[ "$kind" = hostile ] || wait_for 120 in_log "Continuing process at 42% for p2665_R_Zn_Cyc_R3"

"${sim[@]}" >"$base/sim.txt" 2>&1 &
pids+=($!)
wait_for 5 grep -q '^listening' "$base/sim.txt"
args=(--client "$client" --port "$(sed -n 's/^listening on 127.0.0.1://p' "$base/sim.txt")" --out "$to"
    --database "$to/pelmora/database.txt")
[ "$client" = v7 ] && args+=(--password-file "$password")
[ "$kind" = wine ] && { (exec timeout 150 wine "$BRIDGE" "${args[@]}" 2>"$base/bridge.txt" 9>&-) & }
[ "$kind" = wine ] || { "$BRIDGE" "${args[@]}" 2>"$base/bridge.txt" & pids+=($!); }

if [ "$kind" = hostile ]; then
    last=$([ "$client" = v8 ] && echo 5 || echo 3) deadline=$((SECONDS + 90))
    until grep -qx "connection $last" "$base/sim.txt"; do
        [ $SECONDS -lt $deadline ] || fail "no connection $last"
        sleep 0.05
        [ -f "$dir/unitinfo.txt" ] || continue
        tail -n 1 "$dir/unitinfo.txt" | grep -qE '^Progress: [0-9]+% \[[|_]{10}\]$' || fail "a part-written unit file"
        grep -qx "Name: $first" "$dir/unitinfo.txt" || fail "another unit than $first"
    done
    wait_for 10 grep -qx "Name: $first" "$dir/unitinfo.txt"
    kill -0 "${pids[1]}" || fail "the bridge ended"
    exit 0
fi

wait_for 90 in_log "Beginning process for $second on "
in_log "$first completed in " || fail "no line for the finished $first"
has "Name: $second" "$dir/unitinfo.txt" || fail "the unit file does not name $second"
for line in "${lines[@]}"; do
    has "$line" "$dir/pelmora/database.txt" || has "$line" "$dir/unitinfo.txt" || fail "no line '$line'"
done
if [ "$kind" = wine ]; then
    said=$(timeout 60 wine "$PROBE" wait-text "$shows" 15000 wait-text 'WU#: 3' 5000 post close 9>&- 2>&1) ||
        fail "probe: $said"
else
    kill -TERM "${pids[0]}"
fi
wait_for 20 in_log "Total WUs completed: 2"
[ "$client" = v7 ] && exit 0
wait_for 30 grep -qx "connection 2" "$base/sim.txt" # back after the client's restart
# The client warns of every command it does not know: the bridge sends none.
! grep -q '^received' "$base/sim.txt" || fail "the bridge sent the client: $(grep -m1 '^received' "$base/sim.txt")"
