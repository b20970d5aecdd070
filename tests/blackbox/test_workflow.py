"""The status workflow: the action forms, their application to a report,
their refusals, and the files they leave behind."""
import fcntl
import os
import re
import time
import unittest
import urllib.parse

import velkotest
from test_login import hidden_fields, lang_text

# The fields of an index line, in file order.
FIELDS = ["prefix", "number", "phase", "date", "submitter", "severity", "project",
          "subProject", "module", "version", "expvers", "status", "postponeDate",
          "assignedTo", "corrector", "correctDate", "correctVersion", "verifiedBy",
          "verifyDate", "verifyVersion", "fileType", "impact", "mdaPda", "testref",
          "timeSpent", "timeEstimate", "title"]
STATUS = {name: chr(ord("a") + i) for i, name in enumerate(
    ["NEW", "OBSERVATION", "ANALYSIS", "OPEN", "CORRECTED", "VERIFIED", "DUPLICATE",
     "NOT_A_BUG", "NOT_REPRODUCTIBLE", "POSTPONE", "ABANDONED"])}
SEP_ANALYSE = "=!=!=!=!=!=!=!=!=!=!=!="
SEP_ATTACH = "=|=|=|=|=|=|=|=|=|=|=|="
SEP_HISTORY = "=-=-=-=-=-=-=-=-=-=-=-="
TIME = r"\d{4}/\d\d/\d\d:\d\d\.\d\d\.\d\d"
NAME = "TS10.00001"  # project TEST (prefix T), phase specification (S), group "phase 1" (10)
DAY = 86400


def make_report(inst, number=1, entries=(), history="", **fields):
    """Writes report TS10.<number> of project TEST and its index line;
    returns its name. `entries` are (title, date, submitter, text)."""
    values = {"prefix": "10", "number": str(number), "phase": "a", "date": "1100000000",
              "submitter": "admin", "severity": "c", "project": "TEST",
              "subProject": "phase 1", "module": "mod", "version": "v1", "expvers": "v2",
              "status": "a", "postponeDate": "0", "assignedTo": "", "corrector": "",
              "correctDate": "0", "correctVersion": "", "verifiedBy": "", "verifyDate": "0",
              "verifyVersion": "", "fileType": "c", "impact": "a", "mdaPda": "",
              "testref": "", "timeSpent": "0", "timeEstimate": "5", "title": "Crash at start"}
    values.update({k: str(v) for k, v in fields.items()})
    line = "|".join(values[f] for f in FIELDS) + "\n"
    text = line
    for title, date, submitter, body in entries:
        text += "%s\n%s|%d|%s|%d\n%s" % (SEP_ANALYSE, title, date, submitter,
                                          len(body.encode()), body)
    text += "%s\n%d\n%s" % (SEP_HISTORY, len(history.encode()), history)
    name = "TS10.%05d" % number
    inst.write("data/" + name, text)
    index = inst.path("data", "index")
    old = inst.read("data/index").splitlines(True) if os.path.exists(index) else []
    inst.write("data/index", "".join(l for l in old if l.split("|")[1] != str(number)) + line)
    return name


def read_report(inst, name=NAME):
    """The stored report: (fields, entries [(title, date, submitter, text)],
    history lines)."""
    lines = inst.read("data/" + name).split("\n")
    fields = dict(zip(FIELDS, lines[0].split("|", 26)))
    entries, history, i = [], [], 1
    while i < len(lines):
        if lines[i] in (SEP_ANALYSE, SEP_ATTACH):
            title, date, submitter, _ = lines[i + 1].split("|")
            i += 2
            body = []
            while i < len(lines) and lines[i] not in (SEP_ANALYSE, SEP_ATTACH, SEP_HISTORY):
                body.append(lines[i] + "\n")
                i += 1
            entries.append((title, int(date), submitter, "".join(body)))
        elif lines[i] == SEP_HISTORY:
            history = [l for l in lines[i + 2:] if l]
            break
        else:
            i += 1
    return fields, entries, history


def error_box(text, formatted=False):
    """The end of the error box of a text (printErr), or of a text used as
    a format (printErr1), which has no line feed after it."""
    return "<P><HR><BR><BR>%s%s</TD></TR></TABLE>" % (text, "" if formatted else "\n")


def working_days(t1, t2):
    n = 0
    while t1 < t2:
        if time.localtime(t1).tm_wday < 5:
            n += 1
        t1 += DAY
    return n


class WorkflowCase(velkotest.VelkoTestCase):
    def setUp(self):
        super().setUp()
        self.name = make_report(self.inst)

    def text(self, num):
        return lang_text(self.inst, num)

    def snapshot(self):
        """The installation's files, without the request traces of data/tmp
        and the session key (made on first need)."""
        files = {}
        for base in ("data", "cfg"):
            for root, _, names in os.walk(self.inst.path(base)):
                if root.startswith(self.inst.path("data", "tmp")):
                    continue
                for n in names:
                    if n == "session.key":
                        continue
                    with open(os.path.join(root, n), "rb") as f:
                        files[os.path.join(root, n)] = f.read()
        return files

    def act(self, cmd, num=NAME, post=False, **args):
        fields = [("CMD", cmd), ("Num", num)] + list(args.items())
        qs = urllib.parse.urlencode(fields)
        return self.inst.run(post=qs) if post else self.inst.run(query=qs)

    def assertUnchanged(self, before):
        self.assertEqual(before, self.snapshot())


class FormTest(WorkflowCase):
    """Without User an action shows its form and changes nothing."""

    def test_observed_form_byte_for_byte(self):
        before = self.snapshot()
        r = self.act("Observed", QS="CMD=search&proj=TEST")
        self.assertIn("<TITLE>Observed</TITLE>", r.body)
        form = r.body[r.body.index("<FORM"):r.body.index("</FORM><HR>\n") + 12]
        self.assertEqual(form, (
            '<FORM METHOD=GET ACTION="/cgi-bin/velko">\n'
            '<INPUT TYPE="hidden" NAME="CMD" VALUE="Observed">\n'
            '<INPUT TYPE="hidden" NAME="Num" VALUE="TS10.00001">\n'
            '<INPUT TYPE="hidden" NAME=QS VALUE="CMD=search&proj=TEST">\n'
            "<H1>Observation of TS10.00001</H1>\n<TABLE BORDER=0 WIDTH=100%<TR><TD>\n<P>"
            'Person who observes TS10.00001:<SELECT NAME="submitter">\n'
            "<OPTION >&nbsp\n<OPTION SELECTED> admin\n</SELECT>\n"
            "Action performed by: \n"
            '<SELECT NAME="User">\n<OPTION >&nbsp\n<OPTION> admin\n</SELECT>\n'
            '<inPUT TYPE="submit" VALUE="OK">\n'
            "</TD></TR></TABLE>\n</FORM><HR>\n"))
        # The report follows the form, without action bar.
        self.assertIn("Crash at start", r.body[r.body.index("</FORM><HR>"):])
        self.assertNotIn("CMD=Change_Header", r.body)
        self.assertUnchanged(before)

    def test_methods_headings_and_tables(self):
        cases = [  # CMD, method, start of the form after the hidden fields
            ("Assign", "GET", "<H1>Assignment of TS10.00001</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD><P>\nAssign TS10.00001 to:"
             '<SELECT NAME="submitter">\n'),
            ("Open", "GET", "<H1>Opening of TS10.00001</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>Person in charge of TS10.00001:"
             '<SELECT NAME="submitter">\n'),
            ("Not_a_Bug", "GET", "<H1>Classify TS10.00001 as not a bug</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 is not a bug, according to:"
             '<SELECT NAME="User">\n'),
            ("Not_Reproducible", "GET", "<H1>TS10.00001 not reproducible</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 cannot be reproduced, "
             'according to:<SELECT NAME="User">\n'),
            ("Duplicate", "GET", "<H1>Mark TS10.00001 as a duplicate</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 duplicates the report:"
             '<INPUT TYPE="text" NAME="text" SIZE=20 VALUE="">\nAction performed by: \n'
             '<SELECT NAME="User">\n'),
            ("Postpone", "GET", "<H1>Postponement of TS10.00001</H1>\n"),
            ("Analyse", "POST", "<H1>Analysis of TS10.00001 </H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>Title \n"),
            ("Corrected", "POST", "<H1>Correction of TS10.00001 </H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 corrected in version:"
             '<SELECT NAME="version">\n<OPTION >&nbsp\n'),
            ("Verified", "POST", "<H1>Verification of TS10.00001 </H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 verified in version:"
             '<SELECT NAME="version">\n<OPTION SELECTED>&nbsp\n'),
            ("Rejected", "POST", "<H1>Rejection of TS10.00001</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 rejected by:"
             '<SELECT NAME="User">\n'),
            ("Abandoned", "POST", "<H1>Abandonment of TS10.00001</H1>\n"
             "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>TS10.00001 abandoned by:"
             '<SELECT NAME="User">\n'),
        ]
        before = self.snapshot()
        for cmd, method, start in cases:
            with self.subTest(cmd=cmd):
                r = self.act(cmd, QS="x")
                head = ('<FORM METHOD=%s ACTION="/cgi-bin/velko">\n'
                        '<INPUT TYPE="hidden" NAME="CMD" VALUE="%s">\n'
                        '<INPUT TYPE="hidden" NAME="Num" VALUE="TS10.00001">\n'
                        '<INPUT TYPE="hidden" NAME=QS VALUE="x">\n' % (method, cmd))
                self.assertIn(head + start, r.body)
                form = r.body[r.body.index("<FORM"):r.body.index("</FORM><HR>\n")]
                self.assertEqual(form.count('<inPUT TYPE="submit" VALUE="OK">\n'), 1)
                self.assertTrue(form.endswith("</TD></TR></TABLE>\n"), form[-200:])
        self.assertUnchanged(before)

    def test_text_areas(self):
        r = self.act("Rejected")
        self.assertIn('</SELECT>\nReason : <BR>\n<TEXTAREA NAME="text" ROWS=6 COLS=70>'
                      '</TEXTAREA>\n<inPUT TYPE="submit" VALUE="OK">\n</TD></TR></TABLE>\n',
                      r.body)
        r = self.act("Abandoned")
        self.assertIn('Reason : <BR>\n<TEXTAREA NAME="text" ROWS=5 COLS=70></TEXTAREA>\n',
                      r.body)

    def test_hidden_fields_are_escaped(self):
        r = self.act("Open", QS='a"><script>x</script>')
        self.assertIn('<INPUT TYPE="hidden" NAME=QS VALUE="a&quot;&gt;&lt;script&gt;x'
                      '&lt;/script&gt;">\n', r.body)
        self.assertNotIn("<script>", r.body)

    def test_analyse_proposes_the_number_of_entries(self):
        make_report(self.inst, 2, entries=[("Description", 1, "admin", "a\n"),
                                           ("Analyse_1", 2, "admin", "b\n"),
                                           ("Analyse_2", 3, "admin", "c\n")])
        r = self.act("Analyse", num="TS10.00002")
        self.assertIn('<P>Title \n<INPUT TYPE="text" NAME="title" SIZE=20 VALUE="Analyse_3">\n'
                      "Action performed by: \n", r.body)
        self.assertIn('<inPUT TYPE="submit" VALUE="OK">\n'
                      '<TEXTAREA NAME="text" ROWS=15 COLS=70></TEXTAREA>\n', r.body)

    def test_corrected_proposes_working_days_since_creation(self):
        self.inst.write("cfg/TEST_deadline.cfg", "v1 v2\nv3\n")
        created = int(time.time()) - 20 * DAY
        make_report(self.inst, 2, date=created)
        t0 = time.time()
        r = self.act("Corrected", num="TS10.00002")
        t1 = time.time()
        m = re.search(r'<P>Time spent \(days\) : \n<INPUT TYPE="text" NAME="Load" SIZE=4 '
                      r'VALUE="(\d+)">\n', r.body)
        self.assertIsNotNone(m, r.body)
        self.assertIn(int(m.group(1)), {working_days(created, int(t0)),
                                        working_days(created, int(t1) + 1)})
        self.assertIn(int(m.group(1)), range(13, 17))  # 20 days hold 14 to 16 working days
        # Versions: the deadlines that are not yet versions.
        self.assertIn('<SELECT NAME="version">\n<OPTION >&nbsp\n<OPTION> v3\n</SELECT>\n',
                      r.body)
        self.assertIn('<TEXTAREA NAME="text" ROWS=15 COLS=70>Correction report\n\n\n'
                      "Cause:\n\n\nChanges made:\n</TEXTAREA>\n", r.body)

    def test_postpone_proposes_tomorrow(self):
        t0 = time.time()
        r = self.act("Postpone")
        dates = {time.strftime("%d/%m/%Y", time.localtime(t + DAY)) for t in (t0, time.time())}
        m = re.search(r'until \(day/month/year\):<INPUT TYPE="text" NAME="text" SIZE=20 '
                      r'VALUE="([^"]*)">\n', r.body)
        self.assertIsNotNone(m, r.body)
        self.assertIn(m.group(1), dates)

    def test_verified_form(self):
        make_report(self.inst, 2, testref='T-12 "a"')
        r = self.act("Verified", num="TS10.00002")
        # Every version matches the empty preselection.
        self.assertIn('<OPTION SELECTED>&nbsp\n<OPTION SELECTED> v1\n<OPTION SELECTED> v2\n'
                      "</SELECT>\n", r.body)
        self.assertIn('Verified with the test:<INPUT TYPE="text" NAME="test" SIZE=20 '
                      'VALUE="T-12 &quot;a&quot;">\n<BR>Verification report :<BR>\n'
                      '<TEXTAREA NAME="text" ROWS=15 COLS=70></TEXTAREA>\n', r.body)

    def test_for_verification_only_for_a_corrected_report(self):
        r = self.act("For_Verification")
        self.assertIn(error_box(self.text(508)), r.body)
        self.assertNotIn("<SELECT", r.body)
        self.inst.write("cfg/TEST_users.cfg",
                        "admin :a@x:admin:YES:YES:YES:YES:YES:YES:YES\n"
                        "bob :b@x:b:YES:YES:YES:YES:YES:YES:YES\n")
        make_report(self.inst, 2, status=STATUS["CORRECTED"], submitter="bob")
        r = self.act("For_Verification", num="TS10.00002", QS="q")
        self.assertIn("<H1>Sending TS10.00002 for verification</H1>\n"
                      "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>"
                      'TS10.00002 sent for verification by:<SELECT NAME="User">\n'
                      "<OPTION >&nbsp\n<OPTION> admin\n<OPTION SELECTED> bob\n</SELECT>\n"
                      'to be verified by: \n<SELECT NAME="submitter">\n', r.body)

    def test_blank_user_shows_the_form_again(self):
        before = self.snapshot()
        # The blank option as a UTF-8 page sends it, and as a latin-1 one does.
        for blank in ("%C2%A0", "%A0", "+"):
            with self.subTest(blank=blank):
                r = self.inst.run(query="CMD=Not_a_Bug&Num=%s&User=%s" % (NAME, blank))
                self.assertIn('<FORM METHOD=GET ACTION="/cgi-bin/velko">\n', r.body)
        self.assertUnchanged(before)


# One row per action: CMD, arguments, status after, fields set, history
# text, analysis (title, text) or None, and whether the project, group and
# phase are remembered with the user.
ROWS = [
    ("Observed", {"submitter": "bob"}, "OBSERVATION", {"assignedTo": "bob"},
     "Observation entrusted to bob by admin", None, False),
    ("Assign", {"submitter": "bob"}, "ANALYSIS", {"assignedTo": "bob"},
     "Assigned to bob by admin", None, False),
    ("Open", {"submitter": "bob"}, "OPEN", {"assignedTo": "bob"},
     "Opened for bob by admin", None, False),
    ("Not_a_Bug", {}, "NOT_A_BUG", {}, "Not a bug, according to admin", None, False),
    ("Not_Reproducible", {}, "NOT_REPRODUCTIBLE", {},
     "Not reproducible, according to admin", None, False),
    ("Duplicate", {"text": "TS10.00002"}, "DUPLICATE", {},
     "Duplicate of TS10.00002, noted by admin", None, False),
    ("Analyse", {"title": "Analyse_1", "text": "It breaks\nhere"}, "NEW", {},
     "Analysis Analyse_1 added by admin", ("Analyse_1", "It breaks\nhere\n"), True),
    ("Corrected", {"version": "v2", "Load": "7", "text": "fixed"}, "CORRECTED",
     {"timeSpent": "7", "correctVersion": "v2"}, "Corrected by admin in version v2",
     ("Correction", "fixed\n"), True),
    ("For_Verification", {"submitter": "bob"}, "NEW", {"verifiedBy": "bob"},
     "Verification entrusted to bob by admin", None, False),
    ("Verified", {"version": "v2", "test": "T1", "text": "works"}, "VERIFIED",
     {"verifyVersion": "v2"}, "Verified by admin in version v2",
     ("Verification", "works\n"), True),
    ("Rejected", {"text": "still broken"}, "NEW", {}, "Rejected by admin",
     ("Reason for rejection", "still broken\n"), False),
    ("Abandoned", {"text": "obsolete"}, "ABANDONED", {}, "Abandoned by admin",
     ("Reason for abandonment", "obsolete\n"), False),
]

HEADINGS = {
    "Observed": "Observation of TS10.00001", "Assign": "TS10.00001 assigned",
    "Open": "TS10.00001 opened", "Not_a_Bug": "TS10.00001 classified as not a bug",
    "Not_Reproducible": "TS10.00001 not reproducible",
    "Duplicate": "TS10.00001 marked as a duplicate of TS10.00002",
    "Analyse": "Analysis of TS10.00001", "Corrected": "Correction of TS10.00001",
    "For_Verification": "TS10.00001 sent for verification",
    "Verified": "Verification of TS10.00001", "Rejected": "Rejection of TS10.00001",
    "Abandoned": "Abandonment of TS10.00001",
}


class TransitionTest(WorkflowCase):
    def setUp(self):
        super().setUp()
        self.inst.write("cfg/TEST_users.cfg",
                        "admin :a@x:admin:YES:YES:YES:YES:YES:YES:YES\n"
                        "bob :b@x:b:YES:YES:YES:YES:YES:YES:YES\n")
        make_report(self.inst, 2)
        # Fields that no action of the table touches must survive it.
        make_report(self.inst, 1, entries=[("Description", 1100000000, "admin", "line\n")],
                    history="2004/11/09:11.33.20 Created by admin\n",
                    assignedTo="carol", corrector="dan", verifiedBy="erin",
                    correctDate=1100000100, correctVersion="v1", verifyDate=1100000200,
                    verifyVersion="v1", testref="T9", mdaPda="ref", timeSpent=3)
        # The index then has report 2 and report 1, in that order.

    def test_every_row_of_the_table(self):
        for cmd, args, status, changed, hist, analysis, info in ROWS:
            with self.subTest(cmd=cmd):
                make_report(self.inst, 1, entries=[("Description", 1100000000, "admin",
                                                    "line\n")],
                            history="2004/11/09:11.33.20 Created by admin\n",
                            assignedTo="carol", corrector="dan", verifiedBy="erin",
                            correctDate=1100000100, correctVersion="v1",
                            verifyDate=1100000200, verifyVersion="v1", testref="T9",
                            mdaPda="ref", timeSpent=3)
                old, _, _ = read_report(self.inst)
                for f in ("cfg/userinfo.dat", "data/history.dat"):
                    if os.path.exists(self.inst.path(f)):
                        os.remove(self.inst.path(f))
                t0 = int(time.time())
                r = self.act(cmd, post=True, User="admin", QS="CMD=search&a=b", **args)
                t1 = int(time.time())
                fields, entries, history = read_report(self.inst)
                self.assertEqual(fields["status"], STATUS[status])
                expected = dict(old, status=STATUS[status], **changed)
                if cmd == "Corrected":
                    self.assertIn(int(fields["correctDate"]), range(t0, t1 + 1))
                    expected["correctDate"] = fields["correctDate"]
                if cmd == "Verified":
                    self.assertIn(int(fields["verifyDate"]), range(t0, t1 + 1))
                    expected["verifyDate"] = fields["verifyDate"]
                self.assertEqual(fields, expected)
                # The history gains one line; the global history the same
                # line with the report's name.
                self.assertEqual(len(history), 2)
                self.assertEqual(history[0], "2004/11/09:11.33.20 Created by admin")
                self.assertRegex(history[1], "^%s %s$" % (TIME, re.escape(hist)))
                when = history[1].split(" ", 1)[0]
                self.assertEqual(self.inst.read("data/history.dat"),
                                 "%s %s %s\n" % (when, NAME, hist))
                if analysis:
                    self.assertEqual(len(entries), 2)
                    title, date, submitter, text = entries[1]
                    self.assertEqual((title, submitter, text), (analysis[0], "admin",
                                                                analysis[1]))
                    self.assertIn(date, range(t0, t1 + 1))
                    self.assertEqual(time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(date)),
                                     when)  # one time per action
                else:
                    self.assertEqual(len(entries), 1)
                self.assertEqual(self.inst.read("cfg/userinfo.dat"),
                                 "127.0.0.1:admin:TEST:phase 1:0\n" if info
                                 else "127.0.0.1:admin: : :-1\n")
                # The index line follows the report and moved to the end.
                index = self.inst.read("data/index").splitlines()
                self.assertEqual(index[-1], self.inst.read("data/" + NAME).split("\n")[0])
                self.assertEqual(len(index), 2)
                # The page: heading, way back to the list, the report as stored.
                self.assertIn("<Table Width=100%% Cellpadding=0 Cellspacing=0 border=0>\n"
                              "<TR><TD ALIGN=LEFT><H1>%s</H1></TD>\n"
                              "<TD ALIGN=RIGHT Valign=TOP>\n"
                              '<A HREF="?CMD=search&a=b">\n'
                              '<IMG SRC="/velko/images//larrow.gif" BORDER=0 VALIGN=CENTER>'
                              "</A>\n</A></TD></TR></Table>\n" % HEADINGS[cmd], r.body)
                self.assertIn("QS=CMD%3Dsearch%26a%3Db", r.body)  # the action bar

    def test_postpone_row_and_date(self):
        # 31/12/2004 is that day at the time of day of the request.
        t0 = time.time()
        r = self.act("Postpone", User="admin", text="31/12/2004")
        t1 = time.time()
        fields, _, history = read_report(self.inst)
        self.assertEqual(fields["status"], STATUS["POSTPONE"])
        candidates = set()
        for t in range(int(t0), int(t1) + 1):
            lt = time.localtime(t)
            candidates.add(int(time.mktime((2004, 12, 31, lt.tm_hour, lt.tm_min, lt.tm_sec,
                                            0, 0, -1))))
        self.assertIn(int(fields["postponeDate"]), candidates)
        self.assertRegex(history[-1], "^%s Postponed until 31/12/2004 by admin$" % TIME)
        self.assertIn("<H1>TS10.00001 postponed until 31/12/2004</H1>", r.body)
        self.assertEqual(self.inst.read("cfg/userinfo.dat"), "127.0.0.1:admin: : :-1\n")

    def test_rejected_keeps_the_correction_and_verification_fields(self):
        make_report(self.inst, 3, status=STATUS["VERIFIED"], corrector="dan",
                    correctDate=1100000100, correctVersion="v1", verifiedBy="erin",
                    verifyDate=1100000200, verifyVersion="v2", assignedTo="carol")
        self.act("Rejected", num="TS10.00003", post=True, User="admin", text="no")
        fields, entries, _ = read_report(self.inst, "TS10.00003")
        self.assertEqual(fields["status"], STATUS["NEW"])
        self.assertEqual((fields["verifiedBy"], fields["verifyDate"], fields["verifyVersion"]),
                         ("erin", "1100000200", "v2"))
        self.assertEqual((fields["corrector"], fields["correctDate"],
                          fields["correctVersion"], fields["assignedTo"]),
                         ("dan", "1100000100", "v1", "carol"))
        self.assertEqual(entries[-1][0], "Reason for rejection")

    def test_verified_with_only_a_test(self):
        self.act("Verified", post=True, User="admin", version="v1", test="T-42", text="")
        fields, entries, _ = read_report(self.inst)
        self.assertEqual(fields["status"], STATUS["VERIFIED"])
        self.assertEqual(entries[-1][0], "Verification")
        self.assertEqual(entries[-1][3], "T-42\n")

    def test_corrected_load_replaces_time_spent(self):
        self.act("Corrected", post=True, User="admin", version="v2", Load="12", text="x")
        self.assertEqual(read_report(self.inst)[0]["timeSpent"], "12")

    def test_assign_by_a_name_inside_the_managers_list(self):
        # The manager test is a substring search: "ali" is in "alice,bob".
        self.inst.write("cfg/project.cfg", "TEST:T:alice,bob:carol\n")
        self.act("Assign", User="ali", submitter="bob")
        fields, _, history = read_report(self.inst)
        self.assertEqual(fields["status"], STATUS["ANALYSIS"])
        self.assertRegex(history[-1], "Assigned to bob by ali$")

    def test_for_verification_by_a_validation_manager(self):
        self.inst.write("cfg/project.cfg", "TEST:T:alice:carol\n")
        self.act("For_Verification", User="carol", submitter="bob")
        self.assertEqual(read_report(self.inst)[0]["verifiedBy"], "bob")

    def test_a_report_from_new_to_verified(self):
        steps = [("Observed", {"submitter": "admin"}, "OBSERVATION"),
                 ("Assign", {"submitter": "bob"}, "ANALYSIS"),
                 ("Open", {"submitter": "bob"}, "OPEN"),
                 ("Corrected", {"version": "v2", "Load": "2", "text": "done"}, "CORRECTED"),
                 ("For_Verification", {"submitter": "bob"}, "CORRECTED"),
                 ("Verified", {"version": "v2", "text": "ok"}, "VERIFIED")]
        for cmd, args, status in steps:
            self.act(cmd, post=True, User="admin", **args)
            self.assertEqual(read_report(self.inst)[0]["status"], STATUS[status], cmd)
        fields, entries, history = read_report(self.inst)
        self.assertEqual((fields["assignedTo"], fields["verifiedBy"], fields["correctVersion"],
                          fields["verifyVersion"]), ("bob", "bob", "v2", "v2"))
        self.assertEqual([e[0] for e in entries], ["Description", "Correction", "Verification"])
        self.assertEqual(len(history), 7)


class RefusalTest(WorkflowCase):
    """A refused form shows its message, and no file changes."""

    def setUp(self):
        super().setUp()
        self.inst.write("cfg/project.cfg", "TEST:T:admin,alice:carol\n")

    def test_every_condition(self):
        cases = [
            ("Observed", {"User": "", "submitter": "bob"}, 502),
            ("Observed", {"User": "admin", "submitter": " "}, 502),
            ("Observed", {"User": "admin"}, 502),
            ("Assign", {"User": "admin"}, 502),
            ("Assign", {"User": "dave", "submitter": "bob"}, 507),
            ("Open", {"User": "admin", "submitter": "%A0"}, 502),
            ("Not_a_Bug", {"User": ""}, 502),
            ("Not_Reproducible", {"User": ""}, 502),
            ("Duplicate", {"User": "", "text": NAME}, 502),
            ("Postpone", {"User": "admin", "text": "2004-12-31"}, 510),
            ("Postpone", {"User": "admin", "text": "31/12"}, 510),
            ("Postpone", {"User": "", "text": "31/12/2004"}, 510),
            ("Analyse", {"User": "admin", "text": "x"}, 502),
            ("Analyse", {"User": "admin", "title": " x"}, 502),
            ("Corrected", {"User": "admin", "text": "x"}, 502),
            ("Verified", {"User": "admin", "test": "T1"}, 502),
            ("Verified", {"User": "admin", "version": "v1", "text": ""}, 502),
            ("Verified", {"User": "admin", "version": "v1", "test": " ", "text": " \n "}, 502),
            ("For_Verification", {"User": "admin"}, 502),
            ("For_Verification", {"User": "dave", "submitter": "bob"}, 507),
            ("Rejected", {"User": "", "text": "x"}, 502),
            ("Abandoned", {"User": "", "text": "x"}, 502),
        ]
        before = self.snapshot()
        for cmd, args, msg in cases:
            with self.subTest(cmd=cmd, args=args):
                query = "CMD=%s&Num=%s&" % (cmd, NAME) + "&".join(
                    "%s=%s" % (k, v.replace(" ", "+").replace("\n", "%0A"))
                    for k, v in args.items())
                r = self.inst.run(query=query)
                self.assertIn(error_box(self.text(msg)), r.body)
                self.assertUnchanged(before)
                # The unchanged report is still shown.
                self.assertIn("Crash at start", r.body)

    def test_not_a_manager_comment(self):
        r = self.act("Assign", User="dave", submitter="bob")
        self.assertIn(error_box(self.text(507)) + "<!dave,admin,alice>\n", r.body)

    def test_duplicate_of_a_report_that_does_not_exist(self):
        before = self.snapshot()
        for text in ("TS10.00077", "../cfg/project.cfg", "index", "TS10.00001/"):
            with self.subTest(text=text):
                r = self.act("Duplicate", User="admin", text=text)
                self.assertIn(error_box("The report %s does not exist." % text, True), r.body)
        r = self.act("Duplicate", User="admin", text="<b>")
        self.assertIn(error_box("The report &lt;b&gt; does not exist.", True), r.body)
        self.assertUnchanged(before)


class EntryPointTest(WorkflowCase):
    def test_report_that_does_not_exist(self):
        before = self.snapshot()
        for num in ("TS10.00099", "../cfg/project.cfg", "index", "", "<i>.1"):
            for user in (None, "admin"):
                with self.subTest(num=num, user=user):
                    args = {"User": user, "submitter": "admin"} if user else {}
                    r = self.act("Open", num=num, **args)
                    self.assertIn("<FONT COLOR=RED>Cannot read the report %s <BR></FONT>\n"
                                  % num.replace("<", "&lt;").replace(">", "&gt;"), r.body)
                    self.assertNotIn("<FORM", r.body)
                    self.assertNotIn("<SELECT", r.body)
        self.assertUnchanged(before)

    def test_attachments_are_not_available(self):
        before = self.snapshot()
        for args in ({}, {"User": "admin", "title": "t"}):
            r = self.act("Attach", **args)
            self.assertIn(error_box(self.text(519)), r.body)
            self.assertNotIn("<FORM", r.body)
        self.assertUnchanged(before)

    def test_failed_save_is_reported_and_changes_nothing(self):
        before = self.snapshot()
        fd = os.open(self.inst.path("data", "index.lock"), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            r = self.act("Not_a_Bug", User="admin")
        finally:
            os.close(fd)
        self.assertIn(error_box("The change could not be saved: The file index cannot be "
                                "opened or written.", True), r.body)
        self.assertEqual(read_report(self.inst)[0]["status"], STATUS["NEW"])
        self.assertFalse(os.path.exists(self.inst.path("cfg", "userinfo.dat")))
        after = self.snapshot()
        after.pop(self.inst.path("data", "index.lock"), None)
        after.pop(self.inst.path("data", "history.dat"), None)  # appended before the write
        self.assertEqual(before, after)
        self.assertEqual([n for n in os.listdir(self.inst.path("data")) if "tmp" in n and n != "tmp"],
                         [])

    def test_user_not_remembered_is_reported_and_the_action_stays(self):
        fd = os.open(self.inst.path("cfg", "userinfo.lock"), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            r = self.act("Not_a_Bug", User="admin")
        finally:
            os.close(fd)
        self.assertEqual(read_report(self.inst)[0]["status"], STATUS["NOT_A_BUG"])
        text = self.text(527) or "The action was saved, but your choices could not be remembered."
        self.assertIn("<FONT COLOR=RED>%s <BR></FONT>\n" % text, r.body)


class SecurityTest(WorkflowCase):
    install_args = {"security": True}

    def test_submission_needs_a_valid_session(self):
        before = self.snapshot()
        for uid in (None, "cfokp#VGUV#1100000000#00", "garbage"):
            with self.subTest(uid=uid):
                args = {"User": "admin"}
                if uid:
                    args["Uid"] = uid
                r = self.act("Not_a_Bug", **args)
                self.assertIn(self.text(518), r.body)
                self.assertNotIn("classified as not a bug", r.body)
        self.assertUnchanged(before)
        r = self.inst.run(post="Login=2&User=admin&Passwd=admin")
        uid = dict(hidden_fields(r.body))["Uid"]
        # The form carries the session, and its fields make a submission
        # that is applied.
        r = self.act("Not_a_Bug", Uid=uid)
        hidden = re.findall(r'<INPUT TYPE="hidden" NAME="?([^" ]*)"? VALUE="([^"]*)">', r.body)
        self.assertEqual([n for n, _ in hidden], ["CMD", "Num", "QS", "Uid"])
        self.assertEqual(dict(hidden)["Uid"], uid.replace("&", "&amp;"))
        self.inst.run(query=urllib.parse.urlencode(hidden + [("User", "admin")]))
        self.assertEqual(read_report(self.inst)[0]["status"], STATUS["NOT_A_BUG"])


if __name__ == "__main__":
    unittest.main()
