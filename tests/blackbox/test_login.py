"""Login in three requests, the signed session identifier and its cookie,
the arguments that the login pages carry on, and the rights of the session's
user with security on and off."""
import os
import re
import stat
import unittest
import urllib.parse

from velkotest import FULL_RIGHTS, VelkoTestCase, hidden_fields

USERS = ["alice :alice@example.org:wonder" + FULL_RIGHTS, "bob:bob@example.org:builder: :N: : : : : ",
         "carol :carol@example.org:c4rol:N:YES:YES:YES:YES:YES:YES", "nopw:np@example.org"]


def setup_install(inst, users):
    """Projects with their users: {project: [lines of its users file]}."""
    inst.write("cfg/project.cfg", "".join("%s:%s:admin:admin:\n" % (p, p[:2].upper())
                                          for p in users))
    for project, lines in users.items():
        inst.write("cfg/%s_users.cfg" % project, "".join(l + "\n" for l in lines))


class LoginTest(VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        setup_install(self.inst, {"Alpha": USERS})

    def login(self, user, password, *extra):
        return self.inst.run(post=urllib.parse.urlencode(
            [("Login", "2"), ("User", user), ("Passwd", password)] + list(extra)))

    def start_page(self, uid):
        return self.inst.run(query="Uid=" + urllib.parse.quote(uid)).body

    def test_login_page_keeps_every_other_argument(self):
        # The request that failed its session check is kept whole, its old
        # identifier too; only the login's own fields are left out, and
        # PERSIST, which the page asks for.
        r = self.inst.run(query="CMD=find&Login=1&Uid=zz&find=AB.00001&PERSIST=2&User=u&Passwd=p"
                                "&project=%3Cscript%3E%22")
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertIn("<TITLE>VELKO Login</TITLE>", r.body)
        self.assertEqual(hidden_fields(r.body), [("Login", "2"), ("CMD", "find"), ("Uid", "zz"),
                                                 ("find", "AB.00001"),
                                                 ("project", "&lt;script&gt;&quot;")])
        self.assertIns(r.body, '<FORM NAME="mainform" METHOD=POST ACTION="/cgi-bin/velko">',
                       'NAME="User" SIZE=20', 'TYPE=password NAME="Passwd" SIZE=20',
                       '<SELECT NAME="PERSIST">', "<OPTION VALUE=2 SELECTED>", "User.focus()",
                       'onLoad="CookieCheck()"', absent=["<script>"])
        self.assertEqual(r.body.count('NAME="PERSIST"'), 1)

    def test_success_carries_a_signed_identifier(self):
        r = self.login("alice", "wonder", ("PERSIST", "1"), ("CMD", "search"), ("Uid", "old"),
                       ("x", '"><b>'))
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertIn("<TITLE>VELKO Login2</TITLE>", r.body)
        fields = hidden_fields(r.body)
        self.assertEqual(fields[1:], [("CMD", "search"), ("x", "&quot;&gt;&lt;b&gt;")])
        # user and project shifted by two, the login time, its end (a day
        # here), the MAC.
        uid = fields[0][1]
        self.assertEqual(fields[0][0], "Uid")
        when, ends = map(int, re.fullmatch(r"cnkeg#Cnrjc#(\d+)#(\d+)#[0-9a-f]{64}", uid).groups())
        self.assertEqual(ends - when, 86400)
        # The form, then the script that writes the cookie and sends the form, then OK.
        form = r.body.index('<FORM NAME="mainform" METHOD=POST ACTION="/cgi-bin/velko">\n')
        self.assertLess(form, r.body.index('<SCRIPT LANGUAGE=JavaScript>\necritCookie("velko",'))
        self.assertTrue(r.body.endswith("document.mainform.submit();\n</SCRIPT>\nOK\n"),
                        repr(r.body[-200:]))
        # The key of the installation was created, readable by its owner only.
        self.assertEqual(stat.S_IMODE(os.stat(self.inst.path("cfg", "session.key")).st_mode), 0o600)
        # The request that form makes runs the command within the session.
        page = self.inst.run(post=urllib.parse.urlencode(fields[:2]))
        self.assertIn("<TITLE>%s</TITLE>" % self.inst.lang(2003), page.body)
        self.assertIn('<INPUT TYPE=hidden name=Uid Value="%s">' % uid, page.body)
        # With the identifier alone, the start page menu whose links carry it.
        self.assertIns(self.start_page(uid), "CMD=create&Uid=" + uid.replace("#", "%23"),
                       ">%s</A>" % self.inst.lang(3001), 'if (kuki != "%s")' % uid)
        # A login from the start page returns to the start page.
        r = self.login("alice", "wonder", ("PERSIST", "1"))
        self.assertEqual([n for n, _ in hidden_fields(r.body)], ["Uid"])

    def test_persistence_sets_the_cookie_expiry(self):
        for persist, seconds in (("1", 86400), ("2", 604800), ("3", 2592000)):
            r = self.login("alice", "wonder", ("PERSIST", persist))
            uid = dict(hidden_fields(r.body))["Uid"]
            self.assertIn('ecritCookie("velko","%s",new Date(%d));'
                          % (uid, (int(uid.split("#")[2]) + seconds) * 1000), r.body)
        for extra in ([("PERSIST", "0")], [], [("PERSIST", "9")]):  # the session
            r = self.login("alice", "wonder", *extra)
            self.assertIn('ecritCookie("velko","%s");' % dict(hidden_fields(r.body))["Uid"], r.body)

    def test_failed_logins(self):
        for user, password in (("alice", "wrong"), ("alice", ""), ("nobody", "wonder"),
                               ("alice", "alice@example.org"), ("ali", "wonder"), ("nopw", "x")):
            r = self.login(user, password, ("CMD", "search"))
            body = r.body[r.body.index("<BODY"):]
            self.assertIn("<TITLE>VELKO Login2</TITLE>", r.body)
            # The error box, then the form again with the name kept and the
            # request carried on.
            self.assertTrue(body[body.index(">\n") + 2:].startswith(
                "<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>%s</H1></font>\n"
                "<P><HR><BR><BR>%s\n</TD></TR></TABLE>\n<CENTER>\n<FORM NAME=\"mainform\""
                % (self.inst.lang(500), self.inst.lang(513))), body)
            self.assertIn('<INPUT TYPE=text NAME="User" SIZE=20 VALUE="%s">' % user, body)
            self.assertEqual(hidden_fields(body), [("Login", "2"), ("CMD", "search")])
        # A user without a password field logs in with an empty one.
        self.assertIn('NAME="Uid"', self.login("nopw", "").body)
        # Other values of Login do nothing.
        self.assertIns(self.inst.run(query="Login=3&CMD=search").text, absent=["<TITLE>", "mainform"])

    def test_start_page_without_identifier_offers_the_login(self):
        self.assertIns(self.inst.run(query="").body, 'TYPE=password NAME="Passwd"',
                       'if (kuki == "") document.location = "/cgi-bin/velko?Login=1";',
                       '<INPUT TYPE=hidden NAME="Login" VALUE="2">', absent=["CMD=create"])

    def test_forged_or_altered_identifiers_are_no_session(self):
        good = self.inst.login("alice", "wonder")
        name, project, when, ends, mac = good.split("#")
        other = self.other_install(security=True)
        setup_install(other, {"Alpha": USERS})
        foreign = other.login("alice", "wonder")  # another installation's key
        self.assertNotEqual(foreign, good)
        for uid in ("cnkeg#Cnrjc#%s#%s" % (when, ends), "cnkeg#Cnrjc#%s#%s#%s" % (when, ends, "0" * 64),
                    "cnkeg#Cnrjc#%d#%s#%s" % (int(when) + 1, ends, mac),
                    "cnkeg#Cnrjc#%s#%d#%s" % (when, int(ends) + 1, mac),
                    "dqd#Cnrjc#%s#%s#%s" % (when, ends, mac),
                    "%s#%s#%s#%s#%s" % (name, project, when, ends, mac[:-1] + "01"[mac[-1] == "0"]),
                    "%s#%s#%s#%s" % (name, project, when, mac), good + "#", foreign):
            self.assertIns(self.start_page(uid), 'NAME="Passwd"', absent=["CMD=create"])
        self.assertIn("CMD=create", self.start_page(good))

    def test_hostile_identifier_is_shown_escaped(self):
        self.assertIns(self.start_page('"><script>alert(1)</script>'),
                       "<!uid:&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;>",
                       r'if (kuki != "\x22\x3E\x3Cscript\x3Ealert(1)\x3C/script\x3E")',
                       absent=["<script>"])

    def test_rights_follow_the_flags_of_the_session_user(self):
        # bob's view flag is blank: granted; carol's is N: the error box of
        # text 514 and no menu.
        self.assertIns(self.start_page(self.inst.login("bob", "builder")), "CMD=create",
                       "<!Access granted for bob in 1>")
        self.assertIns(self.start_page(self.inst.login("carol", "c4rol")), self.inst.lang(514),
                       "<!Access denied for carol in 1>", absent=["CMD=create"])
        # A user removed from the file loses the session.
        uid = self.inst.login("alice", "wonder")
        setup_install(self.inst, {"Alpha": USERS[1:]})
        self.assertIn('NAME="Passwd"', self.start_page(uid))

    def test_first_project_of_the_list_wins(self):
        # The project list is read in reverse file order: Beta comes first.
        setup_install(self.inst, {"Alpha": ["dave :d@a:same" + FULL_RIGHTS],
                                  "Beta": ["dave :d@b:same" + FULL_RIGHTS]})
        self.assertTrue(self.inst.login("dave", "same").startswith("fcxg#Dgvc#"))


class SecurityOffTest(VelkoTestCase):
    def setUp(self):
        super().setUp()
        setup_install(self.inst, {"Alpha": USERS})

    def test_login_works_but_writes_no_cookie(self):
        self.assertIns(self.inst.run(post="Login=2&User=alice&Passwd=wonder&PERSIST=2").body,
                       'NAME="Uid"', "document.mainform.submit();",
                       absent=["ecritCookie", "SCRIPT LANGUAGE=JavaScript>\nfunction getCookie"])

    def test_identifier_decides_the_rights(self):
        create = '<A HREF="/cgi-bin/velko?CMD=create">\n'
        for uid, right, shown in ((None, None, create), ("ectqn#Cnrjc#1", "denied for carol", 514),
                                  ("cnkeg#Cnrjc#1", "granted for alice", create),
                                  ("fcxg#Iqpg#1", None, create),  # no users file for project Gone
                                  ("fcxg#Cnrjc#1", "granted for dave", create)):  # not in the file
            body = self.inst.run(query="Uid=" + urllib.parse.quote(uid) if uid else "").body
            if right:
                self.assertIn("<!Access %s in 1>\n" % right, body)
            else:
                self.assertNotIn("<!Access", body)
            self.assertIn(self.inst.lang(shown) if shown == 514 else shown, body)
            self.assertEqual("CMD=create" in body, shown != 514, uid)
            self.assertNotIn("Uid=", body)  # links carry no identifier


if __name__ == "__main__":
    unittest.main()
