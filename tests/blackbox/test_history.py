"""The history page (CMD=history: frame set, title, days, one day's lines) and CMD=help."""
import time
import unittest
import urllib.parse

from velkotest import CREATE_FIELDS, VelkoTestCase

BODY = "<BODY BGCOLOR=#FFFFFF TEXT=#000000 >\n"
TABLE = "<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 >\n"
SCRIPT = "/cgi-bin/velko"
LINES = ("2004/03/14:09.00.00 TS10.00001 Submitted by admin\n"
         "2004/03/15:10.00.00 TS10.00001 Verified after Submitted <b>&\n"
         "2004/03/15:11.30.05 TEST/10/D/Book/test.my mod.st1.007 Test Created by bob (NOK)\n"
         "2004/03/15:11.31.00 TEST/10/D/Book/broken Test Changed by bob (OK)\n"
         "garbage without a day\n"
         "2004/03/16:08.00.00 TS10.00002 plain text\n")


class HistoryTest(VelkoTestCase):
    def page(self, text=None, inst=None):
        """The page; of a frame, what follows its head (every page has one)."""
        r = (inst or self.inst).run(query="CMD=history" + ("&text=" + text if text else ""))
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertTrue(r.body.startswith('<!DOCTYPE html>\n<HTML LANG="%s">\n<HEAD>\n'
                                          % (inst or self.inst).language.lower()), r.body[:200])
        return r.body.split("</HEAD>\n", 1)[1] if text else r.body

    def test_frames_title_and_help(self):
        today = time.strftime("%Y/%m/%d")
        self.assertEqual(self.page(), (
            '<!DOCTYPE html>\n<HTML LANG="en">\n<HEAD>\n'
            '<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">\n'
            '<META NAME="viewport" CONTENT="width=device-width, initial-scale=1">\n'
            '<LINK REL="stylesheet" HREF="/velko/images//velko.css">\n'
            "<TITLE>History</TITLE>\n</HEAD>\n<FRAMESET BORDER=1 ROWS=\"50,*\">\n"
            "  <FRAME SRC=%s?CMD=history&text=TOP name=TOP      scrolling=no frameborder=0 noresize />\n"
            "  <FRAMESET BORDER=1 COLS=\"100,*\">\n"
            "     <FRAME SRC=%s?CMD=history&text=LEFT name=LEFT />\n"
            "     <FRAME SRC=%s?CMD=history&text=%s name=HIST />\n"
            "  </FRAMESET>\n</FRAMESET>\n") % (SCRIPT, SCRIPT, SCRIPT, today))
        self.assertEqual(self.page("TOP"), BODY + "<P ALIGN=CENTER><B><FONT SIZE=5>History of the "
                         "reports</FONT>\n</BODY>\n")
        # With a session the left and right frames carry it, the title frame does not.
        secure = self.other_install(security=True)
        uid = urllib.parse.quote(secure.login("admin", "admin"), safe="")
        body = secure.run(query="CMD=history&Uid=" + uid).body
        self.assertIns(body, "text=TOP name=TOP ", "text=LEFT&Uid=%s name=LEFT" % uid,
                       "text=%s&Uid=%s name=HIST" % (today, uid))
        secure.write("data/history.dat", LINES)
        self.assertIn("text=2004/03/14&Uid=%s TARGET=HIST" % uid,
                      secure.run(query="CMD=history&text=LEFT&Uid=" + uid).body)
        self.assertIns(secure.run(query="CMD=history&text=2004/03/15&Uid=" + uid).body,
                       "?Num=TS10.00001&Uid=%s>" % uid, "&book=21&Uid=%s\"> " % uid)
        help_page = self.inst.run(query="CMD=help").body
        self.assertIns(help_page, "<TITLE>HELP</TITLE>", "<H1>VELKO Help</H1>\n", self.inst.lang(506))

    def test_days_and_lines(self):
        # No history yet: no days, and a day with an empty table.
        self.assertEqual(self.page("LEFT"), BODY)
        self.assertEqual(self.page("2004/03/15"), BODY + "<H1>History of 2004/03/15</H1>\n" + TABLE
                         + "</TABLE>\n")
        self.inst.write("data/history.dat", LINES)
        self.assertEqual(self.page("LEFT"), BODY + "".join(
            "<A HREF=%s?CMD=history&text=%s TARGET=HIST >\n%s</A><BR>\n" % (SCRIPT, d, d)
            for d in ("2004/03/16", "2004/03/15", "2004/03/14")))
        self.assertEqual(self.page("2004/03/15"), BODY + "<H1>History of 2004/03/15</H1>\n" + TABLE + (
            # Of "Submitted" (pair 2) and "Verified" (pair 4), the lower pair wins.
            "<TR><TD> 10.00.00 </TD>\n<TD><A HREF=%s?Num=TS10.00001>TS10.00001</A> </TD>\n"
            "<TD> Verified after <B><FONT COLOR=RED>Submitted</Font></B> &lt;b&gt;&amp;</TD><TR>\n"
            "<TR><TD> 11.30.05 </TD>\n<TD><A HREF=\"%s?CMD=book&project=TEST&group=phase+1&phase=1"
            "&mod=my+mod&step=st1&test=007&book=21\"> \nTEST.10.D.my mod.st1.007</A> </TD>\n"
            "<TD> Test Created by bob <B><FONT COLOR=RED>(NOK)</Font></B></TD><TR>\n"
            "<TR><TD> 11.31.00 </TD>\n<TD>TEST/10/D/Book/broken </TD>\n"
            "<TD> Test Changed by bob <B><FONT COLOR=GREEN>(OK)</Font></B></TD><TR>\n"
            "</TABLE>\n") % (SCRIPT, SCRIPT))
        # A day argument that is not a date names no lines, and is shown escaped.
        self.assertEqual(self.page(urllib.parse.quote("2004/03/1<")), BODY + "<H1>History of "
                         "2004/03/1&lt;</H1>\n" + TABLE + "</TABLE>\n")

    def test_created_report_in_todays_lines_french(self):
        inst = self.other_install(language="FR")
        r = inst.run(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title="Crash", text="x\n")))
        self.assertIn("TS10.00001", r.body)
        body = self.page(time.strftime("%Y/%m/%d"), inst)
        self.assertIns(body, "<H1>%s %s</H1>" % (inst.lang(2037), time.strftime("%Y/%m/%d")),
                       "<A HREF=%s?Num=TS10.00001>TS10.00001</A>" % SCRIPT)
        inst.write("data/history.dat", "2004/03/15:10.00.00 TS10.00001 Fiche Corrigée\n")
        self.assertIn("Fiche <B><FONT COLOR=GREEN>Corrigée</Font></B>", self.page("2004/03/15", inst))


if __name__ == "__main__":
    unittest.main()
