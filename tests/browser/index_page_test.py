#!/usr/bin/python3
"""The index page of a real run (made by make_run.py) in headless Chromium:
it loads without console errors, its rows are the report's records and
none of them is a file the program wrote, every thumbnail decodes, columns
sort, the filter and the switch narrow the rows (damaged and unreadable
files under the failures), awkward names show as text and their links reach
the right files, also when the tree is moved and served over HTTP.

  index_page_test.py <run folder> [--screenshot PNG]
  index_page_test.py <run folder> --measure   (timings of a big page)
"""
import argparse
import csv
import functools
import io
import http.server
import os
import shutil
import sys
import tempfile
import threading
import unittest
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

HOSTILE = "<script>alert(1)</script>.wav"
FAILED = ("unreadable", "save-error", "damaged")
CUTOFF, LOSSY, STATUS = 11, 12, 2  # column indexes of the table (0: picture)


def start_browser(profile):
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                "--user-data-dir=" + profile, "--window-size=1280,860"):
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def file_url(path):
    return "file://" + urllib.parse.quote(os.path.abspath(path))


def open_page(driver, url):
    driver.get(url)
    driver.execute_script("return document.readyState")
    return driver


def visible_rows(driver):
    """The text of each cell of each shown row, in table order."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#rows>[role=row]')]"
        ".filter(r => r.getBoundingClientRect().height > 0)"
        ".map(r => [...r.children].map(c => c.textContent));")


def report_records(run_dir):
    """The run's report, names as the page shows them (bytes that are not
    UTF-8 as U+FFFD)."""
    with open(os.path.join(run_dir, "report", "report.csv"), "rb") as f:
        text = f.read().decode("utf-8", errors="replace")
    return list(csv.DictReader(io.StringIO(text, newline="")))


def severe_logs(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def decode_all_thumbnails(driver):
    """naturalWidth of every thumbnail after loading it (lazy loading off)."""
    return driver.execute_async_script(
        "const done = arguments[0];"
        "const imgs = [...document.querySelectorAll('img')];"
        "imgs.forEach(i => i.loading = 'eager');"
        "Promise.allSettled(imgs.map(i => i.decode())).then(() => done(imgs.map(i => i.naturalWidth)));")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    """Serves file names as raw bytes, as nginx or Apache do; the stock
    handler cannot map %FF to a name that is not UTF-8."""

    def translate_path(self, path):
        path = urllib.parse.urlsplit(path).path
        parts = [p for p in urllib.parse.unquote(path, errors="surrogateescape").split("/") if p]
        if any(p in (".", "..") for p in parts):
            return self.directory + "/.forbidden"
        return os.path.join(self.directory, *parts)

    def log_message(self, *args):
        pass


class QuietServer(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # the browser dropping a connection is not the page's fault


class IndexPage(unittest.TestCase):
    run_dir = None
    screenshot = None

    @classmethod
    def setUpClass(cls):
        cls.profile = tempfile.mkdtemp(prefix="tolvek-chromium-")
        cls.driver = start_browser(cls.profile)
        cls.page = os.path.join(cls.run_dir, "report", "index.html")
        cls.records = report_records(cls.run_dir)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.profile, ignore_errors=True)

    def setUp(self):
        open_page(self.driver, file_url(self.page))

    def test_loads_without_console_errors_and_thumbnails_decode(self):
        widths = decode_all_thumbnails(self.driver)
        self.assertGreaterEqual(len(widths), 15)
        self.assertTrue(all(w > 0 for w in widths), widths)
        self.assertEqual(severe_logs(self.driver), [])
        if self.screenshot:
            self.driver.execute_script("window.scrollTo(0, 0)")
            self.driver.save_screenshot(self.screenshot)

    def test_sorting_by_cutoff_orders_rows_with_empty_cells_last(self):
        heading = self.driver.find_element(By.CSS_SELECTOR, "#head>[data-k='10']")
        for direction in (1, -1):
            heading.click()
            cells = [r[CUTOFF] for r in visible_rows(self.driver)]
            numbers = [float(c) for c in cells if c]
            self.assertEqual(numbers, sorted(numbers, reverse=direction < 0))
            self.assertEqual(cells[len(numbers):], [""] * (len(cells) - len(numbers)))
            self.assertGreater(len(cells) - len(numbers), 0, "the run has files without a cutoff")

    def test_filter_hides_other_paths(self):
        box = self.driver.find_element(By.ID, "filter")
        for needle, expected in (("sub dir", None), ("hash#1", 1), ("nothing like this", 0)):
            box.clear()
            box.send_keys(needle)
            rows = visible_rows(self.driver)
            self.assertTrue(all(needle in r[1] for r in rows), needle)
            if expected is not None:
                self.assertEqual(len(rows), expected, needle)
            else:
                self.assertTrue(0 < len(rows) < len(self.records))

    def test_rows_are_the_reports_records_and_no_file_of_ours(self):
        rows = visible_rows(self.driver)
        self.assertEqual(sorted((r[1], r[STATUS]) for r in rows),
                         sorted((r["source"], r["status"]) for r in self.records))
        self.assertIn("damaged", [r[STATUS] for r in rows])
        for r in rows:
            self.assertFalse(r[1].endswith(".png") or "/report/" in r[1], r[1])

    def test_switch_shows_suspected_or_failed_files(self):
        switch = Select(self.driver.find_element(By.ID, "show"))
        for value, wanted in (("suspected", lambda r: r["lossy_origin"] == "suspected"),
                              ("failed", lambda r: r["status"] in FAILED)):
            switch.select_by_value(value)
            shown = sorted(r[1] for r in visible_rows(self.driver))
            self.assertEqual(shown, sorted(r["source"] for r in self.records if wanted(r)), value)
        self.assertEqual(len(shown), 2, "the damaged and the unreadable file")
        switch.select_by_value("all")
        self.assertEqual(len(visible_rows(self.driver)), len(self.records))

    def test_awkward_names_show_as_text_and_link_to_their_files(self):
        d = self.driver
        self.assertEqual(d.execute_script("return document.querySelectorAll('body script').length"), 2)
        names = [r[1] for r in visible_rows(d)]
        self.assertIn(os.path.join(self.run_dir, "music", HOSTILE), names)
        self.assertIn(os.path.join(self.run_dir, "music", "sub dir", "bad\ufffd.wav"), names)
        links = d.execute_script(
            "return [...document.querySelectorAll('#rows>[role=row]')].filter(r => r.children[0].querySelector('a'))"
            ".map(r => [r.children[1].textContent, r.children[0].querySelector('a').href])")
        self.assertEqual(len(links), sum(1 for r in self.records if r["picture"]))
        for name, href in links:
            target = urllib.parse.unquote_to_bytes(urllib.parse.urlparse(href).path)
            self.assertTrue(os.path.isfile(target), (name, href))
            if "\ufffd" not in name:
                self.assertEqual(target, os.fsencode(name + ".png"))

    def test_moved_tree_served_over_http(self):
        moved = tempfile.mkdtemp(prefix="tolvek-moved-")
        try:
            shutil.copytree(self.run_dir, os.path.join(moved, "run"))
            handler = functools.partial(QuietHandler, directory=moved)
            server = QuietServer(("127.0.0.1", 0), handler)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            try:
                base = "http://127.0.0.1:%d/run/" % server.server_address[1]
                open_page(self.driver, base + "report/index.html")
                self.assertTrue(all(w > 0 for w in decode_all_thumbnails(self.driver)))
                # The page itself may fetch nothing (its policy), so ask from here.
                hrefs = self.driver.execute_script(
                    "return [...document.querySelectorAll('#rows a')].map(a => a.href)")
                statuses = [urllib.request.urlopen(h).status for h in hrefs]
                self.assertEqual(len(statuses), sum(1 for r in self.records if r["picture"]))
                self.assertEqual(set(statuses), {200})
                self.assertEqual(severe_logs(self.driver), [])
            finally:
                server.shutdown()
                server.server_close()
        finally:
            shutil.rmtree(moved, ignore_errors=True)


def measure(run_dir):
    profile = tempfile.mkdtemp(prefix="tolvek-chromium-")
    driver = start_browser(profile)
    try:
        open_page(driver, file_url(os.path.join(run_dir, "report", "index.html")))
        nav = driver.execute_script(
            "const n = performance.getEntriesByType('navigation')[0];"
            "return [n.domContentLoadedEventEnd, n.loadEventEnd, window.tolvekBuildMs,"
            " document.getElementById('count').textContent]")
        print("%s: table drawn in %.0f ms, DOMContentLoaded %.0f ms, load event %.0f ms"
              % (nav[3], nav[2], nav[0], nav[1]))
        # Halfway down: the rows drawn there are the ones that belong there.
        shown = driver.execute_async_script(
            "const done = arguments[0]; window.scrollTo(0, 5000 * 103);"
            "requestAnimationFrame(() => requestAnimationFrame(() => {"
            " const top = document.getElementById('rows').getBoundingClientRect().top;"
            " const r = [...document.querySelectorAll('#rows>[role=row]')]"
            "  .find(e => e.getBoundingClientRect().bottom > 0);"
            " done([r.children[1].textContent, -top / 103]); }));")
        print("scrolled to row %.0f: it shows %s" % (shown[1], shown[0]))
        driver.execute_script("window.scrollTo(0, 0)")
        for key, label in (("10", "cutoff"), ("10", "cutoff, reversed"), ("0", "source"), ("7", "peak")):
            # The click's handler, then the style and layout it leaves behind.
            ms = driver.execute_script(
                "const s = performance.now(); document.querySelector(arguments[0]).click();"
                "document.body.offsetHeight; return [window.tolvekLastSortMs, performance.now() - s]",
                "#head>[data-k='%s']" % key)
            print("sort by %s: %.0f ms in the handler, %.0f ms with layout" % (label, ms[0], ms[1]))
        ms = driver.execute_script(
            "const f = document.getElementById('filter'); const s = performance.now();"
            "f.value = 'track 1'; f.dispatchEvent(new Event('input')); document.body.offsetHeight;"
            "return performance.now() - s")
        print("filter 'track 1': %.0f ms with layout" % ms)
        if severe_logs(driver):
            print("console errors:", severe_logs(driver)[:3])
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("run_dir")
    parser.add_argument("--screenshot")
    parser.add_argument("--measure", action="store_true")
    args = parser.parse_args()
    if args.measure:
        measure(args.run_dir)
        return 0
    IndexPage.run_dir = os.path.abspath(args.run_dir)
    IndexPage.screenshot = args.screenshot
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(IndexPage)
    return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
