"""Test campaigns through the executable (CMD=tests): the campaign page and
its choice of campaign, campaign creation, recording results (history,
history.dat, linked reports, the lock around a result), the campaign views,
the statistics and every printout at 80 columns."""
import html
import os
import re
import time
import urllib.parse

from test_book import BOOK, PLACE, BookCase, FormReader
from velkotest import STATUS

CAMP = BOOK + ("test",)


class CampaignCase(BookCase):
    uid = {}

    def setUp(self):
        super().setUp()
        if self.install_args.get("security"):
            self.uid = {"Uid": self.inst.login("admin", "admin")}
        self.post(book=4, mod="M", title="Module M", text="About M.", **self.uid)
        self.post(book=6, mod="M", step="S", title="Step S", text="About S.", **self.uid)
        for k in range(4):
            self.new_test(title="test %d" % k, obj="objective %d" % k, **self.uid)

    def ts(self, post=False, **args):
        q = urllib.parse.urlencode(dict(PLACE, CMD="tests", **args))
        return self.inst.run(post=q) if post else self.inst.run(q)

    def camp(self, name):
        os.makedirs(self.inst.path(*CAMP, "C." + name), exist_ok=True)

    def pass_test(self, test="000", res=1, version="v1", camp="c1", **args):
        fields = dict(mod="M", step="S", test=test, camp=camp, submitter="admin",
                      version=version, res=res, text="", fft="")
        fields.update(args)
        return self.ts(True, book=30, **fields)

    def result(self, test="000", camp="c1"):
        with open(self.inst.path(*CAMP, "C." + camp, "M.S." + test), "rb") as f:
            return f.read()

    def printout(self, side="tests", **args):
        args = dict(PLACE, CMD=side, camp="c1", mod="M", step="S", **args)
        body = self.inst.run(urllib.parse.urlencode(args)).body
        self.assertIn("<PRE>\n", body)
        text = html.unescape(body.split("<PRE>\n", 1)[1])
        for line in text.split("\n"):
            cols = len(line.replace("\f", "").expandtabs(8))
            self.assertLessEqual(cols, 80, line)
            if line[:1] in "|+*" and line:
                self.assertEqual(cols, 80, line)
        return text


class Campaigns(CampaignCase):
    def test_campaign_page_and_creation(self):
        # No campaign yet: the list is empty, the new-campaign button is there.
        page = self.ts(phase="a").body
        self.assertIns(page, "&phase=0&camp=&mod=+&step=+&test=+&book=26", absent=["CMENU"])
        for name in ("2003.01.10.09.00.00", "2003.02.01.14.30.00"):
            self.camp(name)
        page = self.ts(phase="a").body
        # The latest is current: selected, in the buttons and the script.
        self.assertIns(page, '<OPTION VALUE="2003%2e01%2e10%2e09%2e00%2e00">2003.01.10.09.00.00\n'
                       '<OPTION SELECTED VALUE="2003%2e02%2e01%2e14%2e30%2e00">',
                       "&camp=2003%2e02%2e01%2e14%2e30%2e00&mod=+&step=+&test=+&book=28",
                       "&camp=2003%2e02%2e01%2e14%2e30%2e00&phase=a&mod=\" + page")
        page = self.ts(phase="a", camp="2003.01.10.09.00.00", mod="M").body
        self.assertIns(page, '<OPTION SELECTED VALUE="2003%2e01%2e10', "&mod=M&step=+&test=+&book=16",
                       absent=["book=18"])
        # A book code of the book side shows the campaign page.
        self.assertIn(self.L(2490), self.ts(book=8, mod="Z", title="x").body)
        # The creation form proposes the time as a name of digits and dots.
        form = self.ts(book=26)
        self.assertRegex(form.body, r'NAME="camp" VALUE="\d{4}\.\d\d\.\d\d\.\d\d\.\d\d\.\d\d" >')
        self.assertIn('<INPUT TYPE="hidden" NAME="book" VALUE="27">', form.body)
        r = self.resubmit(form, camp="rel/2")
        self.assertTrue(os.path.isdir(self.inst.path(*CAMP, "C.rel-2")))
        self.assertIns(r.body, '<OPTION SELECTED VALUE="rel%2d2">rel-2', '<OPTION SELECTED VALUE="a">',
                       "<! In theory, created ")
        # Refused names change nothing.
        before = self.inst.snapshot()
        self.assertIn(self.L(502), self.ts(book=27, camp=" x").body)
        for bad in ("..", "a\\b", "tab\there", "x" * 201):
            self.assertIn(html.escape(self.L(2518, bad.replace("/", "-")), quote=True),
                          self.ts(book=27, camp=bad).body, bad)
        self.assertIn(self.L(1042), self.ts(book=27, camp="x", group="no group").body)
        self.assertEqual(self.inst.snapshot(), before)
        self.assertEqual(sorted(os.listdir(self.inst.path(*CAMP))),
                         ["C.2003.01.10.09.00.00", "C.2003.02.01.14.30.00", "C.rel-2"])

    def test_recording_results(self):
        self.camp("c1")
        self.inst.put_report(number=12, status=STATUS["CORRECTED"])
        # A never-passed test: NT in the view, NA and the user in the form.
        view = self.ts(book=18, mod="M", step="S", camp="c1").body
        self.assertIns(view, "&camp=c1&test=000&book=29\"> \nNT</A></TD>\n<TD ALIGN=CENTER>&nbsp;"
                       "</TD>\n<TD ALIGN=CENTER>&nbsp;</TD>", "&test=003&book=21\"> \n003</A>")
        self.inst.write("cfg/userinfo.dat", "127.0.0.1:admin:TEST:phase 1:0\n")
        form = self.ts(book=29, mod="M", step="S", test="000", camp="c1").body
        self.assertIns(form, "<OPTION SELECTED> admin", "<OPTION SELECTED VALUE=3> NA",
                       '<INPUT TYPE="hidden" NAME="book" VALUE="30">', "objective 0",
                       absent=["<PRE>"])
        # A version is needed for OK and NOK only; a tester always.
        before = self.inst.snapshot()
        for args in ({"res": 1, "version": " "}, {"res": 0, "version": ""}, {"submitter": " "},
                     {"res": 7}):
            r = self.pass_test(**args)
            self.assertIn("<Font color=red><H1>Error</H1>\n<P>Please fill in the blanks<P></font>",
                          r.body)
        for args, text in (({"camp": "nope"}, self.L(2519, "nope")),
                           ({"test": "009"}, self.L(1043, "M.S.009")),
                           ({"test": "x"}, self.L(1043, "M.S.x"))):
            self.assertIn(html.escape(text, quote=True), self.pass_test(**args).body)
        self.assertEqual(self.inst.snapshot(), before)
        r = self.pass_test(test="001", res=3, version=" ")
        self.assertEqual(self.result("001").split(b"\n")[2:4], [b" ", b"3"])
        self.pass_test(test="002", res=2, version="")
        # Reports: tokens of 7 characters or more, stored in reverse order.
        r = self.pass_test(text="first\r\n", fft="ABC0012, ABC0013\tA12\r\nTS10.00012")
        data = self.result()
        self.assertTrue(data.endswith(b" Test Created by admin (OK)\nTS10.00012\nABC0013\nABC0012\n"),
                        data)
        self.assertTrue(data.startswith(b"admin\n"))
        self.assertIn(b"\nv1\n1\n5 first", data)
        self.assertIns(r.body, 'phase=a&camp=c1&mod=M&step=S&test=+&book=-1"> \n<IMG',
                       "?Num=TS10.00012\">TS10.00012</A><BR>\n<A HREF=\"/cgi-bin/velko?Num=ABC0013\">",
                       "<TD ALIGN=CENTER>C<BR>\n<BR>\n&nbsp;</TD></TR>", absent=["A12<"])
        # The form sent back unchanged: same comment and reports, a second line.
        form = self.ts(book=29, mod="M", step="S", test="000", camp="c1")
        self.assertIn("<PRE>", form.body)
        self.resubmit(form, res="0")
        data = self.result()
        self.assertRegex(data.decode(), r"\n5 first\d+ \d{4}\S+ Test Created by admin \(OK\)\n"
                         r"\d{4}\S+ Test Changed by admin \(NOK\)\nTS10.00012\nABC0013\nABC0012\n$")
        hist = self.inst.read("data/history.dat").splitlines()
        self.assertEqual([l.split(" ", 1)[1] for l in hist],
                         ["TEST/10/S/Book/test.M.S.001 Test Created by admin (NA)",
                          "TEST/10/S/Book/test.M.S.002 Test Created by admin (NT)",
                          "TEST/10/S/Book/test.M.S.000 Test Created by admin (OK)",
                          "TEST/10/S/Book/test.M.S.000 Test Changed by admin (NOK)"])
        day = hist[0][:10]
        self.assertIn("&mod=M&step=S&test=000&book=21",
                      self.inst.run("CMD=history&text=" + day).body)

    def test_simultaneous_recordings_keep_every_line(self):
        self.camp("c1")
        procs = [self.inst.spawn(post=urllib.parse.urlencode(dict(
            PLACE, CMD="tests", book=30, mod="M", step="S", test="000", camp="c1", submitter="admin",
            version="v1", res=k % 2, text="run %d" % k))) for k in range(8)]
        for p in procs:
            p.communicate(timeout=60)
        lines = re.findall(rb"Test (Created|Changed) by admin", self.result())
        self.assertEqual(sorted(lines), [b"Changed"] * 7 + [b"Created"])
        self.assertEqual(len(self.inst.read("data/history.dat").splitlines()), 8)


class Statistics(CampaignCase):
    def stats(self):
        return self.ts(book=28, camp="c1").body

    def numbers(self, body):
        return [int(n) for n in re.findall(r"FACE=Helvetica>(\d+)%?</TD>", body)]

    def test_counts_and_percentages(self):
        self.camp("c1")
        for test, res in (("000", 1), ("001", 0), ("003", 3)):  # 002 never passed
            self.pass_test(test=test, res=res)
        for stray in ("test.M.S.x", "test.M.S.07", "step.M.S.x", "test.MM.S.000", ".test.M.S.004"):
            self.file(stray, b"0\n")  # no page makes these: not counted
        body = self.stats()
        # Step, module, book: 4 tests, 3 to pass, 2 passed, 1 OK; 66, 33, 50 %.
        self.assertEqual(self.numbers(body), [4, 3, 2, 1, 66, 33, 50] * 3)
        self.assertIns(body, "ROWSPAN=2><FONT COLOR=#000080 FACE=Helvetica><B><A HREF=\"/cgi-bin/velko"
                       "?CMD=tests&project=TEST&group=phase+1&phase=0&camp=c1&mod=M&step=+&test=+&"
                       "book=15\"> \nM</A></B></TD>",
                       "&camp=c1&mod=M&step=S&test=+&book=18\"> \nS</A></TD>",
                       "<TD WIDTH=50 ALIGN=LEFT BGCOLOR=\"#EFEFEF\"COLSPAN=2 ><FONT COLOR=#008F00 "
                       "FACE=Helvetica><B>%s</B></TD>" % self.L(2484),
                       "<B>%% %s</B></TD></TR>" % self.L(2517))
        # Module sums: steps of 3 tests (1 OK, 2 NT) and 1 test (OK); a
        # module without steps; a step whose tests are all NA.
        self.post(book=6, mod="M", step="T", title="T")
        self.new_test(step="T")
        self.pass_test(test="000", step="T")
        for t, r in (("001", 2), ("003", 2)):
            self.pass_test(test=t, res=r)
        self.post(book=4, mod="N", title="empty")
        self.post(book=4, mod="O", title="all NA")
        self.post(book=6, mod="O", step="X", title="X")
        self.new_test(mod="O", step="X")
        self.pass_test(test="000", mod="O", step="X", res=3)
        body = self.stats()
        self.assertEqual(self.numbers(body), [4, 4, 1, 1, 25, 25, 100, 1, 1, 1, 1, 100, 100, 100,
                                              5, 5, 2, 2, 40, 40, 100, 0, 0, 0, 0, 0, 0, 0,
                                              1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,
                                              6, 5, 2, 2, 40, 40, 100])
        self.assertIn("ROWSPAN=1>", body)

    def test_book_without_modules(self):
        other = self.ts(book=28, camp="c1", group="team two").body
        self.assertEqual(other.count("<TABLE BORDER=1 CELLSPACING=0"), 1)
        self.assertEqual(self.numbers(other), [0] * 7)


class Printouts(CampaignCase):
    def test_book_printouts(self):
        self.post(book=14, Num=1, mod="M", step="S", title="t" * 120, submitter="admin", impact="b",
                  ref="REQ-1", obj="x" * 100 + "\r\nshort\r\n", env="", pre="", steps="a\tb",
                  exp="", post="", notes="")
        text = self.printout("book", book=22, test="001")
        self.assertIn("|001 Title : " + "t" * 66 + "|\n", text)
        self.assertIn("|" + "x" * 78 + "|\n|" + "x" * 22 + " " * 56 + "|\n|short", text)
        self.assertIn("|a b ", text)
        self.assertTrue(text.endswith("+\n\f"), text[-10:])
        step = self.printout("book", book=19)
        self.assertEqual(step.count("\f"), 4)
        self.assertIns(step, "+" + "=" * 78 + "+\n|" + " " * 78 + "|\n|  %s :S : Step S " % self.L(2514))
        book = self.printout("book", book=25)
        self.assertIns(book, "*" * 80 + "\n", "%s\t: TEST\n" % self.L(100), absent=[self.L(2491)])
        self.assertEqual(self.printout("book", book=16).count("\f"), 4)
        # The PRINT command gets the file, which is removed afterwards.
        self.assertEqual([n for n in os.listdir(self.inst.path("data", "tmp")) if n.endswith(".prt")],
                         [])

    def test_result_sheets(self):
        self.camp("c1")
        for n in (12, 13, 14):
            self.inst.put_report(number=n, status=STATUS["OPEN"])
        self.pass_test(test="001", fft="TS10.00014 TS10.00013 TS10.00012", res=0)
        sheet = self.printout(book=19)
        w = [3, 41, 3, 6, 5, 12, 2]
        rule = "+" + "+".join("-" * n for n in w) + "+"
        blank = "|   |" + " " * 41 + "|   |      |     |"
        self.assertIns(sheet, "|000|test 0" + " " * 35 + "|NT |      |     |            |  |\n" + rule,
                       "|001|test 1" + " " * 35 + "|NOK|admin |%s|TS10.00012  |O |\n"
                       % time.strftime("%d/%m") + blank + "TS10.00013  |O |\n" + blank +
                       "TS10.00014  |O |\n" + rule)
        book = self.printout(book=25)
        self.assertIns(book, "%s\t: c1\n" % self.L(2491), " ===============================\n",
                       "  %s : S : Step S \n" % self.L(2514))

    def test_long_labels_and_numbers_stay_in_80_columns(self):
        self.camp("c1")
        labels = {2507: "Number", 2509: "Result!", 2510: "Tested by", 2513: "Status",
                  2514: "A step label longer than any box could hold whole", 103: "Author" * 9}
        lang = self.inst.read("cfg/langue.EN")
        for n, t in labels.items():
            lang = re.sub(r"(?m)^%d,.*$" % n, "%d,%s" % (n, t), lang)
        self.inst.write("cfg/langue.EN", lang)
        self.file("test.M.S.1000", self.file("test.M.S.000"))
        self.pass_test(test="1000", fft="TS10.00012")
        sheet = self.printout(book=19)
        self.assertIns(sheet, "|Number|Title", "|Result!|Tested by|Date |Reports     |Status|",
                       "|1000  |")
        self.printout("book", book=19)
        self.printout("book", book=22, test="1000")
        self.printout(book=25)
        # French labels hold accented letters: one column each.
        self.inst.set_cfg(LANGUAGE="FR")
        self.inst.language = "FR"
        self.assertIn("|%s : " % self.L(1006), self.printout("book", book=25))
        self.assertIn("|  %s :S : Step S" % self.L(2514), self.printout("book", book=19))
        self.printout(book=25)


class CampaignSecurity(CampaignCase):
    install_args = {"security": True}

    def test_recording_needs_the_session_of_the_tester(self):
        self.inst.write("cfg/TEST_users.cfg", "admin :admin@localhost:admin" + ":YES" * 7 +
                        "\nbob :bob@localhost:bob" + ":YES" * 7 + "\n")
        uid = self.uid["Uid"]
        self.ts(book=27, camp="c1", Uid=uid)
        self.assertIn(self.L(518), self.pass_test().body)
        self.assertIn(html.escape(self.L(542, "admin"), quote=True),
                      self.pass_test(submitter="bob", Uid=uid).body)
        self.assertFalse(os.path.exists(self.inst.path(*CAMP, "C.c1", "M.S.000")))
        form = self.ts(book=29, mod="M", step="S", test="000", camp="c1", Uid=uid).body
        self.assertIns(form, "<OPTION SELECTED> admin", '<INPUT TYPE="hidden" NAME="Uid"')
        self.resubmit(self.ts(book=29, mod="M", step="S", test="000", camp="c1", Uid=uid),
                      version="v1")
        self.assertIn(b"Test Created by admin (NA)", self.result())


# -- the pages in headless chromium

import test_e2e_browser as e2e  # noqa: E402 (its classes stay out of this module)


class CampaignBrowserTest(e2e.BrowserTest):
    def test_campaign_and_result_through_the_pages(self):
        from selenium.webdriver.support.ui import Select
        for fields in (dict(book=4, mod="M", title="Module"), dict(book=6, mod="M", step="S", title="Step"),
                       dict(book=8, mod="M", step="S", title="Login works", submitter="admin")):
            self.srv.post(dict(PLACE, CMD="book", **fields))
        b = self.b
        b.get(self.srv.url() + "?CMD=tests&project=TEST&group=phase+1&phase=a")
        self.load(self.css('a[href*="book=26"]'))
        self.load()  # the proposed name
        camp = os.listdir(self.srv.path(*CAMP))[0][2:]
        self.assertEqual(Select(self.css("select[name=CMENU]")).first_selected_option.text, camp)
        for menu in (1, 2):
            self.js("window.__velkoOld = 1;")
            Select(self.css("select[onchange*=',%d)']" % menu)).select_by_index(1)
            self.until(lambda: self.js("return window.__velkoOld === undefined && "
                                       "document.readyState === 'complete';"), "the campaign page")
        self.load(self.css('a[href*="book=18"]'))
        self.load(self.css('a[href*="book=29"]'))
        self.js("for (const t of document.querySelectorAll('textarea')) t.value = '';")
        self.fill(submitter="admin", version="v1", res="OK", text="Works.\nTwice.",
                  fft="TS10.00001, XY")
        self.load()
        self.assertIn("Login works", self.text())
        with open(self.srv.path(*CAMP, "C." + camp, "M.S.000"), "rb") as f:
            data = f.read()
        self.assertRegex(data, rb"^admin\n\d+\nv1\n1\n14 Works.\r\nTwice.\d+ .* Test Created by "
                               rb"admin \(OK\)\nTS10.00001\n$")
        # Back to the campaign page: same phase, same campaign; then the
        # statistics and the result sheet.
        self.load(self.css('a[href*="book=-1"]'))
        self.assertEqual(Select(self.css("select[name=PHMENU]")).first_selected_option.get_attribute(
            "value"), "a")
        self.load(self.css('a[href*="book=28"]'))
        self.assertIn("100%", self.text())
        b.back()
        self.load(self.css('a[href*="book=25"]'))
        self.assertIn("|000|Login works", self.text())


# Only the test above runs here; the end-to-end module runs its own.
for _name in dir(e2e.BrowserTest):
    if _name.startswith("test") and _name not in CampaignBrowserTest.__dict__:
        setattr(CampaignBrowserTest, _name, None)
