#!/usr/bin/env python3
"""Hostile peers against the real pelmora-server, one attack a row.

For each row a fresh server (in a network namespace of its own when
`unshare --net` works) is attacked from 127.0.0.2 and up while a real user
(127.0.0.1) asks for GET /api/machines and a real monitor makes its
exchange; both must be answered within REAL_SECONDS. The server's peak
memory (VmHWM) must stay under HOSTILE_MEMORY_MIB (128), and SIGTERM, sent
while the attack goes on, must end it within STOP_SECONDS.

  SERVER=build/linux/pelmora-server hostile.py [ROW ...]
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SERVER = os.environ.get("SERVER", "build/linux/pelmora-server")
MEMORY_MIB = int(os.environ.get("HOSTILE_MEMORY_MIB", "128"))
REAL_SECONDS = 1.0
STOP_SECONDS = 5.0
HTTP_PORT, MONITOR_PORT = 18080, 18576
RECORD = b"0 HOSTILE 1 3 42 p1234_R1_C2_G3 0 2400.000000 GenuineIntel GroCVS 100 150 user01 12345  0"


class Attack:
    """Threads that keep an attack going until stop() (and through the SIGTERM)."""

    def __init__(self):
        self.running = True
        self.threads = []
        self.sockets = []
        self.lock = threading.Lock()
        self.cut = 0  # connections the server ended while we dripped

    def spawn(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        t.start()
        self.threads.append(t)

    def connect(self, port, source, timeout=5):
        s = socket.socket()
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        with self.lock:
            self.sockets.append(s)
        return s

    def stop(self):
        self.running = False
        with self.lock:
            for s in self.sockets:
                try:
                    s.close()
                except OSError:
                    pass


def source(n):
    return "127.0.0.%d" % (2 + n % 200)


# ---- the attacks: each starts its threads on ATTACK and returns ----

def endless(attack, port, head, piece, senders=8):
    """SENDERS connections each sending HEAD then PIECE for ever, reconnecting when cut."""
    def run(n):
        while attack.running:
            try:
                s = attack.connect(port, source(n))
                s.sendall(head)
                while attack.running:
                    s.sendall(piece)
            except OSError:
                time.sleep(0.05)
    for n in range(senders):
        attack.spawn(run, n)


def chunked_bodies(attack):
    head = b"POST /signin HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
    endless(attack, HTTP_PORT, head, b"10000\r\n" + b"a" * 0x10000 + b"\r\n")


def long_bodies(attack):
    head = b"POST /signin HTTP/1.1\r\nHost: x\r\nContent-Length: 268435456\r\n\r\n"
    endless(attack, HTTP_PORT, head, b"a" * 65536)


def long_request_line(attack):
    endless(attack, HTTP_PORT, b"GET /", b"a" * 65536)


def long_header_line(attack):
    endless(attack, HTTP_PORT, b"GET / HTTP/1.1\r\nX-Long: ", b"a" * 65536)


def header_flood(attack):
    endless(attack, HTTP_PORT, b"GET / HTTP/1.1\r\n", b"X-Short: a\r\n" * 4096)


def drip(attack, port, head, connections, every=1.0):
    """CONNECTIONS that send one byte of HEAD (then of filler) every EVERY seconds."""
    def run():
        held = []
        for n in range(connections):
            try:
                held.append([attack.connect(port, source(n // 50)), 0])
            except OSError:
                pass
        while attack.running:
            for entry in list(held):
                s, sent = entry
                byte = head[sent:sent + 1] or b"a"
                try:
                    s.send(byte)
                    entry[1] += 1
                except OSError:
                    held.remove(entry)
                    attack.cut += 1
            time.sleep(every)
    attack.spawn(run)


def slow_http(attack):
    drip(attack, HTTP_PORT, b"GET /api/machines HTTP/1.1\r\nX-Drip: ", 300)


def slow_monitors(attack):
    drip(attack, MONITOR_PORT, b"", 300)


def idle_sockets(attack):
    def run():
        for n in range(1000):
            for port in (HTTP_PORT, MONITOR_PORT):
                try:
                    attack.connect(port, source(n // 50))
                except OSError:
                    pass
    attack.spawn(run)


def event_streams(attack):
    """Event streams opened and never read, from several addresses, over their cap."""
    def run():
        for n in range(100):
            try:
                s = attack.connect(HTTP_PORT, source(n // 10))
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            except OSError:
                pass
    attack.spawn(run)


def over_the_caps(attack):
    """One address opens far more connections than its cap on both ports, again and again."""
    def run():
        while attack.running:
            opened = []
            for _ in range(400):
                for port in (HTTP_PORT, MONITOR_PORT):
                    try:
                        opened.append(attack.connect(port, "127.0.0.2", timeout=1))
                    except OSError:
                        pass
            time.sleep(0.5)
            for s in opened:
                s.close()
    attack.spawn(run)


ROWS = [
    ("chunked bodies", chunked_bodies, 5),
    ("bodies of 256 MiB by Content-Length", long_bodies, 5),
    ("an endless request line", long_request_line, 5),
    ("an endless header line", long_header_line, 5),
    ("endless short header lines", header_flood, 5),
    ("slow HTTP clients, a byte a second", slow_http, 12),
    ("slow monitors, a byte a second", slow_monitors, 12),
    ("1,000 idle sockets on each port", idle_sockets, 5),
    ("100 event streams never read", event_streams, 5),
    ("connections over the per-address caps", over_the_caps, 5),
]


# ---- the real user and the real monitor ----

def real_user():
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=REAL_SECONDS * 3) as s:
        s.sendall(b"GET /api/machines HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        answer = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            answer += piece
    if not answer.startswith(b"HTTP/1.1 200") or b'"machines"' not in answer:
        raise AssertionError("GET /api/machines answered %r" % answer[:120])
    return time.monotonic() - start


def real_monitor():
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", MONITOR_PORT), timeout=REAL_SECONDS * 3) as s:
        slot = s.recv(1)
        if len(slot) != 1:
            raise AssertionError("no slot byte")
        s.sendall(RECORD.ljust(768, b"\0"))
        if len(s.recv(1)) != 1:
            raise AssertionError("no command byte")
    return time.monotonic() - start


def peak_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0


def run_row(name):
    function, seconds = next((f, s) for n, f, s in ROWS if n == name)
    work = tempfile.mkdtemp(prefix="hostile-")
    token = os.path.join(work, "admin.token")
    with open(token, "w") as f:
        f.write("hostile-admin-token-0123456789\n")
    log = open(os.path.join(work, "server.log"), "w")
    server = subprocess.Popen([SERVER, "--db", os.path.join(work, "store.db"), "--admin-token-file", token,
                               "--http-listen", "127.0.0.1:%d" % HTTP_PORT,
                               "--monitor-listen", "127.0.0.1:%d" % MONITOR_PORT], stdout=log, stderr=log)
    faults = []
    attack = Attack()
    try:
        for _ in range(100):
            try:
                real_monitor()
                break
            except OSError:
                time.sleep(0.05)
        real_user()
        function(attack)
        worst_user = worst_monitor = 0.0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(0.5)
            try:
                worst_user = max(worst_user, real_user())
                worst_monitor = max(worst_monitor, real_monitor())
            except (OSError, AssertionError) as e:
                faults.append("the real user or monitor failed: %s" % e)
                break
        if worst_user > REAL_SECONDS or worst_monitor > REAL_SECONDS:
            faults.append("answered in %.2f s (user) and %.2f s (monitor)" % (worst_user, worst_monitor))
        if seconds > 10 and attack.cut == 0 and function in (slow_http, slow_monitors):
            faults.append("no dripping connection was cut by its deadline")
        peak = peak_mib(server.pid)
        stop_start = time.monotonic()
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=STOP_SECONDS)
            stopped = time.monotonic() - stop_start
            if status != 0:
                faults.append("exit status %d after SIGTERM" % status)
        except subprocess.TimeoutExpired:
            stopped = float("inf")
            faults.append("still running %.0f s after SIGTERM" % STOP_SECONDS)
        if peak > MEMORY_MIB:
            faults.append("peak memory %.1f MiB" % peak)
        print("%-42s peak %6.1f MiB  user %.3f s  monitor %.3f s  stop %.2f s  %s" %
              (name, peak, worst_user, worst_monitor, stopped, "FAIL: " + "; ".join(faults) if faults else "ok"),
              flush=True)
    finally:
        attack.stop()
        if server.poll() is None:
            server.kill()
            server.wait()
        log.close()
    if faults:
        with open(os.path.join(work, "server.log")) as f:
            sys.stdout.write("".join(f.readlines()[-20:]))
    return not faults


def isolated():
    return subprocess.run(["unshare", "--net", "true"], stderr=subprocess.DEVNULL).returncode == 0


def main():
    names = sys.argv[1:] or [name for name, _, _ in ROWS]
    if os.environ.get("HOSTILE_INSIDE") == "1" or not isolated():
        return 0 if all([run_row(name) for name in names]) else 1
    failed = 0
    for name in names:
        # Each row in a network of its own: fixed ports, and nothing left over from the row before.
        failed += subprocess.run(
            ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" "$1" "$2"', sys.executable,
             os.path.abspath(__file__), name], env=dict(os.environ, HOSTILE_INSIDE="1")).returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
