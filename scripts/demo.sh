#!/usr/bin/env bash
# The demo: builds the Linux program and runs it on a fresh copy of demo/ in
# build/demo-run/, with the simulated client moving the unit on in the
# background (a step every few seconds, so a unit ends within a minute), and
# the team server, pelmora-server, taking its reports and finished units on
# 127.0.0.1 (monitor port 25876, HTTP and its API on 8080). The settings
# are the demo's own without the delay line, so the program polls at its
# shortest period, every 5 seconds, with reports and submissions switched on.
# Installs missing packages first (as root). --bridge: a client of version 8
# seen through pelmora-bridge in place of the simulated client.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh
cmake --preset linux
cmake --build --preset linux

run=build/demo-run
rm -rf "$run"
mkdir -p "$run"
cp -R demo/. "$run"/
grep -v '^delay' demo/pelmora/pelmora.ini \
  | sed -e 's/^stats 0$/stats 1/' -e 's/^korv! 0$/korv! 1/' -e 's/^khost .*/khost 127.0.0.1:8080/' \
  > "$run/pelmora/pelmora.ini"

bridge=
if [ "${1:-}" = --bridge ]; then
  # A client of today instead: the simulated version 8 client (10% every 2
  # seconds) seen through pelmora-bridge, which keeps unitinfo.txt and adds
  # the client's projects to the database.
  build/linux/tools/simulated-v8-client --step 2000 --progress-step 10 >"$run/client.log" 2>&1 &
  client=$!
  sleep 0.5
  build/linux/pelmora-bridge --port "$(sed -n 's/^listening on 127.0.0.1://p' "$run/client.log")" \
    --out "$run" --database "$run/pelmora/database.txt" 2>"$run/bridge.log" &
  bridge=$!
else
  # A step of 10% every 4 seconds: the unit under way ends in under half a minute.
  build/linux/tools/simulated-client 4 "$run" 10 2>"$run/simclient.log" &
  client=$!
fi
# The team server: the monitor server (127.0.0.1:25876), the stats site, the
# API and the dashboard (127.0.0.1:8080); its store and admin token in $run.
# A machine counts as stalled after half a minute here, offline after one.
build/linux/pelmora-server --db "$run/pelmora-server.db" --monitor-listen 127.0.0.1:25876 \
  --http-listen 127.0.0.1:8080 --stall-after 30 --offline-after 60 2> "$run/pelmora-server.log" &
server=$!
# A few more machines on the dashboard beside this one: simulated monitors
# (SIMPC...), one of which makes no progress and so is shown stalled.
sleep 0.5
build/linux/tools/simulated-fleet --machines 6 --period 5 --stall 1 --start-progress 30 \
  >"$run/simulated-fleet.log" 2>&1 &
fleet=$!
trap 'kill -TERM "$client" "$server" "$fleet" $bridge 2>/dev/null || true; wait 2>/dev/null || true' EXIT

echo "Pelmora on $run, the simulated client moving the unit on${bridge:+ (through pelmora-bridge)}."
echo "Keys: Enter OK, Esc Cancel, m minimise, Space back from the tray, q close."
echo
echo "  The team dashboard: http://127.0.0.1:8080/   (open it in a browser while Pelmora runs)"
echo "  Sign in there for commands with the admin token in $run/pelmora-server.db.admin-token"
echo "  The API: http://127.0.0.1:8080/api/machines (and /api/units, /api/alerts, /metrics)"
echo
sleep 3
cd "$run/pelmora"
status=0
../../linux/pelmora || status=$?
echo "Pelmora ended with status $status; its log: $run/pelmora/pelmora_log.txt"
echo "The dashboard was at http://127.0.0.1:8080/"
echo "The team server's log: $run/pelmora-server.log; its store: $run/pelmora-server.db"
exit "$status"
