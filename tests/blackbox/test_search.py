"""The search page and the report list: every criterion alone and together,
the status boxes, name lists, the five sort orders, the index table and its
anchors, the printout, the tab-separated download, escaping, and the rights
filter of a secured installation."""
import os
import re
import time
import urllib.parse

import velkotest

NEW, OBSERVATION, ANALYSIS, OPEN, CORRECTED, VERIFIED, DUPLICATE, NOT_A_BUG, \
    NOT_REPRODUCIBLE, POSTPONE, ABANDONED = range(11)
SHORT = ["N", "Obs", "A", "O", "C", "V", "D", "NB", "NR", "P", "Ab"]
BOXES = ["statN", "statS", "statA", "statO", "statC", "statV", "statD", "statB", "statR",
         "statP", "statT"]
BOX_STATUS = dict(zip(BOXES, [NEW, OBSERVATION, ANALYSIS, OPEN, CORRECTED, VERIFIED, DUPLICATE,
                              NOT_A_BUG, NOT_REPRODUCIBLE, POSTPONE, ABANDONED]))
ALL_BOXES = [(b, "X") for b in BOXES]
PHASES = ["specification", "developpement"]
PHASE_LETTERS = ["S", "D"]
PREFIXES = {"Alpha": "AL", "Beta": "BE"}
GROUP_PREFIXES = {("Alpha", "G1"): "G1", ("Alpha", "G2"): "G2", ("Beta", "G1"): "B1"}


def when(y, mo, d, h=12, mi=0, s=0):
    return int(time.mktime((y, mo, d, h, mi, s, 0, 0, -1)))


def time2char(t):
    return time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(t))


def report(n, status, sev, title, project="Alpha", group="G1", phase=0, **kw):
    r = dict(n=n, status=status, sev=sev, title=title, project=project, group=group, phase=phase,
             date=when(2005, 1, n), submitter="alice", module="core", version="1.0",
             expvers="1.1", postpone=0, assigned="bob", corrector="", corrdate=0, corrvers="",
             verifier="", verifdate=0, verifvers="", type=0, impact=0, mda="", testref="",
             spent=0, estimate=0, text="")
    r.update(kw)
    r["prefix"] = GROUP_PREFIXES[(project, group)]  # the index field: the group's prefix
    r["name"] = "%s%s%s.%05d" % (PREFIXES[project], PHASE_LETTERS[phase], r["prefix"], n)
    return r


def letter(v):
    return chr(ord("a") + v)


def index_line(r):
    f = [r["prefix"], str(r["n"]), letter(r["phase"]), str(r["date"]), r["submitter"],
         letter(r["sev"]), r["project"], r["group"], r["module"], r["version"], r["expvers"],
         letter(r["status"]), str(r["postpone"]), r["assigned"], r["corrector"], str(r["corrdate"]),
         r["corrvers"], r["verifier"], str(r["verifdate"]), r["verifvers"], letter(r["type"]),
         letter(r["impact"]), r["mda"], r["testref"], str(r["spent"]), str(r["estimate"]),
         r["title"]]
    return "|".join(f) + "\n"


def report_file(r):
    out = index_line(r)
    if r["text"]:
        data = r["text"] + "\n"
        out += "=!=!=!=!=!=!=!=!=!=!=!=\nNotes|%d|alice|%d\n%s" % (r["date"], len(data), data)
    history = "%d Created\n" % r["date"]
    return out + "=-=-=-=-=-=-=-=-=-=-=-=\n%d\n%s" % (len(history), history)


# The reports of the installation, in index order.
REPORTS = [
    report(1, NEW, 1, "Crash on start", type=1, date=when(2005, 1, 10)),
    report(2, OBSERVATION, 2, "Slow menu", group="G2", submitter="bob", module="ui",
           version="1.1", expvers="2.0", assigned="alice", type=2, impact=1, mda="MDA-7",
           date=when(2006, 6, 1)),
    report(3, ANALYSIS, 3, "Crash in menu", phase=1, version="1.1", impact=2,
           text="the needle is here", date=when(2007, 2, 2)),
    report(4, OPEN, 4, "Typo", submitter="carol", module="ui", assigned="carol", impact=3,
           expvers="2.0", date=when(2008, 3, 3)),
    report(5, CORRECTED, 2, "Crash on save", submitter="carol", corrector="bob",
           corrdate=when(2009, 3, 1), corrvers="1.2", expvers="2.0", date=when(2004, 4, 4)),
    report(6, VERIFIED, 1, "Typo", submitter="carol", assigned="alice", corrector="bob",
           corrdate=when(2011, 5, 5), corrvers="1.2", verifier="carol",
           verifdate=when(2011, 6, 1), verifvers="1.3", expvers="2.0", date=when(2003, 5, 5)),
    report(7, DUPLICATE, 3, "Doubled", mda="MDA-9", expvers="2.0", date=when(2002, 6, 6)),
    report(1, NEW, 2, "Beta crash", project="Beta", submitter="dave", assigned="dave",
           expvers="2.0", date=when(2006, 7, 7)),
    report(8, POSTPONE, 2, "Later", expvers="2.0", date=when(2012, 1, 1)),
    report(9, ABANDONED, 4, "Dropped", expvers="2.0", date=when(2012, 2, 2)),
    report(10, NOT_A_BUG, 3, "Fine as is", expvers="2.0", date=when(2012, 3, 3)),
    report(11, NOT_REPRODUCIBLE, 3, "Once only", expvers="2.0", date=when(2012, 4, 4)),
]
BY_NAME = {r["name"]: r for r in REPORTS}


def names(*numbers):
    """Alpha G1 specification reports by number (ALSG1.%05d)."""
    return {"ALSG1.%05d" % n for n in numbers}


A2, A3, B1 = "ALSG2.00002", "ALDG1.00003", "BESB1.00001"
ROW = re.compile(r"<TR><TD WIDTH=10%><A HREF=#(\d{5})>([^<]*)</A> </TD>")


def lang(inst, num):
    text = ""
    with open(inst.path("cfg", "langue.EN"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"(\d+),(.*)", line.rstrip("\r\n"))
            if m and int(m.group(1)) == num:
                text = m.group(2)
    return text


def setup_install(inst, reports=REPORTS, users=None):
    inst.write("cfg/project.cfg", "Alpha:AL:boss:valid\nBeta:BE:boss:valid\n")
    inst.write("cfg/Alpha_subproject.cfg", "G1:G1\nG2:G2\n")
    inst.write("cfg/Beta_subproject.cfg", "G1:B1\n")
    inst.write("cfg/phase.cfg", "specification:S\ndeveloppement:D\n")
    inst.write("cfg/Alpha_program.cfg", "core\nui\n")
    inst.write("cfg/Alpha_version.cfg", "1.0\n1.1\n1.2\n")
    inst.write("cfg/Alpha_deadline.cfg", "1.1\n2.0\n")
    users = users or {
        "Alpha": ["alice :alice@example.org:pw:YES:YES:YES:YES:YES:YES:YES",
                  "bob :bob@example.org:pw:YES:YES:YES:YES:YES:YES:YES",
                  "carol :carol@example.org:pw:YES:YES:YES:YES:YES:YES:YES"],
        "Beta": ["dave :dave@example.org:pw:YES:YES:YES:YES:YES:YES:YES"]}
    for project, lines in users.items():
        inst.write("cfg/%s_users.cfg" % project, "".join(l + "\n" for l in lines))
    inst.write("data/index", "".join(index_line(r) for r in reports))
    for r in reports:
        inst.write("data/" + r["name"], report_file(r))


class SearchTestCase(velkotest.VelkoTestCase):
    def setUp(self):
        super().setUp()
        setup_install(self.inst)

    def find(self, fields, **kw):
        r = self.inst.run(query=urllib.parse.urlencode(fields), **kw)
        self.assertEqual(r.returncode, 0, r)
        return r

    def rows(self, fields):
        """The names of the index table, in order."""
        body = self.find(fields).body
        found = ROW.findall(body)
        self.assertEqual([a for a, _ in found], ["%05d" % i for i in range(len(found))])
        return [n for _, n in found]

    def criteria(self, extra, boxes=ALL_BOXES, resp="all"):
        fields = [("CMD", "find")] + list(boxes) + list(extra)
        if resp is not None and not any(k == "resp" for k, _ in extra):
            fields.append(("resp", resp))
        return set(self.rows(fields))


class CriteriaTest(SearchTestCase):
    def test_each_criterion_alone(self):
        every = set(BY_NAME)
        cases = [
            ([], every),
            ([("submitter", "alice")], every - {A2, "ALSG1.00004", "ALSG1.00005",
                                                 "ALSG1.00006", B1}),
            ([("project", "Beta")], {B1}),
            ([("group", "G2")], {A2}),
            ([("prog", "ui")], {A2, "ALSG1.00004"}),
            ([("version", "1.1")], {A2, A3}),
            ([("exp", "1.1")], names(1) | {A3}),
            ([("corrVers", "1.2")], names(5, 6)),
            ([("verifier", "carol")], names(6)),
            ([("verVers", "1.3")], names(6)),
            ([("resp", "bob")], every - {A2, "ALSG1.00004", "ALSG1.00006", B1}),
            ([("resp", "carol")], names(4)),
            ([("sev", "1")], names(1, 6)),
            ([("sev", "4")], names(4, 9)),
            ([("type", "2")], {A2}),
            ([("type", "1")], names(1)),
            ([("phase", "b")], {A3}),
            ([("impact", "c")], {A3}),
            ([("impact", "a")], every - {A2, A3, "ALSG1.00004"}),
            ([("intitle", "Crash")], names(1, 5) | {A3}),
            ([("intitle", "")], every),
            ([("adType", "1")], {A2, "ALSG1.00007"}),
            ([("adType", "2")], every - {A2, "ALSG1.00007"}),
            ([("adType", "3")], every),
            ([("intext", "needle")], {A3}),
            ([("intext", "")], every),
            ([("ival", "1"), ("between", "31/12/1998:12.00.00"), ("and", "31/12/2010:12.00.00")],
             every - names(8, 9, 10, 11)),
            ([("ival", "2"), ("between", "31/12/1998:12.00.00"), ("and", "31/12/2010:12.00.00")],
             names(5)),
            ([("ival", "3"), ("between", "31/12/1998:12.00.00"), ("and", "31/12/2010:12.00.00")],
             set()),
            ([("ival", "3"), ("between", "31/12/1998:12.00.00"), ("and", "31/12/2012:12.00.00")],
             names(6)),
            ([("ival", "0"), ("between", "x"), ("and", "y")], every),
        ]
        for extra, expected in cases:
            with self.subTest(extra=extra):
                self.assertEqual(self.criteria(extra), expected)

    def test_date_ends_are_included(self):
        d = time.strftime("%d/%m/%Y:%H.%M.%S", time.localtime(when(2007, 2, 2)))
        self.assertEqual(self.criteria([("ival", "1"), ("between", d), ("and", d)]), {A3})

    def test_criteria_together(self):
        self.assertEqual(self.criteria([("submitter", "alice"), ("prog", "core"), ("sev", "3")]),
                         {A3, "ALSG1.00007", "ALSG1.00010", "ALSG1.00011"})
        self.assertEqual(self.criteria([("submitter", "alice"), ("prog", "core"), ("sev", "3"),
                                        ("intext", "needle")]), {A3})
        self.assertEqual(self.criteria([("intitle", "Crash"), ("resp", "bob")],
                                       boxes=[("statN", "X")]), names(1))
        self.assertEqual(self.criteria([("project", "Alpha"), ("group", "G1"), ("exp", "2.0"),
                                        ("ival", "1"), ("between", "01/01/2004:00.00.00"),
                                        ("and", "01/01/2009:00.00.00")]), names(4, 5))

    def test_status_boxes(self):
        for box, status in BOX_STATUS.items():
            with self.subTest(box=box):
                self.assertEqual(self.criteria([], boxes=[(box, "X")]),
                                 {n for n, r in BY_NAME.items() if r["status"] == status})
        # A box counts only when its value begins with X.
        self.assertEqual(self.criteria([], boxes=[("statN", "on"), ("statC", "Xyz")]), names(5))
        self.assertEqual(self.criteria([], boxes=[]), set())

    def test_default_boxes_leave_out_corrected_verified_and_closed(self):
        page = self.inst.run(query="CMD=search&project=Alpha").body
        boxes = re.findall(r'<INPUT TYPE=checkbox NAME="(stat\w)" VALUE="X"( CHECKED)?>', page)
        self.assertEqual(sorted(b for b, c in boxes if c), ["statA", "statN", "statO", "statS"])
        self.assertEqual(sorted(b for b, c in boxes), sorted(BOXES))
        default = [(b, "X") for b in ("statN", "statS", "statA", "statO")]
        self.assertEqual(self.criteria([], boxes=default), names(1, 4) | {A2, A3, B1})

    def test_absent_resp_matches_only_a_blank_assignee(self):
        self.assertEqual(self.criteria([], resp=None), set())

    def test_malformed_criteria_never_fail(self):
        odd = [("ival", "1"), ("between", "31/12/1998"), ("and", "not a date at all")]
        self.assertEqual(self.criteria(odd), set())  # both ends read as 0
        odd = [("ival", "1"), ("between", "junk-junk-junk-junk"), ("and", "31/12/2010:12.00.00")]
        self.assertEqual(self.criteria(odd), set(BY_NAME) - names(8, 9, 10, 11))
        for extra in ([("sev", "")], [("phase", "")], [("type", "")], [("impact", "")]):
            self.assertEqual(self.criteria(extra), set(), extra)
        for q in ("CMD=find&sort=%FF&ival=999999999999&sev=%00", "CMD=find&find=",
                  "CMD=find&between=&and=&ival=-1&aff_versSel=&adType=",
                  "CMD=find&" + "&".join("statN=X" for _ in range(500)),
                  "CMD=find&intext=" + "x" * 3000, "Num=", "Numero=%00"):
            r = self.inst.run(query=q)
            self.assertEqual(r.returncode, 0, q)
            self.assertIn("</BODY>", r.body, q)

    def test_missing_index_lists_nothing(self):
        os.unlink(self.inst.path("data", "index"))
        body = self.find([("CMD", "find"), ("resp", "all")] + ALL_BOXES).body
        self.assertIn("<H2>" + lang(self.inst, 2111).replace("%s", "0") + "</H2>", body)
        self.assertEqual(ROW.findall(body), [])


class NamesTest(SearchTestCase):
    def test_find_with_two_names_ignores_the_criteria(self):
        rows = self.rows([("find", "ALSG1.00005 " + B1), ("statN", "X"),
                          ("submitter", "nobody"), ("resp", "x")])
        self.assertEqual(rows, ["ALSG1.00005", B1])  # sorted by name

    def test_num_and_numero_alone(self):
        self.assertEqual(self.rows([("Num", "ALSG1.00004")]), ["ALSG1.00004"])
        self.assertEqual(self.rows([("Numero", A3 + "," + "ALSG1.00001")]), [A3, "ALSG1.00001"])
        # With a command, Num names the reports of the search.
        self.assertEqual(self.rows([("CMD", "find"), ("Num", A3)]), [A3])

    def test_names_are_matched_as_substrings_of_the_value(self):
        # "ALSG1.000011" holds ALSG1.00001; a name never opens a file itself.
        self.assertEqual(self.rows([("find", "xALSG1.000011")]), ["ALSG1.00001"])
        self.assertEqual(self.rows([("find", "../index")]), [])
        self.assertEqual(self.rows([("find", "ALSG1.0001")]), [])

    def test_quick_search_form(self):
        body = self.inst.run(query="CMD=search").body
        self.assertIn('<FORM METHOD=GET ACTION="/cgi-bin/velko">\n%s : <INPUT SIZE=20 NAME="find">\n'
                      % lang(self.inst, 2005), body)
        self.assertIn("<H1>%s</H1>\n" % lang(self.inst, 2004), body)
        self.assertIn("<TITLE>%s</TITLE>" % lang(self.inst, 2003), body)


class SortTest(SearchTestCase):
    def listed(self, sort):
        return self.rows([("CMD", "find"), ("resp", "all"), ("sort", sort)] + ALL_BOXES)

    def expected(self, key):
        # The list order is the reverse of the index; the sort is stable.
        return [r["name"] for r in sorted(reversed(REPORTS), key=key)]

    def test_each_order(self):
        enc = lambda s: s.encode()
        self.assertEqual(self.listed("0"),
                         self.expected(lambda r: (r["status"], r["sev"], enc(r["name"]))))
        self.assertEqual(self.listed("2"), self.expected(lambda r: (enc(r["assigned"]),
                                                                    enc(r["name"]))))
        self.assertEqual(self.listed("3"),
                         self.expected(lambda r: (r["impact"], r["sev"], enc(r["name"]))))
        by_name = sorted(BY_NAME, key=enc)
        for other in ("1", "5", "x", ""):
            self.assertEqual(self.listed(other), by_name, other)
        self.assertEqual(self.rows([("CMD", "find"), ("resp", "all")] + ALL_BOXES), by_name)

    def test_title_order_keeps_equal_titles_in_reverse_index_order(self):
        rows = self.listed("4")
        self.assertEqual(rows, self.expected(lambda r: enc_title(r)))
        # ALSG1.00006 comes after ALSG1.00004 in the index: it is listed first.
        self.assertLess(rows.index("ALSG1.00006"), rows.index("ALSG1.00004"))


def enc_title(r):
    return r["title"].encode()


class IndexTableTest(SearchTestCase):
    def page(self, extra=()):
        return self.find([("CMD", "find"), ("resp", "all"), ("statN", "X"), ("statC", "X")]
                         + list(extra)).body

    def test_rows_and_optional_columns(self):
        body = self.page()
        self.assertIn("<TR><TD WIDTH=10%><A HREF=#00000>ALSG1.00001</A> </TD>"
                      "<TD WIDTH=5% ALIGN=CENTER>1</TD>\n<TD WIDTH=5% ALIGN=CENTER>N</TD>\n"
                      "<TD WIDTH=10%> bob </TD>\n<TD WIDTH=70%> Crash on start</TD></TR>\n", body)
        body = self.page([("aff_mdapda", "AM"), ("aff_vers", "AV"), ("aff_versSel", "3")])
        self.assertIn("<TR><TD WIDTH=10%><A HREF=#00001>ALSG1.00005</A> </TD>"
                      "<TD WIDTH=5% ALIGN=CENTER>2</TD>\n<TD WIDTH=5% ALIGN=CENTER>C</TD>\n"
                      "<TD WIDTH=10%>  </TD><TD WIDTH=10%> 1.2 </TD>"
                      "<TD WIDTH=10%> bob </TD>\n<TD WIDTH=70%> Crash on save</TD></TR>\n", body)
        for sel, value in (("1", "1.0"), ("2", "2.0"), ("3", "1.2"), ("4", ""), ("9", "")):
            body = self.page([("aff_vers", "AV"), ("aff_versSel", sel)])
            self.assertIn("<TD WIDTH=5% ALIGN=CENTER>C</TD>\n<TD WIDTH=10%> " + value + " </TD>"
                          "<TD WIDTH=10%> bob </TD>\n", body, sel)
        body = self.page([("aff_mdapda", "AM")])
        self.assertIn("<TD WIDTH=5% ALIGN=CENTER>N</TD>\n<TD WIDTH=10%>  </TD>"
                      "<TD WIDTH=10%> bob </TD>\n", body)

    def test_heading_count_and_print_link(self):
        query = "CMD=find&resp=all&statN=X&statC=X"
        body = self.inst.run(query=query).body
        count = lang(self.inst, 2111).replace("%s", "3")
        self.assertIn("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100%>\n<TR><TD>\n<H2>"
                      + count + "</H2>\n</TD><TD ALIGN=RIGHT WIDTH=35>\n"
                      "<A HREF=/cgi-bin/velko?Print=yes&" + query + ">\n"
                      "<IMG SRC=/velko/images//print.gif BORDER=0 VALIGN=CENTER></A>"
                      "</TD></TR></TABLE>\n<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0>\n", body)
        self.assertIn("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n", body)
        self.assertIn("<BIG>%s</BIG>\n" % lang(self.inst, 2113), body)
        self.assertIn('<A HREF="?">\n<IMG SRC="/velko/images//home.gif" BORDER=0 VALIGN=CENTER>'
                      "</A>\n", body)
        self.assertIn("</TABLE>\n<HR>\n<H2>%s </H2>\n" % lang(self.inst, 2112), body)
        self.assertTrue(body.rstrip().endswith("</BODY>"), body[-300:])

    def test_anchors_lead_to_the_reports_below(self):
        body = self.page()
        links = ROW.findall(body)
        self.assertEqual(links[:2], [("00000", "ALSG1.00001"), ("00001", "ALSG1.00005")])
        # Each anchor of the full list is followed by that report's action bar.
        for anchor, name in links:
            at = body.index("<a name=%s>" % anchor)
            self.assertIn("Num=%s&" % name, body[at:at + 400], anchor)
        self.assertLess(body.index("<a name=00000>"), body.index("<a name=00001>"))

    def test_action_links_lead_back_to_the_list(self):
        query = "CMD=find&resp=all&statN=X"
        body = self.inst.run(query=query).body
        self.assertIn("QS=" + "".join(c if c.isalnum() else "%%%02X" % ord(c) for c in query),
                      body)


class CriteriaSummaryTest(SearchTestCase):
    def test_summary_lines_in_order(self):
        fields = [("CMD", "find"), ("aff_crit", "AC"), ("project", "Alpha"), ("group", "G1"),
                  ("submitter", "alice"), ("sev", "3"), ("phase", "b"), ("prog", "core"),
                  ("version", "1.1"), ("exp", "1.1"), ("resp", "bob"), ("corrVers", "c"),
                  ("verifier", "v"), ("verVers", "w"), ("impact", "c"), ("type", "0"),
                  ("adType", "2"), ("intext", "needle"), ("intitle", "Crash"), ("ival", "2"),
                  ("between", "01/01/2000:00.00.00"), ("and", "02/02/2002:00.00.00"),
                  ("statS", "X"), ("statN", "X"), ("statT", "X")]
        body = self.find(fields).body
        t = lambda n: lang(self.inst, n)
        expected = ("<H2>%s</H2>" % t(2102)
                    + "".join("%s = %s<br>\n" % (t(n), v) for n, v in (
                        (100, "Alpha"), (101, "G1"), (113, "alice"), (109, "3"), (102, "b"),
                        (108, "core"), (2103, "1.1"), (111, "1.1"), (117, "bob"), (2104, "c"),
                        (118, "v"), (2105, "w"), (104, "c"), (112, "0"), (115, "2")))
                    + "%s : 'needle'<br>\n%s : 'Crash'<br>\n" % (t(2009), t(2010))
                    + "%s 01/01/2000:00.00.00 %s 02/02/2002:00.00.00 <BR>\n" % (t(2108), t(2110))
                    + "Status = %s %s %s \n<BR>\n<HR>" % (t(200), t(201), t(210)))
        self.assertIn(expected, body)

    def test_resp_all_and_absent_values_are_not_shown(self):
        body = self.find([("CMD", "find"), ("aff_crit", "AC"), ("resp", "all"), ("intext", ""),
                          ("intitle", ""), ("group", " "), ("ival", "0")]).body
        self.assertIn("<H2>%s</H2>Status = \n<BR>\n<HR>" % lang(self.inst, 2102), body)

    def test_values_are_escaped_everywhere(self):
        evil = '<b>"x"&'
        rows = [report(1, NEW, 1, "A <script>alert(1)</script> & co", assigned="<i>bob",
                       mda="<m>", version="<v>")]
        setup_install(self.inst, rows)
        fields = [("CMD", "find"), ("aff_crit", "AC"), ("submitter", evil), ("intitle", evil),
                  ("intext", evil), ("resp", "all"), ("statN", "X")]
        body = self.find(fields).body
        self.assertNotIn("<b>", body)
        self.assertIn("= &lt;b&gt;&quot;x&quot;&amp;<br>", body)
        self.assertIn(" : '&lt;b&gt;&quot;x&quot;&amp;'<br>", body)
        body = self.find([("find", "ALSG1.00001"), ("aff_mdapda", "AM"), ("aff_vers", "AV"),
                          ("aff_versSel", "1")]).body
        self.assertNotIn("<script>", body)
        self.assertNotIn("<i>", body)
        self.assertIn("<TD WIDTH=10%> &lt;m&gt; </TD><TD WIDTH=10%> &lt;v&gt; </TD>"
                      "<TD WIDTH=10%> &lt;i&gt;bob </TD>\n"
                      "<TD WIDTH=70%> A &lt;script&gt;alert(1)&lt;/script&gt; &amp; co</TD>",
                      body)
        # A crafted query cannot leave the print link's attribute.
        r = self.inst.run(query='find=ALSG1.00001&x="><script>y</script>&z=a b')
        self.assertNotIn("<script>", r.body)
        self.assertIn("Print=yes&find=ALSG1.00001&x=%22%3E%3Cscript%3Ey%3C/script%3E&z=a%20b>",
                      r.body)
        r = self.find([("find", "ALSG1.00001"), ("Print", "yes")])
        self.assertNotIn("<script>", r.body)
        self.assertIn("A &lt;script&gt;", r.body)


class PrintoutTest(SearchTestCase):
    def setUp(self):
        super().setUp()
        self.out = self.inst.path("printed")
        os.makedirs(self.out)
        self.inst.write_main_cfg(self.inst.read("config/velko.cfg")
                                 + "PRINT cp -t %s\n" % self.out)

    def test_column_widths_and_print_command(self):
        fields = [("CMD", "find"), ("resp", "all"), ("statN", "X"), ("statS", "X"),
                  ("Print", "yes"), ("aff_mdapda", "AM"), ("aff_vers", "AV"),
                  ("aff_versSel", "2")]
        r = self.find(fields)
        # name 11 + 2; severity and status 3; MDA/PDA, version and assignee
        # each the longest value + 2.
        text = ("Index of the 3 reports \n\n"
                "ALSG1.00001  1  N  " + " " * 7 + "1.1  bob    Crash on start\n"
                "ALSG2.00002  2  Obs" + "MDA-7  2.0  alice  Slow menu\n"
                "BESB1.00001  2  N  " + " " * 7 + "2.0  dave   Beta crash\n")
        self.assertIn("<PRE>\n" + text, r.body)
        m = re.search(r"<! -cp -t %s (\S+)- >\n" % re.escape(self.out), r.body)
        self.assertTrue(m, r.body[-500:])
        tmp = m.group(1)
        self.assertTrue(re.fullmatch(re.escape(self.inst.data) + r"tmp/velko\.\d+\.prt", tmp), tmp)
        with open(os.path.join(self.out, os.path.basename(tmp))) as f:
            self.assertEqual(f.read(), text)
        leftover = [f for f in os.listdir(self.inst.path("data", "tmp")) if f.endswith(".prt")]
        self.assertEqual(leftover, [])  # deleted after
        self.assertNotIn("<A HREF=#", r.body)

    def test_without_optional_columns(self):
        r = self.find([("find", "ALSG1.00004 ALSG1.00001"), ("Print", "y")])
        self.assertIn("<PRE>\nIndex of the 2 reports \n\n"
                      "ALSG1.00001  1  N  bob    Crash on start\n"
                      "ALSG1.00004  4  O  carol  Typo\n", r.body)

    def test_printer_output_stays_out_of_the_page(self):
        self.inst.write_main_cfg(self.inst.read("config/velko.cfg") + "PRINT echo PRINTED\n")
        r = self.find([("find", "ALSG1.00001"), ("Print", "y")])
        self.assertNotIn("PRINTED", r.body.replace("<! -echo PRINTED", ""))
        self.assertIn("PRINTED", r.stderr)


class DownloadTest(SearchTestCase):
    def test_title_line_and_rows(self):
        r = self.find([("CMD", "find"), ("resp", "all"), ("statC", "X"), ("statV", "X"),
                       ("intext", ""), ("excel", "X")])
        self.assertEqual(r.header, "Content-type: application/octet-stream\n"
                                   "Content-Disposition: attachment; filename=bugs.dat\n\n")
        lines = r.body_bytes.decode().split("\n")
        titles = [lang(self.inst, n) for n in range(2400, 2428)]
        self.assertEqual(lines[0], "\t".join(titles))
        self.assertEqual(len(titles), 28)
        severity = [lang(self.inst, 214 + i) for i in range(5)]
        statuses = [lang(self.inst, 200 + i) for i in range(11)]
        types = [lang(self.inst, 220 + i) for i in range(3)]
        impacts = [l.split()[0] for l in self.inst.read("cfg/impacts.cfg").splitlines()
                   if l.strip() and not l.startswith("#")]
        expected = []
        for n in (5, 6):
            x = BY_NAME["ALSG1.%05d" % n]
            expected.append("\t".join([
                "AL", x["prefix"], "%05d" % x["n"], PHASES[x["phase"]], time2char(x["date"]),
                x["submitter"], severity[x["sev"]], x["project"], x["group"], x["module"],
                x["version"], x["expvers"], statuses[x["status"]], time2char(x["postpone"]),
                x["assigned"], x["corrector"], time2char(x["corrdate"]), x["corrvers"],
                x["verifier"], time2char(x["verifdate"]), x["verifvers"], types[x["type"]],
                impacts[x["impact"]], x["mda"], x["testref"], str(x["spent"]),
                str(x["estimate"]), x["title"]]))
        self.assertEqual(lines[1:], expected + [""])
        for row in lines[1:3]:
            self.assertEqual(len(row.split("\t")), 28)

    def test_unreadable_report_is_skipped_and_criteria_come_first(self):
        os.unlink(self.inst.path("data", "ALSG1.00005"))
        r = self.find([("find", "ALSG1.00005 ALSG1.00006"), ("excel", "X"), ("aff_crit", "AC")])
        body = r.body_bytes.decode()
        self.assertTrue(body.startswith("<H2>%s</H2>" % lang(self.inst, 2102)), body[:200])
        rows = body.split("\n<BR>\n<HR>", 1)[1].split("\n")
        self.assertEqual(len(rows), 3)  # the title line, one report, the end
        self.assertTrue(rows[1].startswith("AL\tG1\t00006\t"), rows[1])
        self.assertNotIn("<!Access", body)


class SearchPageTest(SearchTestCase):
    def test_form_fields(self):
        body = self.inst.run(query="CMD=search&project=Alpha").body
        t = lambda n: lang(self.inst, n)
        self.assertIn("<P><H3>%s:</H3>\n" % t(2007), body)
        self.assertIn('<INPUT TYPE=hidden name=CMD Value="find">'
                      '<INPUT TYPE=hidden name=project Value="Alpha">', body)
        self.assertNotIn("name=Uid", body)  # security is off
        self.assertIn('<OPTION VALUE="/cgi-bin/velko?CMD=search"> \n', body)
        self.assertIn('<OPTION VALUE="/cgi-bin/velko?CMD=search&project=Alpha" SELECTED> Alpha\n',
                      body)
        self.assertIn('<OPTION VALUE="/cgi-bin/velko?CMD=search&project=Beta"> Beta\n', body)
        self.assertIn('<SELECT NAME="resp">\n<OPTION SELECTED>all\n<OPTION> alice\n<OPTION> bob\n'
                      "<OPTION> carol\n</SELECT>", body)
        self.assertNotIn("dave", body)  # users of the chosen project only
        self.assertIn("<OPTION> core\n<OPTION> ui\n", body)
        self.assertIn("</SELECT>%s &nbsp;\n" % t(2008), body)
        self.assertIn('VALUE="31/12/1998:12.00.00"', body)
        self.assertIn('VALUE="31/12/2010:12.00.00"', body)
        self.assertIn('<INPUT TYPE=checkbox NAME="ALL" onclick="javascript:checkChange();">', body)
        self.assertIn("function checkChange()", body)
        self.assertIn("function changePage(page,menu)", body)
        self.assertIn("<P><H3>%s:</H3>\n" % t(2028), body)
        for name, value in (("aff_vers", "AV"), ("aff_crit", "AC"), ("aff_mdapda", "AM"),
                            ("excel", "X")):
            self.assertIn('<INPUT TYPE=checkbox NAME="%s" VALUE="%s">' % (name, value), body)
        for name in ("group", "phase", "submitter", "verifier", "prog", "version", "impact",
                     "sev", "exp", "type", "corrVers", "verVers", "adType", "ival", "sort",
                     "aff_versSel"):
            self.assertIn('<SELECT NAME="%s">' % name, body)
        # The criteria form is the second form of the page, as checkChange expects.
        self.assertEqual(body.count("<FORM"), 2)

    def test_blank_choices_are_sent_as_absent(self):
        # Each blank option sends a blank, which the selection reads as absent.
        body = self.inst.run(query="CMD=search&project=Alpha").body
        for name in ("group", "phase", "submitter", "prog", "sev", "type", "adType"):
            m = re.search(r'<SELECT NAME="%s">\n<OPTION SELECTED VALUE=" "> \n' % name, body)
            self.assertTrue(m, name)
        fields = [("CMD", "find"), ("project", "Alpha")] + [(n, " ") for n in (
            "group", "phase", "submitter", "verifier", "prog", "version", "impact", "sev", "exp",
            "type", "corrVers", "verVers", "adType")] + [
            ("resp", "all"), ("ival", "0"), ("between", "31/12/1998:12.00.00"),
            ("and", "31/12/2010:12.00.00"), ("intext", ""), ("intitle", ""), ("sort", "0")]
        listed = set(self.rows(fields + ALL_BOXES))
        self.assertEqual(listed, set(BY_NAME) - {B1})

    def test_remembered_project_and_group(self):
        self.inst.write("cfg/userinfo.dat", "127.0.0.1:carol:Alpha:G2:0\n")
        body = self.inst.run(query="CMD=search").body
        self.assertIn('<INPUT TYPE=hidden name=project Value="Alpha">', body)
        self.assertIn("<OPTION> G1<OPTION SELECTED> G2", body)


def hidden_fields(body):
    return re.findall(r'<INPUT TYPE=hidden NAME="([^"]*)" VALUE="([^"]*)">', body)


class RightsTest(velkotest.VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        setup_install(self.inst, users={
            "Alpha": ["alice :alice@example.org:pw:YES:YES:YES:YES:YES:YES:YES",
                      "bob :bob@example.org:pw:YES:YES:YES:N:YES:YES:YES",
                      "carol :carol@example.org:pw:YES:YES:YES:YES:YES:YES:N",
                      "dave :dave@example.org:pw:YES:YES:YES:YES:YES:N:YES"],
            "Beta": ["erin :erin@example.org:pw:YES:YES:YES:YES:YES:YES:YES"]})

    def uid(self, user):
        r = self.inst.run(post=urllib.parse.urlencode(
            [("Login", "2"), ("User", user), ("Passwd", "pw")]))
        fields = dict(hidden_fields(r.body))
        self.assertIn("Uid", fields, r.body)
        return fields["Uid"]

    def listed(self, uid, extra=()):
        fields = [("CMD", "find"), ("resp", "all"), ("intext", "")] + ALL_BOXES + list(extra)
        if uid is not None:
            fields.append(("Uid", uid))
        body = self.inst.run(query=urllib.parse.urlencode(fields)).body
        return {n for _, n in ROW.findall(body)}

    def test_rights_filter(self):
        every = set(BY_NAME)
        open_ones = {n for n, r in BY_NAME.items()
                     if r["status"] in (NEW, OBSERVATION, ANALYSIS, OPEN, POSTPONE)}
        self.assertEqual(self.listed(self.uid("alice")), every)
        bob = self.uid("bob")
        self.assertEqual(self.listed(bob), every - {B1})  # his session's project only
        self.assertEqual(self.listed(self.uid("carol")), every - open_ones)
        self.assertEqual(self.listed(self.uid("dave")), open_ones)
        self.assertEqual(self.listed(self.uid("erin")), every)
        # Names given by find are filtered too.
        body = self.inst.run(query=urllib.parse.urlencode(
            [("find", "ALSG1.00001 " + B1), ("Uid", bob)])).body
        self.assertEqual([n for _, n in ROW.findall(body)], ["ALSG1.00001"])

    def test_without_a_valid_session_nothing_is_listed(self):
        uid = self.uid("alice")
        forged = uid[:-4] + ("0000" if not uid.endswith("0000") else "1111")
        for u in (None, forged, "cnkeg#Cnrjc#1#" + "0" * 64):
            body = self.inst.run(query=urllib.parse.urlencode(
                [("CMD", "find"), ("resp", "all"), ("statN", "X")] + ([("Uid", u)] if u else []))
            ).body
            self.assertEqual(ROW.findall(body), [], u)
            self.assertIn("document.location", body)  # sent to the login

    def test_search_page_carries_the_session(self):
        uid = self.uid("alice")
        body = self.inst.run(query=urllib.parse.urlencode([("CMD", "search"), ("Uid", uid)])).body
        self.assertEqual(body.count('<INPUT TYPE=hidden name=Uid Value="%s">' % uid), 2)
        self.assertIn("CMD=search&project=Alpha&Uid=" + urllib.parse.quote(uid, safe=""), body)
