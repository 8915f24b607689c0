#!/usr/bin/env python3
"""How fast pelmora-server's store grows, in bytes a day, from a measured span.

  store_growth.py flood SECONDS   one machine reporting as fast as it can from 4
                                  threads, a new 600-character unit name each time
  store_growth.py fleet SECONDS   tools/simulated-fleet: 10,000 machines, a report a
                                  minute, a step of progress every 3 (a unit in 5 hours)

The server runs on a fresh store on 127.0.0.1 (free ports). The store's size
(GET /api/store: its pages in use) and its history rows are read once the
fleet has reported once (the flood: after 5 s), then SECONDS later; growth a
day is their difference scaled to 86,400 s. Env: SERVER, FLEET (the binaries).
"""
import itertools
import json
import os
import random
import re
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/support"))
from monitor_record import record_bytes  # noqa: E402

SERVER = os.environ.get("SERVER", "build/linux/pelmora-server")
FLEET = os.environ.get("FLEET", "build/linux/tools/simulated-fleet")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def flood(monitor, running, count):
    names = itertools.count()
    while running[0]:
        unit = f"p{next(names)}_" + "x" * 600
        try:
            with socket.create_connection(("127.0.0.1", monitor), timeout=5) as s:
                s.recv(1)
                s.sendall(record_bytes(computer_name="FLOODPC", progress=random.randint(0, 100), unit=unit))
                s.recv(1)
                count[0] += 1
        except OSError:
            time.sleep(0.01)


def main():
    kind, seconds = sys.argv[1], float(sys.argv[2])
    http, monitor = free_port(), free_port()
    with tempfile.TemporaryDirectory(prefix="store-growth-") as work:
        db = os.path.join(work, "server.db")
        token = os.path.join(work, "token")
        with open(token, "w") as f:
            f.write("store-growth-admin-token-0123456789\n")
        os.chmod(token, 0o600)
        server = subprocess.Popen([SERVER, "--db", db, "--admin-token-file", token, "--log-level", "warn",
                                   "--new-machines-per-hour", "1000000",
                                   "--http-listen", f"127.0.0.1:{http}", "--monitor-listen", f"127.0.0.1:{monitor}"])
        time.sleep(1)
        running, count, workers = [True], [0], []
        if kind == "flood":
            workers = [threading.Thread(target=flood, args=(monitor, running, count), daemon=True) for _ in range(4)]
            for w in workers:
                w.start()
            warm = 5
        else:
            fleet = subprocess.Popen([FLEET, "--port", str(monitor), "--machines", "10000", "--period", "60",
                                      "--reports-per-step", "3"], stdout=subprocess.DEVNULL)
            warm = 70

        def look():
            size = json.load(urllib.request.urlopen(f"http://127.0.0.1:{http}/api/store"))["size_bytes"]
            with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as c:
                rows = c.execute("SELECT count(*) FROM reports").fetchone()[0]
                reports = c.execute("SELECT value FROM totals WHERE name = 'reports'").fetchone()[0]
            return time.monotonic(), size, rows, reports

        time.sleep(warm)
        t0, size0, rows0, reports0 = look()
        time.sleep(seconds)
        t1, size1, rows1, reports1 = look()
        running[0] = False
        if kind != "flood":
            fleet.terminate()
            fleet.wait()
        server.terminate()
        server.wait()
        span = t1 - t0
        grown, rows = size1 - size0, rows1 - rows0
        print(f"{kind}: {span:.0f} s, {(reports1 - reports0) / span:.0f} reports/s, {rows / span:.2f} history rows/s, "
              f"store +{grown} bytes ({grown / span:.0f} bytes/s, {grown / max(rows, 1):.0f} bytes a row): "
              f"{grown / span * 86400 / 1e6:.1f} MB a day; {size1} bytes in all")


if __name__ == "__main__":
    main()
