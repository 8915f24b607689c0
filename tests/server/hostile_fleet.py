#!/usr/bin/env python3
"""Hostile peers against a real pelmora-server, one row of the table a run:
webhook receivers that never end, inflate or drip; one address inventing
machines; a sender reporting as another machine, with and without
--pin-addresses. While each attack runs, a real user's GET /api/machines and
a real monitor's exchange must be answered within 1 s; afterwards the
server's peak memory (VmHWM) must be under 128 MiB and SIGTERM must end it
within 5 s. Run in a network of its own (fixed ports): hostile_fleet.py ROW.
"""
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import zlib

MONITOR, HTTP, RECEIVER = 25876, 8080, 9000
TOKEN = "hostile-suite-admin-token-0123456789"
PEAK_KIB = 128 * 1024


def record(name, cpu=1, slot=0, progress=10, exiting=False):
    text = f"{slot} {name} {cpu} 2 {progress} p1234_R1_C2_G3 {int(exiting)} 2400.000000 GenuineIntel a4 100 150 user01 7  0"
    return text.encode().ljust(768, b"\0")


def exchange(name, cpu=1, source="127.0.0.1", exiting=False, progress=10, timeout=5):
    """One monitor exchange; the command byte (None after an exit record or when refused)."""
    with socket.create_connection(("127.0.0.1", MONITOR), timeout=timeout, source_address=(source, 0)) as s:
        slot = s.recv(1)
        s.sendall(record(name, cpu, int.from_bytes(slot, "big", signed=True), progress, exiting))
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


def metric_value(line_start):
    for line in api("/metrics").splitlines():
        if line.startswith(line_start + " "):
            return float(line.split()[-1])
    return 0.0


# ---- webhook receivers: each reads the request, then misbehaves ----

def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n" + body


def endless(conn):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")
    chunk = b"x" * 65536
    while True:
        conn.sendall(chunk)


BOMB = []


def make_bomb():  # 1 GiB of zeros, about 1 MiB once compressed
    packer = zlib.compressobj(1, zlib.DEFLATED, 31)
    zeros = b"\0" * (1 << 20)
    BOMB.append(b"".join(packer.compress(zeros) for _ in range(1024)) + packer.flush())


def inflate(conn):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\n"
                 b"Content-Length: %d\r\n\r\n" % len(BOMB[0]) + BOMB[0])


def drip(conn):
    for byte in b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" * 1000:
        conn.sendall(bytes([byte]))
        time.sleep(1)


class Receiver:
    def __init__(self, behaviour):
        self.behaviour, self.posts = behaviour, []
        self.listener = socket.create_server(("127.0.0.1", RECEIVER))
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            conn, _ = self.listener.accept()
            threading.Thread(target=self.one, args=(conn,), daemon=True).start()

    def one(self, conn):
        with conn:
            try:
                self.posts.append(read_request(conn))
                self.behaviour(conn)
            except OSError:
                pass  # the server gave up on us: as it should


# ---- the server ----

class Server:
    def __init__(self, work, extra):
        self.work = work
        self.log_path = os.path.join(work, "server.log")
        with open(os.path.join(work, "token"), "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(os.path.join(work, "token"), 0o600)
        self.process = subprocess.Popen(
            [os.environ["SERVER"], "--db", os.path.join(work, "server.db"), "--admin-token-file",
             os.path.join(work, "token"), "--monitor-listen", f"127.0.0.1:{MONITOR}", "--http-listen",
             f"127.0.0.1:{HTTP}", *extra], stderr=open(self.log_path, "w"))
        until(lambda: "HTTP on" in self.log(), 10, "the server to start")

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def peak_kib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop_within(self, seconds):
        start = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError(f"SIGTERM did not end the server within {seconds} s")
        return time.monotonic() - start


def until(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if check():
                return
        except OSError:
            pass
        time.sleep(0.1)
    raise AssertionError("never: " + what)


def attack_while_served(attack, seconds):
    """Runs ATTACK (given a stop event) on threads for SECONDS while a real
    user and a real monitor are served; returns the slowest answers."""
    stop = threading.Event()
    threads = [threading.Thread(target=attack, args=(stop,), daemon=True) for _ in range(3)]
    for t in threads:
        t.start()
    slowest = {"user": 0.0, "monitor": 0.0}
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        exchange("REALPC", 1, timeout=1)
        slowest["monitor"] = max(slowest["monitor"], time.monotonic() - start)
        start = time.monotonic()
        machines = api("/api/machines", timeout=1)["machines"]
        slowest["user"] = max(slowest["user"], time.monotonic() - start)
        assert any(m["name"] == "REALPC" for m in machines), "the real machine is not listed"
        time.sleep(0.3)
    stop.set()
    for t in threads:
        t.join(10)
    return slowest


# ---- the rows ----

def webhook_row(behaviour, timeout_seconds):
    def run(work):
        if behaviour is inflate:
            make_bomb()
        receiver = Receiver(behaviour)
        server = Server(work, ["--webhook", f"http://127.0.0.1:{RECEIVER}/hook", "--offline-after", "1",
                               "--webhook-timeout", str(timeout_seconds)])
        for i in range(40):  # they go offline at once: a burst of alerts
            exchange(f"GONE{i}")
        exchange("REALPC")

        def keep_alerts_coming(stop):
            i = 0
            while not stop.is_set():  # each reports once, then goes offline
                exchange(f"LATE{threading.get_ident() % 1000}_{i}")
                i += 1
                time.sleep(1)

        slowest = attack_while_served(keep_alerts_coming, 12)
        return server, slowest, receiver
    return run


def check_webhook_took_it(server, receiver):
    assert receiver.posts, "no post reached the receiver"
    assert all(b"accept-encoding" not in p.lower() for p in receiver.posts), "the webhook asked for compression"
    assert metric_value("pelmora_webhook_summaries_total") >= 1, "the burst did not go as a summary"
    assert len(receiver.posts) <= 10 + 2, f"{len(receiver.posts)} posts: more than the burst allows"


def check_webhook_timed_out(server, receiver):
    assert metric_value("pelmora_webhook_timeouts_total") >= 1, "the stuck receiver was not counted"
    assert "no complete answer within 2000 ms" in server.log(), "the stuck receiver was not logged"


def identity_flood(work):
    server = Server(work, [])
    exchange("REALPC")

    def invent(stop):
        while not stop.is_set():
            try:
                exchange(f"FAKE{random.getrandbits(48):x}", random.randint(1, 99), source="127.0.0.3")
            except OSError:
                pass

    return server, attack_while_served(invent, 10), None


def check_identity_flood(server, _):
    machines = api("/api/machines")["machines"]
    assert len(machines) <= 100 + 1, f"{len(machines)} machines from one address"
    assert metric_value('pelmora_machines_refused_total{reason="rate"}') > 100, "the refusals were not counted"


def impersonation(pinned):
    def run(work):
        server = Server(work, ["--pin-addresses"] if pinned else [])
        exchange("LABPC7", source="127.0.0.1")
        machine = next(m for m in api("/api/machines")["machines"] if m["name"] == "LABPC7")
        queued = api(f"/api/machines/{machine['id']}/commands", "POST", {"command": "exit"})
        taken = []

        def impersonate(stop):
            while not stop.is_set():
                try:
                    taken.append(exchange("LABPC7", source="127.0.0.2", progress=99))
                    exchange("LABPC7", source="127.0.0.2", exiting=True)
                except OSError:
                    pass
                time.sleep(0.05)

        slowest = attack_while_served(impersonate, 5)
        real = exchange("LABPC7", source="127.0.0.1")
        run.state = (machine["id"], queued["id"], taken, real)
        return server, slowest, None
    return run


def check_pinned(server, _):
    machine_id, command_id, taken, real = impersonation_pinned.state
    assert 1 not in taken, "the impersonator took the exit"
    assert real == 1, f"the real machine got {real}, not its exit"
    command = next(c for c in api(f"/api/machines/{machine_id}/commands")["commands"] if c["id"] == command_id)
    assert command["delivered_to"] == "127.0.0.1", command
    assert metric_value("pelmora_records_refused_address_total") > 0
    machine = api(f"/api/machines/{machine_id}")
    assert machine["address"] == "127.0.0.1" and machine["status"] != "stopped", machine
    # An administrator clears the address: the next sender's is taken.
    api(f"/api/machines/{machine_id}/address", "DELETE")
    exchange("LABPC7", source="127.0.0.2")
    assert api(f"/api/machines/{machine_id}")["address"] == "127.0.0.2"


def check_traced(server, _):
    machine_id, command_id, taken, real = impersonation_traced.state
    assert taken.count(1) == 1 and real == 0, (taken.count(1), real)
    command = next(c for c in api(f"/api/machines/{machine_id}/commands")["commands"] if c["id"] == command_id)
    assert command["delivered_to"] == "127.0.0.2", command
    log = server.log()
    assert f"given to LABPC7 CPU# 1 at 127.0.0.2" in log, "the log does not name who took the command"
    assert "LABPC7 CPU# 1 stopped (exit record from 127.0.0.2)" in log
    assert "now reports from 127.0.0.2, before from 127.0.0.1" in log
    machine = api(f"/api/machines/{machine_id}")
    assert machine["address"] == "127.0.0.1" and machine["previous_address"] == "127.0.0.2", machine


impersonation_pinned = impersonation(True)
impersonation_traced = impersonation(False)

ROWS = {
    "webhook_endless": (webhook_row(endless, 5), check_webhook_took_it),
    "webhook_inflate": (webhook_row(inflate, 5), check_webhook_took_it),
    "webhook_drip": (webhook_row(drip, 2), check_webhook_timed_out),
    "identity_flood": (identity_flood, check_identity_flood),
    "impersonation_pinned": (impersonation_pinned, check_pinned),
    "impersonation_traced": (impersonation_traced, check_traced),
}


def main():
    row = sys.argv[1]
    attack, check = ROWS[row]
    with tempfile.TemporaryDirectory(prefix=f"hostile-{row}-") as work:
        server = None
        try:
            server, slowest, receiver = attack(work)
            check(server, receiver)
            peak = server.peak_kib()
            took = server.stop_within(5)
            print(f"{row}: peak {peak // 1024} MiB, slowest user {slowest['user']:.3f} s, "
                  f"monitor {slowest['monitor']:.3f} s, SIGTERM {took:.2f} s")
            assert peak < PEAK_KIB, f"peak memory {peak // 1024} MiB"
            assert slowest["user"] < 1 and slowest["monitor"] < 1, slowest
        except BaseException:
            if server:
                print("--- server log (end):\n" + server.log()[-3000:], file=sys.stderr)
                if server.process.poll() is None:
                    server.process.kill()
            raise


if __name__ == "__main__":
    main()
