"""Browser end-to-end tests: headless chromium, driven by Debian's
python3-selenium through chromedriver, uses the tracker served by lighttpd
as a person would, from the start page to a verified report found again,
printed and downloaded; and, with security on, the login and its cookie."""
import os
import re
import shutil
import sys
import tempfile
import unittest

try:
    import selenium  # noqa: F401
except ImportError:  # Debian's package, when another python runs the tests
    sys.path.append("/usr/lib/python3/dist-packages")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

from velkotest import Server, have_lighttpd, parse_report

CHROMIUM = os.environ.get("VELKO_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VELKO_CHROMEDRIVER", "/usr/bin/chromedriver")
MISSING = ", ".join([p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)] +
                    ([] if webdriver else ["python3-selenium"]) + ([] if have_lighttpd() else ["lighttpd"]))
NAME_RE = re.compile(r"\b([A-Za-z0-9]+\.\d{5})\b")
STATUS_BOXES = ["statN", "statA", "statO", "statC", "statV", "statP", "statB", "statR", "statD",
                "statT", "statS"]
ARTEFACTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "artefacts")


def prepare(srv, security=""):
    """A second project, so that the project lists have one to change to."""
    with open(os.path.join(srv.cfg, "project.cfg"), "a") as f:
        f.write("OTHER:O:admin:admin\n")
    for name, text in (("subproject", "main:20\n"), ("program", "core\n"), ("version", "1.0\n"),
                       ("users", "admin :admin@localhost:admin:YES:YES:YES:YES:YES:YES:YES\n"),
                       ("deadline", "1.0\n2.0\n")):
        with open(os.path.join(srv.cfg, "OTHER_%s.cfg" % name), "w") as f:
            f.write(text)
    with open(os.path.join(srv.cfg, "velko.cfg"), "a") as f:
        f.write(security)


@unittest.skipIf(MISSING, "not installed: " + MISSING)
class BrowserTest(unittest.TestCase):
    security = ""

    @classmethod
    def setUpClass(cls):
        cls.srv = Server(lambda srv: prepare(srv, cls.security)).start()
        cls.downloads = tempfile.mkdtemp(prefix="velko-dl.")
        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1280,1000", "--no-first-run", "--disable-background-networking"):
            o.add_argument(arg)
        o.add_experimental_option("prefs", {"download.default_directory": cls.downloads,
                                            "download.prompt_for_download": False})
        try:
            cls.b = webdriver.Chrome(service=Service(CHROMEDRIVER), options=o)
            cls.b.execute_cdp_cmd("Page.setDownloadBehavior",
                                  {"behavior": "allow", "downloadPath": cls.downloads})
        except Exception:
            cls.srv.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.b.quit()
        shutil.rmtree(cls.downloads, ignore_errors=True)
        cls.srv.stop()

    def tearDown(self):
        self.assertEqual(self.srv.sanitizer_reports(), "", "sanitizer reports in the CGI error log")

    # -- helpers
    def L(self, n, *args):
        return self.srv.lang[n] % args if args else self.srv.lang[n]

    def css(self, selector, every=False):
        return (self.b.find_elements if every else self.b.find_element)(By.CSS_SELECTOR, selector)

    def js(self, script, *args):
        return self.b.execute_script(script, *args)

    def text(self):
        """The page's text, which must be a page of the tracker."""
        text = self.js("return document.body ? document.body.innerText : '';")
        self.assertNotRegex(self.b.title, r"^(500|502|404|403)")
        self.assertNotIn("Internal Server Error", text)
        self.assertTrue(text.strip(), "empty page at " + self.b.current_url)
        return text

    def wait(self, what, condition=lambda: True):
        WebDriverWait(self.b, 30, 0.05).until(lambda _: self.js(
            "return window.__velkoOld === undefined && document.readyState === 'complete';")
            and condition(), "timed out waiting for " + what)

    def click(self, element, what="the next page"):
        """Clicks a link or button and waits for the new page."""
        self.js("window.__velkoOld = 1;")
        element.click()
        self.wait(what)

    def change_project(self, select, project):
        """Chooses a project in a list that loads the page of that project."""
        self.js("window.__velkoOld = 1;")
        Select(select).select_by_visible_text(project)
        self.wait(project, lambda: "project=" + project in self.b.current_url)

    def fill(self, **fields):
        """Fills fields by name: a list's option by its text (None: the
        first one that is not blank), a text typed. Returns the choices."""
        chosen = {}
        for name, value in fields.items():
            el = self.css("[name=%s]" % name)
            if el.tag_name == "select":
                options = [o.text.strip() for o in Select(el).options]
                value = value or [o for o in options if o and o != "\u00a0"][0]
                Select(el).select_by_visible_text(value)
            elif el.tag_name == "input":
                el.clear()
            if el.tag_name != "select":
                el.send_keys(value)
            chosen[name] = value
        return chosen

    def submit(self):
        self.click(self.css("input[type=submit]"))

    def action(self, cmd):
        """Follows the action bar's button for CMD=cmd to its form."""
        self.click(self.css('a[href*="CMD=%s&"]' % cmd))
        self.text()

    def status_is(self, n):
        self.assertIn("%s : %s" % (self.L(119), self.L(n)), self.text())

    def broken_images(self):
        return self.js("return Array.from(document.images).filter("
                       "i => !i.complete || i.naturalWidth == 0).length;")

    def shot(self, name):
        os.makedirs(ARTEFACTS, exist_ok=True)
        self.b.save_screenshot(os.path.join(ARTEFACTS, "e2e_%s.png" % name))

    # -- tests
    def test_start_page_entries(self):
        """Every entry of the start page leads to a page of the tracker."""
        self.b.get(self.srv.url("/"))  # the server sends / to the program
        self.assertTrue(self.b.current_url.endswith("/cgi-bin/velko"), self.b.current_url)
        self.assertEqual(self.b.title, "VELKO")
        text = self.text()
        for n in range(3000, 3008):
            self.assertIn(self.L(n), text)
        self.assertEqual(self.broken_images(), 0)
        self.shot("start")
        entries = [a.get_property("href") for a in self.css("a", True)
                   if a.find_elements(By.TAG_NAME, "img") and a.text.strip()]
        self.assertEqual(len(entries), 8, entries)
        for href in entries:
            self.b.get(self.srv.url())
            self.click([a for a in self.css("a", True) if a.get_property("href") == href][0])
            self.assertEqual(self.b.current_url, href)
            self.text()
            if "/velko/help/" in href:  # the help index and its English pages, with their images
                self.assertEqual(self.broken_images(), 0)
                self.click(self.css('a[href*="en/"]'))
                self.text()
                self.assertEqual(self.broken_images(), 0, self.b.current_url)

    def test_report_life(self):
        b, L, title = self.b, self.L, "Browser crash when the list is empty %d" % os.getpid()
        # The creation form, from the start page; choosing the project reloads it.
        b.get(self.srv.url())
        self.click(self.css('a[href*="CMD=create"]'))
        self.assertIn(L(2001), self.text())
        projects = [o.text.strip() for o in Select(self.css("select[name=Deroulant]")).options]
        self.assertEqual(sorted(projects[1:]), ["OTHER", "TEST"])
        self.change_project(self.css("select[name=Deroulant]"), "OTHER")
        self.assertEqual(self.css("input[name=project]").get_property("value"), "OTHER")
        self.assertEqual([o.text.strip() for o in Select(self.css("select[name=prog]")).options][1:],
                         ["core"])
        self.change_project(self.css("select[name=Deroulant]"), "TEST")
        self.assertEqual(self.css("input[name=project]").get_property("value"), "TEST")
        self.assertEqual(self.css("select[name=Deroulant] option[selected]").text.strip(), "TEST")
        self.assertTrue(self.css("textarea[name=text]").get_property("value").startswith(L(107) + " :"))
        group = self.fill(title=title, group=None, prog=None, sev=None, impact=None, phase=None,
                          version=None, exp=None, type=None, submitter="admin", test="T-12",
                          text="The list page stops with an empty table.\nSecond line.")["group"]
        self.shot("create_form")
        self.submit()
        page = self.text()
        self.assertEqual(b.title, L(2002))
        name = NAME_RE.search(self.css("h1").text).group(1)
        self.assertIn(title, page)
        self.status_is(200)
        self.assertIn("%s %s" % (L(113), "admin"), page)  # the creation's history line
        self.assertTrue(os.path.exists(os.path.join(self.srv.data, name)), name)
        self.assertEqual(len(self.css("a[href*='Num=%s&QS=']" % name, True)), 17)  # the action bar
        self.shot("created")

        # The workflow, button after button.
        both = {"submitter": "admin", "User": "admin"}
        for cmd, fields, status, line in (
                ("Observed", both, 201, (2040, "admin", "admin")),
                ("Assign", both, 202, (2044, "admin", "admin")),
                ("Open", both, 203, (2048, "admin", "admin")),
                ("Corrected", {"version": None, "User": "admin", "Load": "3",
                               "text": "Fixed the empty table case."}, 204, (2095, "admin", "version")),
                ("For_Verification", both, 204, (2072, "admin", "admin")),
                ("Verified", {"version": None, "User": "admin", "text": "Checked."}, 205,
                 (2100, "admin", "version"))):
            self.action(cmd)
            if cmd == "Verified":
                self.assertEqual(self.css("input[name=test]").get_property("value"), "T-12")
            chosen = self.fill(**fields)
            self.submit()
            self.status_is(status)
            last = L(line[0], *[chosen.get(a, a) for a in line[1:]])
            self.assertIn(last, self.text(), cmd)
        # The stored report: verified, one history line per step.
        first, entries, history = parse_report(self.srv.read_data(name))
        self.assertEqual(first.split("|")[11], "f")
        self.assertEqual(first.split("|")[7], group)
        self.assertEqual(len(history.strip("\n").split("\n")), 7, history)
        self.assertEqual([e[0] for e in entries], ["=!=!=!=!=!=!=!=!=!=!=!="] * 3)
        self.assertEqual(self.srv.read_data("history.dat", "r").count(" %s " % name), 7)

        # The search page: the ALL box sets and clears every status box.
        b.get(self.srv.url())
        self.click(self.css('a[href*="CMD=search"]'))
        self.assertIn(L(2004), self.text())

        def boxes():
            return self.js("var f = document.forms[1]; return arguments[0].map("
                           "n => f.elements[n].checked);", STATUS_BOXES)
        self.assertEqual(boxes(), [True] * 3 + [False] * 7 + [True])
        for state in (True, False):
            self.css("input[name=ALL]").click()
            self.assertEqual(boxes(), [state] * 11)
        # Choosing the project reloads the search page for it.
        for p in ("OTHER", "TEST"):
            self.change_project(self.js("return document.forms[1].elements['Deroulant'];"), p)
            self.assertEqual(self.js("return document.forms[1].elements['project'].value;"), p)
        self.css("input[name=ALL]").click()
        self.css("input[name=intitle]").send_keys("list is empty %d" % os.getpid())
        self.click(self.js("return document.forms[1].querySelector('input[type=submit]');"))
        self.assertIn(L(2111, "1"), self.text())
        self.shot("result")
        # The list: its entry leads to the report shown below it.
        entry = self.css('a[href="#00000"]')
        self.assertEqual(entry.text.strip(), name)
        entry.click()
        WebDriverWait(b, 30, 0.05).until(lambda _: b.current_url.endswith("#00000"))
        self.assertTrue(self.css('a[name="00000"]', True))
        result_url = b.current_url.split("#")[0]
        # The list's printout, then the report's own from the list's action bar.
        self.click(self.css('a[href*="Print=yes"]'))
        self.assertIn("Index of the 1 reports", self.text())
        self.assertIn(name, self.css("pre").text)
        b.get(result_url)
        self.action("Print")
        self.assertEqual(b.title, L(156))
        printed = self.css("pre").text
        for text in (name, title, L(2100, "admin", chosen["version"])):
            self.assertIn(text, printed)
        self.assertRegex(printed, r"\+-{20,}")
        # The quick search by name: the first form of the search page.
        b.get(self.srv.url("/cgi-bin/velko?CMD=search"))
        self.js("return document.forms[0].elements['find'];").send_keys(name)
        self.click(self.js("return document.forms[0].querySelector('input[type=submit]');"))
        self.assertIn(L(2111, "1"), self.text())
        self.assertIn(title, self.text())

        # The download: the criteria form with the box for a file.
        b.get(self.srv.url("/cgi-bin/velko?CMD=search&project=TEST"))
        self.css("input[name=ALL]").click()
        self.css("input[name=intitle]").send_keys("list is empty %d" % os.getpid())
        self.css("input[name=excel]").click()
        self.js("return document.forms[1].querySelector('input[type=submit]');").click()
        path = os.path.join(self.downloads, "bugs.dat")
        WebDriverWait(b, 30, 0.05).until(lambda _: os.path.exists(path) and not [
            f for f in os.listdir(self.downloads) if f.endswith(".crdownload")])
        with open(path, encoding="utf-8", errors="replace") as f:
            rows = [r.split("\t") for r in f.read().split("\n") if r]
        self.assertEqual(rows[0], [L(n) for n in range(2400, 2428)])
        self.assertEqual(len(rows), 2, rows)
        self.assertEqual((len(rows[1]), rows[1][-1]), (28, title))
        # The project's prefix, then the report's own prefix and number.
        self.assertTrue(name.startswith(rows[1][0]) and name.endswith("%s.%s" % tuple(rows[1][1:3])))
        self.assertEqual(self.srv.check()[0], 0)


class SecureBrowserTest(BrowserTest):
    """With security on: the login in the browser, its cookie, and a report
    created and changed within the session."""

    security = "SECURITY YES\n"
    test_start_page_entries = test_report_life = None  # without security only

    def login(self, user, password):
        self.b.get(self.srv.url())
        self.fill(User=user, Passwd=password)
        self.submit()
        # The page's cookie check may send it on once more.
        WebDriverWait(self.b, 30, 0.05).until(lambda _: self.b.title in ("VELKO", "VELKO Login2"))
        self.wait("the page after the login")

    def test_login_session_and_cookie(self):
        b, L = self.b, self.L
        b.get(self.srv.url())
        self.assertTrue(self.css("input[name=Passwd]", True), "no login form: " + self.text()[:300])
        self.login("admin", "wrong")
        self.assertIn(L(513), self.text())
        self.login("admin", "admin")
        WebDriverWait(b, 30, 0.05).until(lambda _: b.title == "VELKO" and self.css("a[href*='CMD=']", True))
        links = [a.get_property("href") for a in self.css("a[href*='CMD=']", True)]
        self.assertEqual(len(links), 7, links)
        uid = re.search(r"[?&]Uid=([^&]+)", links[0]).group(1)
        self.assertTrue(all("Uid=" + uid in l for l in links), links)
        self.assertIn("velko=" + uid, self.js("return document.cookie"))
        # A report created and observed within the session.
        self.click(self.css('a[href*="CMD=create"]'))
        self.assertIn(L(2001), self.text())
        self.change_project(self.css("select[name=Deroulant]"), "TEST")
        self.assertIn("Uid=", b.current_url)  # the project list keeps the session
        self.fill(title="Created while logged in", group=None, prog=None, sev=None, impact=None,
                  phase=None, version=None, submitter="admin")
        self.submit()
        self.assertEqual(b.title, L(2002), self.text()[:300])
        name = NAME_RE.search(self.css("h1").text).group(1)
        self.action("Observed")
        self.fill(submitter="admin", User="admin")
        self.submit()
        self.status_is(201)
        self.assertIn(L(2040, "admin", "admin"), self.text())
        self.assertEqual(parse_report(self.srv.read_data(name))[0].split("|")[11], "b")


if __name__ == "__main__":
    unittest.main()
