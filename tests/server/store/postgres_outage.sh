#!/usr/bin/env bash
# A real server on a real PostgreSQL cluster that is stopped under it: while
# it is down the monitors get "nothing to do" at once, units 202 (past the
# machine cap: refused), reads 503; once it is back each machine's latest
# record and every unit is written, once. Skipped without PostgreSQL.
set -uo pipefail
: "${SERVER:?}"
support=$(cd "$(dirname "$0")/../../support" && pwd)
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "no PostgreSQL programs: skipped"; exit 0; }
pg=$(mktemp -d /tmp/pelmora-pg-outage-XXXXXX)
work=$(mktemp -d /tmp/pelmora-outage-XXXXXX)
as=()
if [ "$(id -u)" = 0 ]; then chown nobody "$pg"; as=(runuser -u nobody --); fi
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server"
  (cd / && "${as[@]}" "$bin/pg_ctl" -D "$pg/data" -m immediate -w stop >/dev/null 2>&1)
  rm -rf "$pg" "$work"
}
trap cleanup EXIT
pg_ctl() { (cd / && "${as[@]}" "$bin/pg_ctl" -D "$pg/data" -w -l "$pg/log" "$@" >/dev/null); }
(cd / && "${as[@]}" "$bin/initdb" -D "$pg/data" -U pelmora --auth=trust -E UTF8 --no-locale >/dev/null) || exit 1
pg_ctl -o "-c listen_addresses='' -c unix_socket_directories=$pg" start || exit 1
cd "$work" || exit 1
"$SERVER" --db "postgresql:///postgres?host=$pg&user=pelmora" --monitor-listen 127.0.0.1:0 \
  --http-listen 127.0.0.1:0 --max-machines 3 2>server.log &
server=$!
for _ in $(seq 50); do grep -q " HTTP on " server.log && break; sleep 0.1; done
port() { sed -n "s/.* $1 on 127.0.0.1:\([0-9]*\)$/\1/p" server.log; }
PYTHONPATH="$support" python3 - "$(port monitors)" "$(port HTTP)" "$bin" "$pg" "${as[*]}" <<'PY' || { cat server.log >&2; exit 1; }
import json, socket, subprocess, sys, time, urllib.error, urllib.request
from monitor_record import record_bytes
monitor, http, bin, pg, user = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5].split()
def exchange(name, progress):
    with socket.create_connection(("127.0.0.1", monitor), timeout=5) as s:
        s.recv(1)
        s.sendall(record_bytes(computer_name=name, units_seen=1, progress=progress, unit="p1_R1_C2_G3",
                               cpu_vendor="V", core="coreX", team=12345))
        return s.recv(1)
def get(path):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (http, path), timeout=20) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, ""
def pg_ctl(*args):
    subprocess.run(user + [bin + "/pg_ctl", "-D", pg + "/data", "-w", "-l", pg + "/log"] + list(args),
                   check=True, stdout=subprocess.DEVNULL, cwd="/")
unit = ("/folding/unitstats.php?username=user01&team=12345&cpu=7&wucount=1&cpuvendor=V&cpustring=X&cpumhz=1999"
        "&frametime=12.5&protein=p1_R1_C2_G3&core=coreX&memory=512")
exchange("KNOWN", 10)
pg_ctl("-m", "fast", "stop")
answers = [exchange("KNOWN", 11 + i) for i in range(50)] + [exchange(n, 5) for n in ("NEW1", "NEW2", "NEW3")]
assert answers == [b"\0"] * 53, answers
assert [get(unit)[0] for _ in range(2)] == [202, 202]
assert get("/api/machines")[0] == 503 and get("/healthz")[0] == 503
pg_ctl("-o", "-c listen_addresses='' -c unix_socket_directories=" + pg, "start")
for _ in range(50):
    status, body = get("/api/units")
    if status == 200 and len(json.loads(body)["units"]) == 2: break
    time.sleep(0.1)
machines = {m["name"]: m["progress"] for m in json.loads(get("/api/machines")[1])["machines"]}
assert machines == {"KNOWN": 60, "NEW1": 5, "NEW2": 5}, machines  # NEW3: past the cap
time.sleep(0.5)
assert len(json.loads(get("/api/units")[1])["units"]) == 2
metrics = get("/metrics")[1]
for line in ('records_total{outcome="kept"} 52', 'records_total{outcome="not_kept"} 1',
             'units_total{outcome="written_back"} 2'):
    assert "pelmora_store_outage_" + line in metrics, line
PY
[ "$(grep -cE "the store (cannot be reached|answers again)" server.log)" = 2 ] || { echo "FAIL: not one line at each end of the outage" >&2; cat server.log >&2; exit 1; }
echo "ok: kept while PostgreSQL was down, written back once"
