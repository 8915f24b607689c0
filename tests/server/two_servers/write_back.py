"""The outage's write-back, timed: a real pelmora-server on a PostgreSQL
cluster made here (as failover.py makes it) knows MACHINES machines; the
database stops, each sends a record again and UNITS units come (all kept);
once the database is back, everything is written back within LIMIT
seconds (/healthz ready again), each record and unit once. Prints the
figure. Exit 77: no PostgreSQL.
"""
import os, socket, subprocess, sys, time
import urllib.error, urllib.request
from concurrent.futures import ThreadPoolExecutor

from cluster import cluster
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from monitor_record import record_bytes  # noqa: E402

SERVER = os.path.abspath(os.environ.get("SERVER", "build/linux/pelmora-server"))
MACHINES = int(os.environ.get("MACHINES", "15000"))
UNITS = int(os.environ.get("UNITS", "10000"))
LIMIT = float(os.environ.get("LIMIT", "20"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, ""
    except OSError:
        return 0, ""


def exchange(monitor, i, progress):
    with socket.create_connection(("127.0.0.1", monitor), timeout=15) as s:
        s.recv(1)
        s.sendall(record_bytes(computer_name=f"WB{i}", units_seen=1, progress=progress, unit=f"p{i}_R1_C2_G3",
                               cpu_vendor="V", core="c", user=f"u{i % 50}"))
        return s.recv(1)


def unit(http, i):
    return get(http, f"/folding/unitstats.php?username=u{i % 50}&team=7&cpu=1&wucount={i}&cpuvendor=V&cpustring=X"
                     f"&cpumhz=2000&frametime=1&protein=p{i % MACHINES}_R1_C2_G3&core=c&memory=1")[0]


def metric(http, line):
    return f"\npelmora_store_outage_{line}\n" in get(http, "/metrics")[1]


def scenario(uri, pg_ctl, scratch):
    http, monitor = free_port(), free_port()
    server = subprocess.Popen([SERVER, "--db", uri, "--http-listen", f"127.0.0.1:{http}", "--monitor-listen",
                               f"127.0.0.1:{monitor}", "--max-machines", str(MACHINES + 1000),
                               "--new-machines-per-hour", str(MACHINES * 2), "--units-per-hour", str(UNITS * 2)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=scratch)
    try:
        end = time.monotonic() + 20
        while get(http, "/healthz")[0] != 200:
            assert time.monotonic() < end, "the server did not start"
            time.sleep(0.1)
        with ThreadPoolExecutor(8) as pool:
            assert all(a == b"\0" for a in pool.map(lambda i: exchange(monitor, i, 10), range(MACHINES)))
            subprocess.run(pg_ctl + ["-m", "fast", "stop"], check=True, stdout=subprocess.DEVNULL)
            assert all(a == b"\0" for a in pool.map(lambda i: exchange(monitor, i, 20), range(MACHINES)))
            assert all(s == 202 for s in pool.map(lambda i: unit(http, i), range(UNITS)))
        subprocess.run(pg_ctl + ["-l", f"{scratch}/log", "-o", f"-k {scratch} -c listen_addresses='' -c fsync=off",
                                 "start"], check=True, stdout=subprocess.DEVNULL)
        back = time.monotonic()
        while get(http, "/healthz")[0] != 200:
            assert time.monotonic() < back + 300, "not written back within 300 s"
            time.sleep(0.1)
        took = time.monotonic() - back
        print(f"write-back: {MACHINES} records and {UNITS} units written back {took:.1f} s after the database's return")
        for line in (f'records_total{{outcome="written_back"}} {MACHINES}', f'units_total{{outcome="written_back"}} {UNITS}'):
            assert metric(http, line), line
        assert took <= LIMIT, f"{took:.1f} s, over {LIMIT} s"
    finally:
        server.kill()
        server.wait()


def main():
    with cluster() as c:
        scenario(c.uri, c.pg_ctl, c.scratch)


if __name__ == "__main__":
    main()
