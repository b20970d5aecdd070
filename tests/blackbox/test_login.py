"""Login in three requests, the signed session identifier and its cookie,
and what a request without a valid identifier gets when security is on."""
import os
import re
import stat
import unittest
import urllib.parse

import velkotest

LANGUAGE = "1,EN\n2,v4.6\n500,Error\n513,Unknown user or wrong password.\n" \
           "514,Not allowed.\n3000,Setup\n3001,Create\n3002,Search\n3003,Book\n" \
           "3004,History\n3005,Statistics\n3006,Help\n3007,Tests\n"


def lang_text(inst, num):
    """Text `num` of the installation's English language file."""
    text = ""
    with open(inst.path("cfg", "langue.EN"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"(\d+),(.*)", line.rstrip("\r\n"))
            if m and int(m.group(1)) == num:
                text = m.group(2)
    return text


def setup_install(inst, users):
    """Two projects; `users` maps a project to the lines of its users file."""
    if not os.path.exists(inst.path("cfg", "langue.EN")):
        inst.write("cfg/langue.EN", LANGUAGE)
    inst.write("cfg/project.cfg", "".join("%s:%s:admin:admin:\n" % (p, p[:2].upper())
                                          for p in users))
    for project, lines in users.items():
        inst.write("cfg/%s_users.cfg" % project, "".join(l + "\n" for l in lines))


def hidden_fields(body):
    return re.findall(r'<INPUT TYPE=hidden NAME="([^"]*)" VALUE="([^"]*)">', body)


class LoginTest(velkotest.VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        setup_install(self.inst, {
            "Alpha": ["alice :alice@example.org:wonder:YES:YES:YES:YES:YES:YES:YES",
                      "bob:bob@example.org:builder: :N: : : : : ",
                      "carol :carol@example.org:c4rol:N:YES:YES:YES:YES:YES:YES"],
        })

    def login(self, user, password, persist=None, extra=()):
        fields = [("Login", "2"), ("User", user), ("Passwd", password)]
        if persist is not None:
            fields.append(("PERSIST", str(persist)))
        fields.extend(extra)
        return self.inst.run(post=urllib.parse.urlencode(fields))

    def uid_of(self, response):
        fields = dict(hidden_fields(response.body))
        self.assertIn("Uid", fields, response.body)
        return fields["Uid"]

    def test_login_page(self):
        r = self.inst.run(query="Login=1")
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertIn("<TITLE>VELKO Login</TITLE>", r.body)
        self.assertIn('<FORM NAME="mainform" METHOD=POST ACTION="/cgi-bin/velko">', r.body)
        self.assertIn('NAME="User" SIZE=20', r.body)
        self.assertIn('TYPE=password NAME="Passwd" SIZE=20', r.body)
        self.assertIn('<SELECT NAME="PERSIST">', r.body)
        self.assertIn(("Login", "2"), hidden_fields(r.body))
        self.assertIn("User.focus()", r.body)  # the login page puts the focus on User
        self.assertIn('onLoad="CookieCheck()"', r.body)

    def test_login_page_keeps_other_arguments_escaped(self):
        r = self.inst.run(query="Login=1&CMD=search&project=%3Cscript%3E%22&Passwd=x&User=y")
        fields = hidden_fields(r.body)
        self.assertIn(("CMD", "search"), fields)
        self.assertIn(("project", "&lt;script&gt;&quot;"), fields)
        self.assertEqual([n for n, _ in fields].count("Login"), 1)
        self.assertNotIn("Passwd", [n for n, _ in fields])
        self.assertNotIn("User", [n for n, _ in fields])
        self.assertNotIn("<script>", r.body)

    def test_success_carries_a_signed_identifier(self):
        r = self.login("alice", "wonder", extra=[("CMD", "search"), ("x", '"><b>')])
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertIn("<TITLE>VELKO Login2</TITLE>", r.body)
        uid = self.uid_of(r)
        # user and project shifted by two, the login time, the MAC.
        m = re.fullmatch(r"cnkeg#Cnrjc#(\d+)#([0-9a-f]{64})", uid)
        self.assertTrue(m, uid)
        fields = hidden_fields(r.body)
        self.assertIn(("CMD", "search"), fields)
        self.assertIn(("x", "&quot;&gt;&lt;b&gt;"), fields)
        for name in ("Login", "Passwd", "User", "PERSIST"):
            self.assertNotIn(name, [n for n, _ in fields])
        self.assertIn("document.mainform.submit();", r.body)
        self.assertTrue(r.body.rstrip().endswith("OK"), r.body[-200:])
        # The key of the installation was created, readable by its owner only.
        mode = os.stat(self.inst.path("cfg", "session.key")).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o600)

        # The next request, with the identifier, shows the start page menu
        # whose links carry it.
        page = self.inst.run(query="Uid=" + urllib.parse.quote(uid))
        self.assertIn("CMD=create&Uid=" + uid.replace("#", "%23"), page.body)
        self.assertIn(">%s</A>" % lang_text(self.inst, 3001), page.body)
        self.assertIn('if (kuki != "%s")' % uid, page.body)

    def test_persistence_sets_the_cookie_expiry(self):
        for persist, seconds in ((1, 86400), (2, 604800), (3, 2592000)):
            r = self.login("alice", "wonder", persist)
            uid = self.uid_of(r)
            login_time = int(uid.split("#")[2])
            m = re.search(r'ecritCookie\("velko","([^"]*)",new Date\((\d+)\)\);', r.body)
            self.assertTrue(m, r.body)
            self.assertEqual(m.group(1), uid)
            self.assertEqual(int(m.group(2)), (login_time + seconds) * 1000, persist)
        for persist in (0, None, 9):  # the session, also for a value out of range
            r = self.login("alice", "wonder", persist)
            self.assertIn('ecritCookie("velko","%s");' % self.uid_of(r), r.body)

    def test_wrong_password_or_user_gives_513(self):
        for user, password in (("alice", "wrong"), ("alice", ""), ("nobody", "wonder"),
                               ("alice", "alice@example.org"), ("ali", "wonder")):
            r = self.login(user, password)
            self.assertIn("<TITLE>VELKO Login2</TITLE>", r.body)
            self.assertIn(lang_text(self.inst, 513), r.body)
            self.assertIn("<FONT COLOR=RED><H1>%s</H1></font>" % lang_text(self.inst, 500),
                          r.body)
            self.assertNotIn('NAME="Uid"', r.body)
            self.assertNotIn("ecritCookie(\"velko\"", r.body)

    def test_other_login_values_do_nothing(self):
        r = self.inst.run(query="Login=3&CMD=search")
        self.assertNotIn("<TITLE>", r.text)
        self.assertNotIn("mainform", r.text)

    def test_start_page_without_identifier_offers_the_login(self):
        r = self.inst.run(query="")
        self.assertIn('if (kuki == "") document.location = "/cgi-bin/velko?Login=1";', r.body)
        self.assertIn("<INPUT TYPE=hidden NAME=\"Login\" VALUE=\"2\">", r.body)
        self.assertNotIn("CMD=create", r.body)

    def test_forged_or_altered_identifiers_are_no_session(self):
        good = self.uid_of(self.login("alice", "wonder"))
        name, project, when, mac = good.split("#")
        forged = [
            "cnkeg#Cnrjc#" + when,                               # the classic form
            "cnkeg#Cnrjc#%s#%s" % (when, "0" * 64),              # a made-up MAC
            "cnkeg#Cnrjc#%d#%s" % (int(when) + 1, mac),          # another time
            "dqd#Cnrjc#%s#%s" % (when, mac),                     # another user
            "%s#%s#%s#%s" % (name, project, when, mac[:-1] + ("1" if mac[-1] == "0" else "0")),
            good + "#",
        ]
        for uid in forged:
            r = self.inst.run(query="Uid=" + urllib.parse.quote(uid))
            self.assertNotIn("CMD=create", r.body, uid)
            self.assertIn('NAME="Passwd"', r.body, uid)
        # Another installation's key does not sign for this one.
        other = velkotest.Install(security=True)
        self.addCleanup(other.remove)
        setup_install(other, {"Alpha": ["alice :a@x:wonder:YES:YES:YES:YES:YES:YES:YES"]})
        foreign = self.uid_of(other.run(post="Login=2&User=alice&Passwd=wonder"))
        self.assertNotEqual(foreign, good)
        r = self.inst.run(query="Uid=" + urllib.parse.quote(foreign))
        self.assertNotIn("CMD=create", r.body)
        # The good one still works.
        r = self.inst.run(query="Uid=" + urllib.parse.quote(good))
        self.assertIn("CMD=create", r.body)

    def test_hostile_identifier_is_shown_escaped(self):
        r = self.inst.run(query="Uid=" + urllib.parse.quote('"><script>alert(1)</script>'))
        self.assertNotIn("<script>", r.body)
        self.assertIn("<!uid:&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;>", r.body)
        self.assertIn(r'if (kuki != "\x22\x3E\x3Cscript\x3Ealert(1)\x3C/script\x3E")', r.body)

    def test_rights_follow_the_flags_of_the_session_user(self):
        # bob's view flag is blank: granted; carol's is N: the start page
        # shows the error box of text 514 and no menu.
        bob = self.uid_of(self.login("bob", "builder"))
        r = self.inst.run(query="Uid=" + urllib.parse.quote(bob))
        self.assertIn("CMD=create", r.body)
        self.assertIn("<!Access granted for bob in 1>", r.body)
        carol = self.uid_of(self.login("carol", "c4rol"))
        r = self.inst.run(query="Uid=" + urllib.parse.quote(carol))
        self.assertNotIn("CMD=create", r.body)
        self.assertIn(lang_text(self.inst, 514), r.body)
        self.assertIn("<!Access denied for carol in 1>", r.body)

    def test_removed_user_loses_the_session(self):
        uid = self.uid_of(self.login("alice", "wonder"))
        setup_install(self.inst, {"Alpha": ["bob:bob@example.org:builder: : : : : : : "]})
        r = self.inst.run(query="Uid=" + urllib.parse.quote(uid))
        self.assertNotIn("CMD=create", r.body)
        self.assertIn('NAME="Passwd"', r.body)


class TwoProjectsTest(velkotest.VelkoTestCase):
    install_args = {"security": True}

    def test_first_project_of_the_list_wins(self):
        # project.cfg lists Alpha then Beta; the project list is read in
        # reverse file order, so Beta comes first.
        setup_install(self.inst, {
            "Alpha": ["dave :d@a:same:YES:YES:YES:YES:YES:YES:YES"],
            "Beta": ["dave :d@b:same:YES:YES:YES:YES:YES:YES:YES"],
        })
        r = self.inst.run(post="Login=2&User=dave&Passwd=same")
        uid = dict(hidden_fields(r.body))["Uid"]
        self.assertTrue(uid.startswith("fcxg#Dgvc#"), uid)


class SecurityOffTest(velkotest.VelkoTestCase):
    def test_login_works_but_writes_no_cookie(self):
        setup_install(self.inst, {"Alpha": ["alice :a@x:wonder:YES:YES:YES:YES:YES:YES:YES"]})
        r = self.inst.run(post="Login=2&User=alice&Passwd=wonder&PERSIST=2")
        self.assertIn('NAME="Uid"', r.body)
        self.assertNotIn("ecritCookie", r.body)
        self.assertNotIn("SCRIPT LANGUAGE=JavaScript>\nfunction getCookie", r.body)
        self.assertIn("document.mainform.submit();", r.body)


if __name__ == "__main__":
    unittest.main()
