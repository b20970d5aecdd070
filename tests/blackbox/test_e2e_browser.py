"""Browser end-to-end tests: headless chromium, driven through chromedriver,
uses the tracker served by lighttpd as a person would, from the start page
to a verified report found again, printed and downloaded.

Screenshots of the main pages go to tests/artefacts/e2e_*.png.
"""
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import velkoserver  # noqa: E402
import webdriver  # noqa: E402

NAME_RE = re.compile(r"\b([A-Za-z0-9]+\.\d{5})\b")
STATUS_BOXES = ["statN", "statA", "statO", "statC", "statV", "statP", "statB", "statR",
                "statD", "statT", "statS"]


def prepare(srv):
    """An expected version still to come (v3), so that the forms offering
    versions not yet released have a choice; a second project, so that the
    project lists have one to change to."""
    path = os.path.join(srv.cfg, "TEST_deadline.cfg")
    with open(path) as f:
        planned = "v3" in f.read().split()
    if not planned:  # the demo installation may have it already
        with open(path, "a") as f:
            f.write("v3\n")
    with open(os.path.join(srv.cfg, "project.cfg"), "a") as f:
        f.write("OTHER:O:admin:admin\n")
    for name, text in (("subproject", "main:20\n"), ("users", "admin :admin@localhost:admin:"
                       "YES:YES:YES:YES:YES:YES:YES\n"), ("program", "core\n"),
                       ("version", "1.0\n"), ("deadline", "1.0\n2.0\n")):
        with open(os.path.join(srv.cfg, "OTHER_%s.cfg" % name), "w") as f:
            f.write(text)


def shot(browser, name):
    return browser.screenshot(os.path.join(velkoserver.ARTEFACTS, "e2e_%s.png" % name))


@unittest.skipUnless(velkoserver.have_lighttpd(), "lighttpd is not installed")
@unittest.skipIf(webdriver.available(), "not installed: %s" % webdriver.available())
class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = velkoserver.VelkoServer(prepare=prepare).start()
        cls.downloads = tempfile.mkdtemp(prefix="velko-dl.")
        try:
            cls.b = webdriver.Browser(download_dir=cls.downloads).start()
        except Exception:
            cls.srv.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.b.quit()
        shutil.rmtree(cls.downloads, ignore_errors=True)
        cls.srv.stop()

    def tearDown(self):
        reports = self.srv.sanitizer_reports()
        self.assertEqual(reports, "", "sanitizer reports in the CGI error log")

    # -- helpers
    def L(self, n, *args):
        text = self.srv.lang[n]
        return text % args if args else text

    def open_page(self, url):
        self.b.get(url)
        self.b.wait_loaded()

    def click_and_load(self, element):
        """Clicks a link or button and waits for the new page."""
        old = self.b.js("window.__velkoOld = 1; return 1;")
        self.assertEqual(old, 1)
        element.click()
        self.b.wait_for(lambda: self.b.js("return window.__velkoOld === undefined && "
                                          "document.readyState === 'complete';"),
                        what="the next page")

    def assert_page(self, what):
        """The page is a page of the tracker, not a server error."""
        text = self.b.body_text
        self.assertNotRegex(self.b.title, r"^(500|502|404|403)", what)
        self.assertNotIn("Internal Server Error", text, what)
        self.assertTrue(text.strip(), "%s: empty page" % what)
        return text

    def change_project(self, select, project):
        """Chooses a project in a list whose change loads another page, and
        waits for the page of that project."""
        self.b.js("window.__velkoOld = 1;")
        select.select(label=project)
        self.b.wait_for(lambda: "project=" + project in self.b.url and self.b.js(
            "return window.__velkoOld === undefined && document.readyState === 'complete';"),
            what="the page of project " + project)

    def broken_images(self):
        return self.b.js("return Array.from(document.images).filter("
                         "i => !i.complete || i.naturalWidth == 0).length;")

    def choose_first(self, select_name, form=None):
        """Chooses the first non-blank option of a selection list."""
        sel = self.b.find("select[name=%s]" % select_name) if form is None else \
            form.find("select[name=%s]" % select_name)
        for o in sel.find_all("option"):
            if o.text.strip() and o.text.strip() != "\u00a0":
                o.click()
                return o.text.strip()
        self.fail("no choice in the list %s" % select_name)

    def submit(self, form=None):
        button = (form or self.b).find("input[type=submit]")
        self.click_and_load(button)

    def action(self, cmd):
        """Follows the action bar's button for CMD=cmd to its form."""
        links = self.b.find_all('a[href*="CMD=%s&"]' % cmd)
        self.assertTrue(links, "no %s button in the action bar" % cmd)
        self.click_and_load(links[0])
        self.assert_page(cmd + " form")

    def status_is(self, n):
        self.assertIn("%s : %s" % (self.L(119), self.L(n)), self.b.body_text)

    # -- tests
    def test_start_page_entries(self):
        """Every entry of the start page leads to a page of the tracker."""
        self.open_page(self.srv.base_url() + "/")  # the server sends / to the program
        self.assertTrue(self.b.url.endswith("/cgi-bin/velko"), self.b.url)
        self.assertEqual(self.b.title, "VELKO")
        text = self.assert_page("start page")
        for n in range(3000, 3008):
            self.assertIn(self.L(n), text)
        shot(self.b, "start")
        hrefs = []
        for a in self.b.find_all("a"):
            img = a.find_all("img")
            if img and a.text.strip():
                hrefs.append((a.text.strip(), a.prop("href")))
        self.assertEqual(len(hrefs), 8, hrefs)
        for label, href in hrefs:
            with self.subTest(entry=label):
                self.open_page(self.srv.url())
                link = [a for a in self.b.find_all("a") if a.prop("href") == href][0]
                self.click_and_load(link)
                self.assertEqual(self.b.url, href)
                self.assert_page(label)
                if "/velko/help/" in href:
                    shot(self.b, "help")
                    # The help index and its English pages load, with their images.
                    self.assertEqual(self.broken_images(), 0, "broken images on the help index")
                    self.click_and_load(self.b.find('a[href*="en/"]'))
                    self.assert_page("English help")
                    shot(self.b, "help_en")
                    self.assertEqual(self.broken_images(), 0, "broken images on " + self.b.url)
                else:
                    shot(self.b, "entry_" + href.split("CMD=")[-1])
        # Every image of the start page loaded.
        self.open_page(self.srv.url())
        self.assertEqual(self.broken_images(), 0)

    def test_report_life(self):
        b, L = self.b, self.L
        title = "Browser crash when the list is empty %d" % os.getpid()

        # Creation form, reached from the start page; choosing the project
        # reloads the form for it.
        self.open_page(self.srv.url())
        self.click_and_load(b.find('a[href*="CMD=create"]'))
        self.assertIn(L(2001), self.assert_page("creation form"))
        project = b.find("select[name=Deroulant]")
        option = project.find_all("option")
        self.assertEqual(sorted(o.text.strip() for o in option[1:]), ["OTHER", "TEST"])
        self.change_project(project, "OTHER")
        self.assertEqual(b.find("input[name=project]").prop("value"), "OTHER")
        self.assertEqual([o.text.strip() for o in b.find_all("select[name=prog] option")][1:],
                         ["core"])
        self.change_project(b.find("select[name=Deroulant]"), "TEST")
        self.assertEqual(b.find("input[name=project]").prop("value"), "TEST")
        self.assertEqual(b.find("select[name=Deroulant] option[selected]").text.strip(), "TEST")
        b.find("input[name=title]").send_keys(title)
        group = self.choose_first("group")
        self.choose_first("prog")
        self.choose_first("sev")
        self.choose_first("impact")
        self.choose_first("phase")
        self.choose_first("version")
        self.choose_first("exp")
        self.choose_first("type")
        b.find("select[name=submitter]").select(label="admin")
        b.find("input[name=test]").send_keys("T-12")
        text = b.find("textarea[name=text]")
        self.assertTrue(text.prop("value").startswith(L(107) + " :"))
        text.send_keys("The list page stops with an empty table.\nSecond line.")
        shot(b, "create_form")
        self.submit(b.find("form"))

        # The new report.
        page = self.assert_page("created report")
        self.assertEqual(b.title, L(2002))
        name = NAME_RE.search(b.find("h1").text).group(1)
        self.assertIn(title, page)
        self.status_is(200)
        self.assertIn("%s %s" % (L(113), "admin"), page)  # creation history line
        shot(b, "created")
        self.assertTrue(os.path.exists(self.srv.data_path(name)), name)
        self.assertEqual(len(b.find_all("a[href*='Num=%s&QS=']" % name)), 17)  # the action bar

        # The workflow, button after button.
        self.action("Observed")
        b.find("select[name=submitter]").select(label="admin")
        b.find("select[name=User]").select(label="admin")
        self.submit()
        self.assertIn(L(2038, name), b.body_text)
        self.status_is(201)
        self.assertIn(L(2040, "admin", "admin"), b.body_text)

        self.action("Assign")
        b.find("select[name=submitter]").select(label="admin")
        b.find("select[name=User]").select(label="admin")
        self.submit()
        self.status_is(202)
        self.assertIn(L(2044, "admin", "admin"), b.body_text)

        self.action("Open")
        b.find("select[name=submitter]").select(label="admin")
        b.find("select[name=User]").select(label="admin")
        self.submit()
        self.status_is(203)
        self.assertIn(L(2048, "admin", "admin"), b.body_text)

        self.action("Corrected")
        version = self.choose_first("version")
        b.find("select[name=User]").select(label="admin")
        load = b.find("input[name=Load]")
        load.clear()
        load.send_keys("3")
        b.find("textarea[name=text]").send_keys("Fixed the empty table case.")
        shot(b, "action_form")
        self.submit()
        self.status_is(204)
        self.assertIn(L(2095, "admin", version), b.body_text)

        self.action("For_Verification")
        b.find("select[name=User]").select(label="admin")
        b.find("select[name=submitter]").select(label="admin")
        self.submit()
        self.status_is(204)
        self.assertIn(L(2072, "admin", "admin"), b.body_text)

        self.action("Verified")
        version2 = self.choose_first("version")
        b.find("select[name=User]").select(label="admin")
        self.assertEqual(b.find("input[name=test]").prop("value"), "T-12")
        b.find("textarea[name=text]").send_keys("Checked with an empty list.")
        self.submit()
        self.status_is(205)
        self.assertIn(L(2100, "admin", version2), b.body_text)
        shot(b, "verified")

        # The stored report: status verified, one history line per step.
        first, entries, history = velkoserver.parse_report(self.srv.read_data(name, "rb"))
        fields = first.split("|")
        self.assertEqual(fields[11], "f")  # VERIFIED
        self.assertEqual(fields[7], group)
        self.assertEqual(len(history.strip("\n").split("\n")), 7, history)
        self.assertEqual([e[0] for e in entries], ["analysis"] * 3)
        hist_all = self.srv.read_data("history.dat")
        self.assertEqual(hist_all.count(" %s " % name), 7, hist_all)

        # The search page: the ALL box sets and clears every status box.
        self.open_page(self.srv.url())
        self.click_and_load(b.find('a[href*="CMD=search"]'))
        self.assertIn(L(2004), self.assert_page("search page"))
        shot(b, "search")

        def boxes():
            return b.js("var f = document.forms[1]; return arguments[0].map("
                        "n => f.elements[n].checked);", STATUS_BOXES)
        self.assertEqual(boxes(), [True, True, True, False, False, False, False, False, False,
                                   False, True])
        b.find("input[name=ALL]").click()
        self.assertEqual(boxes(), [True] * 11)
        b.find("input[name=ALL]").click()
        self.assertEqual(boxes(), [False] * 11)

        # Choosing the project reloads the search page for it.
        for p in ("OTHER", "TEST"):
            self.change_project(
                b.js_element("return document.forms[1].elements['Deroulant'];"), p)
            self.assertEqual(b.js("return document.forms[1].elements['project'].value;"), p)
        self.assertIn("CMD=search", b.url)
        b.find("input[name=ALL]").click()
        self.assertEqual(boxes(), [True] * 11)
        b.find("input[name=intitle]").send_keys("list is empty %d" % os.getpid())
        self.click_and_load(b.js_element(
            "return document.forms[1].querySelector('input[type=submit]');"))
        page = self.assert_page("search result")
        self.assertEqual(b.title, "VELKO")
        self.assertIn(L(2111, "1"), page)
        shot(b, "result")

        # The list: its entry leads to the report shown below it.
        entry = b.find('a[href="#00000"]')
        self.assertEqual(entry.text.strip(), name)
        entry.click()
        b.wait_for(lambda: b.url.endswith("#00000"), what="the report's anchor")
        self.assertTrue(b.find_all('a[name="00000"]'))
        self.assertIn(title, b.body_text)

        # The list's printout.
        result_url = b.url.split("#")[0]
        self.click_and_load(b.find('a[href*="Print=yes"]'))
        self.assertIn("Index of the 1 reports", self.assert_page("list printout"))
        self.assertIn(name, b.find("pre").text)

        # The report's own printout from the action bar of the list.
        self.open_page(result_url)
        self.action("Print")
        self.assertEqual(b.title, L(156))
        printed = b.find("pre").text
        self.assertIn(name, printed)
        self.assertIn(title, printed)
        self.assertRegex(printed, r"\+-{20,}")
        self.assertIn(L(2100, "admin", version2), printed)
        shot(b, "printout")

        # Quick search by name: the first form of the search page.
        self.open_page(self.srv.url("/cgi-bin/velko?CMD=search"))
        b.js_element("return document.forms[0].elements['find'];").send_keys(name)
        self.click_and_load(b.js_element(
            "return document.forms[0].querySelector('input[type=submit]');"))
        self.assertIn(L(2111, "1"), self.assert_page("quick search"))
        self.assertIn(title, b.body_text)

        # The download: the criteria form with the box for a file.
        self.open_page(self.srv.url("/cgi-bin/velko?CMD=search&project=TEST"))
        b.find("input[name=ALL]").click()
        b.find("input[name=intitle]").send_keys("list is empty %d" % os.getpid())
        b.find("input[name=excel]").click()
        b.js_element("return document.forms[1].querySelector('input[type=submit]');").click()
        path = os.path.join(self.downloads, "bugs.dat")
        b.wait_for(lambda: os.path.exists(path) and not [
            f for f in os.listdir(self.downloads) if f.endswith(".crdownload")],
            timeout=30, what="the download bugs.dat")
        with open(path, encoding="utf-8", errors="replace") as f:
            rows = f.read().split("\n")
        self.assertEqual(len(rows[0].split("\t")), 28, rows[0])
        self.assertEqual(rows[0].split("\t"), [L(n) for n in range(2400, 2428)])
        data = [r for r in rows[1:] if r]
        self.assertEqual(len(data), 1, rows)
        cols = data[0].split("\t")
        self.assertEqual(len(cols), 28, cols)
        self.assertEqual(cols[-1], title)
        # Project prefix, then the report's own prefix and number.
        self.assertTrue(name.startswith(cols[0]) and name.endswith("%s.%s" % (cols[1], cols[2])),
                        cols[:3])

        rc, out = self.srv.check()
        self.assertEqual(rc, 0, out)


def secure(srv):
    """Security on: every page needs a login."""
    prepare(srv)
    path = os.path.join(srv.cfg, "velko.cfg")
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(re.sub(r"(?m)^SECURITY.*$", "SECURITY YES", text))


@unittest.skipUnless(velkoserver.have_lighttpd(), "lighttpd is not installed")
@unittest.skipIf(webdriver.available(), "not installed: %s" % webdriver.available())
class SecureBrowserTest(BrowserTest):
    """With security on: the login in the browser, its cookie, and a
    report created and changed within the session."""

    @classmethod
    def setUpClass(cls):
        cls.srv = velkoserver.VelkoServer(prepare=secure).start()
        cls.downloads = tempfile.mkdtemp(prefix="velko-dl.")
        try:
            cls.b = webdriver.Browser(download_dir=cls.downloads).start()
        except Exception:
            cls.srv.stop()
            raise

    # The flows of the parent class run without security only.
    test_start_page_entries = None
    test_report_life = None

    def login(self, user, password):
        b = self.b
        self.open_page(self.srv.url())
        b.find("input[name=User]").send_keys(user)
        b.find("input[name=Passwd]").send_keys(password)
        self.click_and_load(b.find("input[type=submit]"))
        b.wait_loaded()

    def test_login_session_and_cookie(self):
        b, L = self.b, self.L
        self.open_page(self.srv.url())
        self.assertTrue(b.find_all("input[name=Passwd]"), "no login form: " + b.body_text[:300])
        shot(b, "login")
        self.login("admin", "wrong")
        self.assertIn(L(513), b.body_text)
        self.login("admin", "admin")
        time.sleep(0.5)  # the page's cookie check may still send it elsewhere
        b.wait_loaded()
        self.assertEqual(b.title, "VELKO")
        links = [a.prop("href") for a in b.find_all("a") if "CMD=" in (a.prop("href") or "")]
        self.assertEqual(len(links), 7, links)
        uid = re.search(r"[?&]Uid=([^&]+)", links[0])
        self.assertTrue(uid and all("Uid=" + uid.group(1) in l for l in links), links)
        cookie = b.js("return document.cookie")
        self.assertIn("velko=" + uid.group(1), cookie)

        # A report created and observed within the session.
        self.click_and_load(b.find('a[href*="CMD=create"]'))
        self.assertIn(L(2001), self.assert_page("creation form"))
        self.change_project(b.find("select[name=Deroulant]"), "TEST")
        self.assertIn("Uid=", b.url)  # the project list keeps the session
        b.find("input[name=title]").send_keys("Created while logged in")
        for name in ("group", "prog", "sev", "impact", "phase", "version"):
            self.choose_first(name)
        b.find("select[name=submitter]").select(label="admin")
        self.submit(b.find("form"))
        time.sleep(0.5)
        b.wait_loaded()
        self.assertEqual(b.title, L(2002), b.body_text[:300])
        m = NAME_RE.search(b.find("h1").text)
        self.assertTrue(m, "no report created: %s / %s" % (b.url, b.body_text[:500]))
        name = m.group(1)
        self.action("Observed")
        b.find("select[name=submitter]").select(label="admin")
        b.find("select[name=User]").select(label="admin")
        self.submit()
        time.sleep(0.5)
        b.wait_loaded()
        self.status_is(201)
        self.assertIn(L(2040, "admin", "admin"), b.body_text)
        first, _, history = velkoserver.parse_report(self.srv.read_data(name, "rb"))
        self.assertEqual(first.split("|")[11], "b")  # OBSERVATION


if __name__ == "__main__":
    unittest.main()
