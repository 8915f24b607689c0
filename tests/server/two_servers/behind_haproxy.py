"""README's "Two servers for availability", run whole: a PostgreSQL cluster
made here, two pelmora-server processes on its database, HAProxy in front
with packaging/haproxy.cfg (its addresses moved to loopback), the simulated
fleet and single monitors reporting through it, a webhook receiver counting
posts. In a network namespace of its own (the monitor port is fixed); needs
root, HAProxy and PostgreSQL's programs, else skipped (status 77).
"""
import collections
import glob
import http.client
import http.server
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from monitor_record import record_bytes  # noqa: E402

SERVER = os.path.abspath(os.environ.get("SERVER", "build/linux/pelmora-server"))
FLEET = os.path.abspath(os.environ.get("FLEET", "build/linux/tools/simulated-fleet"))
CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../packaging/haproxy.cfg")
BALANCER, SERVERS = "127.0.0.1", {"a": "127.0.0.2", "b": "127.0.0.3"}
MONITOR, HTTP, HOOK = 25876, 8080, 19000
MONITOR_ADDRESS, DIRECT_ADDRESS = "127.0.0.5", "127.0.0.6"  # never trusted
OFFLINE = 5
TOKEN = ""  # the admin token the servers keep in the database, read once they are up


class Failed(Exception):
    pass


def until(seconds, what, probe):
    end = time.monotonic() + seconds
    while True:
        try:
            got = probe()
            if got:
                return got
        except (OSError, ValueError, KeyError, TypeError, http.client.HTTPException):
            pass
        if time.monotonic() > end:
            raise Failed(f"{what}: not within {seconds} s")
        time.sleep(0.1)


def exchange(host, name, progress=10, source=MONITOR_ADDRESS):
    """One monitor exchange; its command byte, or None when not answered."""
    with socket.create_connection((host, MONITOR), timeout=5, source_address=(source, 0)) as s:
        slot = int.from_bytes(s.recv(1), "big", signed=True)
        s.sendall(record_bytes(slot=slot, computer_name=name, progress=progress, unit="p4242_R0_C0_G0"))
        answer = s.recv(1)
        return answer[0] if answer else None


def request(host, path, method="GET", body=None, source=MONITOR_ADDRESS):
    c = http.client.HTTPConnection(host, HTTP, timeout=5, source_address=(source, 0))
    try:
        c.request(method, path, None if body is None else json.dumps(body),
                  {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"})
        answer = c.getresponse()
        text = answer.read().decode()
        return answer.status, json.loads(text) if text[:1] in "{[" else text
    finally:
        c.close()


def machine(host, name):
    return next((m for m in request(host, "/api/machines")[1]["machines"] if m["name"] == name), None)


class Cluster:
    def __init__(self, work):
        self.work, self.processes, self.posts = work, {}, []
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda p: int(p.split("/")[4]))
        self.pg_bin = bins[-1]
        os.chown(work, pwd.getpwnam("nobody").pw_uid, -1)
        self.as_nobody = ["runuser", "-u", "nobody", "--"]

    def pg(self, program, *args):
        subprocess.run(self.as_nobody + [f"{self.pg_bin}/{program}", *args], check=True, cwd=self.work,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, PGPASSWORD="postgres-password"))

    def pg_ctl(self, action):
        self.pg("pg_ctl", "-D", f"{self.work}/data", "-l", f"{self.work}/postgres.log", "-m", "fast", "-w",
                "-o", f"-k {self.work} -c listen_addresses=''", action)

    def database(self):
        """The README's set-up: a role with a password, its database, the URI."""
        with open(f"{self.work}/password", "w") as f:
            f.write("postgres-password\n")
        self.pg("initdb", "-D", f"{self.work}/data", "-U", "postgres", "--auth=scram-sha-256",
                f"--pwfile={self.work}/password", "-E", "UTF8", "--no-locale")
        self.pg_ctl("start")
        self.pg("psql", "-h", self.work, "-U", "postgres", "-qc", "CREATE ROLE pelmora LOGIN PASSWORD 'db-secret'")
        self.pg("createdb", "-h", self.work, "-U", "postgres", "--owner", "pelmora", "pelmora")
        self.uri = f"postgresql://pelmora:db-secret@/pelmora?host={self.work}"

    def sql(self, query):
        return subprocess.run(self.as_nobody + [f"{self.pg_bin}/psql", self.uri, "-Atc", query], check=True,
                              capture_output=True, text=True).stdout.split()

    def spawn(self, name, args):
        os.makedirs(f"{self.work}/{name}")  # a working folder each, as on machines of their own
        log = open(f"{self.work}/{name}.log", "w")
        self.processes[name] = subprocess.Popen(args, stdout=log, stderr=log, start_new_session=True,
                                                cwd=f"{self.work}/{name}")

    def start_server(self, name):
        address = SERVERS[name]
        self.spawn(name, [SERVER, "--db", self.uri, "--monitor-listen", f"{address}:{MONITOR}",
                          "--http-listen", f"{address}:{HTTP}", "--trusted-proxy", f"{BALANCER}/32",
                          "--offline-after", str(OFFLINE), "--webhook", f"http://127.0.0.1:{HOOK}/hook"])

    def start_haproxy(self):
        config = open(CONFIG).read()
        for documented, here in zip(("192.0.2.10", "192.0.2.11", "192.0.2.12"), (BALANCER, *SERVERS.values())):
            config = config.replace(documented, here)
        with open(f"{self.work}/haproxy.cfg", "w") as f:
            f.write(config)
        self.spawn("haproxy", ["haproxy", "-db", "-f", f"{self.work}/haproxy.cfg"])

    def start_hook(self):
        posts = self.posts

        class Receiver(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                posts.extend(body["events"] if body["event"] == "summary" else [body])
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.hook = http.server.ThreadingHTTPServer(("127.0.0.1", HOOK), Receiver)
        threading.Thread(target=self.hook.serve_forever, daemon=True).start()

    def raised(self, name):
        return [p for p in list(self.posts) if p["event"] == "raised" and p["alert"]["machine"] == name + "/1"]

    def stop(self):
        running = [p for p in self.processes.values() if p.poll() is None]
        for p in running:
            os.killpg(p.pid, signal.SIGTERM)
        for p in running:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        if os.path.exists(f"{self.work}/data/postmaster.pid"):
            self.pg("pg_ctl", "-D", f"{self.work}/data", "-m", "immediate", "-w", "stop")


def started_together(c):
    global TOKEN
    c.start_server("a")
    c.start_server("b")

    def ready(name):
        if c.processes[name].poll() is not None:
            raise Failed(f"server {name} ended, status {c.processes[name].returncode}")
        return request(SERVERS[name], "/healthz") == (200, "ok")

    for name in SERVERS:
        until(15, f"server {name} ready", lambda: ready(name))
    TOKEN = subprocess.run([SERVER, "--db", c.uri, "--show-admin-token"], capture_output=True, text=True,
                           cwd=c.work).stdout.strip()
    versions = c.sql("SELECT count(*) FROM pelmora_schema")
    if versions != ["1"]:
        raise Failed(f"pelmora_schema holds {versions} rows, not one")


def seen_on_both(c):
    c.start_haproxy()
    until(5, "HAProxy listening", lambda: socket.create_connection((BALANCER, MONITOR), timeout=1).close() or 1)
    c.spawn("fleet", [FLEET, "--machines", "6", "--period", "1", "--prefix", "FLEET"])
    start = time.monotonic()
    if exchange(BALANCER, "ADDRPC") is None:
        raise Failed("a report through HAProxy was not answered")
    for address in SERVERS.values():
        seen = until(2 - (time.monotonic() - start), f"ADDRPC on {address}", lambda: machine(address, "ADDRPC"))
        if seen["address"] != MONITOR_ADDRESS:
            raise Failed(f"ADDRPC's address on {address} is {seen['address']}, not the monitor's")


def delivered_once(c):
    """Queued through one server, taken by a monitor talking to the other; then
    through HAProxy, where the trail names the admin's and the monitor's own addresses."""
    a, b = SERVERS["a"], SERVERS["b"]
    exchange(b, "CMDPC", source=DIRECT_ADDRESS)
    mid = machine(a, "CMDPC")["id"]
    for queue_on, report_to, command, byte in ((a, b, "tray", 2), (BALANCER, BALANCER, "restart", 3)):
        status, _ = request(queue_on, f"/api/machines/{mid}/commands", "POST", {"command": command})
        got = [exchange(report_to, "CMDPC", source=DIRECT_ADDRESS) for _ in range(2)]
        if status != 202 or got != [byte, 0]:
            raise Failed(f"{command} queued on {queue_on}, reports to {report_to}: {status}, command bytes {got}")
    trail = [(x["requested_by"], x["delivered_to"]) for x in request(b, f"/api/machines/{mid}/commands")[1]["commands"]]
    if trail != [(f"admin@{MONITOR_ADDRESS}", DIRECT_ADDRESS)] * 2:
        raise Failed(f"the commands' trail (requested by, delivered to) is {trail}")


def posted_once(c, silent, servers, settle=2):
    """Each alert the servers hold was posted once, raised (and resolved, if
    it was); the machines gone SILENT have one alert each."""
    held = {address: request(address, "/api/alerts?limit=1000")[1]["alerts"] for address in servers}
    time.sleep(settle)
    posted = collections.Counter((p["alert"]["id"], p["event"]) for p in list(c.posts))
    for address, alerts in held.items():
        wanted = {(x["id"], "raised") for x in alerts} | {(x["id"], "resolved") for x in alerts if x["resolved_at"]}
        if wanted - set(posted) or max(posted.values(), default=0) > 1:
            raise Failed(f"alerts on {address} {sorted(wanted)}, posts {sorted(posted.items())}")
        per_machine = collections.Counter(x["machine"] for x in alerts)
        if any(per_machine[name + "/1"] != 1 for name in silent):
            raise Failed(f"alerts per machine on {address}: {dict(per_machine)}")


def silent_alert(c):
    exchange(BALANCER, "SILENTPC")
    until(OFFLINE + 5, "SILENTPC's alert posted", lambda: c.raised("SILENTPC"))
    posted_once(c, ["SILENTPC"], SERVERS.values())


def database_restart(c):
    """Reports and units taken while PostgreSQL is down are written when it is back."""
    c.pg_ctl("stop")
    taken = []
    for progress in (41, 42):  # a second apart, as the store's times go: the later wins, whoever took it
        taken.append(exchange(BALANCER, "OUTAGEPC", progress))
        time.sleep(1.1)
    units = [request(BALANCER, "/folding/unitstats.php?username=user01&team=7&cpu=1&wucount=1&cpuvendor=x&cpustring=x"
                     f"&cpumhz=2400&frametime=1.0&protein=p{n}_outage&core=a4&memory=512")[0] for n in (1, 2)]
    c.pg_ctl("start")
    if None in taken or any(status // 100 != 2 for status in units):
        raise Failed(f"while PostgreSQL was down: command bytes {taken}, unit answers {units}")
    for address in SERVERS.values():
        until(10, f"OUTAGEPC at 42 on {address}", lambda: machine(address, "OUTAGEPC")["progress"] == 42)
        until(5, f"both units on {address}", lambda: len([u for u in request(address, "/api/units")[1]["units"]
                                                        if u["protein"].endswith("_outage")]) == 2)


def leading(address):
    return "\npelmora_leader 1\n" in request(address, "/metrics")[1]


def server_killed(c):
    """The leader SIGKILLed: pages and reports go on through HAProxy, the other
    server takes the duties and raises the next alert."""
    def one_leader():
        leaders = [name for name, address in SERVERS.items() if leading(address)]
        return leaders[0] if len(leaders) == 1 else None

    leader = until(15, "one server leading", one_leader)
    survivor = SERVERS["b" if leader == "a" else "a"]
    exchange(BALANCER, "SILENT2")
    killed = time.monotonic()
    os.killpg(c.processes[leader].pid, signal.SIGKILL)
    c.processes[leader].wait()
    for path in ("/", "/api/machines") * 5:
        status, _ = request(BALANCER, path)
        if status != 200:
            raise Failed(f"GET {path} through HAProxy after the kill: {status}")
    if exchange(BALANCER, "AFTERPC") is None:
        raise Failed("a report through HAProxy after the kill was not answered")
    until(2, "AFTERPC on the survivor", lambda: machine(survivor, "AFTERPC"))
    until(15, "the survivor leading", lambda: leading(survivor))
    print(f"  {leader} killed; the survivor leads {time.monotonic() - killed:.1f} s after", flush=True)
    until(15 + OFFLINE + 2 - (time.monotonic() - killed), "SILENT2's alert posted", lambda: c.raised("SILENT2"))
    posted_once(c, ["SILENTPC", "SILENT2"], [survivor], settle=3)


STEPS = (started_together, seen_on_both, delivered_once, silent_alert, database_restart, server_killed)


def outside(script):
    """SCRIPT run again in a network namespace of its own: its status (77,
    skipped, without what it needs); None when this is that run."""
    if os.environ.get("TWO_SERVERS_INSIDE") == "1":
        return None
    missing = [p for p in ("haproxy", "runuser") if not shutil.which(p)] + \
              ([] if glob.glob("/usr/lib/postgresql/*/bin/initdb") else ["PostgreSQL"])
    if os.geteuid() != 0 or missing:
        print("skipped: needs root, " + ", ".join(missing or ["HAProxy and PostgreSQL"]))
        return 77
    return subprocess.run(["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                           sys.executable, "-B", os.path.abspath(script)],
                          env=dict(os.environ, TWO_SERVERS_INSIDE="1")).returncode


def main():
    status = outside(__file__)
    if status is not None:
        return status
    failed = []
    with tempfile.TemporaryDirectory(prefix="pelmora-two-") as work:
        c = Cluster(work)
        try:
            c.database()
            c.start_hook()
            for step in STEPS:
                start = time.monotonic()
                try:
                    step(c)
                    print(f"ok   {step.__name__} ({time.monotonic() - start:.1f} s)", flush=True)
                except (Failed, OSError, subprocess.CalledProcessError) as e:
                    failed.append(step.__name__)
                    print(f"FAIL {step.__name__}: {e}", flush=True)
        finally:
            c.stop()
            for name in c.processes if failed else []:
                print(f"--- {name}.log (end):\n" + "".join(open(f"{work}/{name}.log").readlines()[-15:]))
    print("failed: " + ", ".join(failed) if failed else f"all {len(STEPS)} steps passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
