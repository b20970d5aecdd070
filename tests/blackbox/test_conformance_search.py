"""The list and search pages as a client sees them, byte for byte: the
project choice of the search form and the end of the printout."""
import os
import re
import unittest
import urllib.parse

import velkotest
from test_search import lang, setup_install


class ProjectChoiceTest(velkotest.VelkoTestCase):
    """Each project of the choice list reloads the search page for that
    project; its name stands in the link as it is written."""

    def setUp(self):
        super().setUp()
        self.inst.write("cfg/project.cfg",
                        "My_Proj:MP:boss:valid\nB-2.x:BX:boss:valid\nA&B#1:AB:boss:valid\n")

    def options(self, query):
        body = self.inst.run(query=query).body
        start = body.index('<SELECT NAME="Deroulant"')
        return re.findall(r'<OPTION VALUE="([^"]*)"([^>]*)>', body[start:body.index("</SELECT>", start)])

    def test_names_are_kept_as_written(self):
        values = [v for v, _ in self.options("CMD=search&project=My_Proj")]
        self.assertEqual(values[0], "/cgi-bin/velko?CMD=search")
        self.assertIn("/cgi-bin/velko?CMD=search&project=My_Proj", values)
        self.assertIn("/cgi-bin/velko?CMD=search&project=B-2.x", values)
        selected = [v for v, attrs in self.options("CMD=search&project=B-2.x") if "SELECTED" in attrs]
        self.assertEqual(selected, ["/cgi-bin/velko?CMD=search&project=B-2.x"])

    def test_a_name_that_would_break_the_link_is_encoded(self):
        # '&' and '#' would split the argument or end the address: they
        # travel %-encoded, and the name arrives whole.
        values = [v for v, _ in self.options("CMD=search")]
        self.assertIn("/cgi-bin/velko?CMD=search&project=A%26B%231", values)
        link = urllib.parse.urlsplit("/cgi-bin/velko?CMD=search&project=A%26B%231")
        self.assertEqual(urllib.parse.parse_qs(link.query)["project"], ["A&B#1"])
        body = self.inst.run(query="CMD=search&project=A%26B%231").body
        self.assertIn('<INPUT TYPE=hidden name=project Value="A&amp;B#1">', body)

    def test_session_follows_the_name(self):
        inst = velkotest.Install(security=True)
        self.addCleanup(inst.remove)
        inst.write("cfg/project.cfg", "My_Proj:MP:boss:valid\n")
        inst.write("cfg/My_Proj_users.cfg", "ann :a@x:pw:YES:YES:YES:YES:YES:YES:YES\n")
        r = inst.run(post="Login=2&User=ann&Passwd=pw")
        uid = re.search(r'NAME="Uid" VALUE="([^"]*)"', r.body).group(1)
        body = inst.run(query=urllib.parse.urlencode([("CMD", "search"), ("Uid", uid)])).body
        self.assertIn('<OPTION VALUE="/cgi-bin/velko?CMD=search&Uid=%s">'
                      % urllib.parse.quote(uid, safe=""), body)
        self.assertIn("/cgi-bin/velko?CMD=search&project=My_Proj&Uid=%s"
                      % urllib.parse.quote(uid, safe=""), body)


class CriteriaSummaryTextsTest(velkotest.VelkoTestCase):
    """The text criteria are summed up when they are not empty; an absent
    one reads as a single blank."""

    def setUp(self):
        super().setUp()
        setup_install(self.inst)

    def summary(self, query):
        body = self.inst.run(query=query).body
        start = body.index("<H2>%s</H2>" % lang(self.inst, 2102))
        return body[start:body.index("<HR>", start) + 4]

    def test_absent_texts_read_as_a_blank(self):
        t = lambda n: lang(self.inst, n)
        self.assertEqual(self.summary("CMD=find&aff_crit=AC&resp=all&statN=X"),
                         "<H2>%s</H2>%s : ' '<br>\n%s : ' '<br>\nStatus = %s \n<BR>\n<HR>"
                         % (t(2102), t(2009), t(2010), t(200)))
        self.assertEqual(self.summary("CMD=find&aff_crit=AC&resp=all&intext=&intitle=Typo"),
                         "<H2>%s</H2>%s : 'Typo'<br>\nStatus = \n<BR>\n<HR>"
                         % (t(2102), t(2010)))


class PrintoutEndTest(velkotest.VelkoTestCase):
    """The printout page ends with the comment that shows the print command:
    nothing follows it."""

    def setUp(self):
        super().setUp()
        setup_install(self.inst)

    def test_page_ends_with_the_print_command(self):
        r = self.inst.run(query="find=ALSG1.00001+ALSG1.00004&Print=yes")
        m = re.search(r"<! -cat (\S+\.prt)- >\n", r.body)
        self.assertTrue(m, r.body[-400:])
        self.assertTrue(r.body.endswith(m.group(0)), repr(r.body[-200:]))
        printed = r.body[r.body.index("<PRE>\n") + 6:m.start()]
        self.assertEqual(printed, "Index of the 2 reports \n\n"
                                  "ALSG1.00001  1  N  bob    Crash on start\n"
                                  "ALSG1.00004  4  O  carol  Typo\n")
        self.assertFalse(os.path.exists(m.group(1)))

    def test_empty_printout(self):
        r = self.inst.run(query="CMD=find&find=nothing&Print=y")
        self.assertTrue(re.search(r"<PRE>\nIndex of the 0 reports \n\n<! -cat \S+\.prt- >\n$",
                                  r.body), repr(r.body[-300:]))

    def test_heading_of_the_result_page(self):
        r = self.inst.run(query="find=ALSG1.00001&Print=yes")
        self.assertIn("<TITLE>VELKO</TITLE>", r.body)
        self.assertIn("<BIG>%s</BIG>\n" % lang(self.inst, 2113), r.body)
        self.assertIn('<A HREF="?">\n<IMG SRC="/velko/images//home.gif" BORDER=0 VALIGN=CENTER>'
                      "</A>\n", r.body)
        self.assertLess(r.body.index("<HR>\n"), r.body.index("<PRE>\n"))


if __name__ == "__main__":
    unittest.main()
