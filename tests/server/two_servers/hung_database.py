"""Two real pelmora-server processes on one PostgreSQL cluster made here
(initdb and pg_ctl as nobody when root; a Unix socket only), under steady
monitor exchanges, unit submissions and probes (/healthz, /, /api/machines),
while the database hangs rather than dies: its postmaster and backends
stopped (SIGSTOP), then the machines table locked ACCESS EXCLUSIVE from
psql, each for HOLD seconds (12; the figures in docs/RELIABILITY.md are
taken with HOLD=40). Every exchange is answered within 10 s, every probe
within 1 s (but those that meet the hang first: 2.5 s), /healthz says "not ready" meanwhile, and afterwards every
machine shows at least its last acknowledged record and every unit
acknowledged is stored once. Prints the figures. Exit 77: no PostgreSQL.
"""
import json, os, signal, socket, subprocess, sys, threading, time
import urllib.error, urllib.request

from cluster import cluster
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from monitor_record import record_bytes  # noqa: E402

SERVER = os.path.abspath(os.environ.get("SERVER", "build/linux/pelmora-server"))
HOLD = float(os.environ.get("HOLD", "12"))
MACHINES = 10  # a server
# Probes: within 1 s but for one that meets the hang before the outage is
# noticed, which waits up to a reader's 2 s deadline (counted, not failed).
EXCHANGE_BOUND, PROBE_BOUND, PROBE_DEADLINE = 10.0, 1.0, 2.5


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path, timeout=5):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, ""


class Load:
    """Exchanges, units and probes on both servers until stopped; each timed."""

    def __init__(self, servers):
        self.servers, self.stopping, self.lock = servers, threading.Event(), threading.Lock()
        self.exchanges, self.probes, self.unhealthy = [], [], set()  # (seconds, ok) and (seconds, path, status)
        # Each machine's last progress answered and last sent; units answered 200 or 202, and sent.
        self.acked, self.sent, self.units, self.unitsSent = {}, {}, 0, 0
        self.threads = [threading.Thread(target=self.monitor, args=(s, m)) for s in range(2) for m in range(MACHINES)]
        self.threads += [threading.Thread(target=self.probe, args=(s,)) for s in range(2)]
        self.threads += [threading.Thread(target=self.submit, args=(s,)) for s in range(2)]

    def monitor(self, server, machine):
        name, progress = f"HANG{server}x{machine}", 0
        while not self.stopping.is_set():
            progress = progress % 99 + 1
            record = record_bytes(computer_name=name, units_seen=1, progress=progress,
                                  unit=f"p{server}{machine}_R1_C2_G3", cpu_vendor="V", core="coreX")
            began, answered = time.monotonic(), False
            with self.lock:
                self.sent[name] = progress
            try:
                with socket.create_connection(("127.0.0.1", self.servers[server]["monitor"]), timeout=15) as s:
                    s.recv(1)
                    s.sendall(record)
                    answered = len(s.recv(1)) == 1
            except OSError:
                pass
            with self.lock:
                self.exchanges.append((time.monotonic() - began, answered))
                if answered: self.acked[name] = progress
            time.sleep(0.2)

    def probe(self, server):
        port = self.servers[server]["http"]
        while not self.stopping.is_set():
            for path in ("/healthz", "/", "/api/machines"):
                began = time.monotonic()
                try:
                    status = get(port, path)[0]
                except OSError:
                    status = 0
                with self.lock:
                    self.probes.append((time.monotonic() - began, path, status))
                    if path == "/healthz" and status == 503: self.unhealthy.add(server)
            time.sleep(0.1)

    def submit(self, server):
        port, n = self.servers[server]["http"], 0
        while not self.stopping.is_set():
            n += 1
            with self.lock:
                self.unitsSent += 1
            try:
                status = get(port, f"/folding/unitstats.php?username=u{server}&team=7&cpu=1&wucount={n}&cpuvendor=V"
                                   f"&cpustring=X&cpumhz=2000&frametime=1&protein=p{server}0_R1_C2_G3&core=c&memory=1",
                             timeout=15)[0]
            except OSError:
                status = 0
            with self.lock:
                if status in (200, 202): self.units += 1
            time.sleep(0.5)

    def __enter__(self):
        for t in self.threads: t.start()
        return self

    def __exit__(self, *args):
        self.stopping.set()
        for t in self.threads: t.join()


def wait_for(what, condition, seconds):
    end = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < end, f"not within {seconds} s: {what}"
        time.sleep(0.1)


def figures(load, what):
    with load.lock:
        exchanges, probes, unhealthy = list(load.exchanges), list(load.probes), set(load.unhealthy)
        load.exchanges.clear(), load.probes.clear(), load.unhealthy.clear()
    longest = max(s for s, _ in exchanges)
    slow = sum(s > EXCHANGE_BOUND or not ok for s, ok in exchanges)
    probe_longest = max(s for s, _, _ in probes)
    probe_slow = [(round(s, 2), p, st) for s, p, st in probes if s > PROBE_BOUND or st == 0]
    probe_late = [x for x in probe_slow if x[0] > PROBE_DEADLINE or x[2] == 0]
    print(f"{what}, {HOLD:.0f} s: {len(exchanges)} exchanges, longest {longest:.1f} s, {slow} unanswered within "
          f"{EXCHANGE_BOUND:.0f} s; {len(probes)} probes, longest {probe_longest:.2f} s, {len(probe_slow)} past "
          f"{PROBE_BOUND:.0f} s; /healthz not ready on {len(unhealthy)} of 2 servers")
    assert slow == 0 and not probe_late and unhealthy == {0, 1}, (slow, probe_slow[:10], unhealthy)


def hang(load, servers, hold):
    began = time.monotonic()
    hold()
    figures(load, hang.what)
    wait_for("both servers ready again", lambda: all(healthy(s) for s in servers), 30)
    print(f"  ready again {time.monotonic() - began - HOLD:.1f} s after the database was")


def scenario(uri, bin, data, as_user):
    servers, processes = [], []
    try:
        for _ in range(2):
            s = {"http": free_port(), "monitor": free_port()}
            processes.append(subprocess.Popen(
                [SERVER, "--db", uri, "--http-listen", f"127.0.0.1:{s['http']}",
                 "--monitor-listen", f"127.0.0.1:{s['monitor']}", "--units-per-hour", "100000"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=os.path.dirname(data)))
            servers.append(s)
        for s in servers:
            wait_for("a server answers", lambda: healthy(s), 20)
        with Load(servers) as load:
            wait_for("every machine answered", lambda: len(load.acked) == 2 * MACHINES, 20)
            time.sleep(2)
            with load.lock:
                load.exchanges.clear(), load.probes.clear()

            def stopped():
                postmaster = int(open(f"{data}/postmaster.pid").readline())
                family = [postmaster] + [int(p) for p in subprocess.run(
                    ["pgrep", "-P", str(postmaster)], capture_output=True, text=True).stdout.split()]
                for pid in family: os.kill(pid, signal.SIGSTOP)
                time.sleep(HOLD)  # the hold itself: the load meanwhile is what is measured
                for pid in family: os.kill(pid, signal.SIGCONT)
            hang.what = "postmaster and backends stopped"
            hang(load, servers, stopped)

            def locked():
                subprocess.run(as_user + [f"{bin}/psql", uri, "-q", "-c",
                                          f"BEGIN; LOCK TABLE machines IN ACCESS EXCLUSIVE MODE;"
                                          f" SELECT pg_sleep({HOLD}); COMMIT;"],
                               check=True, stdout=subprocess.DEVNULL, cwd="/")
            hang.what = "machines locked ACCESS EXCLUSIVE"
            hang(load, servers, locked)
            time.sleep(1)
        # Nothing acknowledged lost: each machine at its last answered record or past it, each unit once.
        shown = {m["name"]: m["progress"] for m in json.loads(get(servers[0]["http"], "/api/machines")[1])["machines"]}
        lost = {name: (p, shown.get(name)) for name, p in load.acked.items()
                if shown.get(name) not in (p, load.sent[name])}
        units = len(json.loads(get(servers[0]["http"], "/api/units?limit=1000")[1])["units"])
        print(f"afterwards: {len(shown)} machines, {len(lost)} not at their last acknowledged record; "
              f"{units} units stored of {load.units} acknowledged ({load.unitsSent} sent)")
        assert not lost and load.units <= units <= load.unitsSent, (lost, units, load.units)
    finally:
        for p in processes:
            p.kill()
            p.wait()


def healthy(s):
    try:
        return get(s["http"], "/healthz", 1)[0] == 200
    except OSError:
        return False


def main():
    with cluster() as c:
        scenario(c.uri, c.bin, c.data, c.as_user)


if __name__ == "__main__":
    main()
