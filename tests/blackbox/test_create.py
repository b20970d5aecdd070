"""Report creation: the form (CMD=create), the creation (CMD=new), the
report names formed from the configured prefixes, and the files written."""
import os
import re
import time
import unittest
import urllib.parse

from velkotest import FULL_RIGHTS, SEP_ANALYSE, SEP_HISTORY, TIME, VelkoTestCase, hidden_fields

# The default configuration: project TEST (prefix T), group "phase 1"
# (prefix 10); phase c is integration_usine, letter i.
FORM = [("CMD", "new"), ("QS", ""), ("title", "Crash at start"), ("project", "TEST"),
        ("group", "phase 1"), ("prog", "general"), ("sev", "2"), ("impact", "d"), ("phase", "c"),
        ("version", "v1"), ("exp", ""), ("type", "2"), ("submitter", "admin"), ("test", ""),
        ("mdapda", "MDA-1"), ("Load", "3"), ("text", "abc")]
NAME = "Ti10.00001"
MANDATORY = [("title", None), ("project", 100), ("group", 101), ("prog", 108), ("sev", 109),
             ("impact", 104), ("phase", 102), ("version", 110), ("submitter", 113)]


def form(**changes):
    """The creation form's fields with some changed (None leaves one out)."""
    return [(n, changes.get(n, v)) for n, v in FORM if changes.get(n, v) is not None]


class CreateTestCase(VelkoTestCase):
    def create(self, fields=None, **changes):
        return self.inst.run(post=urllib.parse.urlencode(form(**changes) if fields is None
                                                         else fields))

    def fields(self):
        (line,) = self.inst.index_lines()
        return line.split("|")

    def error_box(self, label):
        return ("<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>%s</H1></font>\n<P><HR><BR><BR>%s"
                "</TD></TR></TABLE>" % (self.inst.lang(500), self.inst.lang(503).replace(
                    "%s", label if isinstance(label, str) else self.inst.lang(label))))


class FormTest(CreateTestCase):
    def test_fields_in_order_with_blank_options(self):
        b = self.inst.run(query="CMD=create&project=TEST").body
        self.assertIns(b, "<TITLE>%s</TITLE>" % self.inst.lang(2000), "function changePage(page,menu)",
                       "<H1>%s</H1>\n" % self.inst.lang(2001), '<FORM METHOD=POST ACTION="/cgi-bin/velko">\n',
                       ' "changePage(this.options[this.selectedIndex].value,Deroulant)" >\n',
                       '<OPTION VALUE="/cgi-bin/velko?CMD=create">&nbsp\n<OPTION SELECTED VALUE='
                       '"/cgi-bin/velko?CMD=create&project=TEST">TEST\n', 'NAME="title" SIZE=73',
                       'NAME="mdapda" SIZE=40', 'NAME="Load" SIZE=4 VALUE=1',
                       '<TEXTAREA NAME="text" ROWS=15 COLS=80>%s :\n</TEXTAREA>' % self.inst.lang(107),
                       'VALUE="%s"> <INPUT TYPE=reset VALUE="Reset">' % self.inst.lang(3001),
                       absent=["Uid"])
        self.assertEqual(re.findall(r'NAME="([^"]+)"', b.split("</HEAD>", 1)[1]), [
            "CMD", "QS", "title", "project", "Deroulant", "group", "prog", "sev", "impact", "phase",
            "version", "exp", "type", "submitter", "test", "mdapda", "Load", "text"])
        self.assertIns(hidden_fields(b), ("CMD", "new"), ("project", "TEST"))
        lists = dict(re.findall(r'<SELECT NAME="([^"]+)">\n(.*?)</SELECT>', b, re.S))
        # Lists with nothing chosen start with a selected blank option.
        for name in ("prog", "sev", "impact", "version", "type"):
            self.assertTrue(lists[name].startswith("<OPTION SELECTED>&nbsp\n"), name)
            self.assertEqual(lists[name].count("SELECTED"), 1, name)
        for name in ("group", "phase", "exp", "submitter"):
            self.assertTrue(lists[name].startswith("<OPTION >&nbsp\n"), name)
        for name, option in (("prog", "<OPTION> general"), ("sev", "<OPTION VALUE=2 > "),
                             ("impact", '<OPTION VALUE="d"> Performance'),
                             ("phase", '<OPTION VALUE="c"> integration_usine'),
                             ("submitter", "<OPTION> admin\n")):
            self.assertIn(option, lists[name])
        self.assertNotIn("VALUE=0", lists["type"])

    def test_chosen_project_reloads_its_lists(self):
        self.inst.write("cfg/project.cfg", "TEST:T:admin:admin\nBeta:B:bob:bob\n")
        for kind, text in (("subproject", "kernel:KE\n"), ("program", "driver\n"),
                           ("version", "b7\n"), ("users", "bob :bob@x:pw" + FULL_RIGHTS + "\n")):
            self.inst.write("cfg/Beta_%s.cfg" % kind, text)
        r = self.inst.run(query="CMD=create&project=Beta")
        self.assertIn('<OPTION SELECTED VALUE="/cgi-bin/velko?CMD=create&project=Beta">Beta\n'
                      '<OPTION VALUE="/cgi-bin/velko?CMD=create&project=TEST">TEST\n', r.body)
        self.assertIn(("project", "Beta"), hidden_fields(r.body))
        self.assertIns(r.body, "<OPTION> kernel", "<OPTION> driver", "<OPTION> b7", "<OPTION> bob",
                       absent=["phase 1", "general", "<OPTION> admin"])

    def test_session_and_create_right(self):
        self.inst.set_cfg(SECURITY="YES")
        r = self.create()
        self.assertIn(self.inst.lang(518), r.body)  # no session
        uid = self.inst.login("admin", "admin")
        page = self.inst.run(query="CMD=create&project=TEST&Uid=" + urllib.parse.quote(uid))
        self.assertIn(("Uid", uid), hidden_fields(page.body))
        self.assertIn("CMD=create&project=TEST&Uid=" + urllib.parse.quote(uid, safe=""), page.body)
        # Without the right to create: neither the form nor a creation.
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin:YES:N:YES:YES:YES:YES:YES\n")
        uid2 = self.inst.login("admin", "admin")
        r = self.inst.run(query="CMD=create&Uid=" + urllib.parse.quote(uid2))
        self.assertIns(r.body, self.inst.lang(515), absent=["<FORM METHOD=POST"])
        self.assertIn(self.inst.lang(515), self.create(fields=form() + [("Uid", uid2)]).body)
        self.assertEqual(self.inst.reports(), [])
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin" + FULL_RIGHTS + "\n")
        r = self.create(fields=[("Uid", uid)] + form())
        self.assertEqual(self.inst.reports(), [NAME], r.body)
        self.assertIn('<A HREF="?Uid=', r.body)


class CreationTest(CreateTestCase):
    def test_report_shown_and_stored(self):
        t0 = int(time.time())
        b = self.create().body
        t1 = int(time.time())
        self.assertIns(b, "<TITLE>%s</TITLE>" % self.inst.lang(2002),
                       "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n<TR><TD ALIGN=LEFT><H1>"
                       + NAME,
                       '<A HREF="?">\n<IMG SRC="/velko/images//home.gif" BORDER=0 VALIGN=CENTER>'
                       '</A>\n</A></TD></TR></Table>\n<a name=00000>\n', "CMD=Print&Num=%s&QS=>" % NAME,
                       "<TR><TD><B>%s</B></TD>\n" % NAME,
                       "<TD>%s :<B> admin</B></TD>\n" % self.inst.lang(113))
        self.assertEqual(self.inst.reports(), [NAME])
        # The report file, its index line and its history line, byte for byte.
        text = self.inst.read("data/" + NAME)
        m = re.fullmatch(r"10\|1\|c\|(\d+)\|admin\|c\|TEST\|phase 1\|general\|v1\|\|a\|0\|\|\|0\|\|\|"
                         r"0\|\|c\|d\|MDA-1\|\|0\|3\|Crash at start\n%s\n%s\|\1\|admin\|4\nabc\n"
                         r"%s\n(\d+)\n((%s) %s admin\n)" % (
                             re.escape(SEP_ANALYSE), re.escape(self.inst.lang(107)),
                             re.escape(SEP_HISTORY), TIME, re.escape(self.inst.lang(113))), text)
        self.assertTrue(m, text)
        self.assertIn(int(m.group(1)), range(t0, t1 + 1))
        self.assertEqual(int(m.group(2)), len(m.group(3).encode()))
        self.assertEqual(self.inst.index_lines(True), [text.split("\n")[0] + "\n"])
        self.assertEqual(self.inst.read("data/history.dat"), "%s %s %s admin\n" % (
            m.group(4), NAME, self.inst.lang(113)))
        # Phase a and impact a are the first ones.
        self.create(phase="a", impact="a", title="second")
        self.assertIn("TS10.00001", self.inst.reports())

    def test_each_missing_field_gives_only_its_message(self):
        for i, (field, label) in enumerate(MANDATORY):
            for missing in (None, "", " x"):
                # This field and every later mandatory one are missing.
                r = self.create(**{f: missing for f, _ in MANDATORY[i:]})
                self.assertIn(self.error_box(label or field), r.body, (field, missing))
                self.assertEqual(r.body.count("<FONT COLOR=RED><H1>"), 1, (field, missing))
        # A blank option sent by a UTF-8 browser (a no-break space) is no
        # choice; letters and numbers the report cannot hold are refused.
        for field, value, label in (("group", "\u00a0", 101), ("sev", "9", 109),
                                    ("impact", "e", 104), ("phase", "~", 102)):
            self.assertIn(self.error_box(label), self.create(**{field: value}).body, field)
        # Only a configured project is taken: its name becomes file names.
        for project in ("../../x", "NOPE", "<b>"):
            self.assertIn("<P><HR><BR><BR>%s</TD>" % self.inst.lang(529).replace("%s", project).replace(
                "<", "&lt;").replace(">", "&gt;"), self.create(project=project).body, project)
        self.assertEqual(self.inst.reports(), [])
        self.assertEqual(self.inst.index_lines(), [])
        self.assertFalse(os.path.exists(self.inst.path("data", "history.dat")))

    def test_defaults_remembered_for_the_next_form(self):
        self.assertNotIn("<OPTION SELECTED> phase 1", self.inst.run(query="CMD=create").body)
        self.inst.write("cfg/userinfo.dat", "127.0.0.1:old:TEST:x:0\n10.1.1.1:bob:TEST:y:1\n")
        self.create(phase="c")
        # One line per machine, at the end.
        self.assertEqual(self.inst.read("cfg/userinfo.dat"),
                         "10.1.1.1:bob:TEST:y:1\n127.0.0.1:admin:TEST:phase 1:2\n")
        r = self.inst.run(query="CMD=create")
        self.assertIn(("project", "TEST"), hidden_fields(r.body))
        self.assertIns(r.body, '<OPTION SELECTED VALUE="/cgi-bin/velko?CMD=create&project=TEST">',
                       "<OPTION SELECTED> phase 1", '<OPTION SELECTED VALUE="c"> integration_usine',
                       "<OPTION SELECTED> admin\n")
        other = self.inst.run(query="CMD=create", env={"REMOTE_ADDR": "10.0.0.9"})
        self.assertNotIn("<OPTION SELECTED> phase 1", other.body)

    def test_hostile_and_long_values(self):
        title = "<script>x</script> a|b\nc" + "\u00e9" * 100
        r = self.create(title=title, mdapda="m|d\r\na", test="<t>", text="line <1>\n  two",
                        exp="\u00a0", type="\u00a0")
        self.assertIns(r.body, "&lt;script&gt;x&lt;/script&gt; a/b c", "line&nbsp;\n&lt;\n1>",
                       "<TD COLSPAN=4>%s: &lt;t&gt;</TD></TR>\n" % self.inst.lang(129), absent=["<script>"])
        f = self.fields()
        self.assertEqual(len(f), 27)
        self.assertTrue(f[26].startswith("<script>x</script> a/b c"))
        self.assertLessEqual(len(f[26].encode()), 199)
        self.assertTrue(f[26].endswith("\u00e9"))  # cut between whole characters
        self.assertEqual(f[22:24], ["m/d  a", "<t>"])
        self.assertEqual((f[10], f[20]), ("", "a"))  # a blank option is no value
        self.assertIn("admin|15\nline <1>\n  two\n", self.inst.read("data/" + NAME))


class NameTest(CreateTestCase):
    def setUp(self):
        super().setUp()
        self.inst.write("cfg/project.cfg", "PRJ:AB:mgr:val:\n")
        # The third phase line that counts is integration:D.
        self.inst.write("cfg/phase.cfg", "specification:S\n# comment\n\nno colon here\n"
                                         "development:E\nintegration:D\n")
        # The second line of a group wins.
        self.inst.write("cfg/PRJ_subproject.cfg", "core:XY:\nother:OO\nother:OT\n")

    def test_names_from_the_prefixes_and_lowest_free_numbers(self):
        for name in ("ABDXY.00001", "ABDXY.00002", "ABDXY.00004", "ABDOT.00003"):
            self.inst.write("data/" + name, "x\n")
        for group in ("core", "other", "nowhere", "core"):  # no prefix: "_"
            self.create(project="PRJ", group=group)
        self.assertEqual(self.inst.reports(), ["ABDOT.00001", "ABDOT.00003", "ABDXY.00001",
                                               "ABDXY.00002", "ABDXY.00003", "ABDXY.00004",
                                               "ABDXY.00005", "ABD_.00001"])
        os.remove(self.inst.path("data", "ABDXY.00002"))
        self.assertIn("<H1>ABDXY.00002", self.create(project="PRJ", group="core").body)


if __name__ == "__main__":
    unittest.main()
