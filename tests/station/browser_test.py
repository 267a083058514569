#!/usr/bin/env python3
"""The line's web page in a real browser: Debian's chromium, headless, driven by selenium.

The ledger is the demo's: scripts/factory-demo runs the factory sequence on a simulated board
with run records, and they are imported, as scripts/demo does. Then bm77_station serve, on
127.0.0.1 and a free port, is looked at as a supervisor and an operator would.

  browser_test.py --station BM77_STATION --bin BIN --source CHECKOUT [--screenshot PNG]
"""
import argparse
import ctypes
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.common.exceptions import (NoAlertPresentException, NoSuchElementException,
                                        StaleElementReferenceException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HOSTILE = "<img src=x onerror=alert(1)>"
ARGS = None


def die_with_this_test():
    """The server ends with the test, however the test ends (PR_SET_PDEATHSIG)."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)


def now_stamp(offset_s=0.0):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=offset_s)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def record(tool, status, mac, name, start):
    identity = {"mac": mac, "name": name, "vcom": 256}
    return json.dumps({"format": 1, "tool": tool, "version": "1", "args": [], "start": start,
                       "seconds": 0.5, "status": status, "outcome": "ok" if status == 0 else "module",
                       "identity": {"before": identity, "after": identity},
                       "failures": [] if status == 0 else [{"step": "write-name", "kind": "silent"}]})


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="bm77-browser-")
        cls.ledger = os.path.join(cls.dir, "ledger.db")
        cls.station("block", "add", "00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:6F")
        cls.mac = cls.station("next-mac").strip()
        records = os.path.join(cls.dir, "records.jsonl")
        demo = subprocess.run([os.path.join(ARGS.source, "scripts/factory-demo"), ARGS.bin,
                               os.path.join(cls.dir, "board"), "96", cls.mac],
                              env=dict(os.environ, BM77_RECORD=records), capture_output=True, text=True)
        if demo.returncode != 0:
            raise RuntimeError("factory-demo failed:\n" + demo.stdout + demo.stderr)
        cls.demo_runs = sum(1 for line in open(records) if line.strip())
        cls.station("import", records)  # takes the file over: counted before
        cls.server = subprocess.Popen([ARGS.station, "--db", cls.ledger, "serve", "--listen", "127.0.0.1:0"],
                                      stdout=subprocess.PIPE, text=True, preexec_fn=die_with_this_test)
        cls.url = re.search(r"http://127\.0\.0\.1:\d+/", cls.server.stdout.readline()).group(0)
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1200,1500",
                     "--user-data-dir=" + os.path.join(cls.dir, "chromium")):
            options.add_argument(flag)
        cls.browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.terminate()
        cls.server.wait(10)
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def station(cls, *args):
        return subprocess.run([ARGS.station, "--db", cls.ledger, *args], check=True, capture_output=True,
                              text=True).stdout

    def import_lines(self, *lines):
        path = os.path.join(self.dir, "more.jsonl")
        with open(path, "w") as out:
            out.write("\n".join(lines) + "\n")
        self.station("import", path)

    def open(self, path):
        self.browser.get(self.url + path.lstrip("/"))

    def assert_nothing_ran(self):
        with self.assertRaises(NoAlertPresentException):
            self.browser.switch_to.alert.text

    def test_1_overview_shows_the_demo(self):
        self.open("/")
        tiles = [t.text for t in self.browser.find_elements(By.CSS_SELECTOR, ".tile .all")]
        self.assertEqual(tiles[0], str(self.demo_runs))
        yield_table = self.browser.find_element(By.ID, "yield").text
        for tool in ("bm77_provision", "bm77_fwupdate", "bm77_tableupdate", "bm77_ident", "bmpview"):
            self.assertIn(tool, yield_table)
        blocks = self.browser.find_element(By.ID, "blocks").text
        self.assertIn("00:1A:2B:3C:4D:5E 00:1A:2B:3C:4D:6F 1 17", blocks)
        self.assertTrue(self.browser.find_element(By.ID, "alarms").is_displayed())
        if ARGS.screenshot:
            self.browser.save_screenshot(ARGS.screenshot)
        self.assert_nothing_ran()

    def test_2_unit_page_lists_its_runs(self):
        self.open("/units")
        self.browser.find_element(By.LINK_TEXT, self.mac).click()
        self.assertTrue(self.browser.current_url.endswith("/unit/" + self.mac))
        runs = self.browser.find_elements(By.CSS_SELECTOR, "#runs tbody tr")
        self.assertGreaterEqual(len(runs), 1)
        self.assertIn("bm77_provision", runs[0].text)
        self.assertIn("Tavrine-4D5E", runs[0].text)

    def test_3_hostile_device_name_shows_as_text(self):
        mac = "00:1A:2B:3C:4D:60"
        self.import_lines(record("bm77_ident", 0, mac, HOSTILE, now_stamp(1)))
        for path in ("/unit/" + mac, "/units?q=onerror", "/station"):
            self.open(path)
            self.assertIn(HOSTILE, self.browser.find_element(By.TAG_NAME, "main").text, path)
            self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "main img"), [], path)
            self.assert_nothing_ran()

    def test_4_station_turns_red_then_green(self):
        self.open("/station")
        wait = WebDriverWait(self.browser, 15, poll_frequency=0.2,
                             ignored_exceptions=(NoSuchElementException, StaleElementReferenceException))
        body_class = lambda: self.browser.find_element(By.TAG_NAME, "body").get_attribute("class")
        # The page refreshes itself: nothing here reloads it.
        self.import_lines(record("bm77_ident", 3, "00:1A:2B:3C:4D:61", "Tavrine-4D61", now_stamp(5)))
        wait.until(lambda _: "fail" in body_class())
        self.assertEqual(self.browser.find_element(By.CSS_SELECTOR, "#result .word").text, "FAIL")
        red = self.browser.find_element(By.TAG_NAME, "body").value_of_css_property("background-color")
        self.import_lines(record("bm77_ident", 0, "00:1A:2B:3C:4D:62", "Tavrine-4D62", now_stamp(10)))
        wait.until(lambda _: "pass" in body_class())
        self.assertEqual(self.browser.find_element(By.CSS_SELECTOR, "#result .word").text, "PASS")
        green = self.browser.find_element(By.TAG_NAME, "body").value_of_css_property("background-color")
        self.assertEqual((red, green), ("rgba(179, 22, 27, 1)", "rgba(18, 122, 42, 1)"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--station", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--screenshot")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)
