"""What every hostile row shares: a fresh pelmora-server, in a network
namespace of its own when `unshare --net` works; while the attack runs, a
real user (GET /api/machines) and a real monitor (its exchange) from
127.0.0.1 must be answered within REAL_SECONDS; the peak memory (VmHWM)
must stay under HOSTILE_MEMORY_MIB (128), or the row's own bound when higher; and SIGTERM, sent while the
attack goes on, must end the server within STOP_SECONDS with status 0.
A row that fills a port may let them fail its `misses` share of tries.
"""
import collections
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import zlib
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from monitor_record import record_bytes  # noqa: E402

SERVER = os.environ.get("SERVER", "build/linux/pelmora-server")
MEMORY_MIB = int(os.environ.get("HOSTILE_MEMORY_MIB", "128"))
REAL_SECONDS, STOP_SECONDS = 1.0, 5.0
HTTP, MONITOR, RECEIVER = 18080, 18576, 19000
TOKEN = "hostile-suite-admin-token-0123456789"


def record(name, slot=0, cpu=1, progress=10, exiting=False, user="user01", unit="p1234_R1_C2_G3"):
    return record_bytes(slot=slot, computer_name=name, cpu=cpu, progress=progress, exiting=exiting, user=user, unit=unit)


def exchange(name, cpu=1, source="127.0.0.1", exiting=False, progress=10, timeout=5, **texts):
    """One monitor exchange; the command byte (None after an exit record or when refused)."""
    with socket.create_connection(("127.0.0.1", MONITOR), timeout=timeout, source_address=(source, 0)) as s:
        slot = s.recv(1)
        s.sendall(record(name, int.from_bytes(slot, "big", signed=True), cpu, progress, exiting, **texts))
        if exiting:
            return None
        answer = s.recv(1)
        return answer[0] if answer else None


def api(path, method="GET", body=None, timeout=5):
    request = urllib.request.Request(f"http://127.0.0.1:{HTTP}{path}", method=method,
                                     data=None if body is None else json.dumps(body).encode(),
                                     headers={"Authorization": f"Bearer {TOKEN}", "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=timeout) as answer:
        text = answer.read().decode()
        return json.loads(text) if text[:1] in "{[" else text


def metric(line_start):
    for line in api("/metrics").splitlines():
        if line.startswith(line_start + " "):
            return float(line.split()[-1])
    return 0.0


class Attack:
    """An attack's threads and sockets; rows keep what they check later on it."""

    def __init__(self):
        self.running, self.threads, self.sockets, self.lock = True, [], [], threading.Lock()
        self.processes = []  # helpers run apart (process groups), killed at the stop
        self.cut = 0  # connections the server ended while we dripped

    def spawn(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        t.start()
        self.threads.append(t)

    def repeat(self, step, *args, copies=1):
        """COPIES threads doing STEP until the attack stops; refusals are part of the attack."""
        def run():
            while self.running:
                try:
                    step(*args)
                except OSError:
                    time.sleep(0.05)
        for _ in range(copies):
            self.spawn(run)

    def connect(self, port, source, timeout=5):
        if not self.running:
            raise OSError("the attack is over")
        s = socket.socket()
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        with self.lock:
            self.sockets.append(s)
        return s

    def stop(self, wait=False):
        self.running = False
        with self.lock:
            for s in self.sockets:
                s.close()
            for p in self.processes:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except OSError:
                    pass
                p.wait()
            self.processes.clear()
        for t in self.threads if wait else []:
            t.join(10)


def peak_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0


def listed(name):
    """A real user's look at the fleet, as the dashboard asks for it (gzip):
    whether machine NAME is in the list."""
    request = urllib.request.Request(f"http://127.0.0.1:{HTTP}/api/machines", headers={
        "Authorization": f"Bearer {TOKEN}", "Accept-Encoding": "gzip"})
    wanted = b'"name":"%s"' % name.encode()
    with urllib.request.urlopen(request, timeout=REAL_SECONDS * 3) as answer:
        if answer.headers.get("Content-Encoding") != "gzip":
            return wanted in answer.read()
        # Read piece by piece: a 12 MB fleet unpacked whole costs this
        # process more than the server takes to send it.
        unpack, tail, packed = zlib.decompressobj(31), b"", answer.read()
        while packed:
            piece = tail + unpack.decompress(packed, 1 << 16)
            if wanted in piece:
                return True
            tail, packed = piece[-len(wanted):], unpack.unconsumed_tail
    return False


def served(end, misses=0.0):
    """The slowest real user and real monitor until END, and how often each
    was served; up to MISSES of the tries of each may fail."""
    worst, failed, tries = {"user": 0.0, "monitor": 0.0}, collections.Counter(), 0
    steps = {"user": lambda: listed("REALPC"),
             "monitor": lambda: exchange("REALPC", timeout=REAL_SECONDS * 3) is not None}
    while time.monotonic() < end:
        tries += 1
        for who, step in reversed(steps.items()):
            start = time.monotonic()
            try:
                if not step():
                    raise AssertionError(f"the real {who} was not served (no command byte, or not listed)")
                worst[who] = max(worst[who], time.monotonic() - start)
            except (OSError, ValueError, AssertionError):
                if not misses:
                    raise
                failed[who] += 1
        time.sleep(0.3)
    if failed and max(failed.values()) > misses * tries:
        raise AssertionError("the real user and monitor failed %d and %d of %d tries" % (
            failed["user"], failed["monitor"], tries))
    return worst["user"], worst["monitor"], ("served %d/%d, %d/%d; " % (
        tries - failed["user"], tries, tries - failed["monitor"], tries) if misses else "")


def run_row(name, row, work):
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write(TOKEN + "\n")
    os.chmod(token, 0o600)
    log_path = os.path.join(work, "server.log")
    log = open(log_path, "w")
    server = subprocess.Popen([SERVER, "--db", os.path.join(work, "server.db"), "--admin-token-file", token,
                               "--http-listen", f"127.0.0.1:{HTTP}", "--monitor-listen", f"127.0.0.1:{MONITOR}",
                               *row.args], stdout=log, stderr=log)
    attack, faults = Attack(), []
    attack.log = lambda: open(log_path, errors="replace").read()
    attack.work = work
    attack.pid = server.pid
    user = monitor = peak = 0.0
    stopped = float("inf")
    try:
        end = time.monotonic() + 10
        while "HTTP on" not in attack.log() and time.monotonic() < end:
            time.sleep(0.05)
        try:
            row.attack(attack)
            user, monitor, tally = served(time.monotonic() + row.seconds, row.misses)
            attack.figures = tally
            if max(user, monitor) > REAL_SECONDS:
                faults.append("answered in %.2f s (user) and %.2f s (monitor)" % (user, monitor))
            if row.check:
                row.check(attack)
        except Exception as e:
            faults.append("%s: %s" % (type(e).__name__, e))
        peak = peak_mib(server.pid)
        if peak > max(MEMORY_MIB, row.memory or 0):
            faults.append("peak memory %.1f MiB" % peak)
        start = time.monotonic()
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=STOP_SECONDS)
            stopped = time.monotonic() - start
            if status != 0:
                faults.append("exit status %d after SIGTERM" % status)
        except subprocess.TimeoutExpired:
            faults.append("still running %.0f s after SIGTERM" % STOP_SECONDS)
    finally:
        attack.stop()
        if server.poll() is None:
            server.kill()
            server.wait()
        log.close()
    print("%-22s peak %6.1f MiB  user %.3f s  monitor %.3f s  stop %.2f s  %s" %
          (name, peak, user, monitor, stopped, "FAIL: " + "; ".join(faults) if faults else "ok " +
           getattr(attack, "figures", "")), flush=True)
    if faults:
        sys.stdout.write("--- server log (end):\n" + "".join(attack.log().splitlines(True)[-20:]))
    return not faults


def main(rows):
    """Each row in a process and, when it can be made, a network of its own:
    fixed ports, and nothing left over from the row before."""
    names = sys.argv[1:] or list(rows)
    if os.environ.get("HOSTILE_INSIDE") == "1":
        with tempfile.TemporaryDirectory(prefix=f"hostile-{names[0]}-") as work:
            return 0 if run_row(names[0], rows[names[0]], work) else 1
    unknown = [name for name in names if name not in rows]
    if unknown:
        sys.exit("no such row: %s (rows: %s)" % (", ".join(unknown), ", ".join(rows)))
    own_net = subprocess.run(["unshare", "--net", "true"], stderr=subprocess.DEVNULL).returncode == 0
    prefix = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"] if own_net else []
    failed = [name for name in names if subprocess.run(
        prefix + [sys.executable, "-B", os.path.abspath(sys.argv[0]), name],
        env=dict(os.environ, HOSTILE_INSIDE="1")).returncode != 0]
    print("failed: " + ", ".join(failed) if failed else "all %d rows passed" % len(names))
    return 1 if failed else 0
