"""Every page against a server that hangs (SIGSTOP: its connections open,
nothing answered): the banner within 30 s, and the pages following it
again, without a reload, once it goes on (SIGCONT)."""
import signal, sys, time, unittest, urllib.request

from harness import Dashboard, until


class HungServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Dashboard("hung")
        cls.addClassCleanup(cls.d.close)
        cls.d.fleet("--machines", "3", "--period", "1", "--start-progress", "10")
        cls.d.fleet("--machines", "1", "--period", "0.1", "--prefix", "QUIET", "--once")

    def test_a_quiet_stream_pings_as_an_event_the_page_sees(self):
        quiet = until(lambda: self.d.machine("QUIET00001"), 10, "the quiet machine")
        with urllib.request.urlopen(f"{self.d.url}/api/events?machine={quiet['id']}", timeout=10) as stream:
            until(lambda: stream.readline() == b"event: ping\n", 10, "a ping")  # each read bounded too

    def test_a_stopped_server_is_marked_within_30_s_and_followed_again_once_it_goes_on(self):
        d = self.d
        machine = until(lambda: d.machine("SIMPC00002"), 10, "the simulated machines")
        windows = {}
        for path in ("/", f"/machines/{machine['id']}", "/team"):
            if windows:
                d.driver.switch_to.new_window("window")  # a window of its own: not a throttled background tab
            d.open(path)
            d.driver.execute_script("window.notReloaded = true")
            windows[path] = d.driver.current_window_handle
        d.driver.switch_to.window(windows["/"])
        d.wait(lambda _: d.find('#live[data-state="open"]'), "the stream open")
        banner = lambda _: [b for b in d.find("#connection-banner[role=alert]") if b.is_displayed()]

        d.server.send_signal(signal.SIGSTOP)
        try:
            stopped = time.monotonic()
            for path, window in reversed(windows.items()):  # /team's, from its health checks, comes first
                d.driver.switch_to.window(window)
                d.wait(lambda _: banner(_) and d.find("body[data-stale]"), f"the banner on {path}",
                       seconds=max(0.1, 30 - (time.monotonic() - stopped)))
                print(f"{path}: the banner {time.monotonic() - stopped:.1f} s after the stop", file=sys.stderr)
            d.driver.switch_to.window(windows["/"])
            self.assertEqual(d.find("#live")[0].get_attribute("data-state"), "closed")
        finally:
            d.server.send_signal(signal.SIGCONT)

        for path, window in windows.items():
            d.driver.switch_to.window(window)
            d.wait(lambda _: not banner(_) and not d.find("body[data-stale]"), f"the banner gone from {path}")
            self.assertTrue(d.driver.execute_script("return window.notReloaded === true"), path)
        d.driver.switch_to.window(windows["/"])
        d.wait(lambda _: d.find('#live[data-state="open"]'), "the stream open again")
        progress = lambda _: d.text("#fleet tbody tr[data-id] .c-progress")
        before = progress(None)
        d.wait(lambda _: progress(_) not in (before, ""), "the rows moving on again")


if __name__ == "__main__":
    unittest.main()
