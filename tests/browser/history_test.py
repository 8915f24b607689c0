"""The history teams chart: a store that already holds days of hourly
estimates and finished units (written into it while the server is down),
shown on /team for the whole team and for a user, and on a machine's page,
a bar a UTC day with the figures in a table; the machine's changes of
status, newest first, with how long each lasted."""
import datetime, sqlite3, unittest

from selenium.webdriver.support.ui import Select

from harness import Dashboard, until

DAY = 86400
# The figures of the table below the chart, newest day first: [day, units, points, estimated].
TABLE = """return [...document.querySelectorAll(arguments[0] + " tbody tr")].map((tr) =>
  [...tr.children].map((c) => c.textContent));"""


class History(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = d = Dashboard("history", monitor_port=0)
        cls.addClassCleanup(d.close)
        d.fleet("--machines", "3", "--period", "1", "--stall", "1", "--start-progress", "10")
        cls.m = until(lambda: d.machine("SIMPC00001"), 10, "the machine reported")
        # Its folding noted before the restart: after it, the server only sees it stalled.
        until(lambda: any(e["status"] == "folding" for e in d.api(f"/api/machines/{cls.m['id']}/events")[1]["events"]),
              10, "the machine noted folding")
        today = d.api("/api/team/points?days=1")[1]["daily"][0]["day"]
        cls.today = int(datetime.datetime.fromisoformat(today).replace(tzinfo=datetime.timezone.utc).timestamp()) // DAY
        d.restart_server(between=cls.seed)

    @classmethod
    def seed(cls):
        """Two days back: samples of 100,000 and 300,000 (the user's 200,000 and the machine's 100,000 in
        one of them) and two units of 123,400 and 76,600 points; a day back: one sample of 500,000 and a
        unit of 50,000."""
        m, two, one = cls.m, (cls.today - 2) * DAY, (cls.today - 1) * DAY
        with sqlite3.connect(f"{cls.d.dir}/server.db") as db:
            db.executemany("INSERT INTO points_hours VALUES (?, ?)", [(two, 100000), (two + 3600, 300000), (one + 7200, 500000)])
            db.executemany("INSERT INTO points_days (kind, team, subject, day, ppd_sum) VALUES (?, ?, ?, ?, ?)",
                           [(1, m["team"], m["user"], cls.today - 2, 200000), (2, 0, str(m["id"]), cls.today - 2, 100000)])
            db.executemany("INSERT INTO units (at, user, team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz,"
                           " frame_minutes, protein, core, memory_mib, points, machine_id)"
                           " VALUES (?, ?, ?, 1, 1, '', '', 0, 1, 'p1', 'a4', 0, ?, ?)",
                           [(at, m["user"], m["team"], points, m["id"])
                            for at, points in ((two + 60, 123400), (two + DAY - 60, 76600), (one + 60, 50000))])

    def figures(self, root):
        """The table's rows from today back, and the chart's bars that have a height."""
        rows = self.d.wait(lambda _: (r := self.d.driver.execute_script(TABLE, root)) and len(r) == 30 and r,
                           f"the figures of {root}")
        bars = [float(b.get_attribute("height")) for b in self.d.find(f"{root} svg rect.bar.done")]
        self.assertEqual(len(bars), 30)
        self.assertTrue(self.d.find(f"{root} svg path.line"), "the estimate's line")
        return rows, [i for i, h in enumerate(reversed(bars)) if h > 0]

    def day(self, back):
        """How the table names the UTC day BACK days ago: "Dec 6"."""
        d = datetime.datetime.fromtimestamp((self.today - back) * DAY, datetime.timezone.utc)
        return f"{d:%b} {d.day}"

    def test_the_team_chart_for_the_whole_team_and_for_a_user(self):
        d = self.d
        for width in (1440, 390):
            d.browser(width)
            d.open("/team")
            rows, bars = self.figures("#points")
            self.assertIn(self.day(2), rows[2][0])
            self.assertEqual(rows[2][1:], ["2", "200,000", "200,000"])  # the average of 100,000 and 300,000
            self.assertEqual(rows[1][1:], ["1", "50,000", "500,000"])
            self.assertEqual(rows[3][1:], ["0", "0", "—"])  # no sample that day
            self.assertEqual(bars, [1, 2])
            self.assertRegex(d.text("#points .points-now"), r"^Last hourly estimate: [\d,]+ points per day\.$")
            self.assertEqual(d.axe(), [])
            d.screenshot(f"history-team-{width}")
        Select(d.find("#points-subject")[0]).select_by_visible_text(f"{self.m['user']} (team {self.m['team']})")
        d.wait(lambda _: self.figures("#points")[0][2][1:] == ["2", "200,000", "100,000"], "the user's figures")
        self.assertEqual(d.api("/api/team/points?days=41")[0], 400)

    def test_the_machine_page_charts_its_points_and_lists_its_status_changes(self):
        d = self.d
        d.browser(1440)
        d.open(f"/machines/{self.m['id']}")
        rows, bars = self.figures("#points")
        self.assertEqual(rows[2][1:], ["2", "200,000", "50,000"])  # its 100,000 in one of the day's two samples
        self.assertEqual(bars, [1, 2])
        events = d.wait(lambda _: (t := [e.text for e in d.find("#status-events li")]) and len(t) >= 2 and t,
                        "the machine's changes of status")
        self.assertRegex(events[0], r"^stalled at \S.* \(for \d+ (s|min) so far\)$")
        self.assertRegex(events[1], r"^folding at \S.* \(for \d+ s\)$")
        self.assertEqual(d.axe(), [])
        for scheme in ("light", "dark"):
            d.color_scheme(scheme)
            d.screenshot(f"history-machine-1440-{scheme}")
        d.color_scheme("light")


if __name__ == "__main__":
    unittest.main()
