"""How the pages read: every page the dispatcher produces is a standards
document with the phone's viewport, the stylesheet and its language; the
stylesheet passes a CSS checker; report names and web addresses in report
texts are links in the pages only; the texts of the login box, the start
page, the search and creation forms in the page's language; and, in
headless chromium at 1280 x 900 and as a 360 x 740 phone, six pages laid
out at the phone's width without sideways scrolling and with readable text
(the screenshots are kept in $VELKO_SCREENSHOTS, by default the folder
"screenshots" beside the executable)."""
import json
import os
import re
import shutil
import subprocess
import sys
import unittest
import urllib.parse

from velkotest import CREATE_FIELDS, SOURCE_DIR, VELKO_BIN, Server, VelkoTestCase, have_lighttpd

try:
    import selenium  # noqa: F401
except ImportError:  # Debian's package, when another python runs the tests
    sys.path.append("/usr/lib/python3/dist-packages")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    webdriver = None

CSS = os.path.join(SOURCE_DIR, "images", "velko.css")
HEAD = ('<META NAME="viewport" CONTENT="width=device-width, initial-scale=1">\n'
        '<LINK REL="stylesheet" HREF="/velko/images//velko.css">\n')
NAME = re.compile(r"<H1>([A-Za-z0-9]+\.\d{5})")
ACTIONS = ["Change_Header", "Observed", "Analyse", "Attach", "Copy", "Assign", "Open", "Not_a_Bug",
           "Not_Reproducible", "Duplicate", "Postpone", "Corrected", "For_Verification", "Verified",
           "Rejected", "Abandoned"]
FIND = "CMD=find&project=TEST&resp=all&intext=&sort=1&" + "&".join("stat%s=X" % c for c in "NSAOCVPBRDT")


def create(inst, title, text="A description.\n", **fields):
    """Creates a report through the creation form; its name."""
    r = inst.run(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title=title, text=text, **fields)))
    return NAME.search(r.body).group(1)


def requests(one, two):
    """(what, query, post) of every kind of page, on reports `one` and `two`."""
    pages = [("start page", "", None), ("login page", "Login=1", None),
             ("failed login", "Login=2&User=x&Passwd=y", None), ("logout", "Logout=1", None),
             ("creation form", "CMD=create", None), ("creation form of TEST", "CMD=create&project=TEST", None),
             ("creation refused", None, {"CMD": "new", "title": ""}),
             ("search form", "CMD=search", None), ("list", FIND, None), ("list printout", FIND + "&Print=yes", None),
             ("report", "Num=" + one, None), ("report found by name", "find=" + one, None),
             ("report by Numero", "Numero=" + one, None), ("missing report", "Num=TS10.09999", None),
             ("printout", "CMD=Print&Num=" + one, None), ("entry editor", "CMD=Edit&Num=%s&Edit=0" % one, None),
             ("history", "CMD=history", None), ("history title", "CMD=history&text=TOP", None),
             ("history days", "CMD=history&text=LEFT", None),
             ("history day", "CMD=history&text=2004/03/15", None), ("help", "CMD=help", None),
             ("setup", "CMD=setup", None), ("statistics", "CMD=statS", None)]
    pages += [("statistics page %d" % s, "CMD=statS&statS=%d&project=TEST" % s, None)
              for s in (1, 2, 3, 4, 5, 7, 9)]
    pages += [("%s page %d" % (cmd, b), "CMD=%s&book=%d&project=TEST&group=phase+1&phase=1" % (cmd, b), None)
              for cmd, codes in (("book", [0] + list(range(3, 26))), ("tests", [0] + list(range(15, 31))))
              for b in codes]
    for act in ACTIONS:
        pages.append(("%s form" % act, "CMD=%s&Num=%s&QS=" % (act, one), None))
        pages.append(("%s applied" % act, None, {"CMD": act, "Num": two, "QS": "", "User": "admin",
                                                 "text": one, "version": "v1", "title": "t"}))
    return pages


class HeadTest(VelkoTestCase):
    def setUp(self):
        super().setUp()
        self.one = create(self.inst, "First")
        self.two = create(self.inst, "Second")

    def assertHead(self, r, what, lang="en"):
        self.assertTrue(r.header.endswith("Content-type: text/html\n\n"), what)
        self.assertTrue(r.body.startswith("<!DOCTYPE html>\n"), (what, r.body[:300]))
        self.assertIn('<HTML LANG="%s">\n<HEAD>\n' % lang, r.body, what)
        self.assertIn(HEAD, r.body.split("</HEAD>")[0], what)
        self.assertEqual(r.body.count("<!DOCTYPE"), 1, what)

    def test_every_page_has_the_doctype_viewport_stylesheet_and_language(self):
        for what, query, post in requests(self.one, self.two):
            with self.subTest(what):
                self.assertHead(self.inst.run(query, post and urllib.parse.urlencode(post)), what)
        # Diagnostics written before the head (no language file) come after the document type.
        os.rename(self.inst.path("cfg", "langue.EN"), self.inst.path("cfg", "langue.XX"))
        r = self.inst.run("CMD=search")
        self.assertHead(r, "without its language file")
        self.assertIn("<! langue file : ", r.body)
        # French pages, and the pages of an installation with security on.
        self.inst.set_cfg(LANGUAGE="FR")
        for query in ("", "CMD=create", "Num=" + self.one, "CMD=history&text=LEFT"):
            self.assertHead(self.inst.run(query), "French " + query, "fr")
        self.inst.set_cfg(LANGUAGE="EN", SECURITY="YES")
        os.rename(self.inst.path("cfg", "langue.XX"), self.inst.path("cfg", "langue.EN"))
        uid = self.inst.login("admin", "admin")
        for what, query in (("login instead of the start page", ""), ("login instead of a report", "Num=" + self.one),
                            ("login result", "Login=2&User=admin&Passwd=admin"),
                            ("start page with a session", "Uid=" + urllib.parse.quote(uid)),
                            ("change without the session", "CMD=Observed&Num=%s&User=admin" % self.one),
                            ("report in a session", "Num=%s&Uid=%s" % (self.one, urllib.parse.quote(uid)))):
            self.assertHead(self.inst.run(query), what)
        # Before installation the image folder is not known yet: the wizard's
        # head has the rest, and no comment inside its attributes.
        b = self.other_install(main_cfg=False).run("").body
        self.assertIns(b.split("</HEAD>")[0], '<HTML LANG="en">', '<META NAME="viewport"',
                       '<LINK REL="stylesheet" HREF="/velko.css">')
        self.assertTrue(b.startswith("<!DOCTYPE html>\n"))
        # What is no page stays as it is: the argument dump, the downloads
        # and the data lines of the graphs.
        self.inst.set_cfg(SECURITY="")
        self.assertTrue(self.inst.run("CMD=nothing&a=b").body.startswith("<PRE>"))
        for query in ("CMD=statS&statS=6&project=TEST", FIND + "&excel=X", "CMD=FILE&title=" + self.one):
            self.assertNotIn("<!DOCTYPE", self.inst.run(query).text, query)

    def test_report_names_and_addresses_become_links_in_pages_only(self):
        text = ('Same as %s, trace at https://example.com/t?id=4&x="1" (http://a.example/b). Not links: '
                'xhttp://c.example, ftp://d.example, v1.2, TS10.0001, %sx, javascript:alert(1) <b>'
                % (self.two, self.two))
        r = self.inst.run(post=urllib.parse.urlencode(
            {"CMD": "Analyse", "Num": self.one, "QS": "", "User": "admin", "title": "An", "text": text}))
        self.inst.run(post=urllib.parse.urlencode(
            {"CMD": "Duplicate", "Num": self.one, "QS": "", "User": "admin", "text": self.two}))
        body = self.inst.run("Num=" + self.one).body
        link = '<A HREF="/cgi-bin/velko?Num=%s">%s</A>' % (self.two, self.two)
        self.assertIns(body, "Same&nbsp;\nas&nbsp;\n%s," % link,
                       '<A HREF="https://example.com/t?id=4&amp;x=" REL="noopener noreferrer">'
                       "https://example.com/t?id=4&x=</A>\"1\"",
                       '(<A HREF="http://a.example/b" REL="noopener noreferrer">http://a.example/b</A>).',
                       "xhttp://c.example", "TS10.0001,", "%sx," % self.two, "&lt;\nb>")
        self.assertEqual(body.count("<A HREF=\"http"), 2)
        self.assertIn("Duplicate of %s, noted by admin" % link, body.split("<PRE>")[1])
        # Stored and printed as typed.
        stored = self.inst.read("data/" + self.one)
        self.assertIn(text, stored)
        self.assertNotIn("<A HREF", stored)
        self.assertIn("Same as %s, trace" % self.two, self.inst.run("CMD=Print&Num=" + self.one).body)
        # With security on, the link to a report keeps the session.
        self.inst.set_cfg(SECURITY="YES")
        uid = self.inst.login("admin", "admin")
        self.assertIn('<A HREF="/cgi-bin/velko?Num=%s&Uid=%s">' % (self.two, urllib.parse.quote_plus(uid)),
                      self.inst.run("Num=%s&Uid=%s" % (self.one, urllib.parse.quote(uid))).body)

    def test_buttons_are_labelled(self):
        body = self.inst.run("Num=" + self.one).body
        buttons = re.findall(r'<IMG NAME=\w+ SRC=\S+ WIDTH=30 HEIGHT=20 ALT="([^"]*)" TITLE="([^"]*)" BORDER=0>',
                             body)
        self.assertEqual(len(buttons), 17)
        self.assertEqual([a for a, t in buttons], [t for a, t in buttons])
        self.assertEqual(buttons[0][0], self.inst.lang(140))
        start = self.inst.run("").body
        self.assertEqual(len(re.findall(r'ALT="?([^">]+)"? TITLE="\1"><BR>\1</A>', start)), 8)

    def test_texts_in_the_language_of_the_page(self):
        self.inst.set_cfg(LANGUAGE="FR")
        fr = lambda n: self.inst.lang(n, "FR")
        login = self.inst.run("Login=1").body
        self.assertIns(login, "<B>%s</B>" % fr(3010), "> %s : </TD>" % fr(3011), "> %s : </TD>" % fr(3012),
                       '<INPUT TYPE=submit VALUE="%s">' % fr(3013), absent=["VELKO Login</B>", "Passwd :"])
        self.assertIns(self.inst.run("").body, "<B>%s</B>" % fr(3014), absent=["Problem Report Tracker"])
        search = self.inst.run("CMD=search&project=TEST").body
        self.assertIns(search, '<OPTION SELECTED VALUE="all">%s\n' % fr(3015),
                       '<INPUT TYPE=reset VALUE="%s">' % fr(3016), absent=[">all", '"Reset"'])
        self.assertIn('<INPUT TYPE=reset VALUE="%s">' % fr(3016), self.inst.run("CMD=create&project=TEST").body)
        # The French choice still asks for every assignee.
        self.assertIn(self.one, self.inst.run(FIND).body)
        # English pages keep their texts; the shipped impact name is spelled right.
        self.inst.set_cfg(LANGUAGE="EN")
        self.assertIns(self.inst.run("Login=1").body, "> Login : </TD>", "> Passwd : </TD>", "VELKO Login</B>",
                       '<INPUT TYPE=submit VALUE="Login">')
        self.assertIn("<OPTION SELECTED>all\n", self.inst.run("CMD=search").body)
        with open(os.path.join(SOURCE_DIR, "config", "impacts.cfg")) as f:
            self.assertEqual(f.read().split(), ["Usability", "Functional", "Robustness", "Performance"])
        self.assertIn('<OPTION VALUE="b"> Functional', self.inst.run("CMD=create&project=TEST").body)


class StylesheetTest(unittest.TestCase):
    @unittest.skipUnless(shutil.which("npm"), "npm is not installed")
    def test_stylesheet_passes_stylelint(self):
        """stylelint with its standard rules (installed once beside the
        executable), less the rule on the order of selectors of different
        weight: the sheet restyles the pages by their attributes."""
        tools = os.path.join(os.path.dirname(VELKO_BIN), "stylelint")
        lint = os.path.join(tools, "node_modules", ".bin", "stylelint")
        if not os.path.exists(lint):
            subprocess.run(["npm", "install", "--no-save", "--no-audit", "--no-fund", "--prefix", tools,
                            "stylelint@17", "stylelint-config-standard@40"], check=True,
                           stdout=subprocess.DEVNULL, timeout=300)
        config = os.path.join(tools, "stylelint.json")
        with open(config, "w") as f:
            json.dump({"extends": "stylelint-config-standard", "rules": {"no-descending-specificity": None}}, f)
        p = subprocess.run([lint, "--config-basedir", tools, "--config", config, CSS],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout.decode())
        with open(CSS) as f:
            css = f.read()
        self.assertIns(css, "prefers-color-scheme: dark", "@media print", ":focus-visible")
        self.assertLess(css.count("\n"), 600)
        self.assertNotRegex(css, r"@import|url\(")  # nothing to download

    def assertIns(self, text, *parts):
        for p in parts:
            self.assertIn(p, text)


CHROMIUM = os.environ.get("VELKO_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VELKO_CHROMEDRIVER", "/usr/bin/chromedriver")
MISSING = ", ".join([p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)] +
                    ["python3-selenium"] * (not webdriver) + ["lighttpd"] * (not have_lighttpd()))
SIZES = {"1280": dict(width=1280, height=900, mobile=False), "360": dict(width=360, height=740, mobile=True)}
# The font size and the scale of the page as seen, the widths of layout and
# document, and the smallest text as seen (text nodes that are not blank).
MEASURE = """
const scale = window.visualViewport ? visualViewport.scale : 1, sizes = [];
const walk = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
while (walk.nextNode()) {
  const e = walk.currentNode.parentElement;
  if (walk.currentNode.data.trim() && e.getClientRects().length && getComputedStyle(e).visibility !== 'hidden')
    sizes.push(parseFloat(getComputedStyle(e).fontSize));
}
return {inner: innerWidth, scroll: document.documentElement.scrollWidth, scale: scale,
        body: parseFloat(getComputedStyle(document.body).fontSize) * scale,
        smallest: Math.min(...sizes) * scale, mode: document.compatMode};"""


@unittest.skipIf(MISSING, "not installed: " + MISSING)
class ScreenTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Server().start()
        cls.shots = os.environ.get("VELKO_SCREENSHOTS") or os.path.join(os.path.dirname(VELKO_BIN), "screenshots")
        os.makedirs(cls.shots, exist_ok=True)
        one = create(cls.srv, "Crash at start when the configuration file holds a long line",
                     "The program stops at start.\nSteps: add a line of 200 characters to ~/.velkorc.")
        two = create(cls.srv, "A second report whose title is long enough to wrap on a phone", "See " + one)
        cls.srv.run(post=urllib.parse.urlencode({"CMD": "Analyse", "Num": one, "QS": "", "User": "admin",
                                                 "title": "Analysis", "text": "Same as %s: https://example.com/"
                                                 "trace?id=42&full=1 (from the log)." % two}))
        cls.pages = {"start": "", "create": "CMD=create&project=TEST", "report": "Num=" + one,
                     "list": FIND, "search": "CMD=search&project=TEST", "action": "CMD=Corrected&QS=&Num=" + one}
        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars",
                    "--no-first-run", "--disable-background-networking"):
            o.add_argument(arg)
        try:
            cls.b = webdriver.Chrome(service=Service(CHROMEDRIVER), options=o)
        except Exception:
            cls.srv.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.b.quit()
        cls.srv.stop()

    def size(self, name, media=()):
        s = SIZES[name]
        self.b.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", dict(
            width=s["width"], height=s["height"], deviceScaleFactor=1, mobile=s["mobile"]))
        self.b.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": s["mobile"]})
        self.b.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
            {"name": "prefers-color-scheme", "value": "light"}], **dict(media)})

    def open(self, url):
        self.b.get(url)
        return self.b.execute_script(MEASURE)

    def test_pages_at_desktop_and_phone_width(self):
        # A page without viewport is laid out 980 pixels wide on the phone
        # and shrunk: what the checks below tell apart.
        self.size("360")
        bare = self.open(self.srv.url() + "?CMD=nothing")
        self.assertEqual((bare["inner"], bare["mode"]), (980, "BackCompat"))
        for size in SIZES:
            self.size(size)
            for name, query in self.pages.items():
                with self.subTest(page=name, size=size):
                    m = self.open(self.srv.url() + "?" + query)
                    self.b.save_screenshot(os.path.join(self.shots, "%s-%s.png" % (name, size)))
                    self.assertEqual((m["inner"], m["mode"], m["scale"]), (SIZES[size]["width"], "CSS1Compat", 1))
                    self.assertLessEqual(m["scroll"], m["inner"])
                    self.assertGreaterEqual(m["body"], 14)
                    self.assertGreaterEqual(m["smallest"], 14)
        # On the phone the action bar's buttons are big enough to tap.
        self.b.get(self.srv.url() + "?" + self.pages["report"])
        boxes = self.b.execute_script("return Array.from(document.querySelectorAll('a img[width=\"30\"]'), "
                                      "i => i.parentElement.getBoundingClientRect()).map(r => [r.width, r.height])")
        self.assertEqual(len(boxes), 17)
        self.assertGreaterEqual(min(min(w, h) for w, h in boxes), 40)
        # The help pages' top bar wraps on the phone.
        for lang in ("en", "fr"):
            m = self.open(self.srv.url("/velko/help/%s/index.html" % lang))
            self.assertLessEqual(m["scroll"], m["inner"], lang)
        self.b.save_screenshot(os.path.join(self.shots, "help-360.png"))

    def test_dark_and_print_variants(self):
        self.size("1280")
        url = self.srv.url() + "?" + self.pages["report"]
        colours = "return [getComputedStyle(document.body).backgroundColor, getComputedStyle(document.body).color, " \
                  "getComputedStyle(document.querySelector('a img[width=\"30\"]').closest('table')).display]"
        self.b.get(url)
        light = self.b.execute_script(colours)
        self.b.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
            {"name": "prefers-color-scheme", "value": "dark"}]})
        self.b.get(url)
        dark = self.b.execute_script(colours)
        self.b.save_screenshot(os.path.join(self.shots, "report-1280-dark.png"))
        self.b.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print", "features": [
            {"name": "prefers-color-scheme", "value": "dark"}]})
        printed = self.b.execute_script(colours)
        luminance = lambda c: sum(int(v) for v in re.findall(r"\d+", c)[:3]) / 3
        self.assertGreater(luminance(light[0]), 200)
        self.assertLess(luminance(light[1]), 60)
        self.assertLess(luminance(dark[0]), 60)
        self.assertGreater(luminance(dark[1]), 200)
        self.assertNotEqual(dark[2], "none")
        self.assertEqual(printed, ["rgb(255, 255, 255)", "rgb(0, 0, 0)", "none"])
        # The stylesheet comes from the image folder.
        self.assertEqual(self.b.execute_script("return document.styleSheets.length"), 1)
        self.assertTrue(self.b.execute_script("return document.styleSheets[0].cssRules.length > 50"))


if __name__ == "__main__":
    unittest.main()
