"""The pages at a phone's width and a desktop's, light and dark, with two real
monitors of one computer (which finish units) among simulated machines, some
with long names: no page wider than the screen, no console error, no axe
violation, no layout shift worth the name; every machine told apart; each
machine's page lists its own units. The screenshots are kept for a person
to look at."""
import socket, time, unittest

from harness import Dashboard, report, until

WIDTHS = (390, 1440)
# Names, units and cores that agree in their first 26 characters.
LONG = "WORKSTATION-BUILDFARM-RACK"
LONG_FLEET = ("--machines", "3", "--period", "2", "--start-progress", "20", "--prefix", LONG,
              "--unit-prefix", "PROJECT-LONG-NAME-GROMACS-", "--core-prefix", "OPENMM-CUDA-EXPERIMENTAL-")
# Per row: the machine as shown, and for its name, unit and core, whether each
# is shown (not display:none) and shown whole (neither cut nor clamped).
IDENTITIES = """return [...document.querySelectorAll("#fleet tbody tr[data-id]")].map((tr) => {
  const whole = (e) => e.offsetParent !== null && e.scrollWidth <= e.clientWidth + 1 && e.scrollHeight <= e.clientHeight + 1;
  const cell = tr.querySelector(".c-name").getBoundingClientRect();
  const cpu = tr.querySelector(".c-name .cpu").getBoundingClientRect();
  return {
    id: tr.dataset.id, ident: tr.querySelector(".c-name .ident").textContent,
    name: whole(tr.querySelector(".c-name .wrap")), cpu: cpu.width > 0 && cpu.right <= cell.right + 1,
    unit: tr.querySelector(".c-unit .wrap").offsetParent && whole(tr.querySelector(".c-unit .wrap")),
    core: tr.querySelector(".c-core .wrap").offsetParent && whole(tr.querySelector(".c-core .wrap")),
  };
});"""

# A machine of a six-digit team whose name and user are long, with separators.
BOB = ("bob_the_folder_of_rack-7.lab", "bob_the_folder_of_the_night_shift_rack_seven", 111111)
# The values in the rows that are cut; and where a name or user breaks, the two characters either side.
CUT = """return [...document.querySelectorAll("#fleet tr[data-id] :is(.c-team, .c-seen, .c-ppd, .c-progress)")]
  .filter((e) => e.offsetParent && e.scrollWidth > e.clientWidth + 1).map((e) => e.textContent);"""
BREAKS = """const breaks = [], range = document.createRange();
for (const span of document.querySelectorAll("#fleet :is(.c-name, .c-user) .wrap")) {
  let top = null, before = "";
  for (const node of span.childNodes) for (let i = 0; node.nodeType === 3 && i < node.length; i++) {
    range.setStart(node, i); range.setEnd(node, i + 1);
    const at = range.getBoundingClientRect().top;
    if (top !== null && at > top + 2) breaks.push(before + node.data[i]);
    [top, before] = [at, node.data[i]];
  }
}
return breaks;"""
ROWS = """return Object.fromEntries([...document.querySelectorAll("#fleet tr[data-id]")]
  .map((tr) => [tr.querySelector(".ident").textContent, tr.getBoundingClientRect().height]));"""
# How far the last of all rows ends above the box's bottom (null: not drawn).
LAST = """const rows = document.querySelectorAll("#fleet tr[data-id]"), last = rows[rows.length - 1];
const box = document.querySelector(".fleet-wrap");
return last.getAttribute("aria-rowindex") !== box.querySelector("table").getAttribute("aria-rowcount") ? null
  : Math.round(box.getBoundingClientRect().bottom - box.clientTop - last.getBoundingClientRect().bottom);"""

class Layout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = d = Dashboard("layout")
        cls.addClassCleanup(d.close)
        d.fleet("--machines", "40", "--period", "2", "--stall", "3", "--start-progress", "30")
        for cpu in ("1", "2"):
            d.fleet(*LONG_FLEET, "--cpu", cpu)
        # Two monitors of one computer whose client.cfg has a machine id of neither's CPU#.
        cls.clients = {}
        for cpu, unit in ((1, None), (2, "p943_R1_C2_G3")):
            cls.clients[cpu] = d.monitor(cpu, machine_id=7, unit=unit)[1]
        report(d.monitor_port, BOB[0], user=BOB[1], team=BOB[2])
        host = socket.gethostname()
        cls.machines = {cpu: until(lambda: d.machine(host, cpu), 20, f"monitor {cpu} reporting") for cpu in (1, 2)}
        # Monitor 1 finishes the demo's unit; monitor 2 finishes p943.
        for cpu, client in cls.clients.items():
            d.next_unit(client, f"p794_next_{cpu}")
        until(lambda: len(d.api("/api/units?limit=10")[1]["units"]) == 2, 30, "both finished units stored")

    def test_each_machine_page_lists_its_own_units(self):
        units = self.d.api("/api/units?limit=10")[1]["units"]
        protein = {u["machine_id"]: u["protein"] for u in units}
        self.assertEqual(len(set(protein.values())), 2, units)
        for cpu, m in self.machines.items():
            with self.subTest(cpu=cpu):
                self.d.open(f"/machines/{m['id']}")
                rows = [r.text for r in self.d.find("#units tbody tr")]
                self.assertEqual(len(rows), 1, rows)
                self.assertIn(protein[m["id"]], rows[0])

    def test_machines_are_told_apart_at_every_width(self):
        machines = self.d.api("/api/machines")[1]["machines"]
        long = {str(m["id"]): m for m in machines if m["name"].startswith(LONG)}
        self.assertEqual(len(long), 6)
        for width in WIDTHS:
            with self.subTest(width=width):
                self.d.browser(width)
                self.d.open("/")
                if width < 600:
                    self.d.find("#filters-toggle")[0].click()
                self.d.find("#filter-text")[0].send_keys(LONG)
                rows = self.d.wait(lambda d: len(r := d.execute_script(IDENTITIES)) == 6 and r, "the six rows")
                self.d.screenshot(f"fleet-long-names-{width}")
                for row in rows:
                    m = long[row["id"]]
                    self.assertEqual(row["ident"], f"{m['name']}/{m['cpu']}")
                    self.assertTrue(row["name"] and row["cpu"], row)
                    # On a phone unit and core are on the machine's page; where shown, they are whole.
                    self.assertIn(row["unit"], (None, True) if width < 600 else (True,), row)
                    self.assertIn(row["core"], (None, True) if width < 600 else (True,), row)
                self.assertEqual(len({r["ident"] for r in rows}), 6)
                if width < 600:
                    m = long[rows[0]["id"]]
                    self.d.open(f"/machines/{m['id']}")
                    shown = self.d.driver.execute_script(
                        "return [...document.querySelectorAll('#machine-name, #facts dd')]"
                        ".filter((e) => e.scrollWidth <= e.clientWidth + 1).map((e) => e.textContent)")
                    for whole in (f"{m['name']}/{m['cpu']}", m["unit"], m["core"]):
                        self.assertIn(whole, shown)

    def test_whole_values_at_a_desktop_names_broken_after_separators_rows_as_tall_as_needed(self):
        d = self.d
        d.browser(1440)
        d.open("/")
        d.wait(lambda _: "111111" in d.text("#fleet .c-team"), "the six-digit team")
        self.assertEqual(d.driver.execute_script(CUT), [])
        breaks = d.driver.execute_script(BREAKS)
        self.assertTrue(breaks and all(b[0] in "_-/." for b in breaks), breaks)
        # Only the long user's row is tall; scrolled to the end, the last row ends the box.
        heights = d.driver.execute_script(ROWS)
        self.assertGreater(heights[f"{BOB[0]}/1"], 1.5 * heights["SIMPC00001/1"])
        d.driver.execute_script("const w = document.querySelector('.fleet-wrap'); w.scrollTop = w.scrollHeight")
        d.wait(lambda _: d.driver.execute_script(LAST) == 0, "the last row at the end of the box")

    def test_a_phone_scrolls_as_one_page_and_shows_long_users_cut_beside_their_points(self):
        d = self.d
        d.browser(390)
        self.addCleanup(d.browser, 1440)
        d.open("/")
        self.assertLessEqual(d.driver.execute_script("return document.querySelector('.fleet-wrap').scrollHeight")
                             - d.find(".fleet-wrap")[0].size["height"], 2)
        self.assertFalse(d.find("#filter-text")[0].is_displayed())
        d.find("#filters-toggle")[0].click()
        self.assertTrue(d.find("#filter-text")[0].is_displayed())
        d.open("/team")
        row = next(r for r in d.find("#users tbody tr") if d.find(".cut", r)[0].get_attribute("title") == BOB[1])
        name, ppd = d.find(".cut", row)[0], d.find("td", row)[1]
        self.assertLessEqual(ppd.rect["x"] + ppd.rect["width"], 390)
        self.assertLess(name.size["width"], d.driver.execute_script("return arguments[0].scrollWidth", name))
        name.click()
        self.assertEqual(d.driver.execute_script("return arguments[0].scrollWidth - arguments[0].clientWidth", name), 0)

    def test_pages_fit_do_not_shift_pass_axe_and_are_kept_as_screenshots(self):
        d = self.d
        machine = self.machines[2]
        for width in WIDTHS:
            d.browser(width)
            for name, path in (("fleet", "/"), ("machine", f"/machines/{machine['id']}"), ("team", "/team"),
                               ("signin", "/signin")):
                with self.subTest(width=width, page=name):
                    d.color_scheme("light")
                    driver = d.open(path)
                    time.sleep(1)  # what comes after the first data: alerts, units, the next reports
                    shift, moved = d.layout_shift()
                    self.assertLess(shift, 0.05, moved)
                    self.assertLessEqual(driver.execute_script("return document.documentElement.scrollWidth"), width)
                    self.assertGreater(len(d.find('meta[name="description"]')[0].get_attribute("content")), 40)
                    if name == "signin":
                        self.assertEqual(driver.execute_script("return document.activeElement.id"), "token")
                    for scheme in ("light", "dark"):
                        d.color_scheme(scheme)
                        d.screenshot(f"{name}-{width}-{scheme}")
                        self.assertEqual(d.axe(), [], scheme)
        d.color_scheme("light")

    def test_team_page_has_a_row_per_team_and_user_of_every_reporting_machine(self):
        machines = [m for m in self.d.api("/api/machines")[1]["machines"] if m["status"] != "stopped"]
        self.d.browser(1440)
        self.d.open("/team")
        users = {(m["user"], str(m["team"])) for m in machines}
        rows = {tuple(c.text for c in self.d.find("th, td", r)[:2]) for r in self.d.find("#users tbody tr")}
        self.assertEqual(rows, users)
        teams = [r.text for r in self.d.find("#teams tbody th")]
        self.assertEqual(sorted(teams), sorted({str(m["team"]) for m in machines}))


if __name__ == "__main__":
    unittest.main()
