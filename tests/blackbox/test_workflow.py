"""The status workflow: the action forms, their application to a report,
their refusals, the way back to the list, and the report and index files
they rewrite."""
import os
import re
import time
import unittest
import urllib.parse

from velkotest import (FIELDS, FULL_RIGHTS, SEP_ANALYSE, SEP_ATTACH, SEP_HISTORY, STATUS, TIME,
                       VelkoTestCase, parse_report, report_line, report_text)

NAME = "TS10.00001"  # project TEST (prefix T), phase specification (S), group "phase 1" (10)
DAY = 86400
LIST_QUERY = "CMD=find&resp=all&statN=X&find=TS10.00001"
T = "<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>"


def read_report(inst, name=NAME):
    """(fields, entries [(title, date, submitter, text)], history lines)."""
    first, entries, history = parse_report(inst.read("data/" + name, "rb"))
    return (dict(zip(FIELDS, first.split("|", 26))),
            [(h[0], int(h[1]), h[2], text) for _, h, text in entries], history.splitlines())


def error_box(text, formatted=False):
    """The end of the error box of a text, or of a text used as a format
    (which has no line feed after it)."""
    return "<P><HR><BR><BR>%s%s</TD></TR></TABLE>" % (text, "" if formatted else "\n")


class WorkflowCase(VelkoTestCase):
    def setUp(self):
        super().setUp()
        self.inst.put_report()
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin%s\nbob :b@x:b%s\n" % ((FULL_RIGHTS,) * 2))

    def act(self, cmd, num=NAME, post=False, **args):
        qs = urllib.parse.urlencode([("CMD", cmd), ("Num", num)] + list(args.items()))
        return self.inst.run(post=qs) if post else self.inst.run(query=qs)


FORMS = [  # CMD, method, start of the form after the hidden fields
    ("Assign", "GET", "<H1>Assignment of TS10.00001</H1>\n<TABLE BORDER=0 WIDTH=100%><TR><TD><P>\n"
     'Assign TS10.00001 to:<SELECT NAME="submitter">\n'),
    ("Open", "GET", '<H1>Opening of TS10.00001</H1>\n%sPerson in charge of TS10.00001:<SELECT '
     'NAME="submitter">\n' % T),
    ("Not_a_Bug", "GET", "<H1>Classify TS10.00001 as not a bug</H1>\n%sTS10.00001 is not a bug, "
     'according to:<SELECT NAME="User">\n' % T),
    ("Not_Reproducible", "GET", "<H1>TS10.00001 not reproducible</H1>\n%sTS10.00001 cannot be "
     'reproduced, according to:<SELECT NAME="User">\n' % T),
    ("Duplicate", "GET", "<H1>Mark TS10.00001 as a duplicate</H1>\n%sTS10.00001 duplicates the report:"
     '<INPUT TYPE="text" NAME="text" SIZE=20 VALUE="">\nAction performed by: \n<SELECT NAME="User">\n'
     % T),
    ("Postpone", "GET", "<H1>Postponement of TS10.00001</H1>\n"),
    ("Analyse", "POST", "<H1>Analysis of TS10.00001 </H1>\n%sTitle \n" % T),
    ("Corrected", "POST", "<H1>Correction of TS10.00001 </H1>\n%sTS10.00001 corrected in version:"
     '<SELECT NAME="version">\n<OPTION >&nbsp\n' % T),
    ("Verified", "POST", "<H1>Verification of TS10.00001 </H1>\n%sTS10.00001 verified in version:"
     '<SELECT NAME="version">\n<OPTION SELECTED>&nbsp\n' % T),
    ("Rejected", "POST", '<H1>Rejection of TS10.00001</H1>\n%sTS10.00001 rejected by:<SELECT '
     'NAME="User">\n' % T),
    ("Abandoned", "POST", '<H1>Abandonment of TS10.00001</H1>\n%sTS10.00001 abandoned by:<SELECT '
     'NAME="User">\n' % T),
]


class FormTest(WorkflowCase):
    """Without User an action shows its form and changes nothing."""

    def test_forms(self):
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin" + FULL_RIGHTS + "\n")
        before = self.inst.snapshot()
        r = self.act("Observed", QS="CMD=search&proj=TEST")
        self.assertIn("<TITLE>Observed</TITLE>", r.body)
        self.assertEqual(r.body[r.body.index("<FORM"):r.body.index("</FORM><HR>\n") + 12], (
            '<FORM METHOD=GET ACTION="/cgi-bin/velko">\n<INPUT TYPE="hidden" NAME="CMD" VALUE="Observed">'
            '\n<INPUT TYPE="hidden" NAME="Num" VALUE="TS10.00001">\n<INPUT TYPE="hidden" NAME=QS VALUE='
            '"CMD=search&proj=TEST">\n<H1>Observation of TS10.00001</H1>\n<TABLE BORDER=0 WIDTH=100%<TR>'
            '<TD>\n<P>Person who observes TS10.00001:<SELECT NAME="submitter">\n<OPTION >&nbsp\n<OPTION '
            'SELECTED> admin\n</SELECT>\nAction performed by: \n<SELECT NAME="User">\n<OPTION >&nbsp\n'
            '<OPTION> admin\n</SELECT>\n<inPUT TYPE="submit" VALUE="OK">\n</TD></TR></TABLE>\n'
            "</FORM><HR>\n"))
        # The report follows the form, without action bar.
        self.assertIns(r.body[r.body.index("</FORM><HR>"):], "Crash at start", absent=["CMD=Change_Header"])
        # The list's query string travels in each form as QS, as it was sent.
        for cmd, method, start in FORMS:
            r = self.act(cmd, QS=LIST_QUERY)
            self.assertIn('<FORM METHOD=%s ACTION="/cgi-bin/velko">\n<INPUT TYPE="hidden" NAME="CMD" '
                          'VALUE="%s">\n<INPUT TYPE="hidden" NAME="Num" VALUE="TS10.00001">\n<INPUT '
                          'TYPE="hidden" NAME=QS VALUE="%s">\n%s' % (method, cmd, LIST_QUERY, start), r.body)
            form = r.body[r.body.index("<FORM"):r.body.index("</FORM><HR>\n")]
            self.assertEqual(form.count('<inPUT TYPE="submit" VALUE="OK">\n'), 1, cmd)
            self.assertTrue(form.endswith("</TD></TR></TABLE>\n"), form[-200:])
        self.assertIn('</SELECT>\nReason : <BR>\n<TEXTAREA NAME="text" ROWS=6 COLS=70></TEXTAREA>\n'
                      '<inPUT TYPE="submit" VALUE="OK">\n</TD></TR></TABLE>\n', self.act("Rejected").body)
        self.assertIn('Reason : <BR>\n<TEXTAREA NAME="text" ROWS=5 COLS=70></TEXTAREA>\n',
                      self.act("Abandoned").body)
        # A blank User (as a UTF-8 page sends it, and as a latin-1 one does) shows the form again.
        for blank in ("%C2%A0", "%A0", "+"):
            self.assertIn('<FORM METHOD=GET ACTION="/cgi-bin/velko">\n', self.inst.run(
                query="CMD=Not_a_Bug&Num=%s&User=%s" % (NAME, blank)).body)
        self.assertEqual(self.inst.snapshot(), before)

    def test_proposed_values(self):
        self.inst.put_report(number=2, entries=[(None, "Description", 1, "admin", "a\n"),
                                                (None, "Analyse_1", 2, "admin", "b\n"),
                                                (None, "Analyse_2", 3, "admin", "c\n")])
        self.assertIns(self.act("Analyse", num="TS10.00002").body,
                       '<P>Title \n<INPUT TYPE="text" NAME="title" SIZE=20 VALUE="Analyse_3">\n'
                       "Action performed by: \n", '<inPUT TYPE="submit" VALUE="OK">\n'
                       '<TEXTAREA NAME="text" ROWS=15 COLS=70></TEXTAREA>\n')
        t0 = time.time()  # Postpone: tomorrow
        m = re.search(r'until \(day/month/year\):<INPUT TYPE="text" NAME="text" SIZE=20 VALUE="([^"]*)">\n',
                      self.act("Postpone").body)
        self.assertIn(m and m.group(1), {time.strftime("%d/%m/%Y", time.localtime(t + DAY))
                                         for t in (t0, time.time())})
        # Verified: every version matches the empty preselection.
        self.inst.put_report(number=3, testref='T-12 "a"')
        self.assertIns(self.act("Verified", num="TS10.00003").body,
                       "<OPTION SELECTED>&nbsp\n<OPTION SELECTED> v1\n<OPTION SELECTED> v2\n</SELECT>\n",
                       'Verified with the test:<INPUT TYPE="text" NAME="test" SIZE=20 VALUE="T-12 '
                       '&quot;a&quot;">\n<BR>Verification report :<BR>\n<TEXTAREA NAME="text" '
                       'ROWS=15 COLS=70></TEXTAREA>\n')
        # Corrected: the working days since the creation, the versions still to come.
        self.inst.write("cfg/TEST_deadline.cfg", "v1 v2\nv3\n")
        created = int(time.time()) - 20 * DAY
        self.inst.put_report(number=4, date=created)
        t0 = time.time()
        r = self.act("Corrected", num="TS10.00004")
        m = re.search(r'<P>Time spent \(days\) : \n<INPUT TYPE="text" NAME="Load" SIZE=4 VALUE="(\d+)">\n',
                      r.body)
        self.assertIn(int(m.group(1)), {sum(time.localtime(d).tm_wday < 5 for d in range(created, t, DAY))
                                        for t in (int(t0), int(time.time()) + 1)})
        self.assertIn(int(m.group(1)), range(13, 17))  # 20 days hold 14 to 16 working days
        self.assertIns(r.body, '<SELECT NAME="version">\n<OPTION >&nbsp\n<OPTION> v3\n</SELECT>\n',
                       '<TEXTAREA NAME="text" ROWS=15 COLS=70>Correction report\n\n\nCause:\n\n\n'
                       "Changes made:\n</TEXTAREA>\n")
        # For_Verification: only for a corrected report.
        self.assertIns(self.act("For_Verification").body, error_box(self.inst.lang(508)),
                       absent=["<SELECT"])
        self.inst.put_report(number=5, status=STATUS["CORRECTED"], submitter="bob")
        self.assertIn("<H1>Sending TS10.00005 for verification</H1>\n%sTS10.00005 sent for verification "
                      'by:<SELECT NAME="User">\n<OPTION >&nbsp\n<OPTION> admin\n<OPTION SELECTED> bob\n'
                      '</SELECT>\nto be verified by: \n<SELECT NAME="submitter">\n' % T,
                      self.act("For_Verification", num="TS10.00005", QS="q").body)

    def test_a_crafted_query_stays_inside_its_attribute(self):
        qs = 'a=1&b="><script>x</script>'
        self.assertIn('<INPUT TYPE="hidden" NAME=QS VALUE="a=1&b=&quot;&gt;&lt;script&gt;x&lt;/script'
                      '&gt;">\n', self.act("Open", QS=qs).body)
        self.assertIns(self.act("Not_a_Bug", QS=qs, User="admin").body,
                       '<A HREF="?a=1&b=&quot;&gt;&lt;script&gt;x&lt;/script&gt;">\n', absent=["<script>"])


# One row per action: CMD, arguments, status after, fields set, history
# text, analysis (title, text) or None, whether the project, group and
# phase are remembered with the user, and the heading of the page.
ROWS = [
    ("Observed", {"submitter": "bob"}, "OBSERVATION", {"assignedTo": "bob"},
     "Observation entrusted to bob by admin", None, False, "Observation of TS10.00001"),
    ("Assign", {"submitter": "bob"}, "ANALYSIS", {"assignedTo": "bob"}, "Assigned to bob by admin",
     None, False, "TS10.00001 assigned"),
    ("Open", {"submitter": "bob"}, "OPEN", {"assignedTo": "bob"}, "Opened for bob by admin", None,
     False, "TS10.00001 opened"),
    ("Not_a_Bug", {}, "NOT_A_BUG", {}, "Not a bug, according to admin", None, False,
     "TS10.00001 classified as not a bug"),
    ("Not_Reproducible", {}, "NOT_REPRODUCTIBLE", {}, "Not reproducible, according to admin", None,
     False, "TS10.00001 not reproducible"),
    ("Duplicate", {"text": "TS10.00002"}, "DUPLICATE", {}, "Duplicate of TS10.00002, noted by admin",
     None, False, "TS10.00001 marked as a duplicate of TS10.00002"),
    ("Analyse", {"title": "Analyse_1", "text": "It breaks\nhere"}, "NEW", {},
     "Analysis Analyse_1 added by admin", ("Analyse_1", "It breaks\nhere\n"), True,
     "Analysis of TS10.00001"),
    ("Corrected", {"version": "v2", "Load": "7", "text": "fixed"}, "CORRECTED",
     {"timeSpent": "7", "correctVersion": "v2"}, "Corrected by admin in version v2",
     ("Correction", "fixed\n"), True, "Correction of TS10.00001"),
    ("For_Verification", {"submitter": "bob"}, "NEW", {"verifiedBy": "bob"},
     "Verification entrusted to bob by admin", None, False, "TS10.00001 sent for verification"),
    ("Verified", {"version": "v2", "test": "T1", "text": "works"}, "VERIFIED", {"verifyVersion": "v2"},
     "Verified by admin in version v2", ("Verification", "works\n"), True, "Verification of TS10.00001"),
    ("Rejected", {"text": "still broken"}, "NEW", {}, "Rejected by admin",
     ("Reason for rejection", "still broken\n"), False, "Rejection of TS10.00001"),
    ("Abandoned", {"text": "obsolete"}, "ABANDONED", {}, "Abandoned by admin",
     ("Reason for abandonment", "obsolete\n"), False, "Abandonment of TS10.00001"),
]


class TransitionTest(WorkflowCase):
    def test_every_row_of_the_table(self):
        self.inst.put_report(number=2)
        for cmd, args, status, changed, hist, analysis, info, heading in ROWS:
            with self.subTest(cmd=cmd):
                # Fields that no action of the table touches must survive it;
                # the index has report 2, then report 1.
                self.inst.put_report(entries=[(None, "Description", 1100000000, "admin", "line\n")],
                                     history="2004/11/09:11.33.20 Created by admin\n", assignedTo="carol",
                                     corrector="dan", verifiedBy="erin", correctDate=1100000100,
                                     correctVersion="v1", verifyDate=1100000200, verifyVersion="v1",
                                     testref="T9", mdaPda="ref", timeSpent=3)
                old = read_report(self.inst)[0]
                for f in ("cfg/userinfo.dat", "data/history.dat"):
                    if os.path.exists(self.inst.path(f)):
                        os.remove(self.inst.path(f))
                t0 = int(time.time())
                r = self.act(cmd, post=True, User="admin", QS="CMD=search&a=b", **args)
                fields, entries, history = read_report(self.inst)
                expected = dict(old, status=STATUS[status], **changed)
                date = {"Corrected": "correctDate", "Verified": "verifyDate"}.get(cmd)
                if date:
                    self.assertIn(int(fields[date]), range(t0, int(time.time()) + 1))
                    expected[date] = fields[date]
                self.assertEqual(fields, expected)
                # The history gains one line; the global history the same
                # line with the report's name; an analysis has the same time.
                self.assertEqual(history[0], "2004/11/09:11.33.20 Created by admin")
                self.assertRegex(history[1], "^%s %s$" % (TIME, re.escape(hist)))
                self.assertEqual(len(history), 2)
                when = history[1].split(" ", 1)[0]
                self.assertEqual(self.inst.read("data/history.dat"), "%s %s %s\n" % (when, NAME, hist))
                self.assertEqual(entries[1:], [(analysis[0], entries[1][1], "admin", analysis[1])]
                                 if analysis else [])
                if analysis:
                    self.assertEqual(time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(entries[1][1])), when)
                self.assertEqual(self.inst.read("cfg/userinfo.dat"), "127.0.0.1:admin:TEST:phase 1:0\n"
                                 if info else "127.0.0.1:admin: : :-1\n")
                # The index line follows the report and moved to the end.
                self.assertEqual(self.inst.index_lines()[1:], [self.inst.read("data/" + NAME).split("\n")[0]])
                # The page: heading, way back to the list, the report as stored.
                self.assertIns(r.body, "QS=CMD%3Dsearch%26a%3Db",  # the action bar
                               "<Table Width=100%% Cellpadding=0 Cellspacing=0 border=0>\n<TR><TD ALIGN="
                               "LEFT><H1>%s</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n<A HREF=\"?CMD=search"
                               '&a=b">\n<IMG SRC="/velko/images//larrow.gif" BORDER=0 VALIGN=CENTER></A>\n'
                               "</A></TD></TR></Table>\n" % heading)

    def test_special_cases(self):
        # The way back is the list.
        r = self.act("Not_a_Bug", QS=LIST_QUERY, User="admin")
        back = re.search(r'<A HREF="\?([^"]*)">\n<IMG SRC="[^"]*/larrow.gif"', r.body).group(1)
        self.assertEqual(back, LIST_QUERY)
        self.assertIn("<A HREF=#00000>%s</A>" % NAME, self.inst.run(query=back).body)
        # Postpone until 31/12/2004: that day at the time of day of the request.
        self.inst.put_report(number=2)
        t0 = int(time.time())
        r = self.act("Postpone", num="TS10.00002", User="admin", text="31/12/2004")
        fields, _, history = read_report(self.inst, "TS10.00002")
        self.assertEqual(fields["status"], STATUS["POSTPONE"])
        self.assertIn(int(fields["postponeDate"]), {int(time.mktime((2004, 12, 31) + time.localtime(t)[3:6]
                      + (0, 0, -1))) for t in range(t0, int(time.time()) + 1)})
        self.assertRegex(history[-1], "^%s Postponed until 31/12/2004 by admin$" % TIME)
        self.assertIn("<H1>TS10.00002 postponed until 31/12/2004</H1>", r.body)
        self.assertEqual(self.inst.read("cfg/userinfo.dat"), "127.0.0.1:admin: : :-1\n")
        # Rejected keeps the correction and verification fields.
        self.inst.put_report(number=3, status=STATUS["VERIFIED"], corrector="dan", correctDate=1100000100,
                             correctVersion="v1", verifiedBy="erin", verifyDate=1100000200,
                             verifyVersion="v2", assignedTo="carol")
        self.act("Rejected", num="TS10.00003", post=True, User="admin", text="no")
        fields, entries, _ = read_report(self.inst, "TS10.00003")
        self.assertEqual([fields[f] for f in FIELDS[11:20]], [
            "a", "0", "carol", "dan", "1100000100", "v1", "erin", "1100000200", "v2"])
        self.assertEqual(entries[-1][0], "Reason for rejection")
        # Verified with only a test: the test is the report.
        self.act("Verified", num="TS10.00003", post=True, User="admin", version="v1", test="T-42", text="")
        fields, entries, _ = read_report(self.inst, "TS10.00003")
        self.assertEqual((fields["status"], entries[-1][0], entries[-1][2:]),
                         (STATUS["VERIFIED"], "Verification", ("admin", "T-42\n")))
        # The manager test is a substring search: "ali" is in "alice,bob";
        # a validation manager sends for verification.
        self.inst.write("cfg/project.cfg", "TEST:T:alice,bob:carol\n")
        self.inst.put_report(number=4)
        self.act("Assign", num="TS10.00004", User="ali", submitter="bob")
        fields, _, history = read_report(self.inst, "TS10.00004")
        self.assertEqual(fields["status"], STATUS["ANALYSIS"])
        self.assertRegex(history[-1], "Assigned to bob by ali$")
        self.act("For_Verification", num="TS10.00004", User="carol", submitter="bob")
        self.assertEqual(read_report(self.inst, "TS10.00004")[0]["verifiedBy"], "bob")


class RefusalTest(WorkflowCase):
    """A refused form shows its message, and no file changes."""

    def test_every_condition(self):
        self.inst.write("cfg/project.cfg", "TEST:T:admin,alice:carol\n")
        before = self.inst.snapshot()
        for cmd, args, msg in [
                ("Observed", "User=&submitter=bob", 502), ("Observed", "User=admin&submitter=+", 502),
                ("Observed", "User=admin", 502), ("Assign", "User=admin", 502),
                ("Assign", "User=dave&submitter=bob", 507), ("Open", "User=admin&submitter=%A0", 502),
                ("Not_a_Bug", "User=", 502), ("Not_Reproducible", "User=", 502),
                ("Duplicate", "User=&text=" + NAME, 502), ("Postpone", "User=admin&text=2004-12-31", 510),
                ("Postpone", "User=admin&text=31/12", 510), ("Postpone", "User=&text=31/12/2004", 510),
                ("Analyse", "User=admin&text=x", 502), ("Analyse", "User=admin&title=+x", 502),
                ("Corrected", "User=admin&text=x", 502), ("Verified", "User=admin&test=T1", 502),
                ("Verified", "User=admin&version=v1&text=", 502),
                ("Verified", "User=admin&version=v1&test=+&text=+%0A+", 502),
                ("For_Verification", "User=admin", 502),
                ("For_Verification", "User=dave&submitter=bob", 507),
                ("Rejected", "User=&text=x", 502), ("Abandoned", "User=&text=x", 502)]:
            r = self.inst.run(query="CMD=%s&Num=%s&%s" % (cmd, NAME, args))
            self.assertIns(r.body, error_box(self.inst.lang(msg)), "Crash at start")  # the report still shown
            self.assertEqual(self.inst.snapshot(), before, (cmd, args))
        self.assertIn(error_box(self.inst.lang(507)) + "<!dave,admin,alice>\n",
                      self.act("Assign", User="dave", submitter="bob").body)

    def test_reports_that_do_not_exist(self):
        before = self.inst.snapshot()
        for text in ("TS10.00077", "../cfg/project.cfg", "index", "TS10.00001/", "<b>"):
            self.assertIn(error_box("The report %s does not exist." % text.replace("<", "&lt;").replace(
                ">", "&gt;"), True), self.act("Duplicate", User="admin", text=text).body)
        # TS10.9 is no report name (five digits): not found, never "in use".
        for num in ("TS10.00099", "../cfg/project.cfg", "index", "", "<i>.1", "TS10.9"):
            for args in ({}, {"User": "admin", "submitter": "admin"}):
                self.assertIns(self.act("Open", num=num, **args).body,
                               "<FONT COLOR=RED>Cannot read the report %s <BR></FONT>\n"
                               % num.replace("<", "&lt;").replace(">", "&gt;"), absent=["<FORM", "<SELECT"])
        for args in ({}, {"User": "admin", "title": "t"}):
            self.assertIns(self.act("Attach", num="TS10.00099", **args).body,
                           "<FONT COLOR=RED>Cannot read the report TS10.00099 <BR></FONT>\n", absent=["<FORM"])
        self.assertEqual(self.inst.snapshot(), before)

    def test_submission_needs_a_valid_session(self):
        self.inst.set_cfg(SECURITY="YES")
        before = self.inst.snapshot()
        for uid in (None, "cfokp#VGUV#1100000000#00", "garbage"):
            self.assertIns(self.act("Not_a_Bug", User="admin", **({"Uid": uid} if uid else {})).body,
                           self.inst.lang(518), absent=["classified as not a bug"])
        self.assertEqual(self.inst.snapshot(), before)
        # The form carries the session, and its fields make a submission that is applied.
        uid = self.inst.login("admin", "admin")
        hidden = re.findall(r'<INPUT TYPE="hidden" NAME="?([^" ]*)"? VALUE="([^"]*)">',
                            self.act("Not_a_Bug", Uid=uid).body)
        self.assertEqual(hidden[3:], [("Uid", uid.replace("&", "&amp;"))])
        self.assertEqual([n for n, _ in hidden], ["CMD", "Num", "QS", "Uid"])
        self.inst.run(query=urllib.parse.urlencode(hidden + [("User", "admin")]))
        self.assertEqual(read_report(self.inst)[0]["status"], STATUS["NOT_A_BUG"])


class RewriteTest(WorkflowCase):
    """A hand-written report goes through an action that adds a history line
    only: what the reader kept is what the writer stores again."""

    def rewrite(self, body, history="2004/03/15:14.05.09 Opened by admin\n", count=None, **analysis):
        """Writes the report, applies Not_a_Bug (or an analysis): (first line, entries, history)."""
        self.inst.write("data/" + NAME, report_line() + body + SEP_HISTORY + "\n%d\n" % (
            len(history.encode()) if count is None else count) + history)
        return self.apply(**analysis)

    def apply(self, **analysis):
        r = self.act("Analyse" if analysis else "Not_a_Bug", post=True, User="admin", QS="", **analysis)
        self.assertNotIn("<FONT COLOR=RED><H1>", r.body)
        first, rest = self.inst.read("data/" + NAME, "rb").decode().split("\n", 1)
        body, history = rest.split(SEP_HISTORY + "\n", 1)
        count, history = history.split("\n", 1)
        self.assertEqual(int(count), len(history.encode()))
        return first, body, history

    def test_long_titles_are_cut_between_characters(self):
        # 150 two-byte characters: the 199-byte field ends before the 100th.
        _, body, _ = self.apply(title="\u00e9" * 150, text="x")
        self.assertIn("\n" + "\u00e9" * 99 + "|", body)

    def test_entries_survive_byte_for_byte(self):
        body = report_text("", [
            (SEP_ANALYSE, "First", 1079355909, "admin", "line1\n"),
            (SEP_ATTACH, "file.txt", 1079355999, "bob", "w" * 3000 + "\ncr\r\n=-=-\n  \n\u00e9t\u00e9\n"),
            # Lines that read as separators carry one blank more.
            (SEP_ANALYSE, "Escaped", 1079356000, "admin", "!= \n=-=-=  \n")]).split(SEP_HISTORY)[0]
        first, stored, history = self.rewrite(body)
        self.assertEqual((first, stored), (report_line(status="h").rstrip("\n"), body))
        self.assertRegex(history, r"^2004/03/15:14\.05\.09 Opened by admin\n%s [^\n]+\n$" % TIME)

    def test_reading_rules_of_damaged_files(self):
        _, stored, history = self.rewrite(
            "not a separator\n" + SEP_ANALYSE + "\nCut|1|admin|5\nline\nmore\nlast\n"  # N cuts the text
            + SEP_ANALYSE + "\nSplit|2\n|bob|3\nab\n"                                  # header on two lines
            + SEP_ANALYSE + "\nShort|3|admin|99\nxy\n",                                # N too large
            history="abc\ndef\nghi\n", count=7)                                        # N + 1 bytes fit
        self.assertEqual(stored, SEP_ANALYSE + "\nCut|1|admin|5\nline\n" + SEP_ANALYSE +
                         "\nSplit|2|bob|3\nab\n" + SEP_ANALYSE + "\nShort|3|admin|3\nxy\n")
        self.assertRegex(history, r"^abc\ndef\n%s [^\n]+\n$" % TIME)

    def test_typed_separator_lines_come_back_unchanged(self):
        _, stored, _ = self.rewrite(SEP_ANALYSE + "\nFirst|1079355909|admin|6\nline1\n", title="Typed",
                                    text="a\n!=\n" + SEP_HISTORY + "\n=|=  \nz")
        self.assertEqual(len(stored.split(SEP_ANALYSE + "\n")), 3, stored)
        self.assertEqual(self.apply()[1], stored)
        # The page shows the text as typed.
        self.assertIns(self.inst.run("Num=" + NAME).body, "!=<BR>", SEP_HISTORY + "<BR>", "=|=")

    def test_index_line_replaced_by_key_and_moved_to_the_end(self):
        others = [report_line(number=2), report_line(subProject="other"), report_line(project="TESU")]
        self.inst.write("data/index", others[0] + "\n" + report_line(title="old") + "".join(others[1:])
                        + "\n")
        self.rewrite("")
        # Empty lines go; lines of other keys keep their bytes and order.
        self.assertEqual(self.inst.index_lines(True), others + [report_line(status="h")])
        self.assertEqual([n for n in os.listdir(self.inst.data) if "tmp" in n], ["tmp"])


if __name__ == "__main__":
    unittest.main()
