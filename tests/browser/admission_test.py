"""Admission and the pin from the pages, signed in as admin: a real monitor's
new identity waits on the fleet page until approved there, then is served;
on its page its pinned address is moved away (its records are then refused
and the refused sender shown) and moved back to that refused sender."""
import socket, unittest

from harness import TOKEN, Dashboard, until


class Admission(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Dashboard("admission", extra=("--admission", "approve", "--pin-addresses"))
        cls.addClassCleanup(cls.d.close)
        cls.monitor, _ = cls.d.monitor(1)
        cls.name = socket.gethostname()

    def confirm(self, dialog, yes):
        self.d.wait(lambda _: self.d.find(f"dialog{dialog}[open]"), "the confirmation")
        self.d.find(yes)[0].click()

    def test_approved_on_the_fleet_page_then_its_pin_moved_and_moved_back(self):
        d = self.d
        until(lambda: d.api("/api/machines?state=waiting")[1]["waiting"], 20, "the monitor waiting")
        self.assertIsNone(d.machine(self.name))
        d.open("/signin?next=/")
        d.find("#token")[0].send_keys(TOKEN)
        d.find("#signin-submit")[0].click()
        d.wait(lambda _: d.find("#waiting")[0].is_displayed() and self.name in d.text("#waiting-table"),
               "the waiting list")
        self.assertEqual(d.axe(), [])
        d.find("#waiting-table tbody button")[0].click()
        self.confirm("#waiting-confirm", "#waiting-confirm-yes")
        d.wait(lambda _: d.text("#waiting-result").startswith("Approved"), "the approval")
        machine = until(lambda: (m := d.machine(self.name)) and m["core"] and m, 20, "served on its next report")
        d.open("/")
        self.assertFalse(d.find("#waiting")[0].is_displayed())

        d.open(f"/machines/{machine['id']}")
        self.assertIn("whoever sends its name first wins", d.text("#main"))
        d.find("#address-input")[0].send_keys("127.0.0.9")
        d.find("#address-move")[0].click()
        self.confirm("#confirm", "#confirm-yes")
        d.wait(lambda _: "Moved to 127.0.0.9" in d.text("#address-result"), "the pin moved")
        d.wait(lambda _: d.find("#address-take-refused")[0].is_displayed(), "the refused sender offered")
        self.assertIn("127.0.0.1", d.text("#address-refused"))
        d.find("#address-take-refused")[0].click()
        self.confirm("#confirm", "#confirm-yes")
        until(lambda: d.machine(self.name)["address"] == "127.0.0.1", 10, "the pin moved back")


if __name__ == "__main__":
    unittest.main()
