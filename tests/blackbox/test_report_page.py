"""The report page (a report opened by its name) and its printout (CMD=Print)."""
import os
import re
import unittest
import urllib.parse

from velkotest import SEP_ANALYSE, SEP_ATTACH, STATUS, VelkoTestCase, time2char

D0, D1, D2, D3, D4 = 1079359509, 1079400000, 1079500000, 1079600000, 1100000000


def write_report(inst, number, status, entries=(), **kw):
    """Report TS10.<number> with every field filled. `entries` are
    (separator, title, date, submitter, text)."""
    return inst.put_report(
        entries=entries, history="2004/03/15:14.05.09 Submitted by admin\n", number=number,
        status=STATUS[status], date=D0, module="general", postponeDate=D4, assignedTo="bob",
        corrector="carol", correctDate=D1, correctVersion="v1.1", verifiedBy="dave",
        verifyDate=D2, verifyVersion="v1.2", impact="d", mdaPda="MDA-9", timeSpent=4, **kw)


class ReportTest(VelkoTestCase):
    def printout(self, name):
        r = self.inst.run(query="CMD=Print&Num=" + urllib.parse.quote(name))
        self.assertIn("<TITLE>%s</TITLE>" % self.inst.lang(156), r.body)
        pre = r.body.split("<PRE>", 1)
        self.assertEqual(len(pre), 2, r.body)
        text, comment = pre[1].rsplit("<! -", 1)
        grid = []  # the grid's lines: from the top to the first line of the entries
        for line in text.split("\n"):
            if not line or line[0] not in "+|":
                break
            grid.append(line)
        return text, grid, comment, r

    def field(self, num, *values):
        text = self.inst.lang(num)
        for v in values:
            text = text.replace("%s", v, 1)
        return text

    def test_open_report_printout(self):
        name = write_report(self.inst, 1, "OPEN", [(SEP_ANALYSE, "Description", D3, "admin", "abc\n")])
        text, grid, _, _ = self.printout(name)
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
        self.assertIns(grid[1], "|%s " % time2char(D0), "|%s : %s " % (self.inst.lang(113), "admin"))
        self.assertTrue(grid[3].startswith("|%s : Crash at start " % self.inst.lang(106)))
        self.assertEqual(grid[3].count("|"), 2)  # one cell across the whole grid
        self.assertIns(grid[9], "|%s : MDA-9" % self.inst.lang(122), "|%s : 5" % self.inst.lang(124))
        self.assertIns(text, absent=[self.inst.lang(125), self.inst.lang(127)])
        # The analysis: title, date, submitter; its text; a line of W - 3 dashes.
        rest = "\n".join(text.split("\n")[len(grid):])
        self.assertTrue(rest.startswith("Description      %s     admin\nabc\n\n+%s+\n"
                                        % (time2char(D3), "-" * (width - 5))), rest)
        self.assertIn("2004/03/15:14.05.09 Submitted by admin\n", rest)

    def test_rows_by_status_on_the_page_and_the_printout(self):
        corr = self.field(126, "carol", time2char(D1), "v1.1")
        for n, (status, rows, labels) in enumerate(
                [("NEW", 5, []), ("POSTPONE", 6, [125]), ("CORRECTED", 6, [127]),
                 ("VERIFIED", 7, [127])], 1):
            name = write_report(self.inst, n, status)
            body = self.inst.run(query="Num=" + name).body
            start = body.index("<TABLE BORDER=1 WIDTH=100%><TR>")
            self.assertEqual(body[start:body.index("</TABLE>\n", start)].count("<TR>"), rows, status)
            grid = self.printout(name)[1]
            self.assertEqual(len(grid), 2 * rows + 1, status)
            self.assertEqual(len(set(len(l) for l in grid)), 1, status)
            joined = "\n".join(grid)
            for label in labels:
                self.assertIn(self.inst.lang(label), joined, status)
            if status == "POSTPONE":
                self.assertIn("|%s : %s " % (self.inst.lang(125), time2char(D4)), joined)
            if status in ("CORRECTED", "VERIFIED"):
                row = [l for l in grid if l.startswith("|" + corr)]
                self.assertEqual(len(row), 1, joined)
                self.assertRegex(row[0], r"\|%s : 4 *\|$" % re.escape(self.inst.lang(127)))
                self.assertEqual(row[0].count("|"), 3)  # cells 1 and 2 are spanned
            if status == "VERIFIED":
                self.assertIn("\n|%s " % self.field(128, "dave", time2char(D2), "v1.2"), joined)
                self.assertIns(body, "<TR><TD COLSPAN=3>%s</TD>\n<TD>%s : 4</TD></TR>\n" % (
                    corr, self.inst.lang(127)), "<TD>%s : MDA-9</TD>\n" % self.inst.lang(112))

    def test_page_entries_links_and_anchor(self):
        name = write_report(self.inst, 3, "OPEN", [
            (SEP_ANALYSE, "Description", D1, "admin", "one\n"),
            (SEP_ATTACH, "File_1", D2, "bob", self.inst.data + "TRACE_TS10.00003/File_1_a.log\n"),
            (SEP_ANALYSE, "More", D3, "carol", "two <b>\n")], testref="REF-1")
        self.assertIns(self.inst.run(query="Num=" + name).body, "<a name=00000>\n",
                       '<TR><TD><B><A HREF="/cgi-bin/velko?CMD=FILE&title=%sTRACE_TS10.00003/File_1_a.log">'
                       "File_1</A></B></TD>\n<TD>%s</TD>\n<TD>bob</TD></TR>\n"
                       % (self.inst.data, time2char(D2)),
                       "<A HREF=/cgi-bin/velko?CMD=Edit&Num=%s&Edit=0>Description</A>" % name,
                       "<A HREF=/cgi-bin/velko?CMD=Edit&Num=%s&Edit=2>More</A>" % name,
                       "<TR><TD COLSPAN=3>two&nbsp;\n&lt;\nb><BR>\n</FONT></TD>",
                       "<TD COLSPAN=4>%s: REF-1</TD></TR>\n" % self.inst.lang(129),
                       "<TR><TD><PRE>2004/03/15:14.05.09 Submitted by admin\n</PRE></TD></TR>\n</TABLE><P>\n",
                       absent=["<a name=00001>"])

    def test_print_command_gets_only_the_file_which_is_deleted(self):
        name = write_report(self.inst, 1, "NEW", [
            (SEP_ATTACH, "File_1", D3, "admin", self.inst.data + "TRACE_TS10.00001/File_1_x\n")],
            title="<b>bold</b> & co")
        script = self.inst.path("print.sh")
        self.inst.write("print.sh", 'cp "$1" "%s/printed"; echo $# > "%s/argc"; echo noise\n'
                        % (self.inst.root, self.inst.root))
        self.inst.set_cfg(PRINT="sh " + script)
        text, _, comment, r = self.printout(name)
        printed = self.inst.read("printed")
        self.assertEqual(self.inst.read("argc"), "1\n")
        self.assertEqual(text, printed.replace("&", "&amp;").replace("<", "&lt;")
                         .replace(">", "&gt;").replace('"', "&quot;"))
        self.assertIns(printed, "<b>bold</b> & co", self.inst.data + "TRACE_TS10.00001/File_1_x\n")
        m = re.fullmatch(r"sh %s (\S+)- >\n" % re.escape(script), comment)
        self.assertTrue(m, comment)
        self.assertRegex(m.group(1), "^" + re.escape(self.inst.data) + r"/tmp/velko\.\d+\.prt$")
        self.assertEqual(os.listdir(self.inst.path("data", "tmp")), ["velko.log"])
        self.assertNotIn("noise", r.body)

    def test_unknown_or_hostile_names_read_nothing(self):
        write_report(self.inst, 1, "NEW")
        self.inst.write("secret.00001", "SECRET|1|a|0|x|b|SECRET|g|m|v|e|a|0|||0|||0||a|a|||0|0|t\n")
        for name in ("TS10.00009", "../index", "../secret.00001", "TS10.00001/..",
                     "x;touch pwned.00001", "<b>.1"):
            r = self.inst.run(query="CMD=Print&Num=" + urllib.parse.quote(name))
            self.assertIn("<FONT COLOR=RED>%s %s <BR></FONT>\n" % (
                self.inst.lang(504), name.replace("<", "&lt;").replace(">", "&gt;")), r.body)
            self.assertNotIn("<PRE>", r.body)
            # A name is found as a part of the value.
            self.assertIns(self.inst.run(query="Num=" + urllib.parse.quote(name)).body, absent=[
                "SECRET", "<b>"] + ["<a name="] * ("TS10.00001" not in name))
        self.assertFalse(os.path.exists(self.inst.path("pwned.00001")))
        self.assertEqual(os.listdir(self.inst.path("data", "tmp")), ["velko.log"])


if __name__ == "__main__":
    unittest.main()
