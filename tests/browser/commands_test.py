"""Commands from the machine page to a real headless monitor: refused without
a session or from another site, and, signed in as admin, "Stop the monitor"
reaches the monitor, which ends with its summary."""
import socket, unittest, urllib.parse

from harness import TOKEN, Dashboard, until

FETCH = """const done = arguments[arguments.length - 1];
fetch(arguments[0], {method: "POST", headers: {"Content-Type": "application/json"},
    credentials: "same-origin", body: '{"command":"exit"}'}).then(r => done(r.status), e => done(String(e)));"""


class Commands(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Dashboard("commands")
        cls.addClassCleanup(cls.d.close)
        cls.monitor, cls.client = cls.d.monitor(1)
        name = socket.gethostname()
        cls.id = until(lambda: cls.d.machine(name), 20, "the monitor reporting")["id"]
        cls.page = f"/machines/{cls.id}"

    def test_1_refused_without_a_session_or_from_another_site(self):
        driver = self.d.open(self.page)
        self.assertFalse(self.d.find('button[data-command="exit"]')[0].is_enabled())
        self.assertEqual(driver.execute_async_script(FETCH, f"/api/machines/{self.id}/commands"), 401)
        form = urllib.parse.urlencode({"token": TOKEN}).encode()
        for header in ({"Origin": "http://elsewhere.example"}, {"Sec-Fetch-Site": "cross-site"}):
            with self.subTest(header):
                self.assertEqual(self.d.api("/signin", "POST", form, header)[0], 403)
        # A form on another site, sent by the browser itself, signs nobody in.
        driver.get(f"data:text/html,<form method=post action='{self.d.url}/signin'>"
                   f"<input name=token value={TOKEN}></form><script>document.forms[0].submit()</script>")
        until(lambda: driver.current_url.startswith(self.d.url), 10, "the form sent")
        self.d.open(self.page)
        self.assertTrue(self.d.find("#session #signin-link"))
        self.assertEqual(self.d.api(f"/api/machines/{self.id}/commands")[1]["commands"], [])

    def test_2_stop_the_monitor_signed_in(self):
        driver = self.d.open(f"/signin?next={self.page}")
        self.d.find("#token")[0].send_keys(TOKEN)
        self.d.find("#signin-submit")[0].click()
        self.d.wait(lambda d: d.current_url == self.d.url + self.page and
                    d.execute_script("return document.body.dataset.ready") == "1", "back on the machine page")
        self.assertIn("Signed in (admin)", self.d.text("#session"))
        self.d.find('button[data-command="exit"]')[0].click()
        self.d.wait(lambda _: self.d.find("dialog#confirm[open]"), "the confirmation")
        self.d.find("#confirm-yes")[0].click()
        self.d.wait(lambda _: self.d.text("#command-result").startswith("Sent: exit"), "the command sent")
        self.assertEqual(self.monitor.wait(20), 0)
        with open(f"{self.client}/pelmora/pelmora_log.txt") as log:
            self.assertIn("Pelmora stats after shutdown", log.read())
        driver.refresh()
        self.d.wait(lambda _: "stopped" in self.d.text("#machine-status"), "the machine stopped")
        self.assertIn("delivered", self.d.text("#commands"))


if __name__ == "__main__":
    unittest.main()
