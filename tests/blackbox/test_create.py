"""Report creation: the form (CMD=create) and the creation (CMD=new)."""
import fcntl
import os
import re
import subprocess
import unittest
import urllib.parse

import velkotest
from test_login import hidden_fields, lang_text

# The default configuration: project TEST (prefix T), group "phase 1"
# (prefix 10); phase c is integration_usine, letter i.
FORM = [
    ("CMD", "new"), ("QS", ""), ("title", "Crash at start"), ("project", "TEST"),
    ("group", "phase 1"), ("prog", "general"), ("sev", "2"), ("impact", "d"), ("phase", "c"),
    ("version", "v1"), ("exp", ""), ("type", "2"), ("submitter", "admin"), ("test", ""),
    ("mdapda", "MDA-1"), ("Load", "3"), ("text", "abc"),
]
NAME = "Ti10.00001"
MANDATORY = [("title", None), ("project", 100), ("group", 101), ("prog", 108), ("sev", 109),
             ("impact", 104), ("phase", 102), ("version", 110), ("submitter", 113)]


def form(**changes):
    """The creation form's fields with some changed (None leaves one out)."""
    out = []
    for name, value in FORM:
        value = changes.get(name, value)
        if value is not None:
            out.append((name, value))
    return out


def error_box(inst, label):
    text = lang_text(inst, 503).replace("%s", label)
    return ("<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>%s</H1></font>\n"
            "<P><HR><BR><BR>%s</TD></TR></TABLE>" % (lang_text(inst, 500), text))


def reports(inst):
    return sorted(f for f in os.listdir(inst.data) if re.fullmatch(r"[^.]+\.\d+", f))


class CreateTestCase(velkotest.VelkoTestCase):
    def create(self, fields=None, env=None, **changes):
        fields = form(**changes) if fields is None else fields
        return self.inst.run(post=urllib.parse.urlencode(fields), env=env)

    def index_lines(self):
        try:
            return self.inst.read("data/index").splitlines()
        except FileNotFoundError:
            return []


class FormTest(CreateTestCase):
    def test_fields_in_order_with_blank_options(self):
        r = self.inst.run(query="CMD=create&project=TEST")
        b = r.body
        self.assertIn("<TITLE>%s</TITLE>" % lang_text(self.inst, 2000), b)
        self.assertIn("function changePage(page,menu)", b)
        self.assertIn("<H1>%s</H1>\n" % lang_text(self.inst, 2001), b)
        self.assertIn('<FORM METHOD=POST ACTION="/cgi-bin/velko">\n', b)
        names = re.findall(r'NAME="([^"]+)"', b)
        self.assertEqual(names, ["CMD", "QS", "title", "project", "Deroulant", "group", "prog",
                                 "sev", "impact", "phase", "version", "exp", "type",
                                 "submitter", "test", "mdapda", "Load", "text"])
        self.assertIn(("CMD", "new"), hidden_fields(b))
        self.assertIn(("project", "TEST"), hidden_fields(b))
        self.assertIn(' "changePage(this.options[this.selectedIndex].value,Deroulant)" >\n', b)
        self.assertIn('<OPTION VALUE="/cgi-bin/velko?CMD=create">&nbsp\n'
                      '<OPTION SELECTED VALUE="/cgi-bin/velko?CMD=create&project=TEST">TEST\n', b)

        def select(name):
            m = re.search(r'<SELECT NAME="%s">\n(.*?)</SELECT>' % name, b, re.S)
            self.assertTrue(m, name)
            return m.group(1)
        # Lists with nothing chosen start with a selected blank option.
        for name in ("prog", "sev", "impact", "version", "type"):
            self.assertTrue(select(name).startswith("<OPTION SELECTED>&nbsp\n"), name)
            self.assertEqual(select(name).count("SELECTED"), 1, name)
        for name in ("group", "phase", "exp", "submitter"):
            self.assertTrue(select(name).startswith("<OPTION >&nbsp\n"), name)
        self.assertIn("<OPTION> general", select("prog"))
        self.assertIn("<OPTION VALUE=2 > ", select("sev"))
        self.assertIn('<OPTION VALUE="d"> Performance', select("impact"))
        self.assertIn('<OPTION VALUE="c"> integration_usine', select("phase"))
        self.assertNotIn("VALUE=0", select("type"))
        self.assertIn("<OPTION> admin\n", select("submitter"))
        self.assertIn('NAME="title" SIZE=73', b)
        self.assertIn('NAME="mdapda" SIZE=40', b)
        self.assertIn('NAME="Load" SIZE=4 VALUE=1', b)
        self.assertIn('<TEXTAREA NAME="text" ROWS=15 COLS=80>%s :\n</TEXTAREA>'
                      % lang_text(self.inst, 107), b)
        self.assertIn('VALUE="%s"> <INPUT TYPE=reset VALUE="Reset">' % lang_text(self.inst, 3001), b)
        self.assertNotIn("Uid", b)

    def test_chosen_project_reloads_its_lists(self):
        self.inst.write("cfg/project.cfg", "TEST:T:admin:admin\nBeta:B:bob:bob\n")
        self.inst.write("cfg/Beta_subproject.cfg", "kernel:KE\n")
        self.inst.write("cfg/Beta_program.cfg", "driver\n")
        self.inst.write("cfg/Beta_version.cfg", "b7\n")
        self.inst.write("cfg/Beta_users.cfg", "bob :bob@x:pw:YES:YES:YES:YES:YES:YES:YES\n")
        r = self.inst.run(query="CMD=create&project=Beta")
        self.assertIn('<OPTION SELECTED VALUE="/cgi-bin/velko?CMD=create&project=Beta">Beta\n',
                      r.body)
        self.assertIn('<OPTION VALUE="/cgi-bin/velko?CMD=create&project=TEST">TEST\n', r.body)
        self.assertIn(("project", "Beta"), hidden_fields(r.body))
        for text in ("<OPTION> kernel", "<OPTION> driver", "<OPTION> b7", "<OPTION> bob"):
            self.assertIn(text, r.body)
        for text in ("phase 1", "general", "<OPTION> admin"):
            self.assertNotIn(text, r.body)

    def test_without_create_right(self):
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin:YES:N:YES:YES:YES:YES:YES\n")
        self.inst.write_main_cfg(self.inst.read("config/velko.cfg").replace(
            "SECURITY \n", "SECURITY YES\n"))
        login = self.inst.run(post="Login=2&User=admin&Passwd=admin")
        uid = dict(hidden_fields(login.body))["Uid"]
        q = "Uid=" + urllib.parse.quote(uid)
        r = self.inst.run(query="CMD=create&" + q)
        self.assertIn(lang_text(self.inst, 515), r.body)
        self.assertNotIn("<FORM METHOD=POST", r.body)
        # Posting the form directly creates nothing either.
        r = self.create(fields=form() + [("Uid", uid)])
        self.assertIn(lang_text(self.inst, 515), r.body)
        self.assertEqual(reports(self.inst), [])


class CreationTest(CreateTestCase):
    def test_report_shown_and_stored(self):
        r = self.create()
        b = r.body
        self.assertIn("<TITLE>%s</TITLE>" % lang_text(self.inst, 2002), b)
        self.assertIn("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n"
                      "<TR><TD ALIGN=LEFT><H1>" + NAME, b)
        self.assertIn('<A HREF="?">\n<IMG SRC="/velko/images//home.gif" BORDER=0 VALIGN=CENTER>'
                      '</A>\n</A></TD></TR></Table>\n<a name=00000>\n', b)
        self.assertIn("CMD=Print&Num=%s&QS=>" % NAME, b)
        self.assertIn("<TR><TD><B>%s</B></TD>\n" % NAME, b)
        self.assertIn("<TD>%s :<B> admin</B></TD>\n" % lang_text(self.inst, 113), b)
        self.assertEqual(reports(self.inst), [NAME])
        self.assertEqual(len(self.index_lines()), 1)
        f = self.index_lines()[0].split("|")
        self.assertEqual(len(f), 27)
        self.assertEqual(f[:2], ["10", "1"])
        self.assertEqual(f[4:11], ["admin", "c", "TEST", "phase 1", "general", "v1", ""])
        self.assertEqual(f[11], "a")  # NEW
        self.assertEqual(f[20:24], ["c", "d", "MDA-1", ""])
        self.assertEqual(f[25:], ["3", "Crash at start"])
        history = self.inst.read("data/history.dat")
        self.assertRegex(history, r"^\d{4}/\d\d/\d\d:\d\d\.\d\d\.\d\d %s %s admin\n$"
                         % (re.escape(NAME), re.escape(lang_text(self.inst, 113))))

    def test_phase_and_impact_letters_and_first_analysis(self):
        self.create(phase="c", impact="d", text="abc")
        f = self.index_lines()[0].split("|")
        self.assertEqual((f[2], f[21]), ("c", "d"))  # phase 2, impact 3 (PERFORMANCE)
        self.assertEqual(f[5], "c")  # severity 2
        report = self.inst.read("data/" + NAME)
        m = re.search(r"\n=!=!=!=!=!=!=!=!=!=!=!=\n%s\|(\d+)\|admin\|4\nabc\n=-=-=-=-=-=-=-=-=-=-=-=\n"
                      % lang_text(self.inst, 107), report)
        self.assertTrue(m, report)
        self.assertEqual(m.group(1), f[3])  # the analysis carries the report's date
        # Phase a and impact a are the first ones.
        self.create(phase="a", impact="a", title="second")
        self.assertIn("TS10.00001", reports(self.inst))

    def test_each_missing_field_gives_only_its_message(self):
        for i, (field, label) in enumerate(MANDATORY):
            label_text = field if label is None else lang_text(self.inst, label)
            for missing in (None, "", " x"):
                # This field and every later mandatory one are missing.
                changes = {f: missing for f, _ in MANDATORY[i:]}
                r = self.create(**changes)
                self.assertIn(error_box(self.inst, label_text), r.body, (field, missing))
                self.assertEqual(r.body.count("<FONT COLOR=RED><H1>"), 1, (field, missing))
        # A blank option sent by a UTF-8 browser (a no-break space) is no choice.
        r = self.create(group="\u00a0")
        self.assertIn(error_box(self.inst, lang_text(self.inst, 101)), r.body)
        # Letters and numbers the report cannot hold are refused the same way.
        for field, value, label in (("sev", "9", 109), ("impact", "e", 104), ("phase", "~", 102)):
            r = self.create(**{field: value})
            self.assertIn(error_box(self.inst, lang_text(self.inst, label)), r.body, field)
        self.assertEqual(reports(self.inst), [])
        self.assertEqual(self.index_lines(), [])
        self.assertFalse(os.path.exists(self.inst.path("data", "history.dat")))

    def test_defaults_remembered_for_the_next_form(self):
        before = self.inst.run(query="CMD=create")
        self.assertNotIn("<OPTION SELECTED> phase 1", before.body)
        self.create(phase="c")
        r = self.inst.run(query="CMD=create")
        self.assertIn(("project", "TEST"), hidden_fields(r.body))
        self.assertIn('<OPTION SELECTED VALUE="/cgi-bin/velko?CMD=create&project=TEST">', r.body)
        self.assertIn("<OPTION SELECTED> phase 1", r.body)
        self.assertIn('<OPTION SELECTED VALUE="c"> integration_usine', r.body)
        self.assertIn("<OPTION SELECTED> admin\n", r.body)
        # Another machine has its own defaults.
        other = self.inst.run(query="CMD=create", env={"REMOTE_ADDR": "10.0.0.9"})
        self.assertNotIn("<OPTION SELECTED> phase 1", other.body)

    def test_hostile_and_long_values(self):
        title = "<script>x</script> a|b\nc" + "é" * 200
        r = self.create(title=title, mdapda="m|d\r\na", test="<t>", text="line <1>\n  two")
        self.assertNotIn("<script>", r.body)
        self.assertIn("&lt;script&gt;x&lt;/script&gt; a/b c", r.body)
        f = self.index_lines()[0].split("|")
        self.assertEqual(len(f), 27)
        stored = f[26]
        self.assertTrue(stored.startswith("<script>x</script> a/b c"))
        self.assertLessEqual(len(stored.encode()), 199)
        self.assertTrue(stored.endswith("é"))  # cut between whole characters
        self.assertEqual(f[22], "m/d  a")
        self.assertEqual(f[23], "<t>")
        self.assertIn("<TD COLSPAN=4>%s: &lt;t&gt;</TD></TR>\n" % lang_text(self.inst, 129), r.body)
        self.assertIn("line&nbsp;\n&lt;\n1>", r.body)
        self.assertIn("admin|15\nline <1>\n  two\n", self.inst.read("data/" + NAME))

    def test_concurrent_creations_get_distinct_numbers(self):
        count = 8
        procs = []
        for i in range(count):
            body = urllib.parse.urlencode(form(title="parallel %d" % i)).encode()
            env = self.inst.env(REQUEST_METHOD="POST", CONTENT_LENGTH=str(len(body)),
                                CONTENT_TYPE="application/x-www-form-urlencoded",
                                QUERY_STRING="")
            p = subprocess.Popen([velkotest.VELKO_BIN], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                 cwd=self.inst.root)
            procs.append((p, body))
        pages = []
        for p, body in procs:
            out, err = p.communicate(body, timeout=120)
            self.assertNotIn(b"Sanitizer", err)
            pages.append(out.decode("utf-8", "replace"))
        names = ["Ti10.%05d" % n for n in range(1, count + 1)]
        self.assertEqual(reports(self.inst), names)
        shown = sorted(re.search(r"<H1>(Ti10\.\d+)", p).group(1) for p in pages)
        self.assertEqual(shown, names)
        lines = self.index_lines()
        self.assertEqual(sorted(int(l.split("|")[1]) for l in lines), list(range(1, count + 1)))
        titles = sorted(l.split("|")[26] for l in lines)
        self.assertEqual(titles, sorted("parallel %d" % i for i in range(count)))
        for n in names:
            self.assertTrue(self.inst.read("data/" + n).startswith("10|%d|c|" % int(n[-5:])))

    def test_numbers_fill_the_lowest_gap(self):
        self.create()
        self.create()
        self.create()
        os.unlink(self.inst.path("data", "Ti10.00002"))
        r = self.create(title="again")
        self.assertIn("<H1>Ti10.00002", r.body)

    def test_busy_locks_are_reported_and_nothing_is_left(self):
        reason = lang_text(self.inst, 521) or \
            "the report index is in use by another request; try again in a moment"
        for lock_file in ("index.lock", "number.lock"):
            with open(self.inst.path("data", lock_file), "w") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                r = self.create()
            self.assertIn("<FONT COLOR=RED>%s <BR></FONT>\n"
                          % lang_text(self.inst, 520).replace("%s", reason), r.body, lock_file)
            self.assertNotIn("<a name=00000>", r.body)
            self.assertEqual(reports(self.inst), [])
            self.assertEqual([f for f in os.listdir(self.inst.data) if f.endswith(".tmp")], [])
            self.assertFalse(os.path.exists(self.inst.path("data", "history.dat")))
        # The number is free again.
        r = self.create()
        self.assertIn("<H1>%s" % NAME, r.body)

    def test_busy_choices_file_still_creates(self):
        with open(self.inst.path("cfg", "userinfo.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            r = self.create()
        self.assertEqual(reports(self.inst), [NAME])
        self.assertIn("<H1>%s" % NAME, r.body)
        tail = r.body[r.body.index("</TABLE><P>\n"):]
        self.assertIn("<FONT COLOR=RED>", tail)

    def test_utf8_blank_option_is_no_value(self):
        self.create(exp="\u00a0", type="\u00a0")
        f = self.index_lines()[0].split("|")
        self.assertEqual(f[10], "")
        self.assertEqual(f[20], "a")  # no type chosen


class SecureCreationTest(CreateTestCase):
    install_args = {"security": True}

    def test_needs_a_session_and_the_form_carries_it(self):
        r = self.create()
        self.assertIn(lang_text(self.inst, 518), r.body)
        self.assertEqual(reports(self.inst), [])
        login = self.inst.run(post="Login=2&User=admin&Passwd=admin")
        uid = dict(hidden_fields(login.body))["Uid"]
        page = self.inst.run(query="CMD=create&project=TEST&Uid=" + urllib.parse.quote(uid))
        self.assertIn(("Uid", uid), hidden_fields(page.body))
        self.assertIn("CMD=create&project=TEST&Uid=" + urllib.parse.quote(uid, safe=""),
                      page.body)
        r = self.create(fields=[(n, v) for n, v in hidden_fields(page.body)
                                if n in ("Uid",)] + form())
        self.assertEqual(reports(self.inst), [NAME], r.body)
        self.assertIn('<A HREF="?Uid=', r.body)


if __name__ == "__main__":
    unittest.main()
