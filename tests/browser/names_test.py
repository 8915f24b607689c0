"""Hostile names and a machine that changes address, as the pages show
them: control characters and bidirectional overrides escaped, never acted
on; the address of the last record, and the one before after a change;
a fresh server's and an unknown machine's pages."""
import unittest

from harness import Dashboard, report, until


class Names(unittest.TestCase):
    def test_hidden_characters_escaped_and_the_address_followed(self):
        d = Dashboard("names", monitor_port=0)
        self.addCleanup(d.close)
        # A fresh server says how to point a monitor at it; an unknown machine leads back.
        d.open("/")
        self.assertIn(f"ipadd 127.0.0.1\ncpunum 1\nfhlog 1\nkorv! 1\nkhost {d.url[7:]}", d.text("#fleet-fresh pre"))
        d.driver.get(d.url + "/machines/999")  # its 404 is in the console
        d.wait(lambda _: d.find('#machine-error a[href="/"]'), "a link back to the fleet")
        name = "EVIL\u202egnp.exe\u0085x\u2066y"  # the record itself refuses C0 controls
        report(d.monitor_port, name, "127.0.0.1")
        machine = until(lambda: d.machine(name), 10, "the machine reported")
        shown = "EVIL\\u{202E}gnp.exe\\u{0085}x\\u{2066}y"
        d.open("/")
        d.wait(lambda _: shown in d.text("#fleet tbody"), "the escaped name in the fleet")
        d.open(f"/machines/{machine['id']}")
        self.assertEqual(d.text("#machine-name"), shown + "/1")
        self.assertIn("127.0.0.1", d.text("#facts"))
        report(d.monitor_port, name, "127.0.0.2")
        d.wait(lambda _: "127.0.0.2 (before: 127.0.0.1, until" in d.text("#facts"), "the change of address shown")


if __name__ == "__main__":
    unittest.main()
