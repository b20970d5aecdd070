"""A small W3C WebDriver client (JSON over HTTP, Python's standard library
only) driving Debian's headless chromium through chromedriver.

    with Browser(download_dir=d) as b:
        b.get(url)
        b.find("input[name=title]").send_keys("Crash")

chromedriver listens on a free port of 127.0.0.1; chromium gets a new
profile folder, removed at the end.
"""
import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

CHROMIUM = os.environ.get("VELKO_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VELKO_CHROMEDRIVER", "/usr/bin/chromedriver")
ELEMENT_KEY = "element-6066-11e4-a52e-4f735466cecf"


def available():
    """"" when chromium and chromedriver are there, else what is missing."""
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    return ", ".join(missing)


class WebDriverError(Exception):
    pass


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Element:
    def __init__(self, browser, ref):
        self.b = browser
        self.ref = ref

    def _path(self, tail=""):
        return "/element/%s%s" % (self.ref, tail)

    def click(self):
        self.b.cmd("POST", self._path("/click"), {})
        return self

    def send_keys(self, text):
        self.b.cmd("POST", self._path("/value"), {"text": text})
        return self

    def clear(self):
        self.b.cmd("POST", self._path("/clear"), {})
        return self

    @property
    def text(self):
        return self.b.cmd("GET", self._path("/text"))

    def attr(self, name):
        return self.b.cmd("GET", self._path("/attribute/" + name))

    def prop(self, name):
        return self.b.cmd("GET", self._path("/property/" + name))

    @property
    def tag(self):
        return self.b.cmd("GET", self._path("/name"))

    def find(self, css):
        r = self.b.cmd("POST", self._path("/element"), {"using": "css selector", "value": css})
        return Element(self.b, r[ELEMENT_KEY])

    def find_all(self, css):
        r = self.b.cmd("POST", self._path("/elements"), {"using": "css selector", "value": css})
        return [Element(self.b, e[ELEMENT_KEY]) for e in r]

    def select(self, label=None, value=None, index=None):
        """Chooses an option of this selection list (by its visible text,
        its value or its position), as a user clicking it does."""
        options = self.find_all("option")
        for i, o in enumerate(options):
            if ((label is not None and o.text.strip() == label)
                    or (value is not None and o.prop("value") == value)
                    or (index is not None and i == index)):
                o.click()
                return o
        raise WebDriverError("no option %r in the list (%s)" % (
            label if label is not None else value if value is not None else index,
            [o.text for o in options]))


class Browser:
    def __init__(self, download_dir=None, width=1280, height=1000):
        self.download_dir = download_dir
        self.width, self.height = width, height
        self.profile = None
        self.driver = None
        self.session = None

    def start(self):
        self.profile = tempfile.mkdtemp(prefix="velko-chromium.")
        self.port = _free_port()
        self.driver = subprocess.Popen(
            [CHROMEDRIVER, "--port=%d" % self.port, "--allowed-ips=127.0.0.1"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.time() + 20
        while True:
            try:
                if self._http("GET", "/status").get("value", {}).get("ready"):
                    break
            except (OSError, WebDriverError):
                pass
            if time.time() > deadline or self.driver.poll() is not None:
                self.quit()
                raise WebDriverError("chromedriver did not start")
            time.sleep(0.1)
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run",
                "--disable-dev-shm-usage", "--user-data-dir=" + self.profile,
                "--window-size=%d,%d" % (self.width, self.height)]
        opts = {"binary": CHROMIUM, "args": args}
        if self.download_dir:
            opts["prefs"] = {"download.default_directory": self.download_dir,
                             "download.prompt_for_download": False,
                             "download.directory_upgrade": True,
                             "safebrowsing.enabled": False}
        r = self._http("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": opts,
            "timeouts": {"pageLoad": 60000, "script": 30000, "implicit": 0}}}})
        self.session = r["value"]["sessionId"]
        if self.download_dir:
            try:
                self.cmd("POST", "/chromium/send_command", {
                    "cmd": "Page.setDownloadBehavior",
                    "params": {"behavior": "allow", "downloadPath": self.download_dir}})
            except WebDriverError:
                pass  # the profile preference alone is enough on most builds
        return self

    def quit(self):
        if self.session:
            try:
                self._http("DELETE", "/session/" + self.session, timeout=20)
            except (OSError, WebDriverError):
                pass
            self.session = None
        if self.driver and self.driver.poll() is None:
            try:
                os.killpg(self.driver.pid, 15)
            except ProcessLookupError:
                pass
            try:
                self.driver.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.driver.pid, 9)
                self.driver.wait(10)
        if self.profile:
            shutil.rmtree(self.profile, ignore_errors=True)
            self.profile = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.quit()

    # -- protocol
    def _http(self, method, path, body=None, timeout=90):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=data,
                                     method=method,
                                     headers={"Content-Type": "application/json; charset=utf-8"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return json.loads(r.read() or b"{}")
        except urllib.error.HTTPError as e:
            try:
                v = json.loads(e.read()).get("value", {})
                msg = "%s: %s" % (v.get("error"), v.get("message", "")[:500])
            except ValueError:
                msg = str(e)
            raise WebDriverError("%s %s: %s" % (method, path, msg)) from None

    def cmd(self, method, path, body=None):
        return self._http(method, "/session/%s%s" % (self.session, path), body).get("value")

    # -- navigation and pages
    def get(self, url):
        self.cmd("POST", "/url", {"url": url})

    def back(self):
        self.cmd("POST", "/back", {})

    @property
    def url(self):
        return self.cmd("GET", "/url")

    @property
    def title(self):
        return self.cmd("GET", "/title")

    @property
    def source(self):
        return self.cmd("GET", "/source")

    def js(self, script, *args):
        return self.cmd("POST", "/execute/sync", {"script": script, "args": list(args)})

    def js_element(self, script, *args):
        """Runs a script that returns one element."""
        r = self.js(script, *args)
        if not isinstance(r, dict) or ELEMENT_KEY not in r:
            raise WebDriverError("the script returned no element: %r" % (r,))
        return Element(self, r[ELEMENT_KEY])

    @property
    def body_text(self):
        return self.js("return document.body ? document.body.innerText : '';")

    def find(self, css):
        r = self.cmd("POST", "/element", {"using": "css selector", "value": css})
        return Element(self, r[ELEMENT_KEY])

    def find_all(self, css):
        r = self.cmd("POST", "/elements", {"using": "css selector", "value": css})
        return [Element(self, e[ELEMENT_KEY]) for e in r]

    def wait_for(self, predicate, timeout=30, what="the page"):
        """Polls predicate() until it returns a true value (that it returns)."""
        deadline = time.time() + timeout
        last = None
        while time.time() < deadline:
            try:
                v = predicate()
                if v:
                    return v
            except WebDriverError as e:
                last = e
            time.sleep(0.1)
        raise WebDriverError("timed out waiting for %s (%s); at %s" % (what, last, self.url))

    def wait_loaded(self, timeout=30):
        self.wait_for(lambda: self.js("return document.readyState") == "complete", timeout)

    def screenshot(self, path, full_page=True):
        """Saves a PNG of the page, the whole page with full_page (through
        the DevTools protocol; the visible part when that is refused)."""
        png = None
        if full_page:
            try:
                r = self.cmd("POST", "/goog/cdp/execute", {
                    "cmd": "Page.captureScreenshot",
                    "params": {"format": "png", "captureBeyondViewport": True}})
                png = base64.b64decode(r["data"])
            except (WebDriverError, KeyError, TypeError):
                png = None
        if png is None:
            png = base64.b64decode(self.cmd("GET", "/screenshot"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png)
        return path
