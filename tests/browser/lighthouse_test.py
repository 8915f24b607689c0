"""Lighthouse on every page, as a phone and as a desktop: accessibility,
best practices and SEO at 100. Performance is a timing, so it is printed and
its reports kept (OUT_DIR/lighthouse/), not asserted: docs/PERFORMANCE.md
records measured runs."""
import json, os, subprocess, unittest

from harness import BUILD, Dashboard, until

LIGHTHOUSE = os.environ.get("LIGHTHOUSE", os.path.join(BUILD, "tests", "browser", "tools", "node_modules",
                                                       "lighthouse", "cli", "index.js"))
CHROME_FLAGS = "--headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage --disable-background-networking"
CHECKED = ("accessibility", "best-practices", "seo")


class Lighthouse(unittest.TestCase):
    def test_every_page_scores_100_as_a_phone_and_as_a_desktop(self):
        d = Dashboard("lighthouse")
        self.addCleanup(d.close)
        d.fleet("--machines", "8", "--period", "2", "--stall", "1", "--start-progress", "20")
        machine = until(lambda: d.machine("SIMPC00001"), 20, "the fleet reporting")
        out = os.path.join(d.dir, "lighthouse")
        os.makedirs(out)
        for page, path in (("fleet", "/"), ("machine", f"/machines/{machine['id']}"), ("team", "/team"),
                           ("signin", "/signin")):
            for form in ("mobile", "desktop"):
                with self.subTest(page=page, form=form):
                    report = f"{out}/{page}-{form}.json"
                    subprocess.run(["node", LIGHTHOUSE, d.url + path, "--quiet", "--output=json",
                                    f"--output-path={report}", f"--chrome-flags={CHROME_FLAGS}",
                                    "--only-categories=performance," + ",".join(CHECKED)]
                                   + (["--preset=desktop"] if form == "desktop" else []),
                                   env={**os.environ, "CHROME_PATH": "/usr/bin/chromium"}, timeout=120, check=True)
                    with open(report) as f:
                        result = json.load(f)
                    scores = {k: c["score"] for k, c in result["categories"].items()}
                    print(f"{page} {form}: {scores}", flush=True)
                    failing = [f"{k}: {a['title']}" for k, a in result["audits"].items()
                               if a["score"] is not None and a["score"] < 1 and a["scoreDisplayMode"] == "binary"]
                    for category in CHECKED:
                        self.assertEqual(scores[category], 1, failing)


if __name__ == "__main__":
    unittest.main()
