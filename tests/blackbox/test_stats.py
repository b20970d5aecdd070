"""Statistics through the executable: the daily pass (statistics files,
marker, wake-up of postponed reports and its mail), the statistics pages,
the graph pages with their data pages, the rights, and the graphs drawn by
headless chromium."""
import os
import re
import subprocess
import sys
import time
import unittest
import urllib.parse

from velkotest import FULL_RIGHTS, STATUS, Server, VelkoTestCase, have_lighttpd
from test_mail import NotifyCase, SERVERS

DAY = 86400


def at(*ymdhm):
    """A local time."""
    return int(time.mktime(tuple(ymdhm) + (0,) * (6 - len(ymdhm)) + (0, 0, -1)))


def stamp_of(t):
    """The daily pass's stamp of the day of `t`: 23:00 local time."""
    return at(*time.localtime(t)[:3], 23)


def stats_line(date, new=0, obs=0, ana=0, opn=0, corr=0, ver=0, nab=0, nrep=0, post=0, dup=0,
               ab=0, exp=0, spent=0, todo=(0, 0, 0, 0), done=(0, 0, 0, 0)):
    return " ".join(map(str, (date, new, obs, ana, opn, corr, ver, nab, nrep, post, dup, ab, exp,
                              spent) + tuple(todo) + tuple(done))) + "\n"


class StatsCase(VelkoTestCase):
    def marker(self, age=None):
        """The marker of the daily pass (the installation's is of today):
        dated `age` seconds ago, or removed."""
        path = self.inst.path("cfg", ".stats")
        if age is None:
            os.remove(path)
        else:
            os.utime(path, (time.time() - age,) * 2)

    def stats(self, unit):
        path = self.inst.path("data", "Stats", unit)
        if os.path.exists(path):
            with open(path) as f:
                return f.read().splitlines()

    def page(self, st, **args):
        return self.inst.run(urllib.parse.urlencode(dict(CMD="statS", statS=st, **args)))

    def data(self, st, **args):
        return self.page(st, project="TEST", group="TOTAL", **args).body.splitlines()


class DailyPassTest(StatsCase):
    def test_one_line_per_unit_per_day(self):
        self.inst.write("cfg/TEST_subproject.cfg", "phase 1:10\nteam:T\n")
        now = int(time.time())
        self.inst.put_report(number=1, phase="b", subProject="team", severity="b", status="d",
                             timeSpent=2, timeEstimate=5)
        self.inst.put_report(number=2, severity="c", status=STATUS["CORRECTED"], timeEstimate=1)
        self.inst.put_report(number=3, severity="a", status=STATUS["POSTPONE"],
                             postponeDate=now + 5 * DAY, timeEstimate=0)
        self.marker(DAY)
        for query in ("", "CMD=statS", "CMD=statS&statS=2"):  # the first of the day counts
            self.inst.run(query)
        day = stamp_of(now - DAY)
        self.assertEqual(self.stats("TEST.DT"), [stats_line(day, opn=1, exp=5, spent=2,
                                                            todo=(1, 0, 0, 0)).strip()])
        self.assertEqual(self.stats("TEST.TOTAL"), [stats_line(
            day, opn=1, corr=1, post=1, exp=6, spent=2, todo=(1, 0, 0, 0), done=(0, 1, 0, 0)).strip()])
        self.assertEqual(len(self.stats("TEST.S10")), 1)
        self.assertRegex(self.inst.read("cfg/.stats"), r"^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\n$")
        self.assertGreater(os.path.getmtime(self.inst.path("cfg", ".stats")), now - 5)
        # The report postponed to a later date stays postponed.
        self.assertEqual(self.inst.index_lines()[-1].split("|")[11], STATUS["POSTPONE"])

    def test_first_pass_and_requests_arriving_together(self):
        self.inst.put_report()
        self.marker()
        self.inst.run("CMD=statS")  # no marker: a first pass, stamped today
        self.assertEqual(self.stats("TEST.TOTAL")[0].split()[0], str(stamp_of(time.time())))
        self.marker(DAY)
        r = self.inst.run("CMD=find&excel=X&statN=X")  # a download: the pass waits
        self.assertIns(r.header, "application/octet-stream", absent=["text/html"])
        self.assertEqual(len(self.stats("TEST.TOTAL")), 1)
        procs = [self.inst.spawn("CMD=statS") for _ in range(8)]
        for p in procs:
            p.communicate(timeout=60)
        self.assertEqual(len(self.stats("TEST.TOTAL")), 2)

    def test_unwritable_marker_skips_the_pass(self):
        self.inst.put_report()
        self.marker()
        os.makedirs(self.inst.path("cfg", ".stats"))  # a marker that cannot be rewritten
        os.utime(self.inst.path("cfg", ".stats"), (time.time() - DAY,) * 2)
        for _ in range(2):
            r = self.inst.run("CMD=statS")
            self.assertIn("daily pass skipped", r.body)
        self.assertIsNone(self.stats("TEST.TOTAL"))


class WakeUpTest(NotifyCase):
    def test_expired_postponement_is_new_and_mailed(self):
        tok = "wake%d" % os.getpid()
        now = int(time.time())
        self.inst.put_report(title=tok, status=STATUS["POSTPONE"], postponeDate=now - 60,
                             history="2004/01/01:00.00.00 Postponed\n")
        self.inst.put_report(number=2, status=STATUS["POSTPONE"], postponeDate=now + DAY)
        os.utime(self.inst.path("cfg", ".stats"), (now - DAY,) * 2)
        r = self.inst.run("CMD=statS", env={"VELKO_MAIL_WAIT": "2"})
        lines = {l.split("|")[1]: l for l in self.inst.index_lines()}
        self.assertEqual((lines["1"].split("|")[11], lines["2"].split("|")[11]),
                         (STATUS["NEW"], STATUS["POSTPONE"]))
        report = self.inst.read("data/TS10.00001")
        self.assertEqual(report.split("\n")[0], lines["1"])
        self.assertTrue(report.endswith("\n2004/01/01:00.00.00 Postponed\n"))  # no history line
        # "new M V": both managers (a list of them acts, none is left out) and
        # carol; the mail goes once the response is complete (its traces in
        # the trace log).
        self.assertNotIn("<! mail ", r.body)
        blocks = self.inst.work_log(1)
        mail = re.search(r"<! mail ([^ ]*) - ", "".join(blocks))
        self.assertIsNotNone(mail, blocks)
        self.assertEqual(sorted(mail.group(1).split(",")),
                         sorted(a for u, a in self.addresses.items() if u != "admin"))
        if SERVERS:
            for user in ("alice", "bob", "carol"):
                self.assertIn("\nSubject: Bug TS10.00001 New by alice,bob\n", self.awaitMail(user, tok, r))

    def write_users(self, addresses):
        self.addresses = addresses
        super().write_users(addresses)


class PagesTest(StatsCase):
    def test_status_table(self):
        t = at(2004, 3, 1, 23)
        self.inst.write("data/Stats/TEST.TOTAL", stats_line(t, new=3, opn=1) + "damaged 1 2\n\n" +
                        stats_line(t + DAY, new=1, opn=2, ver=1) + stats_line(t + 2 * DAY, new=1, opn=2, ver=1))
        body = self.page(2, project="TEST", group="TOTAL").body
        rows = re.findall(r"<TR><TD><FONT SIZE=2 COLOR=#000000>([^<]*)</FONT></TD>(.*)</TR>", body)
        self.assertEqual([d for d, _ in rows], ["2004/03/01:23.00.00", "2004/03/02:23.00.00",
                                                "2004/03/03:23.00.00"])
        cells = re.findall(r"<TD ALIGN=RIGHT>(?:<FONT SIZE=2 COLOR=(#\w+)>)?([^<]*)", rows[1][1])
        self.assertEqual(cells[:2], [("", "1"), ("#00A000", "-2")])  # fewer new: green
        self.assertEqual(cells[6:8], [("", "2"), ("#A00000", "+1")])  # more open: red
        self.assertEqual(cells[10:12], [("", "1"), ("#00A000", "+1")])  # more verified: green
        self.assertEqual(cells[2:4], [("", "0"), ("#000000", "=")])
        self.assertEqual(cells[-2:], [("#000000", "="), ("#00A000", "+1")])  # all, closed
        self.assertIns(body, "<B>TEST.TOTAL</B>", "<OPTION SELECTED VALUE=\"/cgi-bin/velko?CMD=statS&"
                       "statS=2&project=TEST&group=TOTAL\">TOTAL\n", "<TR><TD>Total</TD><TD COLSPAN=2 "
                       "ALIGN=CENTER>1</TD>", "ALIGN=CENTER>4</TD></TR>\n</TABLE>")
        # Units of a project whose name ends in this one's are not its groups.
        self.inst.write("data/Stats/MYTEST.TOTAL", stats_line(t))
        self.assertEqual(self.page(2, project="TEST").body.count(">TOTAL\n"), 1)

    def test_empty_and_damaged_files(self):
        for content in ("", "x y z\n1 2\n"):
            self.inst.write("data/Stats/TEST.TOTAL", content)
            for st in (2, 5, 7, 9):
                r = self.page(st, project="TEST", group="TOTAL")
                self.assertIn("</FORM>", r.body)
            for st in (6, 8):
                self.assertEqual(self.data(st, Week=2), ["0 0 0 0"] * 15)

    def test_response_months_and_working_days(self):
        now = int(time.time())
        self.inst.put_report(number=1, date=at(2003, 12, 15, 10), status=STATUS["VERIFIED"],
                             verifyDate=at(2004, 3, 10, 10), correctDate=0)
        self.inst.put_report(number=2, date=at(2004, 3, 12, 10), status=STATUS["CORRECTED"],
                             correctDate=at(2004, 3, 15, 10))  # Friday to Monday
        # Opened n days ago: 3 working days counted from it up to now.
        n = next(n for n in range(3, 10) if sum(time.localtime(now - n * DAY + 7200 + k * DAY).tm_wday
                                              < 5 for k in range(n)) == 3)
        self.inst.put_report(number=3, date=now - n * DAY + 7200, status=STATUS["OPEN"], severity="b")
        self.inst.put_report(number=4, date=at(2004, 3, 1), status=STATUS["NOT_A_BUG"], subProject="x")
        body = self.page(4, project="TEST", group="TOTAL").body
        months = re.findall(r"<TR><TD>([ \d]\d/\d{4})</TD>(.*)</TR>", body)
        self.assertEqual([m for m, _ in months][:2], ["12/2003", " 3/2004"])
        self.assertEqual(months[0][1], "<TD ALIGN=CENTER>1</TD><TD ALIGN=CENTER>0</TD><TD COLSPAN=2 "
                                       "ALIGN=CENTER>0</TD><TD COLSPAN=2 ALIGN=CENTER>0</TD>")
        self.assertEqual(months[1][1], "<TD ALIGN=CENTER>2</TD><TD ALIGN=CENTER>1</TD><TD ALIGN=CENTER>2"
                                       "</TD><TD>1 in 62 days<BR>1 in 1 days<BR></TD><TD ALIGN=CENTER>1"
                                       "</TD><TD>1 in 62 days<BR></TD>")
        detail = self.page(4, project="TEST", group="S10", text="ON").body
        self.assertIns(detail, '" SELECTED >ON\n', "<TD>2004/03/12</TD><TD ALIGN=RIGHT>1</TD>"
                       "<TD ALIGN=RIGHT></TD>", "<TD ALIGN=RIGHT>+3</TD>", absent=[".00004"])
        self.assertLess(detail.find("TS10.00001"), detail.find("TS10.00002"))

    def test_distribution_and_modules(self):
        for n, (st, sev, who, mod) in enumerate([("d", "b", "ann", "ui"), ("b", "d", "ann", "ui"),
                                                 ("a", "b", "ann", "db"), ("c", "c", "joe", "db")], 1):
            self.inst.put_report(number=n, status=st, severity=sev, assignedTo=who, module=mod)
        body = self.page(1).body
        self.assertIns(body, "<TD COLSPAN=2 ALIGN=CENTER BGCOLOR=#CFCFCF>%s</TD><TD COLSPAN=2 " % self.inst.lang(2474),
                       '<A HREF="/cgi-bin/velko?CMD=find&project=%A0&resp=ann&statA=X&statO=X&statS=X&sort=0">'
                       "ann</A></TD><TD ALIGN=CENTER BGCOLOR=#CFCFCF>2</TD><TD COLSPAN=1 BGCOLOR=#FF0000>"
                       "&nbsp;</TD><TD COLSPAN=1 BGCOLOR=#FFFF33>", "<TD WIDTH=42%>", '<SELECT NAME="MENU"')
        self.assertLess(body.find(">joe<"), body.find(">ann<"))  # most recently met first
        body = self.page(3, project="TEST").body
        self.assertIns(body, "<TR><TD>db</TD><TD ALIGN=CENTER>2</TD></TR>\n<TR><TD>ui</TD><TD ALIGN="
                       "CENTER>2</TD></TR>\n<TR><TH>%s</TH><TH>4</TH>" % self.inst.lang(2479),
                       "&project=TEST&group=phase+1\">phase 1\n")

    def test_graph_and_data_pages(self):
        now = int(time.time())
        self.inst.write("data/Stats/TEST.TOTAL", stats_line(now - 20 * DAY, opn=5, todo=(1, 1, 1, 1)) +
                        stats_line(now - 3 * DAY - 60, opn=3, corr=2, todo=(1, 2, 3, 4)) +
                        stats_line(now + 3 * DAY, opn=9))  # a line in the future adds no day
        self.assertEqual(self.data(8, Week=2), ["5 0 0 0"] * 11 + ["3 0 0 2"] * 4)
        self.assertEqual(self.data(6, Week=2), ["0 0 0 0"] * 11 + ["-2 0 0 2"] + ["0 0 0 0"] * 3)
        self.assertEqual(self.data(10, Week=2), ["1 2 3 4 "] * 11 + ["0 0 0 0 "] * 4)
        self.inst.set_cfg(IMGDIR="img")
        for st, data, title in ((5, 6, 2560), (7, 8, 2570), (9, 10, 2580)):
            r = self.inst.run("CMD=statS&statS=%d&project=TEST&group=TOTAL" % st,
                              env={"HTTP_HOST": "bugs.example:8080"})
            applet = re.search(r"<APPLET (.*?)</APPLET>", r.body, re.S)
            self.assertIsNotNone(applet, r.body)
            self.assertTrue(applet.group(1).startswith(
                'code=VovoVavo.class codebase="/java/" width=600 height=400>\n<param name=Base value="'
                'http://bugs.example:8080/cgi-bin/velko?CMD=statS&statS=%d&project=TEST&group=TOTAL&'
                'Week=2">\n' % data))
            self.assertEqual("CUMUL" in applet.group(1), st == 9)
            self.assertEqual(len(re.findall(r'<polyline class="curve"[^>]*points="(\S+ ){14}\S+"/>',
                                            applet.group(1))), 4)
            self.assertIns(r.body, '<OPTION VALUE="/cgi-bin/velko?CMD=statS&statS=%d&project=TEST&group='
                           'TOTAL&Week=2" SELECTED >2\n' % st, "<FONT COLOR=GREEN>--</FONT> %s" %
                           self.inst.lang(title + (4 if st == 9 else 2)))
        r = self.page(5, project="TEST", group="S10")  # no file: the title, no applet
        self.assertIns(r.body, "<H1>%s</H1>" % self.inst.lang(2560), absent=["<APPLET"])
        self.assertEqual(self.page(6, project="TEST", group="S10", Week=1).body, "0 0 0 0\n" * 8)

    def test_menu_page(self):
        body = self.page(0).body
        links = re.findall(r'<A HREF="/cgi-bin/velko\?CMD=statS&statS=(\d+)">([^<]*)&nbsp;</A>', body)
        self.assertEqual(links, [(str(n), self.inst.lang(t)) for n, t in
                                 ((1, 2487), (2, 2488), (3, 2480), (4, 2486), (5, 2560), (7, 2570), (9, 2580))])
        self.assertIn("VELKO&nbsp;%s" % self.inst.lang(3005), body)


class RightsTest(StatsCase):
    install_args = {"security": True}

    def test_every_page_checks_the_right_and_takes_the_cookie(self):
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin%s\nnostat :n@x:pw:YES:YES:YES:YES:NO\n"
                        % FULL_RIGHTS)
        self.inst.write("data/Stats/TEST.TOTAL", stats_line(int(time.time()) - DAY, opn=1))
        query = "CMD=statS&statS=%d&project=TEST&group=TOTAL&Week=1"
        denied = self.inst.lang(517)
        uid = self.inst.login("nostat", "pw")
        for st in (0, 2, 4, 5, 9):
            self.assertIn(denied, self.inst.run(query % st + "&Uid=" + urllib.parse.quote(uid)).body)
        self.assertEqual(self.inst.run(query % 6 + "&Uid=" + urllib.parse.quote(uid)).body, "")
        self.assertEqual(self.inst.run(query % 6).body, "")  # no session at all
        uid = self.inst.login("admin", "admin")
        cookie = {"HTTP_COOKIE": "x=1; velko=" + urllib.parse.quote(uid, safe="@*_+-./")}
        self.assertEqual(len(self.inst.run(query % 8, env=cookie).body.splitlines()), 8)
        body = self.inst.run(query % 7, env=cookie).body
        self.assertIns(body, "<APPLET", absent=[denied])


# -- the graphs in a browser
sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-selenium
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    webdriver = None
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
MISSING = ", ".join([p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)] +
                    ["python3-selenium"] * (not webdriver) + ["lighttpd"] * (not have_lighttpd()))


@unittest.skipIf(MISSING, "not installed: " + MISSING)
class BrowserGraphTest(unittest.TestCase):
    def test_each_graph_page_shows_its_chart(self):
        now = int(time.time())

        def prepare(srv):
            srv.write("cfg/.stats", "")
            srv.write("data/Stats/TEST.TOTAL", "".join(stats_line(
                now - (14 - d) * DAY, new=d % 4, opn=9 - d // 2, corr=d // 2, todo=(1, d % 3, 2, d // 3))
                for d in range(0, 14, 2)))
        srv = Server(prepare).start()
        self.addCleanup(srv.stop)
        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1000,1000"):
            o.add_argument(arg)
        b = webdriver.Chrome(service=Service(CHROMEDRIVER), options=o)
        self.addCleanup(b.quit)
        shots = os.environ.get("VELKO_SCREENSHOTS", srv.path("logs"))
        for st in (5, 7, 9):
            b.get(srv.url() + "?CMD=statS&statS=%d&project=TEST&group=TOTAL&Week=2" % st)
            svg = b.find_element(By.CSS_SELECTOR, "svg.velko-chart")
            self.assertTrue(svg.is_displayed())
            self.assertEqual((svg.size["width"], svg.size["height"]), (600, 400))
            curves = b.find_elements(By.CSS_SELECTOR, "svg.velko-chart polyline.curve")
            self.assertEqual(len(curves), 4)
            self.assertGreater(max(c.size["width"] for c in curves), 400)
            png = os.path.join(shots, "stats-graph-%d.png" % st)
            self.assertTrue(svg.screenshot(png) and os.path.getsize(png) > 2000, png)
        self.assertEqual(srv.sanitizer_reports(), "")


if __name__ == "__main__":
    unittest.main()
