"""The browser tests' shared part: a pelmora-server on 127.0.0.1 (monitor
port 25876, in the network run.sh made) with a scratch store, real headless
monitors and simulated-fleet feeding it, headless Chromium on its pages.
Every wait is bounded."""
import json, os, re, shutil, socket, subprocess, sys, time, urllib.error, urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../support"))
from monitor_record import record_bytes  # noqa: E402

BUILD, DEMO, OUT = os.environ["PELMORA_BUILD"], os.environ["DEMO_DIR"], os.environ["OUT_DIR"]
AXE_JS = os.environ.get("AXE_JS", os.path.join(BUILD, "tests", "browser", "tools", "node_modules", "axe-core", "axe.min.js"))
SHOTS = os.path.join(BUILD, "tests", "browser", "screenshots")
TOKEN = "browser-admin-token"


LAYOUT_SHIFT = """const done = arguments[arguments.length - 1];
let sum = 0;
const moved = [];
const observer = new PerformanceObserver((list) => {
  for (const e of list.getEntries()) {
    if (e.hadRecentInput) continue;
    sum += e.value;
    for (const s of e.sources || []) {
      const n = s.node;
      moved.push(n ? `${n.nodeName}${n.id ? "#" + n.id : ""}${n.className ? "." + n.className : ""}` : "?");
    }
  }
});
observer.observe({type: "layout-shift", buffered: true});
setTimeout(() => { observer.disconnect(); done([sum, moved]); }, 100);"""

AXE_RUN = """const done = arguments[arguments.length - 1];
axe.run(document, {resultTypes: ["violations"]}).then(
  (r) => done(r.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(" ")).join(", ")}`)),
  (e) => done([`axe failed: ${e}`]));"""


def report(port, name, source="127.0.0.1", user="user01", team=7):
    """One status record from SOURCE, as a monitor sends it."""
    with socket.create_connection(("127.0.0.1", int(port)), timeout=5, source_address=(source, 0)) as s:
        s.recv(1)
        s.sendall(record_bytes(computer_name=name, progress=45, user=user, team=team))
        s.recv(1)


def until(check, seconds, what):
    """check() until it gives something true, for at most SECONDS."""
    deadline = time.monotonic() + seconds
    while not (result := check()):
        if time.monotonic() > deadline:
            raise AssertionError(f"never: {what}")
        time.sleep(0.1)
    return result


class Dashboard:
    def __init__(self, name, monitor_port=25876, offline_after=6, stall_after=4, log_level="debug", extra=()):
        """Monitors report every 5 s: by default offline after 6 s without one, stalled after 4 s without progress."""
        self.dir = os.path.join(OUT, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.procs, self.driver = [], None
        with open(f"{self.dir}/token", "w") as f:
            f.write(TOKEN + "\n")
        self.server_args = ("--db", f"{self.dir}/server.db", "--admin-token-file", f"{self.dir}/token",
                            "--offline-after", str(offline_after), "--stall-after", str(stall_after),
                            "--log-level", log_level, *extra)
        try:
            self.start_server("server", f"127.0.0.1:{monitor_port}", "127.0.0.1:0")
        except AssertionError:
            self.close()
            raise

    def start_server(self, name, monitor_listen, http_listen):
        self.server = self.spawn(name, f"{BUILD}/pelmora-server", "--monitor-listen", monitor_listen,
                                 "--http-listen", http_listen, *self.server_args)
        log = until(lambda: " HTTP on " in (text := self.log(name)) and text, 5, "the server listening")
        ports = dict(re.findall(r" (monitors|HTTP) on 127\.0\.0\.1:(\d+)$", log, re.M))
        self.monitor_port, self.url = ports["monitors"], f"http://127.0.0.1:{ports['HTTP']}"

    def restart_server(self, between=lambda: None):
        """Stops the server (SIGTERM), calls between(), and starts it again on the same ports and store."""
        self.server.terminate()
        self.server.wait(10)
        between()
        self.start_server("server-again", f"127.0.0.1:{self.monitor_port}", self.url[len("http://"):])

    def spawn(self, name, *args, cwd=None):
        with open(f"{self.dir}/{name}.log", "w") as out:
            proc = subprocess.Popen(args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.procs.append(proc)
        return proc

    def log(self, name):
        with open(f"{self.dir}/{name}.log", errors="replace") as f:
            return f.read()

    def fleet(self, *args):
        return self.spawn("fleet-" + "-".join(args), f"{BUILD}/tools/simulated-fleet", "--port", self.monitor_port, *args)

    def monitor(self, cpu, machine_id=None, unit=None):
        """A real headless monitor on a copy of demo/ reporting every 5 s and submitting units; optionally
        with another machine id in client.cfg and another unit to begin with."""
        client = f"{self.dir}/m{cpu}"
        shutil.copytree(DEMO, client)
        if machine_id is not None:
            with open(f"{client}/client.cfg") as f:
                cfg = re.sub(r"(?m)^machineid=.*$", f"machineid={machine_id}", f.read())
            with open(f"{client}/client.cfg", "w") as f:
                f.write(cfg)
        if unit:
            self.next_unit(client, unit)
        with open(f"{client}/pelmora/pelmora.ini", "w") as f:
            f.write(f"cpunum {cpu}\nfhlog 1\nstats 1\nipadd 127.0.0.1\nkorv! 1\n"
                    f"khost {self.url[len('http://'):]}\n")
        return self.spawn(f"monitor{cpu}", f"{BUILD}/pelmora", cwd=f"{client}/pelmora"), client

    @staticmethod
    def next_unit(client, name, progress=1):
        """The client moves on to unit NAME (written whole, as a client does)."""
        with open(f"{client}/unitinfo.txt.new", "w") as f:
            f.write(f"Name: {name}\nProgress: {progress}%\n")
        os.replace(f"{client}/unitinfo.txt.new", f"{client}/unitinfo.txt")

    def api(self, path, method="GET", body=None, headers=None):
        """(status, parsed JSON or text) of a request to the server."""
        request = urllib.request.Request(self.url + path, method=method, data=body, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=5) as answer:
                status, text = answer.status, answer.read().decode()
        except urllib.error.HTTPError as error:
            status, text = error.code, error.read().decode()
        try:
            return status, json.loads(text)
        except ValueError:
            return status, text

    def machine(self, name, cpu=1):
        return next((m for m in self.api("/api/machines")[1]["machines"]
                     if m["name"] == name and m["cpu"] == cpu), None)

    def browser(self, width=1440, height=900):
        if not self.driver:
            options = webdriver.ChromeOptions()
            options.binary_location = "/usr/bin/chromium"
            for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
                options.add_argument(arg)
            options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
            self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"),
                                           options=options)
            self.driver.set_script_timeout(10)
        # The page's own width, whatever the window's frame takes.
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
        return self.driver

    def open(self, path):
        """Loads a page and waits for its first data; the console must hold no error (a CSP refusal, a 404)."""
        driver = self.driver or self.browser()
        driver.get_log("browser")  # what earlier pages logged
        driver.get(self.url + path)
        self.wait(lambda d: d.execute_script("return document.body.dataset.ready") == "1", f"{path} ready")
        errors = [e["message"] for e in driver.get_log("browser")
                  if e["level"] == "SEVERE" and "favicon.ico" not in e["message"]]
        assert not errors, f"{path}: {errors}"
        return driver

    def wait(self, condition, what, seconds=20):
        # Rows are redrawn as reports arrive: an element found a moment ago may be gone.
        return WebDriverWait(self.driver, seconds, ignored_exceptions=(StaleElementReferenceException, IndexError)
                             ).until(condition, f"never: {what}")

    def find(self, css, within=None):
        return (within or self.driver).find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        return " ".join(e.text for e in self.find(css))

    def color_scheme(self, scheme):
        """Emulates prefers-color-scheme: "light" or "dark"."""
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": scheme}]})

    def layout_shift(self):
        """The page's layout shifts so far not caused by input: (their sum, what moved)."""
        return self.driver.execute_async_script(LAYOUT_SHIFT)

    def axe(self):
        """axe-core's violations on the page as it is now: ["rule: target, ...", ...]."""
        if not self.driver.execute_script("return typeof axe === 'object'"):
            with open(AXE_JS) as f:
                self.driver.execute_script(f.read())
        return self.driver.execute_async_script(AXE_RUN)

    def screenshot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        self.driver.save_screenshot(f"{SHOTS}/{name}.png")

    def close(self):
        if self.driver:
            self.driver.quit()
        for proc in reversed(self.procs):
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
