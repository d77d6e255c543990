#!/usr/bin/env python3
"""The web remote's page in headless Chromium, against the real display.

    remote_page.py PATH-TO-lumora-meters

Two displays run offscreen under a temporary HOME, on loopback: one takes
commands from this PC and its meter data as a UDP client on loopback, the
other only from 10.0.0.0/8 or with its token.
Exits 77 (skipped) when Selenium or Chromium is not installed.
"""
import json
import re
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("Selenium is not installed (Debian: python3-selenium); skipped")
    sys.exit(77)

PROGRAM = None
TIMEOUT = 20


def free_port():
    # Free for TCP and UDP on loopback, as the display needs both.
    while True:
        with socket.socket() as t:
            t.bind(("127.0.0.1", 0))
            port = t.getsockname()[1]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            try:
                u.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue


def until(what, check, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Feed:
    """Meter packets to a display's UDP client port, 25 a second, while on."""

    def __init__(self, port, levels_db):
        words = [round((db + 50) * 1000) for db in levels_db]  # r / 1000 - 50 dB
        self.packet = struct.pack(">2B6H2B", 0xAA, 0xAA, *words, 0x55, 0x55)
        self.port = port
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
            while not self.stopped.wait(0.04):
                u.sendto(self.packet, ("127.0.0.1", self.port))

    def stop(self):
        self.stopped.set()
        self.thread.join()


class Display:
    def __init__(self, home, instance, **keys):
        self.port = free_port()
        folder = os.path.join(home, "config", "Korvel B.V.")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "Lumora Meters-%s.conf" % instance), "w") as f:
            f.write("[General]\ncontrol_port=%d\n" % self.port)
            for k, v in keys.items():
                f.write("%s=%s\n" % (k, v))
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   QT_QPA_PLATFORM="offscreen")
        self.log = open(os.path.join(home, instance + ".log"), "w+")
        self.process = subprocess.Popen([PROGRAM, "--instance", instance], env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.url = "http://127.0.0.1:%d/" % self.port
        until("the display's web remote", self._answers)

    def _answers(self):
        if self.process.poll() is not None:
            self.log.seek(0)
            raise AssertionError("the display ended:\n" + self.log.read())
        try:
            return self.status()
        except OSError:
            return None

    def status(self):
        with urllib.request.urlopen(self.url + "api/status", timeout=5) as r:
            return json.load(r)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(30)
        self.log.close()


class RemotePage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        chromedriver = shutil.which("chromedriver")
        if not chromedriver or not shutil.which("chromium"):
            raise unittest.SkipTest("chromium or chromium-driver is not installed")
        cls.home = tempfile.mkdtemp(prefix="lumora-page-")
        cls.feedPort = free_port()
        cls.allowed = Display(cls.home, "pageallowed", use_udp="true", is_server="false",
                              client_host="127.0.0.1", client_port=cls.feedPort, tally_source="control")
        cls.refused = Display(cls.home, "pagerefused", control_allow="10.0.0.0/8",
                              control_token="page-token")
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=320,900",
                    "--user-data-dir=" + os.path.join(cls.home, "chromium")):
            options.add_argument(arg)
        cls.browser = webdriver.Chrome(service=Service(chromedriver), options=options)
        cls.browser.set_window_size(320, 900)
        # Notes what the page sends on its WebSocket, and the pushes that are
        # levels alone (a subscriber's), before the page's own script runs.
        cls.browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
            (() => {
              const send = WebSocket.prototype.send;
              WebSocket.prototype.send = function (m) {
                (window.__sent = window.__sent || []).push(m);
                if (!this.__noted) {
                  this.__noted = true;
                  this.addEventListener("message", e => {
                    try {
                      const keys = Object.keys(JSON.parse(e.data));
                      if (keys.length === 1 && keys[0] === "levels_db")
                        window.__levelPushes = (window.__levelPushes || 0) + 1;
                    } catch (_) {}
                  });
                }
                return send.call(this, m);
              };
            })();"""})

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.allowed.stop()
        cls.refused.stop()
        shutil.rmtree(cls.home, ignore_errors=True)

    def open(self, display):
        self.browser.get(display.url)
        WebDriverWait(self.browser, TIMEOUT).until(
            lambda b: b.find_element(By.ID, "connection").text == "Connected")

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def no_data_marks(self):
        return [e.is_displayed() for e in self.browser.find_elements(By.CSS_SELECTOR, "#meters .pair")]

    def test_meters_follow_the_wall(self):
        self.open(self.allowed)
        b = self.browser
        # No packet yet: each pair says so, once the link has waited its second.
        until("no data", lambda: self.allowed.status()["link"]["data"] is False)
        WebDriverWait(b, TIMEOUT).until(lambda _: self.no_data_marks() == [True] * 3)
        self.assertEqual([e.text for e in b.find_elements(By.CSS_SELECTOR, "#meters .pair")], ["NO DATA"] * 3)

        scale = json.load(urllib.request.urlopen(self.allowed.url + "api/scale", timeout=5))
        points = scale["points"]
        self.assertEqual((points[0][0], points[-1][0]), (-50, 5))
        # 0 dB on the wall's DIN curve, worked out by hand.
        floor, top = 10 ** (-50 / 80), 10 ** (5 / 80)
        self.assertAlmostEqual(scale["zero"], (1 - floor) / (top - floor), places=5)

        def at(db):  # straight between the display's points
            for (d0, f0), (d1, f1) in zip(points, points[1:]):
                if db <= d1:
                    return f0 + (f1 - f0) * (db - d0) / (d1 - d0)

        sent = [0.0, 3.0, -20.5, -6.0, -50.0, -38.7]
        feed = Feed(self.feedPort, sent)
        try:
            until("data", lambda: self.allowed.status()["link"]["data"] is True)
            WebDriverWait(b, TIMEOUT).until(lambda _: self.no_data_marks() == [False] * 3)
            until("the levels on the wall", lambda: self.allowed.status()["levels_db"] == sent)
            WebDriverWait(b, TIMEOUT).until(
                lambda _: [o.text for o in b.find_elements(By.CSS_SELECTOR, "#meters output")]
                == ["%.1f" % v for v in sent])
            # Where the lit part of each bar ends, as the browser draws it:
            # the bar's own element just left of it, the dark meter right of it.
            ends = b.execute_script("""
                document.getElementById('meters').scrollIntoView();
                return [...document.querySelectorAll('#meters .meter')].map(m => {
                  const r = m.getBoundingClientRect(), y = r.top + r.height / 2;
                  for (let x = Math.ceil(r.right) - 1; x >= r.left; --x)
                    if (document.elementFromPoint(x, y).classList.contains('bar'))
                      return (x + 1 - r.left - m.clientLeft) / m.clientWidth;
                  return 0;
                });""")
            width = b.execute_script("return document.querySelector('#meters .meter').clientWidth")
            for db, end in zip(sent, ends):
                self.assertAlmostEqual(end, at(db), delta=1.5 / width, msg="%s dB" % db)
            self.assertAlmostEqual(ends[0], scale["zero"], delta=1.5 / width)
            self.assertGreater(ends[1], ends[0] + 0.05)  # above 0 dB still shows
        finally:
            feed.stop()
        WebDriverWait(b, TIMEOUT).until(lambda _: self.no_data_marks() == [True] * 3)

    def test_sets_end_mark_and_name(self):
        self.open(self.allowed)
        b = self.browser
        # Usable at 320 px: nothing sticks out sideways, and the count-down
        # comes before the names.
        self.assertLessEqual(b.execute_script("return document.documentElement.scrollWidth"),
                             b.execute_script("return window.innerWidth"))
        self.assertLess(b.find_element(By.CSS_SELECTOR, "button[data-cmd='ring add 10']").rect["y"],
                        b.find_element(By.ID, "names-title").rect["y"])
        b.find_element(By.ID, "endmark-minutes").send_keys("5")
        b.find_element(By.CSS_SELECTOR, "#endmark-in button").click()
        until("the end mark on the display",
              lambda: self.allowed.status()["endmark"]["mode"] == "once")
        WebDriverWait(b, TIMEOUT).until(lambda _: self.text("endmark").startswith("once at "))
        remaining = self.allowed.status()["endmark"]["remaining_s"]
        self.assertTrue(290 <= remaining <= 301, remaining)  # to the second

        name = b.find_element(By.ID, "name2")
        name.clear()
        name.send_keys("<b>Studio</b> 9")
        b.find_element(By.CSS_SELECTOR, ".name-form[data-pair='2'] button").click()
        until("the name on the display", lambda: self.allowed.status()["names"][1] == "<b>Studio</b> 9")
        WebDriverWait(b, TIMEOUT).until(lambda _: self.text("message") == "Done")
        # The levels go by the pairs' names, as text.
        WebDriverWait(b, TIMEOUT).until(
            lambda _: [e.text for e in b.find_elements(By.CSS_SELECTOR, "#meters > span")][2:4]
            == ["<b>Studio</b> 9 L", "<b>Studio</b> 9 R"])
        self.assertEqual(b.find_elements(By.CSS_SELECTOR, "#meters b"), [])
        # A write the browser refuses leaves no "Done" from the one before.
        b.find_element(By.ID, "endmark-mmss").send_keys("77:99")
        b.find_element(By.CSS_SELECTOR, "#endmark-hourly button").click()
        WebDriverWait(b, TIMEOUT).until(lambda _: self.text("message").startswith("Not sent: "))
        self.assertEqual(self.allowed.status()["endmark"]["mode"], "once")

        # Levels arrive by the page's subscription, not only in the state.
        WebDriverWait(b, TIMEOUT).until(
            lambda _: b.find_element(By.CSS_SELECTOR, "#meters output").text != "")
        WebDriverWait(b, TIMEOUT).until(lambda _: b.execute_script("return window.__levelPushes || 0") > 0)
        self.assertIn('{"subscribe":"levels"}', b.execute_script("return window.__sent || []"))
        # The UDP channel listens here, so its line stays hidden.
        self.assertFalse(b.find_element(By.ID, "control-row").is_displayed())
        # Nothing the page asked for was missing, its icon neither.
        self.assertEqual([e["message"] for e in b.get_log("browser") if "Failed to load" in e["message"]], [])

    def test_on_air_lamp(self):
        self.open(self.allowed)
        b = self.browser
        lamp = b.find_element(By.ID, "tally")
        self.assertTrue(b.find_element(By.ID, "tally-section").is_displayed())
        b.find_element(By.CSS_SELECTOR, "button[data-cmd='tally on']").click()
        until("the lamp lit on the display", lambda: self.allowed.status()["tally"]["on"])
        WebDriverWait(b, TIMEOUT).until(lambda _: lamp.get_attribute("class") == "lamp on")
        WebDriverWait(b, TIMEOUT).until(lambda _: re.fullmatch(r"\d+:\d\d", self.text("tally-time")))
        self.assertEqual(lamp.text, "ON AIR")
        b.find_element(By.CSS_SELECTOR, "button[data-cmd='tally off']").click()
        until("the lamp dark on the display", lambda: not self.allowed.status()["tally"]["on"])
        WebDriverWait(b, TIMEOUT).until(lambda _: lamp.get_attribute("class") == "lamp")
        self.assertEqual(self.text("tally-time"), "")

    def test_refusal_explained_and_token(self):
        self.open(self.refused)
        b = self.browser
        # No tally source there: no lamp on the page.
        self.assertFalse(b.find_element(By.ID, "tally-section").is_displayed())
        b.find_element(By.CSS_SELECTOR, "button[data-cmd='ring 30']").click()
        WebDriverWait(b, TIMEOUT).until(lambda _: b.find_element(By.ID, "refused").is_displayed())
        self.assertEqual(self.text("refused-title"), "Commands are not allowed from this address")
        self.assertIsNone(self.refused.status()["ring"]["remaining_s"])

        b.find_element(By.ID, "token").send_keys("page-token")
        b.find_element(By.CSS_SELECTOR, "#token-form button").click()
        WebDriverWait(b, TIMEOUT).until(lambda _: self.text("message") == "Token accepted")
        b.find_element(By.CSS_SELECTOR, "button[data-cmd='ring 30']").click()
        until("the ring on the display", lambda: (self.refused.status()["ring"]["remaining_s"] or 0) > 20)
        self.assertNotIn("page-token", b.current_url)

    def test_reconnects(self):
        display = Display(self.home, "pagereconnect")
        try:
            self.open(display)
            display.process.send_signal(signal.SIGTERM)
            display.process.wait(30)
            WebDriverWait(self.browser, TIMEOUT).until(lambda _: self.text("connection") == "Reconnecting…")
            again = Display.__new__(Display)
            # The same instance and port again.
            again.__dict__.update(display.__dict__)
            env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, "config"),
                       QT_QPA_PLATFORM="offscreen")
            again.process = subprocess.Popen([PROGRAM, "--instance", "pagereconnect"], env=env,
                                             stdout=display.log, stderr=subprocess.STDOUT)
            display = again
            WebDriverWait(self.browser, TIMEOUT).until(lambda _: self.text("connection") == "Connected")
        finally:
            display.stop()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    PROGRAM = sys.argv.pop(1)
    result = unittest.main(exit=False, verbosity=2).result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped and result.testsRun == len(result.skipped):
        sys.exit(77)
