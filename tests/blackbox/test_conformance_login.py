"""Login as a client sees it: the arguments that the login page and the
login result carry on, the rights of an identifier with security off, and
the page of a login that failed."""
import re
import unittest
import urllib.parse

import velkotest
from test_login import hidden_fields, lang_text, setup_install

USERS = {"Alpha": ["alice :alice@example.org:wonder:YES:YES:YES:YES:YES:YES:YES",
                   "nopw:np@example.org",
                   "carol :carol@example.org:c4rol:N: :YES:YES:YES:YES:YES"]}


class CarriedArgumentsTest(velkotest.VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        setup_install(self.inst, USERS)

    def test_login_page_keeps_every_other_argument(self):
        # The request that failed its session check is kept whole, its old
        # identifier too (the login result replaces it); only the login's
        # own fields are left out, and PERSIST, which the page asks for.
        r = self.inst.run(query="CMD=find&Login=1&Uid=zz&find=AB.00001&PERSIST=2&User=u&Passwd=p")
        self.assertIn("<TITLE>VELKO Login</TITLE>", r.body)
        self.assertEqual(hidden_fields(r.body),
                         [("Login", "2"), ("CMD", "find"), ("Uid", "zz"), ("find", "AB.00001")])
        self.assertIn("<OPTION VALUE=2 SELECTED>", r.body)
        self.assertEqual(r.body.count('NAME="PERSIST"'), 1)

    def test_login_from_start_page_returns_to_start_page(self):
        r = self.inst.run(post="Login=2&User=alice&Passwd=wonder&PERSIST=1")
        self.assertEqual([n for n, _ in hidden_fields(r.body)], ["Uid"])

    def test_login_result_keeps_every_other_argument(self):
        r = self.inst.run(post="Login=2&User=alice&Passwd=wonder&PERSIST=1&CMD=search&Uid=old")
        fields = hidden_fields(r.body)
        # PERSIST is the login's own choice: carried on, a login from the
        # start page would come back as "Uid" and "PERSIST", which is not
        # the start page request.
        self.assertEqual([n for n, _ in fields], ["Uid", "CMD"])
        self.assertEqual(fields[1:], [("CMD", "search")])
        self.assertTrue(fields[0][1].startswith("cnkeg#Cnrjc#"), fields[0])
        # The form, then the script that writes the cookie and sends the
        # form, then OK.
        form = r.body.index('<FORM NAME="mainform" METHOD=POST ACTION="/cgi-bin/velko">\n')
        script = r.body.index("<SCRIPT LANGUAGE=JavaScript>\necritCookie(\"velko\",")
        self.assertLess(form, script)
        self.assertTrue(r.body.endswith("document.mainform.submit();\n</SCRIPT>\nOK\n"),
                        repr(r.body[-200:]))
        # The next request, which that form makes, runs the command asked
        # for within the new session.
        page = self.inst.run(post=urllib.parse.urlencode(fields))
        self.assertIn("<TITLE>%s</TITLE>" % lang_text(self.inst, 2003), page.body)
        self.assertIn('<INPUT TYPE=hidden name=Uid Value="%s">' % fields[0][1], page.body)

    def test_user_without_password_field_logs_in_with_an_empty_password(self):
        r = self.inst.run(post="Login=2&User=nopw&Passwd=")
        self.assertIn('NAME="Uid"', r.body)
        r = self.inst.run(post="Login=2&User=nopw&Passwd=x")
        self.assertIn(lang_text(self.inst, 513), r.body)

    def test_failed_login_page(self):
        r = self.inst.run(post="Login=2&User=alice&Passwd=bad&CMD=search")
        body = r.body[r.body.index("<BODY"):]
        self.assertEqual(body[body.index(">\n") + 2:],
                         "<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>%s</H1></font>\n"
                         "<P><HR><BR><BR>%s\n</TD></TR></TABLE>"
                         % (lang_text(self.inst, 500), lang_text(self.inst, 513)))


class RightsWithoutSecurityTest(velkotest.VelkoTestCase):
    """With security off, a right check without identifier grants, but one
    with an identifier reads that user's flags."""

    def setUp(self):
        super().setUp()
        setup_install(self.inst, USERS)

    def test_identifier_decides_with_security_off(self):
        r = self.inst.run(query="")
        self.assertIn("CMD=create", r.body)
        self.assertNotIn("<!Access", r.body)
        # carol (shifted: ectqn) has N for the view right.
        r = self.inst.run(query="Uid=" + urllib.parse.quote("ectqn#Cnrjc#1"))
        self.assertIn("<!Access denied for carol in 1>\n", r.body)
        self.assertIn(lang_text(self.inst, 514), r.body)
        self.assertNotIn("CMD=create", r.body)
        self.assertNotIn("Uid=", r.body)  # links carry no identifier
        # alice holds it; the links still carry nothing.
        r = self.inst.run(query="Uid=" + urllib.parse.quote("cnkeg#Cnrjc#1"))
        self.assertIn("<!Access granted for alice in 1>\n", r.body)
        self.assertIn('<A HREF="/cgi-bin/velko?CMD=create">\n', r.body)

    def test_project_without_users_file_grants_silently(self):
        # dave of project Gone: no Gone_users.cfg to look in.
        r = self.inst.run(query="Uid=" + urllib.parse.quote("fcxg#Iqpg#1"))
        self.assertIn("CMD=create", r.body)
        self.assertNotIn("<!Access", r.body)
        # A users file without dave's line: granted, and said so.
        r = self.inst.run(query="Uid=" + urllib.parse.quote("fcxg#Cnrjc#1"))
        self.assertIn("<!Access granted for dave in 1>\n", r.body)


if __name__ == "__main__":
    unittest.main()
