#!/usr/bin/env bash
# Real monitors against a real pelmora-server on 127.0.0.1 (monitor port
# 25876, HTTP on a free port), each monitor in its own copy of demo/:
#   scenarios.sh linux   three headless Linux monitors (CPU# 1, 2, 3)
#   scenarios.sh wine    the Windows monitor under wine and Xvfb (CPU# 4)
# Commands go through the API; the checks read the API, the monitors' logs
# and what the service command ran. Every wait is bounded.
set -uo pipefail

# A network of its own when one can be made (root), so the fixed monitor
# port is not shared with anything else running on the machine.
if [ -z "${PELMORA_OWN_NET:-}" ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
  exec unshare -n env PELMORA_OWN_NET=1 bash "$0" "$@"
fi
[ -n "${PELMORA_OWN_NET:-}" ] && ip link set lo up

scenario=${1:?usage: scenarios.sh linux|wine}
: "${SERVER:?}" "${DEMO_DIR:?}" "${WORK_DIR:?}"
base=$WORK_DIR/$scenario
rm -rf "$base"
mkdir -p "$base/bin"
token=e2e-admin-token-0123
pids=()

fail() {
  echo "FAIL [$scenario]: $*" >&2
  echo "--- server log:" >&2
  tail -n 30 "$base/server.log" >&2
  exit 1
}
stop_all() { for pid in "${pids[@]}" ${server_pid:-}; do kill "$pid" 2>/dev/null; done; }
trap stop_all EXIT

start_server() {
  local seen
  seen=$(cat "$base/server.log" 2>/dev/null | wc -l)
  printf '%s\n' "$token" >"$base/token"
  "$SERVER" --db "$base/server.db" --monitor-listen 127.0.0.1:25876 --http-listen 127.0.0.1:0 \
    --admin-token-file "$base/token" --log-level debug 2>>"$base/server.log" 9>&- &
  server_pid=$!
  for _ in $(seq 50); do
    http_port=$(tail -n +$((seen + 1)) "$base/server.log" | sed -n 's/.* HTTP on 127\.0\.0\.1:\([0-9]*\)$/\1/p')
    [ -n "$http_port" ] && return 0
    sleep 0.1
  done
  fail "the server did not start"
}

api() { curl -sS --max-time 5 "http://127.0.0.1:$http_port$1"; }
machine() { api /api/machines | jq -r ".machines[] | select(.cpu == $1) | .$2"; }

# Repeats a check until it holds: SECONDS WHAT COMMAND...
wait_for() {
  local seconds=$1 what=$2
  shift 2
  for ((i = 0; i < seconds * 5; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  fail "never: $what"
}
is() { [ "$("${@:3}")" = "$2" ]; } # is NAME EXPECTED COMMAND...

queue() { # CPU COMMAND
  local code
  code=$(curl -sS -o "$base/queued.json" -w '%{http_code}' -X POST -H "Authorization: Bearer $token" \
    -d "{\"command\":\"$2\"}" "http://127.0.0.1:$http_port/api/machines/$(machine "$1" id)/commands")
  [ "$code" = 202 ] || fail "queueing $2 for CPU# $1 answered $code: $(cat "$base/queued.json")"
}

# A copy of demo/ reporting to the server: DIR CPU# SERVC. Without a delay
# line (minutes) the monitor polls, and reports, every 5 seconds. Each
# folds a unit of its own (project 2665, core Tinker), as clients do.
client_copy() {
  mkdir -p "$1"
  cp -R "$DEMO_DIR/." "$1/client"
  sed -i "s/^Name: p2665_R_Zn_Cyc_R3\$/Name: p2665_R_Zn_Cyc_R$2/" "$1/client/unitinfo.txt"
  sed -i -e '/^delay /d' -e "s/^cpunum .*/cpunum $2/" -e 's/^stats .*/stats 1/' -e 's/^korv! .*/korv! 1/' \
    -e "s/^khost .*/khost 127.0.0.1:$http_port/" -e "s/^servc .*/servc $3/" "$1/client/pelmora/pelmora.ini"
}

next_unit() { # CLIENT_DIR: the unit there finishes, a new one begins
  printf 'Name: p794_next_unit\nProgress: 1%%\n' >"$1/unitinfo.txt.new"
  mv "$1/unitinfo.txt.new" "$1/unitinfo.txt"
}

# The finished unit, stored with the machine that folded it and the core it
# folded it with (the monitor submits the core of the unit it begins next).
unit_stored() { # CPU
  api "/api/units?machine_id=$(machine "$1" id)" | jq -e ".units[0] | .protein == \"p2665_R_Zn_Cyc_R$1\"
    and .core == \"Tinker\" and .user == \"FoldingFan\" and .team == 48213"
}

wait_gone() { # PID SECONDS
  for ((i = 0; i < $2 * 10; i++)); do kill -0 "$1" 2>/dev/null || { wait "$1"; return; }; sleep 0.1; done
  fail "process $1 did not end"
}

summary_in() { grep -q "Pelmora stats after shutdown" "$1" || fail "no summary in $1"; }

scenario_linux() {
  start_server
  # The service command on Linux is systemctl: this one notes what it was asked.
  printf '#!/bin/sh\necho "$*" >> "%s/systemctl.log"\n' "$base" >"$base/bin/systemctl"
  chmod +x "$base/bin/systemctl"
  for cpu in 1 2 3; do
    client_copy "$base/m$cpu" "$cpu" 1
    (cd "$base/m$cpu/client/pelmora" && PATH=$base/bin:$PATH exec "$PELMORA" >"$base/m$cpu/stdout" 2>&1 9>&-) &
    pids[cpu]=$!
  done
  wait_for 20 "three machines folding" is n 3 sh -c "curl -s http://127.0.0.1:$http_port/api/machines |
    jq '[.machines[] | select(.status == \"folding\")] | length'"
  [ "$(api /api/machines | jq '[.machines[].slot] | unique | length')" = 3 ] || fail "slots shared"

  next_unit "$base/m2/client"
  queue 1 exit
  queue 2 tray
  queue 3 restart
  wait_gone "${pids[1]}" 15 || fail "CPU# 1 ended with $?"
  summary_in "$base/m1/client/pelmora/pelmora_log.txt"
  wait_for 10 "CPU# 1 stopped" is s stopped machine 1 status
  wait_for 15 "CPU# 2 in the tray" is t true machine 2 in_tray
  wait_for 20 "the service restarted" grep -qx "start FAHClient" "$base/systemctl.log"
  [ "$(head -n 1 "$base/systemctl.log")" = "stop FAHClient" ] || fail "systemctl got: $(cat "$base/systemctl.log")"
  wait_for 10 "the finished unit stored" unit_stored 2
  for cpu in 1 2 3; do
    [ "$(api "/api/machines/$(machine $cpu id)/commands" | jq -r '.commands[0].status')" = delivered ] ||
      fail "CPU# $cpu: command not delivered"
  done

  # A killed server keeps what it took in; a stopped one ends cleanly.
  kill -KILL "$server_pid"
  wait "$server_pid" 2>/dev/null
  start_server
  [ "$(api /api/machines | jq '.machines | length')" = 3 ] || fail "machines lost after SIGKILL"
  unit_stored 2 >/dev/null || fail "the unit was lost after SIGKILL"
  kill -TERM "${pids[2]}" "${pids[3]}"
  wait_gone "${pids[2]}" 10
  wait_gone "${pids[3]}" 10
  wait_for 10 "CPU# 2 stopped by its exit record" is s stopped machine 2 status
  kill -TERM "$server_pid"
  wait_gone "$server_pid" 10 || fail "the server ended with $?"
  grep -q ' info stopped$' "$base/server.log" || fail "no clean stop"
  server_pid=
  echo "ok [linux]: three monitors reported; exit, tray and restart reached them; the unit was stored"
}

scenario_wine() {
  : "${PELMORA_EXE:?}" "${PELMORA_PROBE:?}" "${WINE_PREFIX:?}"
  source "$(dirname "$0")/../win32/wine_desktop.sh"
  wine_desktop "$WINE_PREFIX" "$base"
  pids+=("$xvfb")
  trap 'stop_all; timeout 20 wineserver -k 2>/dev/null 9>&-' EXIT
  probe() { timeout 60 wine "$PELMORA_PROBE" "$@" 2>>"$base/probe.txt" 9>&-; }

  start_server
  client_copy "$base/w" 4 0
  program=$base/w/client/pelmora/pelmora.exe
  cp "$PELMORA_EXE" "$program"
  (cd "$base/w/client/pelmora" && exec timeout 120 wine pelmora.exe >"$base/w/stdout" 2>&1 9>&-) &
  pids+=($!)
  exe_pid=$!
  wait_for 40 "the Windows monitor reporting" is s folding machine 4 status
  queue 4 tray
  probe wait-view tray 15000 >/dev/null || fail "the window did not go to the tray"
  wait_for 15 "in the tray, as reported" is t true machine 4 in_tray
  next_unit "$base/w/client"
  wait_for 15 "the finished unit stored" unit_stored 4
  queue 4 exit
  wait_gone "$exe_pid" 20 || fail "pelmora.exe ended with $?"
  summary_in "$base/w/client/pelmora/pelmora_log.txt"
  wait_for 10 "stopped" is s stopped machine 4 status
  echo "ok [wine]: pelmora.exe reported; tray and exit reached it; the unit was stored"
}

"scenario_$scenario"
