"""A PostgreSQL cluster for one scenario: made in a scratch folder, run as
nobody when root (PostgreSQL refuses root), reached by its Unix socket only,
stopped and removed at the end. Without PostgreSQL's programs the scenario
is skipped (status 77)."""
import contextlib
import glob
import os
import pwd
import shutil
import subprocess
import sys
import tempfile


class Cluster:
    def __init__(self, bin, scratch, as_user):
        self.bin, self.scratch, self.as_user = bin, scratch, as_user
        self.data = f"{scratch}/data"
        self.pg_ctl = as_user + [f"{bin}/pg_ctl", "-D", self.data, "-w"]
        self.uri = f"postgresql:///postgres?host={scratch}&user=pelmora"


@contextlib.contextmanager
def cluster():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    if not found:
        sys.exit(print("PostgreSQL's programs are not installed: skipped") or 77)
    scratch, as_user = tempfile.mkdtemp(prefix="pelmora-pg-"), []
    if os.geteuid() == 0:
        os.chown(scratch, pwd.getpwnam("nobody").pw_uid, pwd.getpwnam("nobody").pw_gid)
        as_user = ["runuser", "-u", "nobody", "--"]
    c = Cluster(os.path.dirname(found[-1]), scratch, as_user)
    try:
        subprocess.run(as_user + [f"{c.bin}/initdb", "-D", c.data, "-U", "pelmora", "--auth=trust", "--no-locale"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(c.pg_ctl + ["-l", f"{scratch}/log", "-o", f"-k {scratch} -c listen_addresses='' -c fsync=off",
                                   "start"], check=True, stdout=subprocess.DEVNULL)
        yield c
    finally:
        subprocess.run(c.pg_ctl + ["-m", "immediate", "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)
