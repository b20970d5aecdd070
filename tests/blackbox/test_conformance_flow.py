"""The way back to the list through an action, as a client sees it: the
list's query string travels in the action's form as QS and comes back as
the link of the applied action's page, as it was sent."""
import re
import unittest
import urllib.parse

import velkotest
from test_workflow import NAME, make_report

LIST_QUERY = "CMD=find&resp=all&statN=X&find=TS10.00001"


class WayBackTest(velkotest.VelkoTestCase):
    def setUp(self):
        super().setUp()
        make_report(self.inst)
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin:YES:YES:YES:YES:YES:YES:YES\n")

    def test_form_carries_the_list_query_as_sent(self):
        for cmd, method in (("Not_a_Bug", "GET"), ("Rejected", "POST")):
            with self.subTest(cmd=cmd):
                r = self.inst.run(query=urllib.parse.urlencode(
                    [("CMD", cmd), ("Num", NAME), ("QS", LIST_QUERY)]))
                self.assertIn('<FORM METHOD=%s ACTION="/cgi-bin/velko">\n'
                              '<INPUT TYPE="hidden" NAME="CMD" VALUE="%s">\n'
                              '<INPUT TYPE="hidden" NAME="Num" VALUE="%s">\n'
                              '<INPUT TYPE="hidden" NAME=QS VALUE="%s">\n'
                              % (method, cmd, NAME, LIST_QUERY), r.body)

    def test_applied_action_links_back_to_the_list(self):
        r = self.inst.run(query=urllib.parse.urlencode(
            [("CMD", "Not_a_Bug"), ("Num", NAME), ("QS", LIST_QUERY), ("User", "admin")]))
        self.assertIn('</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n<A HREF="?%s">\n'
                      '<IMG SRC="/velko/images//larrow.gif" BORDER=0 VALIGN=CENTER></A>\n'
                      "</A></TD></TR></Table>\n" % LIST_QUERY, r.body)
        # That link is the list: the report is found there.
        back = re.search(r'<A HREF="\?([^"]*)">\n<IMG SRC="[^"]*/larrow.gif"', r.body).group(1)
        listed = self.inst.run(query=back)
        self.assertIn("<A HREF=#00000>%s</A>" % NAME, listed.body)

    def test_a_crafted_query_stays_inside_its_attribute(self):
        qs = 'a=1&b="><script>x</script>'
        r = self.inst.run(query=urllib.parse.urlencode(
            [("CMD", "Open"), ("Num", NAME), ("QS", qs)]))
        self.assertIn('<INPUT TYPE="hidden" NAME=QS VALUE="a=1&b=&quot;&gt;&lt;script&gt;x'
                      '&lt;/script&gt;">\n', r.body)
        r = self.inst.run(query=urllib.parse.urlencode(
            [("CMD", "Not_a_Bug"), ("Num", NAME), ("QS", qs), ("User", "admin")]))
        self.assertIn('<A HREF="?a=1&b=&quot;&gt;&lt;script&gt;x&lt;/script&gt;">\n', r.body)
        self.assertNotIn("<script>", r.body)


if __name__ == "__main__":
    unittest.main()
