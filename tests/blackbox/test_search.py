"""The search page and the report list: every criterion alone and together,
the status boxes, name lists, the sort orders, the index table and its
anchors, the criteria summary, the printout, the tab-separated download,
escaping, and the rights filter of a secured installation."""
import os
import re
import time
import unittest
import urllib.parse

from velkotest import FIELDS, FULL_RIGHTS, VelkoTestCase, report_line, report_text, time2char

NEW, OBSERVATION, ANALYSIS, OPEN, CORRECTED, VERIFIED, DUPLICATE, NOT_A_BUG, \
    NOT_REPRODUCIBLE, POSTPONE, ABANDONED = range(11)
BOXES = ["statN", "statS", "statA", "statO", "statC", "statV", "statD", "statB", "statR", "statP",
         "statT"]  # in the order of the statuses
ALL_BOXES = "&".join(b + "=X" for b in BOXES)
GROUP_PREFIXES = {("Alpha", "G1"): "G1", ("Alpha", "G2"): "G2", ("Beta", "G1"): "B1"}


def when(y, mo, d):
    return int(time.mktime((y, mo, d, 12, 0, 0, 0, 0, -1)))


def report(number, status, severity, title, project="Alpha", subProject="G1", phase=0, **kw):
    r = dict(number=number, status=status, severity=severity, title=title, project=project,
             subProject=subProject, phase=phase, date=when(2005, 1, number), submitter="alice",
             module="core", version="1.0", expvers="1.1", assignedTo="bob", fileType=0, impact=0,
             timeEstimate=0, text="", prefix=GROUP_PREFIXES[(project, subProject)])
    r.update(kw)
    r["name"] = "%s%s%s.%05d" % (project[:2].upper(), "SD"[phase], r["prefix"], number)
    return r


def line(r):
    return report_line(**{k: chr(97 + v) if k in ("phase", "severity", "status", "fileType", "impact")
                          else v for k, v in r.items() if k in FIELDS})


REPORTS = [  # in index order
    report(1, NEW, 1, "Crash on start", fileType=1, date=when(2005, 1, 10)),
    report(2, OBSERVATION, 2, "Slow menu", subProject="G2", submitter="bob", module="ui", version="1.1",
           expvers="2.0", assignedTo="alice", fileType=2, impact=1, mdaPda="MDA-7", date=when(2006, 6, 1)),
    report(3, ANALYSIS, 3, "Crash in menu", phase=1, version="1.1", impact=2, text="the needle is here",
           date=when(2007, 2, 2)),
    report(4, OPEN, 4, "Typo", submitter="carol", module="ui", assignedTo="carol", impact=3, expvers="2.0",
           date=when(2008, 3, 3)),
    report(5, CORRECTED, 2, "Crash on save", submitter="carol", corrector="bob", correctDate=when(2009, 3, 1),
           correctVersion="1.2", expvers="2.0", date=when(2004, 4, 4)),
    report(6, VERIFIED, 1, "Typo", submitter="carol", assignedTo="alice", corrector="bob",
           correctDate=when(2011, 5, 5), correctVersion="1.2", verifiedBy="carol",
           verifyDate=when(2011, 6, 1), verifyVersion="1.3", expvers="2.0", date=when(2003, 5, 5)),
    report(7, DUPLICATE, 3, "Doubled", mdaPda="MDA-9", expvers="2.0", date=when(2002, 6, 6)),
    report(1, NEW, 2, "Beta crash", project="Beta", submitter="dave", assignedTo="dave", expvers="2.0",
           date=when(2006, 7, 7)),
    report(8, POSTPONE, 2, "Later", expvers="2.0", date=when(2012, 1, 1)),
    report(9, ABANDONED, 4, "Dropped", expvers="2.0", date=when(2012, 2, 2)),
    report(10, NOT_A_BUG, 3, "Fine as is", expvers="2.0", date=when(2012, 3, 3)),
    report(11, NOT_REPRODUCIBLE, 3, "Once only", expvers="2.0", date=when(2012, 4, 4)),
]
BY_NAME = {r["name"]: r for r in REPORTS}
EVERY = set(BY_NAME)
A2, A3, B1 = "ALSG2.00002", "ALDG1.00003", "BESB1.00001"
ROW = re.compile(r"<TR><TD WIDTH=10%><A HREF=#(\d{5})>([^<]*)</A> </TD>")
USERS = {"Alpha": ["%s :%s@x:pw%s" % (u, u, FULL_RIGHTS) for u in ("alice", "bob", "carol")],
         "Beta": ["dave :dave@x:pw" + FULL_RIGHTS]}


def names(*numbers):
    """Alpha G1 specification reports by number."""
    return {"ALSG1.%05d" % n for n in numbers}


def setup_install(inst, reports=REPORTS, users=USERS):
    for name, text in (("project", "Alpha:AL:boss:valid\nBeta:BE:boss:valid\n"),
                       ("Alpha_subproject", "G1:G1\nG2:G2\n"), ("Beta_subproject", "G1:B1\n"),
                       ("phase", "specification:S\ndeveloppement:D\n"), ("Alpha_program", "core\nui\n"),
                       ("Alpha_version", "1.0\n1.1\n1.2\n"), ("Alpha_deadline", "1.1\n2.0\n")) + tuple(
            (p + "_users", "".join(l + "\n" for l in lines)) for p, lines in users.items()):
        inst.write("cfg/%s.cfg" % name, text)
    inst.write("data/index", "".join(line(r) for r in reports))
    for r in reports:
        inst.write("data/" + r["name"], report_text(line(r), [(None, "Notes", r["date"], "alice",
                   r["text"] + "\n")] if r["text"] else [], "%d Created\n" % r["date"]))


class SearchTestCase(VelkoTestCase):
    def setUp(self):
        super().setUp()
        setup_install(self.inst)

    def find(self, query):
        r = self.inst.run(query=query)
        self.assertEqual(r.returncode, 0, r)
        return r

    def rows(self, query):
        """The names of the index table, in order."""
        found = ROW.findall(self.find(query).body)
        self.assertEqual([a for a, _ in found], ["%05d" % i for i in range(len(found))])
        return [n for _, n in found]

    def criteria(self, extra, boxes=ALL_BOXES, resp="resp=all"):
        return set(self.rows("&".join(p for p in ("CMD=find", boxes, extra, "" if "resp=" in extra else resp)
                                      if p)))


class CriteriaTest(SearchTestCase):
    def test_each_criterion_alone(self):
        span = "between=31/12/1998:12.00.00&and=31/12/2010:12.00.00"
        day = time.strftime("%d/%m/%Y:%H.%M.%S", time.localtime(when(2007, 2, 2)))
        for extra, expected in [
                ("", EVERY), ("submitter=alice", EVERY - names(4, 5, 6) - {A2, B1}), ("project=Beta", {B1}),
                ("group=G2", {A2}), ("prog=ui", {A2} | names(4)), ("version=1.1", {A2, A3}),
                ("exp=1.1", names(1) | {A3}), ("corrVers=1.2", names(5, 6)), ("verifier=carol", names(6)),
                ("verVers=1.3", names(6)), ("resp=bob", EVERY - names(4, 6) - {A2, B1}),
                ("resp=carol", names(4)), ("sev=1", names(1, 6)), ("sev=4", names(4, 9)), ("type=2", {A2}),
                ("type=1", names(1)), ("phase=b", {A3}), ("impact=c", {A3}),
                ("impact=a", EVERY - names(4) - {A2, A3}), ("intitle=Crash", names(1, 5) | {A3}),
                ("intitle=", EVERY), ("adType=1", {A2} | names(7)), ("adType=2", EVERY - names(7) - {A2}),
                ("adType=3", EVERY), ("intext=needle", {A3}), ("intext=", EVERY),
                ("ival=1&" + span, EVERY - names(8, 9, 10, 11)), ("ival=2&" + span, names(5)),
                ("ival=3&" + span, set()), ("ival=3&between=31/12/1998:12.00.00&and=31/12/2012:12.00.00",
                                            names(6)),
                ("ival=0&between=x&and=y", EVERY), ("ival=1&between=%s&and=%s" % (day, day), {A3}),
                # Malformed dates read as 0.
                ("ival=1&between=31/12/1998&and=not+a+date+at+all", set()),
                ("ival=1&between=junk-junk-junk-junk&and=31/12/2010:12.00.00", EVERY - names(8, 9, 10, 11)),
                ("sev=", set()), ("phase=", set()), ("type=", set()), ("impact=", set()),
                # Together.
                ("submitter=alice&prog=core&sev=3", {A3} | names(7, 10, 11)),
                ("submitter=alice&prog=core&sev=3&intext=needle", {A3}),
                ("project=Alpha&group=G1&exp=2.0&ival=1&between=01/01/2004:00.00.00&and=01/01/2009:00.00.00",
                 names(4, 5))]:
            self.assertEqual(self.criteria(extra), expected, extra)
        self.assertEqual(self.criteria("intitle=Crash&resp=bob", boxes="statN=X"), names(1))
        self.assertEqual(self.criteria("", resp=""), set())  # no resp: a blank assignee only

    def test_status_boxes(self):
        for status, box in enumerate(BOXES):
            self.assertEqual(self.criteria("", boxes=box + "=X"),
                             {n for n, r in BY_NAME.items() if r["status"] == status}, box)
        # A box counts only when its value begins with X.
        self.assertEqual(self.criteria("", boxes="statN=on&statC=Xyz"), names(5))
        self.assertEqual(self.criteria("", boxes=""), set())
        # The page's default boxes leave out corrected, verified and closed.
        boxes = re.findall(r'<INPUT TYPE=checkbox NAME="(stat\w)" VALUE="X"( CHECKED)?>',
                           self.inst.run(query="CMD=search&project=Alpha").body)
        self.assertEqual(sorted(b for b, c in boxes if c), ["statA", "statN", "statO", "statS"])
        self.assertEqual(sorted(b for b, c in boxes), sorted(BOXES))

    def test_malformed_queries_never_fail(self):
        for q in ("CMD=find&sort=%FF&ival=999999999999&sev=%00", "CMD=find&find=",
                  "CMD=find&between=&and=&ival=-1&aff_versSel=&adType=", "CMD=find&" + "statN=X&" * 300,
                  "CMD=find&intext=" + "x" * 2100, "Num=", "Numero=%00"):
            self.assertIn("</BODY>", self.find(q).body, q)
        os.unlink(self.inst.path("data", "index"))  # a missing index lists nothing
        body = self.find("CMD=find&resp=all&" + ALL_BOXES).body
        self.assertIn("<H2>" + self.inst.lang(2111).replace("%s", "0") + "</H2>", body)
        self.assertEqual(ROW.findall(body), [])

    def test_names_and_sort_orders(self):
        # find names reports and ignores the criteria; sorted by name.
        for query, expected in (("find=ALSG1.00005+%s&statN=X&submitter=nobody&resp=x" % B1,
                                 ["ALSG1.00005", B1]), ("Num=ALSG1.00004", ["ALSG1.00004"]),
                                ("Numero=%s,ALSG1.00001" % A3, [A3, "ALSG1.00001"]),
                                ("CMD=find&Num=" + A3, [A3]),
                                # Names are matched as parts of the value, never opened as files.
                                ("find=xALSG1.000011", ["ALSG1.00001"]), ("find=../index", []),
                                ("find=ALSG1.0001", [])):
            self.assertEqual(self.rows(query), expected, query)

        def expected(key):  # the list is the reverse of the index; the sort is stable
            return [r["name"] for r in sorted(reversed(REPORTS), key=key)]
        for sort, key in (("0", lambda r: (r["status"], r["severity"], r["name"])),
                          ("2", lambda r: (r["assignedTo"], r["name"])),
                          ("3", lambda r: (r["impact"], r["severity"], r["name"])),
                          ("4", lambda r: r["title"])) + tuple((s, lambda r: r["name"])
                                                                for s in ("1", "5", "x", "", None)):
            rows = self.rows("CMD=find&resp=all&%s%s" % (ALL_BOXES, "" if sort is None else "&sort=" + sort))
            self.assertEqual(rows, expected(key), sort)
        # ALSG1.00006 comes after ALSG1.00004 in the index: by title it is listed first.
        rows = self.rows("CMD=find&resp=all&sort=4&" + ALL_BOXES)
        self.assertLess(rows.index("ALSG1.00006"), rows.index("ALSG1.00004"))


class ListPageTest(SearchTestCase):
    def test_rows_and_optional_columns(self):
        def page(extra=""):
            return self.find("CMD=find&resp=all&statN=X&statC=X" + extra).body
        self.assertIn("<TR><TD WIDTH=10%><A HREF=#00000>ALSG1.00001</A> </TD><TD WIDTH=5% ALIGN=CENTER>1"
                      "</TD>\n<TD WIDTH=5% ALIGN=CENTER>N</TD>\n<TD WIDTH=10%> bob </TD>\n<TD WIDTH=70%> "
                      "Crash on start</TD></TR>\n", page())
        self.assertIn("<TR><TD WIDTH=10%><A HREF=#00001>ALSG1.00005</A> </TD><TD WIDTH=5% ALIGN=CENTER>2"
                      "</TD>\n<TD WIDTH=5% ALIGN=CENTER>C</TD>\n<TD WIDTH=10%>  </TD><TD WIDTH=10%> 1.2 "
                      "</TD><TD WIDTH=10%> bob </TD>\n<TD WIDTH=70%> Crash on save</TD></TR>\n",
                      page("&aff_mdapda=AM&aff_vers=AV&aff_versSel=3"))
        for sel, value in (("1", "1.0"), ("2", "2.0"), ("3", "1.2"), ("4", ""), ("9", "")):
            self.assertIn("<TD WIDTH=5% ALIGN=CENTER>C</TD>\n<TD WIDTH=10%> " + value + " </TD><TD WIDTH=10%>"
                          " bob </TD>\n", page("&aff_vers=AV&aff_versSel=" + sel), sel)
        self.assertIn("<TD WIDTH=5% ALIGN=CENTER>N</TD>\n<TD WIDTH=10%>  </TD><TD WIDTH=10%> bob </TD>\n",
                      page("&aff_mdapda=AM"))

    def test_heading_anchors_and_links(self):
        query = "CMD=find&resp=all&statN=X&statC=X"
        body = self.inst.run(query=query).body
        self.assertIns(body, "<TITLE>VELKO</TITLE>", "<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH="
                       "100%>\n<TR><TD>\n<H2>" + self.inst.lang(2111).replace("%s", "3") + "</H2>\n</TD>"
                       "<TD ALIGN=RIGHT WIDTH=35>\n<A HREF=/cgi-bin/velko?Print=yes&" + query + ">\n<IMG "
                       "SRC=/velko/images//print.gif BORDER=0 VALIGN=CENTER></A></TD></TR></TABLE>\n<TABLE "
                       "CELLSPACING=0 BORDER=0 CELLPADDING=0>\n",
                       "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n",
                       "<BIG>%s</BIG>\n" % self.inst.lang(2113), "</TABLE>\n<HR>\n<H2>%s </H2>\n"
                       % self.inst.lang(2112), '<A HREF="?">\n<IMG SRC="/velko/images//home.gif" BORDER=0 '
                       "VALIGN=CENTER></A>\n",
                       "QS=" + "".join(c if c.isalnum() else "%%%02X" % ord(c) for c in query))
        self.assertTrue(body.rstrip().endswith("</BODY>"), body[-300:])
        # Each anchor is followed by its report's action bar.
        links = ROW.findall(body)
        self.assertEqual(links[:2], [("00000", "ALSG1.00001"), ("00001", "ALSG1.00005")])
        for anchor, name in links:
            self.assertIn("Num=%s&" % name, body[body.index("<a name=%s>" % anchor):][:400], anchor)
        self.assertLess(body.index("<a name=00000>"), body.index("<a name=00001>"))

    def test_criteria_summary(self):
        def summary(query):
            body = self.find("CMD=find&aff_crit=AC&" + query).body
            start = body.index("<H2>%s</H2>" % t(2102)) + len("<H2>%s</H2>" % t(2102))
            return body[start:body.index("<HR>", start) + 4]
        t = self.inst.lang
        self.assertEqual(summary(
            "project=Alpha&group=G1&submitter=alice&sev=3&phase=b&prog=core&version=1.1&exp=1.1&resp=bob"
            "&corrVers=c&verifier=v&verVers=w&impact=c&type=0&adType=2&intext=needle&intitle=Crash&ival=2"
            "&between=01/01/2000:00.00.00&and=02/02/2002:00.00.00&statS=X&statN=X&statT=X"),
            "".join("%s = %s<br>\n" % (t(n), v) for n, v in (
                (100, "Alpha"), (101, "G1"), (113, "alice"), (109, "3"), (102, "b"), (108, "core"),
                (2103, "1.1"), (111, "1.1"), (117, "bob"), (2104, "c"), (118, "v"), (2105, "w"),
                (104, "c"), (112, "0"), (115, "2")))
            + "%s : 'needle'<br>\n%s : 'Crash'<br>\n" % (t(2009), t(2010))
            + "%s 01/01/2000:00.00.00 %s 02/02/2002:00.00.00 <BR>\n" % (t(2108), t(2110))
            + "Status = %s %s %s \n<BR>\n<HR>" % (t(200), t(201), t(210)))
        # resp=all and blank values are not shown; absent texts read as one blank.
        self.assertEqual(summary("resp=all&intext=&intitle=&group=+&ival=0"), "Status = \n<BR>\n<HR>")
        self.assertEqual(summary("resp=all&statN=X"), "%s : ' '<br>\n%s : ' '<br>\nStatus = %s \n<BR>\n"
                         "<HR>" % (t(2009), t(2010), t(200)))
        self.assertEqual(summary("resp=all&intext=&intitle=Typo"), "%s : 'Typo'<br>\nStatus = \n<BR>\n<HR>"
                         % t(2010))

    def test_values_are_escaped_everywhere(self):
        setup_install(self.inst, [report(1, NEW, 1, "A <script>alert(1)</script> & co", assignedTo="<i>bob",
                                         mdaPda="<m>", version="<v>")])
        evil = urllib.parse.quote('<b>"x"&')
        self.assertIns(self.find("CMD=find&aff_crit=AC&resp=all&statN=X&submitter=%s&intitle=%s&intext=%s"
                                 % (evil, evil, evil)).body, "= &lt;b&gt;&quot;x&quot;&amp;<br>",
                       " : '&lt;b&gt;&quot;x&quot;&amp;'<br>", absent=["<b>"])
        self.assertIns(self.find("find=ALSG1.00001&aff_mdapda=AM&aff_vers=AV&aff_versSel=1").body,
                       "<TD WIDTH=10%> &lt;m&gt; </TD><TD WIDTH=10%> &lt;v&gt; </TD><TD WIDTH=10%> &lt;i&gt;"
                       "bob </TD>\n<TD WIDTH=70%> A &lt;script&gt;alert(1)&lt;/script&gt; &amp; co</TD>",
                       absent=["<script>", "<i>"])
        # A crafted query cannot leave the print link's attribute.
        self.assertIns(self.inst.run(query='find=ALSG1.00001&x="><script>y</script>&z=a b').body,
                       "Print=yes&find=ALSG1.00001&x=%22%3E%3Cscript%3Ey%3C/script%3E&z=a%20b>",
                       absent=["<script>"])
        self.assertIns(self.find("find=ALSG1.00001&Print=yes").body, "A &lt;script&gt;", absent=["<script>"])


class PrintoutTest(SearchTestCase):
    def test_printout_and_print_command(self):
        r = self.inst.run(query="find=ALSG1.00001+ALSG1.00004&Print=yes")
        m = re.search(r"<! -cat (\S+\.prt)- >\n", r.body)
        self.assertTrue(m and r.body.endswith(m.group(0)), repr(r.body[-200:]))
        self.assertLess(r.body.index("<HR>\n"), r.body.index("<PRE>\n"))
        self.assertEqual(r.body[r.body.index("<PRE>\n") + 6:m.start()], "Index of the 2 reports \n\n"
                         "ALSG1.00001  1  N  bob    Crash on start\nALSG1.00004  4  O  carol  Typo\n")
        self.assertFalse(os.path.exists(m.group(1)))
        self.assertNotIn("<A HREF=#", r.body)
        self.assertRegex(self.inst.run(query="CMD=find&find=nothing&Print=y").body,
                         r"<PRE>\nIndex of the 0 reports \n\n<! -cat \S+\.prt- >\n$")
        # Column widths: name 11 + 2; severity and status 3; MDA/PDA, version
        # and assignee each the longest value + 2. The command gets the file.
        out = self.inst.path("printed")
        os.makedirs(out)
        self.inst.set_cfg(PRINT="cp -t " + out)
        r = self.find("CMD=find&resp=all&statN=X&statS=X&Print=yes&aff_mdapda=AM&aff_vers=AV&aff_versSel=2")
        text = ("Index of the 3 reports \n\nALSG1.00001  1  N         1.1  bob    Crash on start\n"
                "ALSG2.00002  2  ObsMDA-7  2.0  alice  Slow menu\nBESB1.00001  2  N         2.0  dave   "
                "Beta crash\n")
        self.assertIn("<PRE>\n" + text, r.body)
        m = re.search(r"<! -cp -t %s (\S+)- >\n" % re.escape(out), r.body)
        self.assertRegex(m.group(1), "^" + re.escape(self.inst.data) + r"tmp/velko\.\d+\.prt$")
        with open(os.path.join(out, os.path.basename(m.group(1)))) as f:
            self.assertEqual(f.read(), text)
        self.assertEqual([f for f in os.listdir(self.inst.data + "tmp") if f.endswith(".prt")], [])
        # The printer's output stays out of the page.
        self.inst.set_cfg(PRINT="echo PRINTED")
        r = self.find("find=ALSG1.00001&Print=y")
        self.assertNotIn("PRINTED", r.body.replace("<! -echo PRINTED", ""))
        self.assertIn("PRINTED", r.stderr)

    def test_download(self):
        r = self.find("CMD=find&resp=all&statC=X&statV=X&intext=&excel=X")
        self.assertEqual(r.header, "Content-type: application/octet-stream\n"
                                   "Content-Disposition: attachment; filename=bugs.dat\n\n")
        t = self.inst.lang
        labels = {"phase": ["specification", "developpement"], "severity": range(214, 219),
                  "status": range(200, 211), "fileType": range(220, 223),
                  "impact": [l.split()[0] for l in self.inst.read("cfg/impacts.cfg").splitlines()
                             if l.strip() and not l.startswith("#")]}
        expected = ["\t".join(t(n) for n in range(2400, 2428))]
        for n in (5, 6):
            f = dict(zip(FIELDS, line(BY_NAME["ALSG1.%05d" % n]).rstrip("\n").split("|")), number="%05d" % n)
            for k in ("date", "postponeDate", "correctDate", "verifyDate"):
                f[k] = time2char(int(f[k]))
            for k, values in labels.items():
                f[k] = values[ord(f[k]) - 97]
                f[k] = t(f[k]) if isinstance(f[k], int) else f[k]
            expected.append("\t".join(["AL"] + [f[k] for k in FIELDS]))
        self.assertEqual(r.body_bytes.decode().split("\n"), expected + [""])
        self.assertEqual([len(l.split("\t")) for l in expected], [28] * 3)
        # Cells a spreadsheet would take for formulas are neutralised; the
        # stored report keeps what was typed.
        inst = self.other_install()
        inst.put_report(title="=HYPERLINK(1)", module="+1", version="-2", submitter="@me")
        cells = inst.run("find=TS10.00001&excel=X").body_bytes.decode().split(
            "\n")[1].split("\t")
        for v in ("'=HYPERLINK(1)", "'+1", "'-2", "'@me"):
            self.assertIn(v, cells)
        self.assertIn("|=HYPERLINK(1)\n", inst.read("data/" + inst.reports()[0]))
        # An unreadable report is left out; the criteria come first.
        os.unlink(self.inst.path("data", "ALSG1.00005"))
        body = self.find("find=ALSG1.00005+ALSG1.00006&excel=X&aff_crit=AC").body_bytes.decode()
        self.assertTrue(body.startswith("<H2>%s</H2>" % t(2102)), body[:200])
        self.assertEqual(body.split("\n<BR>\n<HR>", 1)[1].split("\n"), expected[::2] + [""])


class SearchPageTest(SearchTestCase):
    def test_form(self):
        body, t = self.inst.run(query="CMD=search&project=Alpha").body, self.inst.lang
        self.assertIns(
            body, "<TITLE>%s</TITLE>" % t(2003), "<H1>%s</H1>\n" % t(2004), "<P><H3>%s:</H3>\n" % t(2007),
            '<FORM METHOD=GET ACTION="/cgi-bin/velko">\n%s : <INPUT SIZE=20 NAME="find">\n' % t(2005),
            "<P><H3>%s:</H3>\n" % t(2028), '<INPUT TYPE=hidden name=CMD Value="find"><INPUT TYPE=hidden name='
            'project Value="Alpha">', '<OPTION VALUE="/cgi-bin/velko?CMD=search"> \n',
            '<OPTION VALUE="/cgi-bin/velko?CMD=search&project=Alpha" SELECTED> Alpha\n',
            '<OPTION VALUE="/cgi-bin/velko?CMD=search&project=Beta"> Beta\n', '<SELECT NAME="resp">\n'
            "<OPTION SELECTED>all\n<OPTION> alice\n<OPTION> bob\n<OPTION> carol\n</SELECT>",
            "<OPTION> core\n<OPTION> ui\n", "</SELECT>%s &nbsp;\n" % t(2008), 'VALUE="31/12/1998:12.00.00"',
            'VALUE="31/12/2010:12.00.00"', "function checkChange()", "function changePage(page,menu)",
            '<INPUT TYPE=checkbox NAME="ALL" onclick="javascript:checkChange();">',
            *['<INPUT TYPE=checkbox NAME="%s" VALUE="%s">' % nv for nv in (
                ("aff_vers", "AV"), ("aff_crit", "AC"), ("aff_mdapda", "AM"), ("excel", "X"))],
            *['<SELECT NAME="%s">' % n for n in ("verifier", "version", "impact", "exp", "corrVers",
                                                  "verVers", "ival", "sort", "aff_versSel")],
            # Each blank option sends a blank, which the selection reads as absent.
            *['<SELECT NAME="%s">\n<OPTION SELECTED VALUE=" "> \n' % n for n in (
                "group", "phase", "submitter", "prog", "sev", "type", "adType")],
            absent=["name=Uid", "dave"])  # security off; the users of the chosen project only
        # The criteria form is the second form of the page, as checkChange expects.
        self.assertEqual(body.count("<FORM"), 2)
        self.assertEqual(set(self.rows(
            "CMD=find&project=Alpha&resp=all&ival=0&between=31/12/1998:12.00.00&and=31/12/2010:12.00.00"
            "&intext=&intitle=&sort=0&" + ALL_BOXES + "".join("&%s=+" % n for n in (
                "group", "phase", "submitter", "verifier", "prog", "version", "impact", "sev", "exp",
                "type", "corrVers", "verVers", "adType")))), EVERY - {B1})
        # The remembered project and group are chosen.
        self.inst.write("cfg/userinfo.dat", "127.0.0.1:carol:Alpha:G2:0\n")
        self.assertIns(self.inst.run(query="CMD=search").body, "<OPTION> G1<OPTION SELECTED> G2",
                       '<INPUT TYPE=hidden name=project Value="Alpha">')

    def test_project_names_in_the_choice_list(self):
        # '&' and '#' would split the argument or end the address: they
        # travel %-encoded; other names stand as written.
        self.inst.write("cfg/project.cfg", "My_Proj:MP:b:v\nB-2.x:BX:b:v\nA&B#1:AB:b:v\n")
        body = self.inst.run(query="CMD=search&project=B-2.x").body
        start = body.index('<SELECT NAME="Deroulant"')
        self.assertEqual(re.findall(r'<OPTION VALUE="/cgi-bin/velko\?CMD=search([^"]*)"([^>]*)>',
                                    body[start:body.index("</SELECT>", start)]),
                         [("", ""), ("&project=A%26B%231", ""), ("&project=B-2.x", " SELECTED"),
                          ("&project=My_Proj", "")])
        self.assertIn('<INPUT TYPE=hidden name=project Value="A&amp;B#1">',
                      self.inst.run(query="CMD=search&project=A%26B%231").body)


class RightsTest(VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        setup_install(self.inst, users={
            "Alpha": ["alice :a@x:pw" + FULL_RIGHTS, "bob :b@x:pw:YES:YES:YES:N:YES:YES:YES",
                      "carol :c@x:pw:YES:YES:YES:YES:YES:YES:N", "dave :d@x:pw:YES:YES:YES:YES:YES:N:YES"],
            "Beta": ["erin :e@x:pw" + FULL_RIGHTS]})

    def listed(self, uid, query="CMD=find&resp=all&intext="):
        body = self.inst.run(query="%s&%s%s" % (query, ALL_BOXES, "&Uid=" + urllib.parse.quote(uid)
                                                if uid else "")).body
        return {n for _, n in ROW.findall(body)}, body

    def test_rights_filter(self):
        open_ones = {n for n, r in BY_NAME.items() if r["status"] in (NEW, OBSERVATION, ANALYSIS, OPEN,
                                                                       POSTPONE)}
        for user, expected in (("alice", EVERY), ("bob", EVERY - {B1}),  # his project only
                               ("carol", EVERY - open_ones), ("dave", open_ones), ("erin", EVERY)):
            self.assertEqual(self.listed(self.inst.login(user, "pw"))[0], expected, user)
        # Names given by find are filtered too.
        self.assertEqual(self.listed(self.inst.login("bob", "pw"), "find=ALSG1.00001+" + B1)[0], names(1))
        # Without a valid session nothing is listed: the login form instead.
        uid = self.inst.login("alice", "pw")
        for u in (None, uid[:-4] + ("0000" if not uid.endswith("0000") else "1111"),
                  "cnkeg#Cnrjc#1#" + "0" * 64):
            found, body = self.listed(u)
            self.assertEqual(found, set(), u)
            self.assertIn('NAME="Passwd"', body)

    def test_search_page_carries_the_session(self):
        uid = self.inst.login("alice", "pw")
        quoted = urllib.parse.quote(uid, safe="")
        body = self.inst.run(query="CMD=search&Uid=" + quoted).body
        self.assertEqual(body.count('<INPUT TYPE=hidden name=Uid Value="%s">' % uid), 2)
        self.assertIns(body, '<OPTION VALUE="/cgi-bin/velko?CMD=search&Uid=%s">' % quoted,
                       "CMD=search&project=Alpha&Uid=" + quoted)


if __name__ == "__main__":
    unittest.main()
