"""Lighthouse on every page, as a phone and as a desktop: accessibility, best practices and SEO at 100.
Performance is a timing: printed, its reports kept (OUT_DIR/lighthouse/), measured in docs/PERFORMANCE.md."""
import json, os, subprocess, unittest

from harness import Dashboard, until

FLAGS = "--headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage --disable-background-networking"
CHECKED = ("accessibility", "best-practices", "seo")


class Lighthouse(unittest.TestCase):
    def test_every_page_scores_100_as_a_phone_and_as_a_desktop(self):
        d = Dashboard("lighthouse")
        self.addCleanup(d.close)
        d.fleet("--machines", "8", "--period", "2", "--stall", "1", "--start-progress", "20")
        machine = until(lambda: d.machine("SIMPC00001"), 20, "the fleet reporting")
        os.makedirs(out := os.path.join(d.dir, "lighthouse"))
        for page, path in (("fleet", "/"), ("machine", f"/machines/{machine['id']}"), ("team", "/team"),
                           ("signin", "/signin")):
            for form, preset in (("mobile", []), ("desktop", ["--preset=desktop"])):
                with self.subTest(page=page, form=form):
                    report = f"{out}/{page}-{form}.json"
                    subprocess.run(["node", os.environ["LIGHTHOUSE"], d.url + path, "--quiet", "--output=json",
                                    f"--output-path={report}", f"--chrome-flags={FLAGS}",
                                    "--only-categories=performance," + ",".join(CHECKED), *preset],
                                   env={**os.environ, "CHROME_PATH": "/usr/bin/chromium"}, timeout=120, check=True)
                    with open(report) as f:
                        result = json.load(f)
                    scores = {k: c["score"] for k, c in result["categories"].items()}
                    print(f"{page} {form}: {scores}", flush=True)
                    failing = [f"{k}: {a['title']}" for k, a in result["audits"].items()
                               if a["scoreDisplayMode"] == "binary" and a["score"] == 0]
                    self.assertEqual([scores[c] for c in CHECKED], [1] * len(CHECKED), failing)


if __name__ == "__main__":
    unittest.main()
