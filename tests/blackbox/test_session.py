"""Signed-in use with security on: the cookie serves for viewing but never
changes anything, a refused request continues after the login, logout,
sessions that end, the acting user bound to the session, the limit on
wrong passwords, and hashed passwords in the users files."""
import ctypes
import hashlib
import hmac
import os
import re
import time
import unittest
import urllib.parse

from velkotest import FULL_RIGHTS, VelkoTestCase, hidden_fields, parse_report

NAME = "TS10.00001"
TITLE = "Crash at start"
USERS = "alice :a@x:wonder%s\nbob :b@x:builder%s\n" % ((FULL_RIGHTS,) * 2)


def crypt_hash(password, prefix):
    """A crypt(3) hash of `password` made with the system's libcrypt, as
    mkpasswd makes them."""
    lib = ctypes.CDLL("libcrypt.so.1")
    lib.crypt_gensalt.restype = lib.crypt.restype = ctypes.c_char_p
    lib.crypt_gensalt.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int]
    lib.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    return lib.crypt(password.encode(), lib.crypt_gensalt(prefix.encode(), 0, None, 0)).decode()


class SessionCase(VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        self.inst.write("cfg/TEST_users.cfg", USERS)
        self.inst.put_report()

    def run_as(self, query=None, post=None, cookie=None, **env):
        if cookie is not None:
            env["HTTP_COOKIE"] = "other=1; velko=" + urllib.parse.quote(cookie, safe="")
        return self.inst.run(query=query, post=post, env=env)

    def signed(self, text):
        """`text` signed with the installation's key, as the login signs it."""
        key = bytes.fromhex(self.inst.read("cfg/session.key").strip())
        return text + "#" + hmac.new(key, text.encode(), hashlib.sha256).hexdigest()

    def login_form_keeps(self, body, *fields):
        self.assertIns(body, 'NAME="Passwd"', "<TITLE>VELKO Login</TITLE>", absent=[TITLE])
        self.assertEqual(hidden_fields(body), [("Login", "2")] + list(fields))

    def report(self):
        return parse_report(self.inst.read("data/" + NAME, "rb"))


class CookieTest(SessionCase):
    def test_the_cookie_shows_but_never_changes(self):
        uid = self.inst.login("alice", "wonder")
        quoted = urllib.parse.quote(uid, safe="")
        # Without a session nothing of a report is shown: not the report
        # page, nor an action's form (with the users), nor the printout.
        for query in ("Num=" + NAME, "CMD=find&find=" + NAME, "CMD=Observed&Num=" + NAME,
                      "CMD=Print&Num=" + NAME, "CMD=history", "CMD=search"):
            body = self.run_as(query).body
            self.assertIns(body, 'NAME="Passwd"', absent=[TITLE, "bob", "Logout"])
        # The cookie alone: the report, its buttons carrying the identifier,
        # the way home keeping the session, and the logout.
        body = self.run_as("Num=" + NAME, cookie=uid).body
        self.assertRegex(body, r"CMD=Observed&Num=%s&QS=[^&>]*&Uid=%s>" % (NAME, re.escape(quoted)))
        self.assertIns(body, TITLE,
                       'if (kuki != "%s")' % uid, '<A HREF="/cgi-bin/velko?Logout=1">Log out</A>',
                       absent=['NAME="Passwd"'])
        self.assertIn("CMD=create&Uid=" + quoted, self.run_as("", cookie=uid).body)
        self.assertIn(TITLE, self.run_as("CMD=Print&Num=" + NAME, cookie=uid).body)
        # The action's form carries the identifier, and offers the session's
        # name alone as the acting user.
        body = self.run_as("CMD=Observed&Num=" + NAME, cookie=uid).body
        self.assertIn('<INPUT TYPE="hidden" NAME="Uid" VALUE="%s">' % uid, body)
        self.assertEqual(re.search(r'<SELECT NAME="User">\n(.*?)</SELECT>', body, re.S)[1],
                         "<OPTION SELECTED> alice\n")
        # The same action applied with the cookie only (a link or a form of
        # another site, which the browser sends with the cookie) changes
        # nothing; the form's own identifier does.
        before = self.inst.snapshot()
        change = "CMD=Observed&Num=%s&User=alice&submitter=bob" % NAME
        for r in (self.run_as(change, cookie=uid), self.run_as(post=change, cookie=uid),
                  self.run_as(post=change + "&Uid=", cookie=uid),
                  self.run_as(post="CMD=new&title=x&project=TEST&submitter=alice", cookie=uid)):
            self.assertIn(self.inst.lang(541), r.body)
            self.assertNotIn('NAME="Passwd"', r.body)  # nothing carried into a login
        self.assertEqual(self.inst.snapshot(), before)
        self.assertIn(self.inst.lang(2040) % ("bob", "alice"),
                      self.run_as(post=change + "&Uid=" + quoted, cookie=uid).body)
        self.assertEqual(self.report()[0].split("|")[11], "b")

    def test_cookie_values_that_are_no_session(self):
        uid = self.inst.login("alice", "wonder")
        ended = self.signed("cnkeg#VGUV#1000#2000")
        for cookie in ("", "garbage", uid[:-1] + ("1" if uid[-1] == "0" else "0"), ended):
            self.assertIn('NAME="Passwd"', self.run_as("Num=" + NAME, cookie=cookie).body, cookie)
        # A request's own identifier wins over the cookie, even a bad one.
        self.assertIn('NAME="Passwd"', self.run_as("Num=%s&Uid=x%s" % (NAME, uid), cookie=uid).body)
        # With security off the cookie is not looked at.
        self.inst.set_cfg(SECURITY="")
        self.assertIns(self.run_as("Num=" + NAME, cookie=uid).body, TITLE, absent=["Uid=", "Logout"])

    def test_pages_keep_their_identifiers_to_themselves(self):
        uid = self.inst.login("alice", "wonder")
        body = self.run_as("Uid=" + urllib.parse.quote(uid)).body
        self.assertIns(body, '<META NAME="referrer" CONTENT="same-origin">\n', '"; SameSite=Lax";\n')
        body = self.inst.run(query="Uid=" + urllib.parse.quote(uid), env={"HTTPS": "on"}).body
        self.assertIn('"; SameSite=Lax; Secure";\n', body)


class ReturnTest(SessionCase):
    def test_login_from_a_report_link_returns_to_it(self):
        # A link of a notification mail: no identifier, no cookie.
        body = self.run_as("CMD=find&find=%s&QS=a%%3Db" % NAME).body
        self.assertIn(self.inst.lang(518), body)
        self.login_form_keeps(body, ("CMD", "find"), ("find", NAME), ("QS", "a=b"))
        fields = hidden_fields(body)[1:]
        r = self.inst.run(post=urllib.parse.urlencode(
            [("Login", "2")] + fields + [("User", "alice"), ("Passwd", "wonder"), ("PERSIST", "2")]))
        carried = hidden_fields(r.body)
        self.assertEqual(carried[1:], fields)
        self.assertIn("document.mainform.submit();", r.body)
        # The form that the login result submits shows the report.
        self.assertIns(self.inst.run(post=urllib.parse.urlencode(carried)).body, TITLE,
                       absent=['NAME="Passwd"'])

    def test_wrong_password_keeps_the_name_and_the_request(self):
        r = self.inst.run(post="Login=2&User=alice&Passwd=nope&Num=" + NAME)
        self.assertIns(r.body, self.inst.lang(513), 'NAME="User" SIZE=20 VALUE="alice"')
        self.assertEqual(hidden_fields(r.body), [("Login", "2"), ("Num", NAME)])

    def test_logout(self):
        uid = self.inst.login("alice", "wonder")
        r = self.run_as("Logout=1&Num=" + NAME, cookie=uid)
        self.assertTrue(r.header.startswith("Set-Cookie: velko=; Max-Age=0; SameSite=Lax\n"), r.header)
        self.assertIns(r.body, 'ecritCookie("velko","",new Date(0));', 'NAME="Passwd"',
                       absent=[TITLE, "Logout=1"])
        self.assertEqual(hidden_fields(r.body), [("Login", "2")])  # a new login starts afresh
        # With security off there is no logout link.
        self.inst.set_cfg(SECURITY="")
        self.assertNotIn("Logout", self.inst.run(query="Num=" + NAME).body)


class EndTest(SessionCase):
    def test_identifiers_end(self):
        r = self.inst.run(post="Login=2&User=alice&Passwd=wonder&PERSIST=0")
        uid = dict(hidden_fields(r.body))["Uid"]
        login, ends = map(int, uid.split("#")[2:4])
        self.assertEqual(ends - login, 12 * 3600)  # a browser session: 12 hours at most
        self.assertIn('ecritCookie("velko","%s");' % uid, r.body)  # the cookie has no expiry
        now = int(time.time())
        for text, shown in (("cnkeg#VGUV#%d#%d" % (now - 100, now + 100), TITLE),
                            ("cnkeg#VGUV#1#2", 540),  # signed in 1970, long ended
                            ("cnkeg#VGUV#%d#%d" % (now - 100, now - 1), 540),
                            # longer than the longest choice
                            ("cnkeg#VGUV#%d#%d" % (now - 100, now + 31 * 86400), 540),
                            ("cnkeg#VGUV#%d" % (now - 100), 518)):  # the former form
            body = self.run_as("CMD=Observed&Num=%s&Uid=%s" % (NAME, urllib.parse.quote(
                self.signed(text)))).body
            if shown == TITLE:
                self.assertIns(body, TITLE, absent=['NAME="Passwd"'])
            else:
                self.assertIn(self.inst.lang(shown), body, text)
                self.login_form_keeps(body, ("CMD", "Observed"), ("Num", NAME))


class ActorTest(SessionCase):
    def test_the_actor_is_the_sessions_user(self):
        uid = self.inst.login("bob", "builder")
        before = self.inst.snapshot()
        for cmd, extra in (("Analyse", "&title=A1&text=x"), ("Not_a_Bug", ""),
                           ("Observed", "&submitter=bob")):
            r = self.run_as(post="CMD=%s&Num=%s&User=alice&Uid=%s%s"
                            % (cmd, NAME, urllib.parse.quote(uid), extra))
            self.assertIn(self.inst.lang(542) % "bob", r.body, cmd)
        r = self.run_as(post=urllib.parse.urlencode(
            {"CMD": "new", "title": "Mine", "project": "TEST", "group": "phase 1", "prog": "general",
             "sev": "2", "impact": "b", "phase": "a", "version": "v1", "submitter": "alice",
             "Uid": uid}))
        self.assertIn(self.inst.lang(542) % "bob", r.body)
        self.assertEqual(self.inst.snapshot(), before)
        # In the session's name: the history and the analysis name bob.
        r = self.run_as(post="CMD=Analyse&Num=%s&User=bob&title=A1&text=x&Uid=%s"
                        % (NAME, urllib.parse.quote(uid)))
        _, entries, history = self.report()
        self.assertEqual(entries[-1][1][2], "bob")
        self.assertTrue(history.rstrip("\n").endswith(self.inst.lang(2088) % ("A1", "bob")))
        # The creation form offers the session's name alone as submitter.
        body = self.run_as("CMD=create&project=TEST&Uid=" + urllib.parse.quote(uid)).body
        self.assertEqual(re.search(r'<SELECT NAME="submitter">\n(.*?)</SELECT>', body, re.S)[1],
                         "<OPTION SELECTED> bob\n")


class PasswordTest(SessionCase):
    def counter(self):
        return self.inst.read("data/tmp/logins.dat")

    def test_guessing_is_slowed(self):
        for _ in range(5):
            self.assertIn(self.inst.lang(513), self.inst.run(post="Login=2&User=alice&Passwd=x").body)
        # The sixth attempt is refused, even with the right password, for
        # the rest of the window; another name is not.
        r = self.inst.run(post="Login=2&User=alice&Passwd=wonder&Num=" + NAME)
        self.assertIns(r.body, self.inst.lang(543) % "15", 'VALUE="alice"', absent=['NAME="Uid"'])
        self.assertEqual(hidden_fields(r.body), [("Login", "2"), ("Num", NAME)])
        self.assertTrue(self.inst.login("bob", "builder"))
        self.assertEqual(self.counter(), "%s 5 %s\n" % (self.counter().split()[0], b"alice".hex()))
        # Once the window has ended the right password works, and clears
        # the count.
        first, count, name = self.counter().split()
        self.inst.write("data/tmp/logins.dat", "%d %s %s\n" % (int(first) - 900, count, name))
        self.assertTrue(self.inst.login("alice", "wonder"))
        self.assertEqual(self.counter(), "")
        # Four wrong ones, a right one: the count starts again.
        for _ in range(4):
            self.inst.login("alice", "x")
        self.assertTrue(self.inst.login("alice", "wonder"))
        self.inst.login("alice", "x")
        self.assertEqual(self.counter().split()[1], "1")

    def test_hashed_passwords_log_in(self):
        hashes = {p: crypt_hash("s3cret", p) for p in ("$y$", "$2b$", "$6$")}
        self.inst.write("cfg/TEST_users.cfg", "".join(
            "u%d :u@x:%s%s\n" % (i, h, FULL_RIGHTS) for i, h in enumerate(hashes.values())) +
            "plain :p@x:$1$notahash" + FULL_RIGHTS + "\n")
        for i, p in enumerate(hashes):
            self.assertRegex(self.inst.login("u%d" % i, "s3cret") or "", r"^w\d#VGUV#", p)
            self.assertIsNone(self.inst.login("u%d" % i, hashes[p]), p)  # the hash is no password
            self.assertIsNone(self.inst.login("u%d" % i, "s3cre"), p)
        self.assertTrue(self.inst.login("plain", "$1$notahash"))


if __name__ == "__main__":
    unittest.main()
