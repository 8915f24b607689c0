"""The fleet page against simulated monitors: twelve reporting every second
(the first two stalled) and one that reported once and went offline; every
page while the server is stopped and started again."""
import collections, unittest

from selenium.webdriver.common.keys import Keys

from harness import Dashboard, until


class FleetPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Dashboard("fleet")
        cls.addClassCleanup(cls.d.close)
        cls.d.fleet("--machines", "12", "--period", "1", "--stall", "2", "--start-progress", "10")
        cls.d.fleet("--machines", "1", "--period", "0.1", "--prefix", "WENT", "--once")
        cls.d.open("/")

    def filter(self, text):
        box = self.d.find("#filter-text")[0]
        box.send_keys(Keys.CONTROL, "a", Keys.BACKSPACE, text)

    def row(self, name):
        """The CSS of the machine's row, looked up through the text filter (long fleets show only some rows)."""
        self.filter(name)
        row = self.d.wait(lambda _: next((r for r in self.d.find("#fleet tbody tr[data-id]")
                                          if self.d.find(".c-name .wrap", r)[0].text == name), None), f"the row of {name}")
        return f'#fleet tr[data-id="{row.get_attribute("data-id")}"]'

    def test_counts_and_points_per_day_agree_with_the_api(self):
        self.filter("")
        def counts_match(_):
            machines = self.d.api("/api/machines")[1]["machines"]
            want = collections.Counter(m["status"] for m in machines)
            want.update(all=len(machines), pending=sum(m["pending_command"] is not None for m in machines),
                        ppd=sum(m.get("ppd") or 0 for m in machines))
            got = {s: self.d.text(f'#counts [data-status="{s}"] .n') for s in
                   ("folding", "stalled", "offline", "stopped", "pending", "all")}
            got["ppd"] = self.d.text("#fleet-ppd").replace(",", "")
            return got if all(got[s] == str(want[s]) for s in got) and want["offline"] == 1 else None
        self.assertEqual(self.d.wait(counts_match, "the counts of the API")["all"], "13")

    def test_a_report_changes_its_row_without_a_reload(self):
        self.d.driver.execute_script("window.notReloaded = true")
        cell = self.row("SIMPC00005") + " .c-progress"
        before = self.d.text(cell)
        self.d.wait(lambda _: self.d.text(cell) not in (before, "") and self.d.text(cell).endswith("%"),
                    "the progress moving on")
        self.assertTrue(self.d.driver.execute_script("return window.notReloaded === true"))
        self.assertGreater(self.d.driver.execute_script("return window.pelmoraStats.updates"), 0)

    def test_stalled_and_offline_machines_are_badged_and_alerted(self):
        for name, kind in (("SIMPC00001", "stalled"), ("WENT00001", "offline")):
            with self.subTest(name):
                row = self.row(name)
                self.d.wait(lambda _: self.d.find(f"{row} .c-status .badge.status-{kind}"), f"{name} {kind}")
                self.d.wait(lambda _: any(f"{name}/1" in a.text for a in self.d.find(f"#alerts li.alert-{kind}")),
                            f"a {kind} alert for {name}")

    def test_machines_needing_attention_come_first_saying_for_how_long(self):
        self.filter("")
        names = lambda _: [e.text for e in self.d.find("#fleet tbody tr[data-id] .c-name .wrap")[:4]]
        self.d.wait(lambda _: names(_) == ["WENT00001", "SIMPC00001", "SIMPC00002", "SIMPC00003"], "offline, stalled, the rest")
        strip = self.d.text("#attention-list")
        self.assertRegex(strip, r"(?s)WENT00001/1 offline for \d+ s.*SIMPC00001/1 no progress for \d+ s")
        self.assertRegex(self.d.text("#alerts li.alert-offline"), r"open for \d+ s")

    def test_sorted_by_points_per_day_most_first(self):
        self.filter("")
        button = self.d.find('button[data-sort="ppd"]')[0]
        button.click()
        button.click()
        self.addCleanup(lambda: self.d.find('button[data-sort="status"]')[0].click())
        value = lambda text: -1 if text == "—" else int(text.replace(",", ""))
        def sorted_rows(_):
            cells = [value(c.text) for c in self.d.find("#fleet tbody tr[data-id] .c-ppd")]
            return len(cells) == 13 and cells[0] > 0 and cells == sorted(cells, reverse=True) and cells
        self.assertEqual(self.d.wait(sorted_rows, "the rows by points per day")[-1], -1)

    def test_the_pages_mark_a_lost_server_and_follow_its_return_without_a_reload(self):
        stalled = self.d.machine("SIMPC00001")
        banner = lambda _: [b.text for b in self.d.find("#connection-banner[role=alert]") if b.is_displayed()]
        for path in ("/team", f"/machines/{stalled['id']}", "/"):
            with self.subTest(path):
                self.d.open(path)
                if path != "/team":
                    self.d.wait(lambda _: "no progress since" in self.d.text("#machine-status") or path == "/",
                                "how long the machine has been stalled")
                self.d.driver.execute_script("window.notReloaded = true")
                lost = lambda: self.d.wait(lambda _: self.d.find("body[data-stale]") and banner(_), "the server seen gone")
                self.d.restart_server(between=lost)
                self.d.wait(lambda _: not banner(_) and not self.d.find("body[data-stale]"), "the banner gone")
                self.assertTrue(self.d.driver.execute_script("return window.notReloaded === true"))
        self.d.wait(lambda _: self.d.find('#live[data-state="open"]'), "the stream back")
        cell = self.row("SIMPC00007") + " .c-progress"
        before = self.d.text(cell)
        self.d.wait(lambda _: self.d.text(cell) not in (before, ""), "the progress moving on after the restart")

    def test_leaving_the_page_ends_its_stream_and_coming_back_resumes_it(self):
        # A page the browser keeps for the back button must not hold its stream: six held
        # streams take all the browser's connections to the server and the next page waits.
        self.d.open("/")
        self.addCleanup(lambda: self.d.find("#fleet") or self.d.open("/"))  # the other tests' page
        ended = lambda: self.d.log("server").count("event stream to 127.0.0.1 ended")
        before = ended()
        self.d.open("/team")
        until(lambda: ended() > before, 10, "the fleet page's stream ended")
        self.d.driver.back()
        self.d.wait(lambda _: self.d.find('#live[data-state="open"]'), "the stream open again")
        cell = self.row("SIMPC00009") + " .c-progress"
        before = self.d.text(cell)
        self.d.wait(lambda _: self.d.text(cell) not in (before, ""), "the progress moving on after coming back")


class Alerts(unittest.TestCase):
    def test_a_new_alert_is_announced_and_a_refresh_announces_nothing(self):
        d = Dashboard("alerts", monitor_port=0, offline_after=2)
        self.addCleanup(d.close)
        d.fleet("--machines", "1", "--period", "0.1", "--prefix", "WENT", "--once")
        d.open("/")
        self.assertEqual(d.find("#alerts")[0].get_attribute("aria-live"), "polite")
        d.wait(lambda _: d.find("#alerts li.alert-offline"), "the first offline alert")
        d.driver.execute_script("""window.added = [];
          new MutationObserver((ms) => ms.forEach((m) => m.addedNodes.forEach((n) => n.nodeType === 1 && added.push(n.textContent))))
            .observe(document.querySelector("#alerts"), {childList: true, subtree: true});""")
        d.fleet("--machines", "1", "--period", "0.1", "--prefix", "GONE", "--once")
        d.wait(lambda _: "GONE00001/1" in d.text("#alerts li.alert-offline"), "the new machine's alert")
        added = d.driver.execute_script("return added")
        self.assertEqual(len(added), 1, added)
        self.assertIn("GONE00001/1", added[0])


if __name__ == "__main__":
    unittest.main()
