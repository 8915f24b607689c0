"""The admin's actions where the admin looks, signed in as admin: a machine
muted from its page raises no alert while it goes offline, shows its mute on
its page and its fleet row, and raises its alert once unmuted; a command to
the offline machine says it waits; one command to several machines picked
on the fleet page; the machine removed from its page."""
import json, unittest

from harness import TOKEN, Dashboard, report, until

QUIET = "QUIET-RACK-9"


class Actions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = d = Dashboard("actions", offline_after=6)
        cls.addClassCleanup(d.close)
        d.fleet("--machines", "3", "--period", "2", "--prefix", "BUSY")
        report(d.monitor_port, QUIET)  # once: offline 6 s later
        cls.id = until(lambda: d.machine(QUIET), 10, "the quiet machine")["id"]
        until(lambda: len(d.api("/api/machines")[1]["machines"]) == 4, 20, "the fleet reporting")
        d.open("/signin?next=/")
        d.find("#token")[0].send_keys(TOKEN)
        d.find("#signin-submit")[0].click()
        d.wait(lambda drv: drv.execute_script("return document.body.dataset.ready") == "1", "signed in")

    def confirm(self, dialog, yes, says):
        self.d.wait(lambda _: self.d.find(f"dialog{dialog}[open]"), "the confirmation")
        self.assertIn(says, self.d.text(f"{dialog} p"))
        self.d.find(yes)[0].click()

    def alerts(self):
        return self.d.api(f"/api/alerts?machine={self.id}&active=1")[1]["alerts"]

    def test_1_muted_it_raises_nothing_until_unmuted(self):
        d = self.d
        report(d.monitor_port, QUIET)  # 6 s to mute it before it goes offline
        d.open(f"/machines/{self.id}")
        d.find("#mute-minutes option[value='30']")[0].click()
        d.find("#mute")[0].click()
        d.wait(lambda _: "muted until" in d.text("#machine-status .mute-mark"), "the mute mark")
        self.assertIn("Muted until", d.text("#mute-result"))
        until(lambda: d.machine(QUIET)["status"] == "offline", 15, "the machine offline")
        d.wait(lambda _: "offline" in d.text("#machine-status"), "shown offline")
        self.assertTrue(d.find("#unmute")[0].is_displayed())
        self.assertEqual(d.axe(), [])
        d.screenshot("actions-machine-muted-1440")
        d.open("/")
        row = f"#fleet tr[data-id='{self.id}'] .c-status"
        d.wait(lambda _: "until" in d.text(f"{row} .mute-end"), "the mute mark in the fleet")
        self.assertEqual(self.alerts(), [], "an alert while muted")
        d.open(f"/machines/{self.id}")
        d.find("#unmute")[0].click()
        d.wait(lambda _: "Unmuted" in d.text("#mute-result"), "unmuted")
        self.assertFalse(d.find("#machine-status .mute-mark"))
        until(lambda: [a for a in self.alerts() if a["kind"] == "offline"], 10, "its alert raised once unmuted")

    def test_2_a_command_to_it_offline_says_it_waits(self):
        d = self.d
        d.open(f"/machines/{self.id}")
        self.assertIn("is offline", d.text("#command-offline"))
        d.find('button[data-command="tray"]')[0].click()
        self.confirm("#confirm", "#confirm-yes", "goes when it next reports")
        d.wait(lambda _: d.text("#command-result").startswith("Queued: tray"), "queued")
        self.assertIn("no report since", d.text("#command-result"))
        self.assertEqual(d.api(f"/api/machines/{self.id}/commands")[1]["commands"][0]["status"], "pending")

    def test_3_one_command_to_the_picked(self):
        d = self.d
        d.open("/")
        busy = [m for m in d.api("/api/machines")[1]["machines"] if m["name"].startswith("BUSY")][:2]
        for m in busy:
            d.find(f"#fleet input[aria-label='Pick {m['name']}/{m['cpu']}']")[0].click()
        self.assertEqual(d.text("#bulk-count"), "2 picked")
        self.assertEqual(d.axe(), [])
        d.screenshot("actions-fleet-picked-1440")
        d.find("#bulk-command option[value='restart']")[0].click()
        d.find("#bulk-send")[0].click()
        self.confirm("#bulk-confirm", "#bulk-confirm-yes", "on 2 machines")
        d.wait(lambda _: d.text("#bulk-result").startswith("Sent restart to 2 of 2"), "sent to both")
        self.assertEqual(d.text("#bulk-count"), "None picked")
        for m in busy:
            commands = d.api(f"/api/machines/{m['id']}/commands")[1]["commands"]
            self.assertEqual([c["command"] for c in commands], ["restart"], m["name"])
        others = [m for m in d.api("/api/machines")[1]["machines"] if m["id"] not in {b["id"] for b in busy}]
        for m in others:
            self.assertNotIn("restart", json.dumps(d.api(f"/api/machines/{m['id']}/commands")[1]), m["name"])

    def test_4_removed_from_its_page(self):
        d = self.d
        d.open(f"/machines/{self.id}")
        d.find("#remove-machine")[0].click()
        self.confirm("#confirm", "#confirm-yes", "with its reports, commands and alerts")
        d.wait(lambda _: d.find("#machine-removed")[0].is_displayed(), "said removed")
        self.assertIn("was removed", d.text("#machine-removed"))
        self.assertEqual(d.find("#machine-removed a")[0].get_attribute("href"), d.url + "/")
        self.assertEqual(d.api(f"/api/machines/{self.id}")[0], 404)
        self.assertEqual(d.axe(), [])


if __name__ == "__main__":
    unittest.main()
