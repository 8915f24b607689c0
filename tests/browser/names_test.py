"""Hostile names and a machine that changes address, as the pages show
them: control characters and bidirectional overrides escaped, never acted
on; the address of the last record, and the one before after a change."""
import socket, unittest

from harness import Dashboard, until


def report(port, name, source):
    text = f"0 {name} 1 2 45 p1234_R1_C2_G3 0 2400.000000 GenuineIntel a4 100 150 user01 7  0"
    with socket.create_connection(("127.0.0.1", int(port)), timeout=5, source_address=(source, 0)) as s:
        s.recv(1)
        s.sendall(text.encode().ljust(768, b"\0"))
        s.recv(1)


class Names(unittest.TestCase):
    def test_hidden_characters_escaped_and_the_address_followed(self):
        d = Dashboard("names", monitor_port=0)
        self.addCleanup(d.close)
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
