"""Two real pelmora-server processes on one PostgreSQL cluster made here
(initdb and pg_ctl as nobody when root; a Unix socket only). A silent
machine gives one alert and one post to a slow receiver, whichever server
it reported to; after SIGKILL of the leader the other leads within 15 s and
posts the next. Prints the failover time. Exit 77: no PostgreSQL installed.
"""
import http.server, json, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time
import urllib.request

from cluster import cluster
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from monitor_record import record_bytes  # noqa: E402

SERVER = os.environ.get("SERVER", "build/linux/pelmora-server")
TOKEN = "two-servers-admin-token-0123456789"
OFFLINE_AFTER = 3
posts = []


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        posts.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        time.sleep(2)  # a post under way while the other server looks at the queue
        self.send_response(204)
        self.end_headers()

    log_message = lambda *args: None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(uri, work, webhook):
    http, monitor = free_port(), free_port()
    process = subprocess.Popen(
        [SERVER, "--db", uri, "--admin-token-file", f"{work}/token", "--offline-after", str(OFFLINE_AFTER),
         "--webhook", webhook, "--http-listen", f"127.0.0.1:{http}", "--monitor-listen", f"127.0.0.1:{monitor}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return process, http, monitor


def leads(http):
    request = urllib.request.Request(f"http://127.0.0.1:{http}/metrics", headers={"Authorization": f"Bearer {TOKEN}"})
    try:
        with urllib.request.urlopen(request, timeout=2) as answer:
            return "\npelmora_leader 1\n" in answer.read().decode()
    except OSError:
        return None


def report(monitor, name):
    with socket.create_connection(("127.0.0.1", monitor), timeout=5) as s:
        s.recv(1)
        s.sendall(record_bytes(computer_name=name))
        s.recv(1)


def wait_for(what, condition, seconds):
    end = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < end, f"not within {seconds} s: {what}"
        time.sleep(0.1)


def raised(name):
    return sum(p["event"] == "raised" and p["alert"]["machine"] == name + "/1" for p in posts)


def scenario(uri, work):
    with open(os.open(f"{work}/token", os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
        f.write(TOKEN + "\n")
    receiver = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
    threading.Thread(target=receiver.serve_forever, daemon=True).start()
    webhook = f"http://127.0.0.1:{receiver.server_address[1]}/hook"
    servers = []
    try:
        servers.append(start_server(uri, work, webhook))
        wait_for("the first server leads", lambda: leads(servers[0][1]) is True, 10)
        servers.append(start_server(uri, work, webhook))
        wait_for("the second server answers", lambda: leads(servers[1][1]) is not None, 10)
        assert leads(servers[1][1]) is False, "both servers lead"
        # Reported to the one that does not lead; raised and posted by the one that does.
        report(servers[1][2], "SILENT1")
        wait_for("an alert posted for SILENT1", lambda: raised("SILENT1"), OFFLINE_AFTER + 10)
        time.sleep(3)  # answered and marked sent
        killed = time.monotonic()
        servers[0][0].kill()
        wait_for("the second server leads", lambda: leads(servers[1][1]) is True, 15)
        print(f"failover: the leader killed, the other leads after {time.monotonic() - killed:.1f} s")
        report(servers[1][2], "SILENT2")
        wait_for("an alert posted for SILENT2", lambda: raised("SILENT2"), OFFLINE_AFTER + 10)
        time.sleep(3)
        assert (raised("SILENT1"), raised("SILENT2")) == (1, 1), f"posts: {posts}"
    finally:
        for process, _, _ in servers:
            process.kill()
            process.wait()
        receiver.shutdown()


def main():
    work = tempfile.mkdtemp()
    try:
        with cluster() as c:
            scenario(c.uri, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
