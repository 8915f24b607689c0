"""Slots across two servers behind HAProxy: 300 new monitors start at once,
each taking the slot its first connection is offered, four rounds (each
round's machines then stop, which frees their slots). No slot may end held
by two machines that have not stopped. The cluster, the servers and HAProxy
are behind_haproxy.py's; in a network namespace of its own (the monitor port
is fixed); needs root, HAProxy and PostgreSQL's programs, else skipped (77).
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

from behind_haproxy import BALANCER, MONITOR, SERVERS, Cluster, Failed, outside, request, until
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from monitor_record import record_bytes  # noqa: E402

MONITORS, ROUNDS = 300, 4


def source(i):
    """A loopback address a monitor, so no address meets its caps."""
    return f"127.0.{1 + i // 200}.{1 + i % 200}"


def monitor(name, i, exiting=False, slot=0):
    """One exchange of a monitor whose slot is SLOT: the slot it holds after it."""
    with socket.create_connection((BALANCER, MONITOR), timeout=20, source_address=(source(i), 0)) as s:
        offered = s.recv(1)
        offered = int.from_bytes(offered, "big", signed=True) if offered else 0
        slot = slot or offered
        s.sendall(record_bytes(slot=slot, computer_name=name, unit="p4242_R0_C0_G0", exiting=exiting))
        if not exiting and not s.recv(1):
            raise OSError(f"{name} not answered")
    return slot


def at_once(exchange):
    """EXCHANGE(i) for every monitor, all let go together: the slots, and the failures."""
    slots, failures, start = [0] * MONITORS, [], threading.Barrier(MONITORS)

    def run(i):
        try:
            start.wait()
            slots[i] = exchange(i)
        except OSError as e:
            failures.append(f"{i}: {e}")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(MONITORS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return slots, failures


def statements(c):
    """The lease statements the servers ran, and all their statements."""
    rows = c.sql("SELECT coalesce(sum(calls) FILTER (WHERE query LIKE 'WITH taken AS%'), 0), sum(calls)"
                 " FROM pg_stat_statements WHERE query NOT LIKE '%pg_stat_statements%'")
    return [int(n) for n in rows[0].split("|")]


def rounds(c):
    shared_each, exchanges = [], 0
    for r in range(ROUNDS):
        names = [f"R{r}PC{i}" for i in range(MONITORS)]
        slots, failures = at_once(lambda i: monitor(names[i], i))
        if failures:
            raise Failed(f"round {r}: {len(failures)} exchanges failed, first {failures[0]}")
        # The store's word on who holds what, whichever server wrote it.
        shared = c.sql("SELECT count(*) FROM (SELECT slot FROM machines WHERE stopped = 0 AND slot <> 0"
                       " GROUP BY slot HAVING count(*) > 1) s")
        held = len({s for s in slots if s})
        shared_each.append(int(shared[0]))
        # Every slot taken, but those a server leased to offer and had no new monitor for.
        if held < 255 - 2 * 16:
            raise Failed(f"round {r}: {held} slots taken by {MONITORS} new monitors")
        # Each monitor reports once more, with its slot, and then stops.
        for exiting in (False, True):
            _, failures = at_once(lambda i: monitor(names[i], i, exiting, slots[i]))
            if failures:
                raise Failed(f"round {r}: {len(failures)} later exchanges failed, first {failures[0]}")
        exchanges += 3 * MONITORS
        until(10, f"round {r}'s machines stopped", lambda: c.sql(
            "SELECT count(*) FROM machines WHERE stopped = 0") == ["0"])
        print(f"  round {r}: {held} slots taken, {shared_each[-1]} held by two machines", flush=True)
    leases, everything = statements(c)
    print(f"  {leases} slot leases taken for {exchanges} exchanges ({ROUNDS * MONITORS} new monitors),"
          f" of {everything} statements", flush=True)
    if any(shared_each):
        raise Failed(f"slots held by two machines, each round: {shared_each}")


def main():
    status = outside(__file__)
    if status is not None:
        return status
    with tempfile.TemporaryDirectory(prefix="pelmora-slots-") as work:
        c = Cluster(work)
        try:
            c.database()
            # The statements the servers run, counted (PostgreSQL's own extension).
            c.pg("psql", "-h", work, "-U", "postgres", "-qc",
                 "ALTER SYSTEM SET shared_preload_libraries = 'pg_stat_statements'")
            c.pg_ctl("restart")
            c.pg("psql", "-h", work, "-U", "postgres", "-d", "pelmora", "-qc", "CREATE EXTENSION pg_stat_statements")
            for name in SERVERS:
                c.start_server(name)
            for name, address in SERVERS.items():
                until(15, f"server {name} ready", lambda: request(address, "/healthz") == (200, "ok"))
            c.start_haproxy()
            until(5, "HAProxy listening", lambda: socket.create_connection((BALANCER, MONITOR), timeout=1).close() or 1)
            start = time.monotonic()
            rounds(c)
            print(f"ok   {ROUNDS} rounds of {MONITORS} monitors ({time.monotonic() - start:.1f} s)")
            return 0
        except (Failed, OSError, subprocess.CalledProcessError) as e:
            print(f"FAIL {e}", flush=True)
            for name in c.processes:
                print(f"--- {name}.log (end):\n" + "".join(open(f"{work}/{name}.log").readlines()[-15:]))
            return 1
        finally:
            c.stop()


if __name__ == "__main__":
    sys.exit(main())
