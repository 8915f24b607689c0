#!/usr/bin/env bash
# The demo: builds the Linux program and runs it on a fresh copy of demo/ in
# build/demo-run/, with the simulated client moving the unit on in the
# background (a step every few seconds, so a unit ends within a minute), and
# a loopback monitor server and stats site taking its reports. The settings
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
  | sed -e 's/^stats 0$/stats 1/' -e 's/^korv! 0$/korv! 1/' > "$run/pelmora/pelmora.ini"

bridge=
if [ "${1:-}" = --bridge ]; then
  # A client of today instead: the simulated version 8 client (10% every 2
  # seconds) seen through pelmora-bridge, which keeps unitinfo.txt and adds
  # the client's projects to the database.
  build/linux/tools/pelmora-simulated-v8-client --step 2000 --progress-step 10 >"$run/client.log" 2>&1 &
  client=$!
  sleep 0.5
  build/linux/pelmora-bridge --port "$(sed -n 's/^listening on 127.0.0.1://p' "$run/client.log")" \
    --out "$run" --database "$run/pelmora/database.txt" 2>"$run/bridge.log" &
  bridge=$!
else
# A step of 10% every 4 seconds: the unit under way ends in under half a minute.
build/linux/tools/pelmora-simclient 4 "$run" 10 2>"$run/simclient.log" &
client=$!
fi
# The team's monitor server (127.0.0.1:25876) and stats site (127.0.0.1:8088).
build/linux/tools/pelmora-monitor-server > "$run/monitor-server.log" 2>&1 &
server=$!
build/linux/tools/pelmora-stats-site -p 8088 > "$run/stats-site.log" 2>&1 &
site=$!
trap 'kill -TERM "$client" "$server" "$site" $bridge 2>/dev/null || true; wait 2>/dev/null || true' EXIT

echo "Pelmora on $run, the simulated client moving the unit on every 4 s."
echo "Keys: Enter OK, Esc Cancel, m minimise, Space back from the tray, q close."
sleep 1
cd "$run/pelmora"
status=0
../../linux/pelmora || status=$?
echo "Pelmora ended with status $status; its log: $run/pelmora/pelmora_log.txt"
echo "What the monitor server received: $run/monitor-server.log; the stats site: $run/stats-site.log"
exit "$status"
