"""The report page (a report opened by its name) and its printout (CMD=Print)."""
import os
import re
import time
import unittest
import urllib.parse

import velkotest
from test_login import lang_text

ANALYSIS_SEP = "=!=!=!=!=!=!=!=!=!=!=!="
ATTACH_SEP = "=|=|=|=|=|=|=|=|=|=|=|="
HISTORY_SEP = "=-=-=-=-=-=-=-=-=-=-=-="
STATUS_LETTER = {"NEW": "a", "OPEN": "d", "CORRECTED": "e", "VERIFIED": "f", "POSTPONE": "j"}
D0, D1, D2, D3, D4 = 1079359509, 1079400000, 1079500000, 1079600000, 1100000000


def t2c(when):
    return time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(when))


def write_report(inst, number, status, entries=(), testref="", title="Crash at start",
                 history="2004/03/15:14.05.09 Submitted by admin\n"):
    """A report of project TEST, group "phase 1", phase specification:
    TS10.<number>. `entries` are (separator, title, date, submitter, text)."""
    fields = ["10", str(number), "a", str(D0), "admin", "c", "TEST", "phase 1", "general",
              "v1", "v2", STATUS_LETTER[status], str(D4), "bob", "carol", str(D1), "v1.1",
              "dave", str(D2), "v1.2", "c", "d", "MDA-9", testref, "4", "5", title]
    text = "|".join(fields) + "\n"
    for sep, etitle, date, who, body in entries:
        text += "%s\n%s|%d|%s|%d\n%s" % (sep, etitle, date, who, len(body.encode()), body)
    text += "%s\n%d\n%s" % (HISTORY_SEP, len(history.encode()), history)
    name = "TS10.%05d" % number
    inst.write("data/" + name, text)
    with open(inst.path("data", "index"), "a") as f:
        f.write(text.split("\n", 1)[0] + "\n")
    return name


class PrintoutTest(velkotest.VelkoTestCase):
    def printout(self, name):
        r = self.inst.run(query="CMD=Print&Num=" + urllib.parse.quote(name))
        self.assertIn("<TITLE>%s</TITLE>" % lang_text(self.inst, 156), r.body)
        pre = r.body.split("<PRE>", 1)
        self.assertEqual(len(pre), 2, r.body)
        text, comment = pre[1].rsplit("<! -", 1)
        return text, comment, r

    def grid(self, text):
        """The grid's lines: from the top to the first line of the entries."""
        out = []
        for line in text.split("\n"):
            if not line or line[0] not in "+|":
                break
            out.append(line)
        return out

    def test_open_report_rows_widths_and_spanning_title(self):
        name = write_report(self.inst, 1, "OPEN",
                            [(ANALYSIS_SEP, "Description", D3, "admin", "abc\n")])
        text, _, _ = self.printout(name)
        grid = self.grid(text)
        # Rows 0 to 4, each between separator lines; rows 5 to 7 left out.
        self.assertEqual(len(grid), 11, text)
        width = len(grid[0])
        self.assertGreaterEqual(width, 83)
        for i, line in enumerate(grid):
            self.assertEqual(len(line), width, line)
            if i % 2 == 0:
                self.assertRegex(line, r"^\+(-+\+){4}$")
            else:
                self.assertTrue(line.startswith("|") and line.endswith("|"), line)
        self.assertEqual(grid[0], grid[2])
        self.assertTrue(grid[1].startswith("|%s " % name))
        self.assertIn("|%s " % t2c(D0), grid[1])
        self.assertIn("|%s : %s " % (lang_text(self.inst, 113), "admin"), grid[1])
        title = grid[3]
        self.assertTrue(title.startswith("|%s : Crash at start " % lang_text(self.inst, 106)))
        self.assertEqual(title.count("|"), 2)  # one cell across the whole grid
        self.assertIn("|%s : MDA-9" % lang_text(self.inst, 122), grid[9])
        self.assertIn("|%s : 5" % lang_text(self.inst, 124), grid[9])
        for absent in (125, 127):
            self.assertNotIn(lang_text(self.inst, absent), text)
        # The analysis: title, date, submitter; its text; a line of W - 3 dashes.
        rest = "\n".join(text.split("\n")[len(grid):])
        self.assertTrue(rest.startswith(
            "Description      %s     admin\nabc\n\n+%s+\n" % (t2c(D3), "-" * (width - 5))), rest)
        self.assertIn("2004/03/15:14.05.09 Submitted by admin\n", rest)

    def test_status_rows(self):
        cases = {"NEW": (5, []), "POSTPONE": (6, [125]), "CORRECTED": (6, [127]),
                 "VERIFIED": (7, [127])}
        for n, (status, (rows, labels)) in enumerate(sorted(cases.items()), 1):
            name = write_report(self.inst, n, status)
            grid = self.grid(self.printout(name)[0])
            self.assertEqual(len(grid), 2 * rows + 1, status)
            self.assertEqual(len(set(len(l) for l in grid)), 1, status)
            joined = "\n".join(grid)
            for label in labels:
                self.assertIn(lang_text(self.inst, label), joined, status)
            if status == "POSTPONE":
                self.assertIn("|%s : %s " % (lang_text(self.inst, 125), t2c(D4)), joined)
            if status in ("CORRECTED", "VERIFIED"):
                corr = lang_text(self.inst, 126).replace("%s", "carol", 1) \
                    .replace("%s", t2c(D1), 1).replace("%s", "v1.1", 1)
                row = [l for l in grid if l.startswith("|" + corr)]
                self.assertEqual(len(row), 1, joined)
                self.assertRegex(row[0], r"\|%s : 4 *\|$" % re.escape(lang_text(self.inst, 127)))
                self.assertEqual(row[0].count("|"), 3)  # cells 1 and 2 are spanned
            if status == "VERIFIED":
                ver = lang_text(self.inst, 128).replace("%s", "dave", 1) \
                    .replace("%s", t2c(D2), 1).replace("%s", "v1.2", 1)
                self.assertIn("\n|%s " % ver, joined)

    def test_print_command_gets_only_the_file_which_is_deleted(self):
        name = write_report(self.inst, 1, "NEW", [
            (ATTACH_SEP, "File_1", D3, "admin", self.inst.data + "TRACE_TS10.00001/File_1_x\n")],
            title="<b>bold</b> & co")
        script = self.inst.path("print.sh")
        self.inst.write("print.sh", 'cp "$1" "%s/printed"; echo $# > "%s/argc"; echo noise\n'
                        % (self.inst.root, self.inst.root))
        cfg = self.inst.read("config/velko.cfg").replace("PRINT cat\n", "PRINT sh %s\n" % script)
        self.inst.write_main_cfg(cfg)
        text, comment, r = self.printout(name)
        printed = self.inst.read("printed")
        self.assertEqual(self.inst.read("argc"), "1\n")
        self.assertEqual(text, printed.replace("&", "&amp;").replace("<", "&lt;")
                         .replace(">", "&gt;").replace('"', "&quot;"))
        self.assertIn("<b>bold</b> & co", printed)
        self.assertIn(self.inst.data + "TRACE_TS10.00001/File_1_x\n", printed)
        m = re.fullmatch(r"sh %s (\S+)- >\n" % re.escape(script), comment)
        self.assertTrue(m, comment)
        self.assertTrue(re.fullmatch(re.escape(self.inst.data) + r"/tmp/velko\.\d+\.prt",
                                     m.group(1)), m.group(1))
        self.assertEqual(os.listdir(self.inst.path("data", "tmp")), ["velko.log"])
        self.assertNotIn("noise", r.body)

    def test_unknown_or_hostile_names(self):
        write_report(self.inst, 1, "NEW")
        self.inst.write("secret.00001", "x")
        for name in ("TS10.00009", "../index", "../secret.00001", "TS10.00001/..",
                     "x;touch pwned.00001", "<b>.1"):
            r = self.inst.run(query="CMD=Print&Num=" + urllib.parse.quote(name))
            self.assertIn("<FONT COLOR=RED>%s %s <BR></FONT>\n"
                          % (lang_text(self.inst, 504),
                             name.replace("<", "&lt;").replace(">", "&gt;")), r.body)
            self.assertNotIn("<PRE>", r.body)
        self.assertFalse(os.path.exists(self.inst.path("pwned.00001")))
        self.assertEqual(os.listdir(self.inst.path("data", "tmp")), ["velko.log"])


class ReportPageTest(velkotest.VelkoTestCase):
    """Reports opened by their name (Num alone), as links of the pages do."""

    def page(self, name):
        r = self.inst.run(query="Num=" + urllib.parse.quote(name))
        if "is not available yet" in r.body:
            self.skipTest("finding a report by its name is not built yet")
        return r.body

    def field_rows(self, body):
        start = body.index("<TABLE BORDER=1 WIDTH=100%><TR>")
        return body[start:body.index("</TABLE>\n", start)].count("<TR>")

    def test_field_table_rows_by_status(self):
        for n, (status, rows) in enumerate(
                [("NEW", 5), ("POSTPONE", 6), ("CORRECTED", 6), ("VERIFIED", 7)], 1):
            body = self.page(write_report(self.inst, n, status))
            self.assertEqual(self.field_rows(body), rows, status)
        body = self.page("TS10.00004")
        self.assertIn("<TR><TD COLSPAN=3>%s</TD>\n<TD>%s : 4</TD></TR>\n" % (
            lang_text(self.inst, 126).replace("%s", "carol", 1).replace("%s", t2c(D1), 1)
            .replace("%s", "v1.1", 1), lang_text(self.inst, 127)), body)
        self.assertIn("<TD>%s : MDA-9</TD>\n" % lang_text(self.inst, 112), body)

    def test_entries_links_and_anchor(self):
        name = write_report(self.inst, 3, "OPEN", [
            (ANALYSIS_SEP, "Description", D1, "admin", "one\n"),
            (ATTACH_SEP, "File_1", D2, "bob", self.inst.data + "TRACE_TS10.00003/File_1_a.log\n"),
            (ANALYSIS_SEP, "More", D3, "carol", "two <b>\n"),
        ], testref="REF-1")
        body = self.page(name)
        self.assertIn("<a name=00000>\n", body)
        self.assertNotIn("<a name=00001>", body)
        self.assertIn('<TR><TD><B><A HREF="/cgi-bin/velko?CMD=FILE&title=%sTRACE_TS10.00003/'
                      'File_1_a.log">File_1</A></B></TD>\n<TD>%s</TD>\n<TD>bob</TD></TR>\n'
                      % (self.inst.data, t2c(D2)), body)
        self.assertIn("<A HREF=/cgi-bin/velko?CMD=Edit&Num=%s&Edit=0>Description</A>" % name, body)
        self.assertIn("<A HREF=/cgi-bin/velko?CMD=Edit&Num=%s&Edit=2>More</A>" % name, body)
        self.assertIn("<TR><TD COLSPAN=3>two&nbsp;\n&lt;\nb><BR>\n</FONT></TD>", body)
        self.assertIn("<TD COLSPAN=4>%s: REF-1</TD></TR>\n" % lang_text(self.inst, 129), body)
        self.assertIn("<TR><TD><PRE>2004/03/15:14.05.09 Submitted by admin\n</PRE></TD></TR>\n"
                      "</TABLE><P>\n", body)

    def test_hostile_name_reads_nothing_outside(self):
        write_report(self.inst, 1, "NEW")
        self.inst.write("secret.00001", "SECRET|1|a|0|x|b|SECRET|g|m|v|e|a|0|||0|||0||a|a|||0|0|t\n")
        for name in ("../secret.00001", "../index", "<script>.1"):
            body = self.page(name)
            self.assertNotIn("SECRET", body)
            self.assertNotIn("<script>", body)
            self.assertNotIn("<a name=", body)

if __name__ == "__main__":
    unittest.main()
