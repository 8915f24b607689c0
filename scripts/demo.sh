#!/usr/bin/env bash
# The demo: builds the Linux program and runs it on a fresh copy of demo/ in
# build/demo-run/, with the simulated client moving the unit on in the
# background (a step every few seconds, so a unit ends within a minute), and
# the team server, pelmora-server, taking its reports and finished units on
# 127.0.0.1 (monitor port 25876, HTTP and its API on 8080). The settings
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
  | sed -e 's/^stats 0$/stats 1/' -e 's/^korv! 0$/korv! 1/' -e 's/^khost .*/khost 127.0.0.1:8080/' \
  > "$run/pelmora/pelmora.ini"

# A step of 10% every 4 seconds: the unit under way ends in under half a minute.
build/linux/tools/simulated-client 4 "$run" 10 2>"$run/simclient.log" &
client=$!
# The team server: the monitor server (127.0.0.1:25876) and the stats site
# with the API (127.0.0.1:8080); its store and admin token in $run.
build/linux/pelmora-server --db "$run/pelmora-server.db" --monitor-listen 127.0.0.1:25876 \
  --http-listen 127.0.0.1:8080 2> "$run/pelmora-server.log" &
server=$!
trap 'kill -TERM "$client" "$server" 2>/dev/null || true; wait 2>/dev/null || true' EXIT

echo "Pelmora on $run, the simulated client moving the unit on every 4 s."
echo "Keys: Enter OK, Esc Cancel, m minimise, Space back from the tray, q close."
echo "The team server's API: http://127.0.0.1:8080/api/machines (and /api/units, /metrics);"
echo "its admin token for commands: $run/pelmora-server.db.admin-token"
sleep 1
cd "$run/pelmora"
status=0
../../linux/pelmora || status=$?
echo "Pelmora ended with status $status; its log: $run/pelmora/pelmora_log.txt"
echo "The team server's log: $run/pelmora-server.log; its store: $run/pelmora-server.db"
exit "$status"
