"""Browser end-to-end tests: headless chromium, driven by Debian's
python3-selenium through chromedriver, uses the tracker served by lighttpd
as a person would, from the start page to a verified report found again,
printed and downloaded; and, with security on, the login and its cookie, a
report link without identifier, the logout and the way back to the report
after logging in again."""
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
                    ["python3-selenium"] * (not webdriver) + ["lighttpd"] * (not have_lighttpd()))
NAME_RE = re.compile(r"\b([A-Za-z0-9]+\.\d{5})\b")
STATUS_BOXES = ["statN", "statA", "statO", "statC", "statV", "statP", "statB", "statR", "statD",
                "statT", "statS"]
FIRST = None  # fill(): the first option of a list that is not blank


def prepare(srv, security):
    """A second project, so that the project lists have one to change to."""
    for name, text in (("project", "OTHER:O:admin:admin\n"), ("velko", security),
                       ("OTHER_subproject", "main:20\n"), ("OTHER_program", "core\n"),
                       ("OTHER_version", "1.0\n"), ("OTHER_deadline", "1.0\n2.0\n"),
                       ("OTHER_users", "admin :admin@localhost:admin:YES:YES:YES:YES:YES:YES:YES\n")):
        with open(os.path.join(srv.cfg, name + ".cfg"), "a") as f:
            f.write(text)


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
        return self.srv.lang(n) % args if args else self.srv.lang(n)

    def css(self, selector, every=False):
        return (self.b.find_elements if every else self.b.find_element)(By.CSS_SELECTOR, selector)

    def js(self, script, *args):
        return self.b.execute_script(script, *args)

    def until(self, condition, what):
        WebDriverWait(self.b, 30, 0.05).until(lambda _: condition(), "timed out waiting for " + what)

    def text(self):
        """The page's text, which must be a page of the tracker (of a frame
        set, the text of its frames)."""
        text = self.js("const b = document.body; if (b && b.tagName === 'FRAMESET') return "
                       "Array.from(window.frames, f => f.document.body ? f.document.body.innerText "
                       ": '').join('\\n'); return b ? b.innerText : '';")
        self.assertNotRegex(self.b.title, r"^(500|502|404|403)")
        self.assertNotIn("Internal Server Error", text)
        self.assertTrue(text.strip(), "empty page at " + self.b.current_url)
        return text

    def load(self, element=None, project=None):
        """Clicks a link or button (or chooses a project in a list that
        loads the project's page) and waits for the new page."""
        self.js("window.__velkoOld = 1;")
        if project:
            Select(element).select_by_visible_text(project)
        else:
            (element or self.css("input[type=submit]")).click()
        self.until(lambda: self.js("return window.__velkoOld === undefined && document.readyState === "
                                   "'complete';") and (not project or "project=" + project in
                                                       self.b.current_url), "the next page")

    def fill(self, **fields):
        """Fills fields by name: a list's option by its text, a text typed.
        Returns the values chosen."""
        for name, value in fields.items():
            el = self.css("[name=%s]" % name)
            if el.tag_name == "select":
                fields[name] = value or self.js("return Array.from(arguments[0].options).map(o => "
                                                "o.text.trim()).filter(t => t)[0];", el)
                Select(el).select_by_visible_text(fields[name])
            else:
                if el.tag_name == "input":
                    el.clear()
                el.send_keys(value)
        return fields

    def action(self, cmd):
        """Follows the action bar's button for CMD=cmd to its form."""
        self.load(self.css('a[href*="CMD=%s&"]' % cmd))
        self.text()

    def status_is(self, n):
        self.assertIn("%s : %s" % (self.L(119), self.L(n)), self.text())

    def broken_images(self):
        return self.js("return Array.from(document.images).filter(i => !i.complete || i.naturalWidth "
                       "== 0).length;")

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
        entries = [a.get_property("href") for a in self.css("a", True)
                   if a.find_elements(By.TAG_NAME, "img") and a.text.strip()]
        self.assertEqual(len(entries), 8, entries)
        for href in entries:
            self.b.get(self.srv.url())
            self.load([a for a in self.css("a", True) if a.get_property("href") == href][0])
            self.assertEqual(self.b.current_url, href)
            self.text()
            if "/velko/help/" in href:  # the help index and its English pages, with their images
                self.assertEqual(self.broken_images(), 0)
                self.load(self.css('a[href*="en/"]'))
                self.text()
                self.assertEqual(self.broken_images(), 0, self.b.current_url)

    def create(self, title, **more):
        """Fills the creation form from the start page, choosing the project
        TEST after OTHER; the name of the report made."""
        self.load(self.css('a[href*="CMD=create"]'))
        self.assertIn(self.L(2001), self.text())
        projects = [o.text.strip() for o in Select(self.css("select[name=Deroulant]")).options]
        self.assertEqual(sorted(projects[1:]), ["OTHER", "TEST"])
        self.load(self.css("select[name=Deroulant]"), "OTHER")
        self.assertEqual(self.css("input[name=project]").get_property("value"), "OTHER")
        self.assertEqual([o.text.strip() for o in Select(self.css("select[name=prog]")).options][1:],
                         ["core"])
        self.load(self.css("select[name=Deroulant]"), "TEST")
        self.assertEqual(self.css("input[name=project]").get_property("value"), "TEST")
        self.assertEqual(self.css("select[name=Deroulant] option[selected]").text.strip(), "TEST")
        self.assertEqual("Uid=" in self.b.current_url, bool(self.security))  # the list keeps the session
        self.assertTrue(self.css("textarea[name=text]").get_property("value").startswith(self.L(107)))
        chosen = self.fill(title=title, group=FIRST, prog=FIRST, sev=FIRST, impact=FIRST, phase=FIRST,
                           version=FIRST, submitter="admin", **more)
        self.load()
        self.assertEqual(self.b.title, self.L(2002), self.text()[:300])
        self.assertIn(title, self.text())
        self.status_is(200)
        return NAME_RE.search(self.css("h1").text).group(1), chosen

    def test_report_life(self):
        b, L, title = self.b, self.L, "Browser crash when the list is empty %d" % os.getpid()
        b.get(self.srv.url())
        name, chosen = self.create(title, exp=FIRST, type=FIRST, test="T-12",
                                   text="The list page stops with an empty table.\nSecond line.")
        self.assertIn(name, self.srv.reports())
        self.assertEqual(len(self.css("a[href*='Num=%s&QS=']" % name, True)), 17)  # the action bar
        self.assertEqual(self.broken_images(), 0)
        # The workflow, button after button.
        both = {"submitter": "admin", "User": "admin"}
        for cmd, fields, status, line in (
                ("Observed", both, 201, 2040), ("Assign", both, 202, 2044), ("Open", both, 203, 2048),
                ("Corrected", {"version": FIRST, "User": "admin", "Load": "3",
                               "text": "Fixed the empty table case."}, 204, 2095),
                ("For_Verification", both, 204, 2072),
                ("Verified", {"version": FIRST, "User": "admin", "text": "Checked."}, 205, 2100)):
            self.action(cmd)
            if cmd == "Verified":
                self.assertEqual(self.css("input[name=test]").get_property("value"), "T-12")
            version = self.fill(**fields).get("version")
            self.load()
            self.status_is(status)
            self.assertIn(L(line, "admin", version or "admin"), self.text(), cmd)
        # The stored report: verified, with the three analyses written.
        first, entries, _ = parse_report(self.srv.read("data/" + name, "rb"))
        self.assertEqual(first.split("|")[7:12:4] + [len(entries)], [chosen["group"], "f", 3])

        # The search page: the ALL box sets and clears every status box;
        # choosing the project reloads the page for it.
        b.get(self.srv.url())
        self.load(self.css('a[href*="CMD=search"]'))
        self.assertIn(L(2004), self.text())

        def boxes():
            return self.js("var f = document.forms[1]; return arguments[0].map(n => f.elements[n].checked);",
                           STATUS_BOXES)
        self.assertEqual(boxes(), [True] * 3 + [False] * 7 + [True])
        for state in (True, False):
            self.css("input[name=ALL]").click()
            self.assertEqual(boxes(), [state] * 11)
        for p in ("OTHER", "TEST"):
            self.load(self.js("return document.forms[1].elements['Deroulant'];"), p)
            self.assertEqual(self.js("return document.forms[1].elements['project'].value;"), p)
        self.css("input[name=ALL]").click()
        self.css("input[name=intitle]").send_keys("list is empty %d" % os.getpid())
        self.load(self.js("return document.forms[1].querySelector('input[type=submit]');"))
        self.assertIn(L(2111, "1"), self.text())
        # The list: its entry leads to the report shown below it.
        result_url = b.current_url
        entry = self.css('a[href="#00000"]')
        self.assertEqual(entry.text.strip(), name)
        entry.click()
        self.until(lambda: b.current_url.endswith("#00000"), "the report's anchor")
        self.assertTrue(self.css('a[name="00000"]', True))
        # The list's printout, then the report's own from the list's action bar.
        self.load(self.css('a[href*="Print=yes"]'))
        self.assertIn("Index of the 1 reports", self.text())
        self.assertIn(name, self.css("pre").text)
        b.get(result_url)
        self.action("Print")
        self.assertEqual(b.title, L(156))
        self.assertIn(title, self.css("pre").text)
        # The quick search by name: the first form of the search page.
        b.get(self.srv.url("/cgi-bin/velko?CMD=search"))
        self.js("return document.forms[0].elements['find'];").send_keys(name)
        self.load(self.js("return document.forms[0].querySelector('input[type=submit]');"))
        self.assertIn(L(2111, "1"), self.text())
        self.assertIn(title, self.text())

        # The download: the criteria form with the box for a file.
        b.get(self.srv.url("/cgi-bin/velko?CMD=search&project=TEST"))
        self.css("input[name=ALL]").click()
        self.css("input[name=intitle]").send_keys("list is empty %d" % os.getpid())
        self.css("input[name=excel]").click()
        self.js("return document.forms[1].querySelector('input[type=submit]');").click()
        path = os.path.join(self.downloads, "bugs.dat")
        self.until(lambda: os.path.exists(path) and not [
            f for f in os.listdir(self.downloads) if f.endswith(".crdownload")], "the download")
        with open(path, encoding="utf-8", errors="replace") as f:
            rows = [r.split("\t") for r in f.read().split("\n") if r]
        self.assertEqual((len(rows), rows[0][0], rows[1][-1]), (2, L(2400), title))
        self.assertEqual(self.srv.check()[0], 0)


class SecureBrowserTest(BrowserTest):
    """With security on: the login in the browser, its cookie, and a report
    created and changed within the session."""

    security = "SECURITY YES\n"
    test_start_page_entries = test_report_life = None  # without security only

    def login(self, user, password):
        self.b.get(self.srv.url())
        self.login_here(user, password)

    def login_here(self, user, password):
        """Logs in with the login form of the page shown."""
        self.fill(User=user, Passwd=password)
        self.load()
        # The page's cookie check may send it on once more.
        self.until(lambda: self.b.title in ("VELKO", "VELKO Login2") and self.js(
            "return document.readyState === 'complete';"), "the page after the login")

    def test_login_session_and_cookie(self):
        b, L = self.b, self.L
        b.get(self.srv.url())
        self.assertTrue(self.css("input[name=Passwd]", True), "no login form: " + self.text()[:300])
        self.login("admin", "wrong")
        self.assertIn(L(513), self.text())
        self.login("admin", "admin")
        self.until(lambda: b.title == "VELKO" and self.css("a[href*='CMD=']", True), "the start page")
        links = [a.get_property("href") for a in self.css("a[href*='CMD=']", True)]
        self.assertEqual(len(links), 7, links)
        uid = re.search(r"[?&]Uid=([^&]+)", links[0]).group(1)
        self.assertTrue(all("Uid=" + uid in l for l in links), links)
        self.assertIn("velko=" + uid, self.js("return document.cookie"))
        # A report created and observed within the session.
        name = self.create("Created while logged in")[0]
        self.action("Observed")
        self.fill(submitter="admin", User="admin")
        self.load()
        self.status_is(201)
        self.assertIn(L(2040, "admin", "admin"), self.text())
        self.assertEqual(parse_report(self.srv.read("data/" + name, "rb"))[0].split("|")[11], "b")

        # A report link as a mail gives it, without identifier: the cookie
        # shows the report, and its buttons carry the session.
        link = self.srv.url("/cgi-bin/velko?CMD=find&find=" + name)
        b.get(link)
        self.assertIn("Created while logged in", self.text())
        self.assertIn("Uid=" + uid, self.css("a[href*='CMD=Observed']").get_property("href"))
        # The logout: the cookie is gone, the link asks for the login, and
        # the login leads back to the report.
        self.load(self.css("a[href$='?Logout=1']"))
        self.assertTrue(self.css("input[name=Passwd]", True))
        self.assertNotIn("velko=", self.js("return document.cookie"))
        b.get(link)
        self.assertNotIn("Created while logged in", self.text())
        self.login_here("admin", "admin")
        self.until(lambda: "Created while logged in" in self.text(), "the report after the login")
        self.assertIn("velko=", self.js("return document.cookie"))


if __name__ == "__main__":
    unittest.main()
