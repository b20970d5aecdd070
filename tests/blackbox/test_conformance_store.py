"""The report store as a client sees it: report names formed from the
configured prefixes, the report file and index line written by a creation,
the reading rules of hand-written report files kept through a rewrite, the
index update rules, and the history lines, checked byte for byte."""
import os
import re
import time
import urllib.parse

from velkotest import VelkoTestCase

SEP_ANALYSE = "=!=!=!=!=!=!=!=!=!=!=!="
SEP_ATTACH = "=|=|=|=|=|=|=|=|=|=|=|="
SEP_HISTORY = "=-=-=-=-=-=-=-=-=-=-=-="
TIME = r"\d{4}/\d\d/\d\d:\d\d\.\d\d\.\d\d"

FORM = [("CMD", "new"), ("title", "Crash at start"), ("project", "PRJ"), ("group", "core"),
        ("prog", "general"), ("sev", "2"), ("impact", "b"), ("phase", "c"), ("version", "1.0"),
        ("exp", "1.1"), ("type", "2"), ("submitter", "user1"), ("test", "T-3"),
        ("mdapda", "MDA"), ("Load", "5"), ("text", "line")]


def time2char(t):
    return time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(t))


def index_line(number, title="Crash", status="a", group="core", prefix="XY", phase="c"):
    fields = [prefix, str(number), phase, "1079355909", "user1", "c", "PRJ", group, "mod",
              "1.0", "1.1", status, "0", "user2", "", "0", "", "", "0", "", "c", "a", "", "",
              "0", "5", title]
    return "|".join(fields) + "\n"


class StoreCase(VelkoTestCase):
    def setUp(self):
        super().setUp()
        i = self.inst
        i.write("cfg/project.cfg", "PRJ:AB:mgr:val:\n")
        # The third phase line that counts is integration:D.
        i.write("cfg/phase.cfg", "specification:S\n# comment\n\nno colon here\n"
                                 "development:E\nintegration:D\n")
        i.write("cfg/PRJ_subproject.cfg", "core:XY:\nother:OO\nother:OT\n")
        i.write("cfg/PRJ_users.cfg", "user1 :u1@x:pw:YES:YES:YES:YES:YES:YES:YES\n"
                                     "user2 :u2@x:pw:YES:YES:YES:YES:YES:YES:YES\n")
        for kind, text in (("program", "general\nmod\n"), ("version", "1.0\n1.1\n")):
            i.write("cfg/PRJ_%s.cfg" % kind, text)

    def create(self, **changes):
        fields = [(k, changes.get(k, v)) for k, v in FORM if changes.get(k, v) is not None]
        return self.inst.run(post=urllib.parse.urlencode(fields))

    def reports(self):
        return sorted(n for n in os.listdir(self.inst.data) if re.fullmatch(r"[^.]+\.\d+", n))


class ReportNames(StoreCase):
    def test_name_from_project_phase_and_group_prefixes(self):
        for n in range(1, 7):
            self.inst.write("data/ABDXY.%05d" % n, index_line(n))
        self.create()
        self.assertIn("ABDXY.00007", self.reports())

    def test_group_prefixes(self):
        self.create(group="other")           # the second line of a group wins
        self.create(group="nowhere")         # no prefix: "_"
        self.assertEqual(self.reports(), ["ABDOT.00001", "ABD_.00001"])

    def test_lowest_free_number_per_prefix(self):
        for n in (1, 2, 4):
            self.inst.write("data/ABDXY.%05d" % n, index_line(n))
        self.inst.write("data/ABDOT.00003", index_line(3, group="other", prefix="OT"))
        self.create()
        self.create(group="other")
        self.assertEqual(self.reports(), ["ABDOT.00001", "ABDOT.00003", "ABDXY.00001",
                                          "ABDXY.00002", "ABDXY.00003", "ABDXY.00004"])
        os.remove(self.inst.path("data", "ABDXY.00002"))
        self.create()
        self.assertIn("ABDXY.00002", self.reports())


class CreatedReport(StoreCase):
    def test_report_file_index_and_history_bytes(self):
        t0 = int(time.time())
        self.create()
        t1 = int(time.time())
        text = self.inst.read("data/ABDXY.00001")
        m = re.fullmatch(
            r"XY\|1\|c\|(\d+)\|user1\|c\|PRJ\|core\|general\|1\.0\|1\.1\|a\|0\|\|\|0\|\|\|0\|\|"
            r"c\|b\|MDA\|T-3\|0\|5\|Crash at start\n" +
            re.escape(SEP_ANALYSE) + r"\n([^|\n]*)\|(\d+)\|user1\|5\nline\n" +
            re.escape(SEP_HISTORY) + r"\n(\d+)\n((%s) [^\n]*\n)" % TIME, text)
        self.assertTrue(m, text)
        date = int(m.group(1))
        self.assertTrue(t0 <= date <= t1)
        self.assertEqual(int(m.group(3)), date)
        history = m.group(5)
        self.assertEqual(int(m.group(4)), len(history.encode()))
        self.assertEqual(self.inst.read("data/index"), text.split("\n")[0] + "\n")
        self.assertEqual(self.inst.read("data/history.dat"),
                         "%s ABDXY.00001 %s" % (m.group(6), history[len(m.group(6)) + 1:]))

    def test_bar_and_line_ends_stay_out_of_the_line(self):
        self.create(title="a|b", mdapda="x\ny")
        line = self.inst.read("data/index")
        self.assertEqual(line.count("\n"), 1)
        self.assertEqual(line.count("|"), 26)
        self.assertTrue(line.endswith("|0|5|a/b\n"), line)

    def test_machine_keeps_one_line_at_the_end(self):
        self.inst.write("cfg/userinfo.dat", "127.0.0.1:old:PRJ:other:0\n10.1.1.1:bob:PRJ:core:1\n")
        self.create()
        self.assertEqual(self.inst.read("cfg/userinfo.dat"),
                         "10.1.1.1:bob:PRJ:core:1\n127.0.0.1:user1:PRJ:core:2\n")


class ReadAndRewrite(StoreCase):
    """A hand-written report goes through an action that adds a history line
    only: what the reader kept is what the writer stores again."""

    NAME = "ABDXY.00001"

    def act(self, cmd="Not_a_Bug"):
        r = self.inst.run(post=urllib.parse.urlencode(
            [("CMD", cmd), ("Num", self.NAME), ("User", "user1"), ("QS", "")]))
        self.assertNotIn("<FONT COLOR=RED><H1>", r.body)
        return r

    def put(self, body, history="2004/03/15:14.05.09 Opened by user1\n", count=None):
        text = index_line(1) + body + SEP_HISTORY + "\n%d\n" % (
            len(history.encode()) if count is None else count) + history
        self.inst.write("data/" + self.NAME, text)
        self.inst.write("data/index", index_line(1))
        return text

    def stored(self):
        text = self.inst.read("data/" + self.NAME, "rb").decode()
        first, rest = text.split("\n", 1)
        body, history = rest.split(SEP_HISTORY + "\n", 1)
        count, history = history.split("\n", 1)
        self.assertEqual(int(count), len(history.encode()))
        return first, body, history

    def test_entries_survive_byte_for_byte(self):
        def entry(sep, header, text):
            return "%s\n%s|%d\n%s" % (sep, header, len(text.encode()), text)
        body = (entry(SEP_ANALYSE, "First|1079355909|user1", "line1\n") +
                entry(SEP_ATTACH, "file.txt|1079355999|user2",
                      "w" * 3000 + "\ncr\r\n=-=-\n  \n\u00e9t\u00e9\n") +
                # Lines that read as separators carry one blank more.
                entry(SEP_ANALYSE, "Escaped|1079356000|user1", "!= \n=-=-=  \n"))
        self.put(body)
        self.act()
        first, stored, history = self.stored()
        self.assertEqual(stored, body)
        self.assertRegex(first, r"^XY\|1\|c\|1079355909\|user1\|c\|PRJ\|core\|.*\|h\|")
        self.assertRegex(history, r"^2004/03/15:14\.05\.09 Opened by user1\n%s [^\n]+\n$" % TIME)

    def test_reading_rules_of_damaged_files(self):
        self.put("not a separator\n" +
                 SEP_ANALYSE + "\nCut|1|user1|5\nline\nmore\nlast\n" +      # N cuts the text
                 SEP_ANALYSE + "\nSplit|2\n|user2|3\nab\n" +                # header on two lines
                 SEP_ANALYSE + "\nShort|3|user1|99\nxy\n",                  # N too large
                 history="abc\ndef\nghi\n", count=7)                        # N + 1 bytes fit
        self.act()
        _, stored, history = self.stored()
        self.assertEqual(stored, SEP_ANALYSE + "\nCut|1|user1|5\nline\n" +
                         SEP_ANALYSE + "\nSplit|2|user2|3\nab\n" +
                         SEP_ANALYSE + "\nShort|3|user1|3\nxy\n")
        self.assertRegex(history, r"^abc\ndef\n%s [^\n]+\n$" % TIME)

    def test_typed_separator_lines_come_back_unchanged(self):
        self.put(SEP_ANALYSE + "\nFirst|1079355909|user1|6\nline1\n")
        text = "a\n!=\n" + SEP_HISTORY + "\n=|=  \nz"
        r = self.inst.run(post=urllib.parse.urlencode(
            [("CMD", "Analyse"), ("Num", self.NAME), ("User", "user1"), ("QS", ""),
             ("title", "Typed"), ("text", text)]))
        self.assertNotIn("<FONT COLOR=RED><H1>", r.body)
        _, stored, history = self.stored()
        entries = stored.split(SEP_ANALYSE + "\n")
        self.assertEqual(len(entries), 3, stored)
        self.act()
        _, again, _ = self.stored()
        self.assertEqual(again, stored)
        # The page shows the text as typed.
        r = self.inst.run("Num=" + self.NAME)
        for line in ("!=<BR>", SEP_HISTORY + "<BR>", "=|="):
            self.assertIn(line, r.body)


class IndexUpdate(StoreCase):
    def test_line_replaced_by_key_and_moved_to_the_end(self):
        other_group = index_line(1, group="other", prefix="OT")
        other_project = index_line(1).replace("|PRJ|", "|PRK|")
        before = [index_line(2), index_line(1, title="old"), other_group, other_project]
        self.inst.write("data/ABDXY.00001", index_line(1, title="old") + SEP_HISTORY + "\n0\n")
        self.inst.write("data/index", before[0] + "\n" + "".join(before[1:]) + "\n")
        self.inst.run(post=urllib.parse.urlencode(
            [("CMD", "Not_a_Bug"), ("Num", "ABDXY.00001"), ("User", "user1"), ("QS", "")]))
        lines = self.inst.read("data/index").splitlines(True)
        # Empty lines go; lines of other keys keep their bytes and order.
        self.assertEqual(lines[:3], [before[0], other_group, other_project])
        self.assertEqual(len(lines), 4)
        self.assertTrue(lines[3].startswith("XY|1|c|"))
        self.assertIn("|h|", lines[3])
        self.assertEqual(lines[3], self.inst.read("data/ABDXY.00001").split("\n")[0] + "\n")
        leftovers = [n for n in os.listdir(self.inst.data) if "tmp" in n and n != "tmp"]
        self.assertEqual(leftovers, [])


if __name__ == "__main__":
    import unittest
    unittest.main()
