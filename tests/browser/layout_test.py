"""The pages at a phone's width and a desktop's, with a real monitor (which
finishes a unit, for the team page) among simulated ones: no page wider than
the screen, no console error; the screenshots are kept for a person to look at."""
import os, socket, unittest

from harness import Dashboard, until


class Layout(unittest.TestCase):
    def test_pages_fit_and_are_kept_as_screenshots(self):
        d = Dashboard("layout")
        self.addCleanup(d.close)
        d.fleet("--machines", "40", "--period", "2", "--stall", "3", "--start-progress", "30")
        monitor, client = d.monitor(2)
        machine = until(lambda: d.machine(socket.gethostname(), 2), 20, "the monitor reporting")
        with open(f"{client}/unitinfo.txt.new", "w") as f:
            f.write("Name: p794_next_unit\nProgress: 1%\n")
        os.replace(f"{client}/unitinfo.txt.new", f"{client}/unitinfo.txt")
        until(lambda: d.api("/api/summary?days=30")[1]["days"], 20, "the finished unit stored")
        for width in (390, 1440):
            d.browser(width)
            for name, path in (("fleet", "/"), ("machine", f"/machines/{machine['id']}"), ("team", "/team")):
                with self.subTest(width=width, page=name):
                    driver = d.open(path)
                    d.screenshot(f"{name}-{width}")
                    self.assertLessEqual(driver.execute_script("return document.documentElement.scrollWidth"), width)


if __name__ == "__main__":
    unittest.main()
