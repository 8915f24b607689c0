#!/usr/bin/env bash
# The demo: builds the Linux program and runs it on a fresh copy of demo/ in
# build/demo-run/, with the simulated client moving the unit on in the
# background (a step every few seconds, so a unit ends within a minute), and
# a loopback monitor server and stats site taking its reports. The settings
# are the demo's own without the delay line, so the program polls at its
# shortest period, every 5 seconds, with reports and submissions switched on.
# Installs missing packages first (as root).
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

# A step of 10% every 4 seconds: the unit under way ends in under half a minute.
build/linux/tools/simulated-client 4 "$run" 10 2>"$run/simclient.log" &
client=$!
# The team's monitor server (127.0.0.1:25876) and stats site (127.0.0.1:8088).
build/linux/tools/fake-monitor-server > "$run/monitor-server.log" 2>&1 &
server=$!
build/linux/tools/fake-stats-site -p 8088 > "$run/stats-site.log" 2>&1 &
site=$!
trap 'kill -TERM "$client" "$server" "$site" 2>/dev/null || true; wait 2>/dev/null || true' EXIT

echo "Pelmora on $run, the simulated client moving the unit on every 4 s."
echo "Keys: Enter OK, Esc Cancel, m minimise, Space back from the tray, q close."
sleep 1
cd "$run/pelmora"
status=0
../../linux/pelmora || status=$?
echo "Pelmora ended with status $status; its log: $run/pelmora/pelmora_log.txt"
echo "What the monitor server received: $run/monitor-server.log; the stats site: $run/stats-site.log"
exit "$status"
