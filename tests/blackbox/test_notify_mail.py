"""Notification mails of report actions, through the executable: delivered by
the real SMTP server or the local mail command into the test mailboxes
(scripts/mailservers.sh), and bounded when the server is stopped or silent.

Project TEST (prefix T): bug managers alice and bob, validation manager
carol; the users' addresses are the test mailboxes."""
import email
import email.header
import email.policy
import os
import re
import socket
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mail"))
import mailtest  # noqa: E402
import velkotest  # noqa: E402
from test_create import form  # noqa: E402
from test_workflow import NAME, STATUS, make_report  # noqa: E402

SERVERS = mailtest.servers()
USERS = ("admin", "alice", "bob", "carol")


def token():
    return "tok%dx%d" % (os.getpid(), time.monotonic_ns())


class NotifyCase(velkotest.VelkoTestCase):
    """An installation whose users have the given addresses, mailing
    through `server` (None: the local mail command)."""

    server = None
    language = "EN"

    def setUp(self):
        self.install_args = {"language": self.language}
        super().setUp()
        addr = (lambda u: SERVERS.addr(u)) if SERVERS else (lambda u: u + "@velko.test")
        self.write_users({u: addr(u) for u in USERS})
        self.inst.write("cfg/project.cfg", "TEST:T:alice,bob:carol\n")
        self.set_cfg(MAILSERV=self.server or "", WWW="bugs", HOSTNAME="tracker.example",
                     DOMAIN="velko.test")

    def write_users(self, addresses):
        self.inst.write("cfg/TEST_users.cfg", "".join(
            "%s :%s:pw:YES:YES:YES:YES:YES:YES:YES\n" % (u, a) for u, a in addresses.items()))

    def set_cfg(self, **keys):
        """Replaces keys of velko.cfg (an empty value leaves the key empty)."""
        lines = [l for l in self.inst.read("config/velko.cfg").splitlines()
                 if l.split(" ", 1)[0] not in keys]
        lines += [("%s %s" % (k, v)).rstrip() for k, v in keys.items()]
        self.inst.write_main_cfg("\n".join(lines) + "\n")

    def act(self, cmd, env=None, **args):
        fields = [("CMD", cmd), ("Num", NAME)] + list(args.items())
        return self.inst.run(post=urllib.parse.urlencode(fields), env=env)

    def assertNoMailFile(self):
        left = [n for n in os.listdir(self.inst.path("data", "tmp")) if n.startswith("bugmail")]
        self.assertEqual(left, [])

    def assertPageComplete(self, r):
        """The page is whole, down to the report as stored, before the mail's
        traces: the mail is sent once the page is."""
        page_end = r.body.rfind("</TABLE><P>\n")
        self.assertGreater(page_end, -1, r.body[-3000:])
        self.assertGreater(r.body.find("<! Send Mail"), page_end, r.body[-3000:])

    def assertNotMailed(self, user, tok):
        """No message holding `tok` reached `user` (call once the mails to the
        others have arrived: they all went through the same queue)."""
        time.sleep(0.5)
        self.assertFalse([m for m in SERVERS.messages(user) if tok in m], user)


@unittest.skipIf(SERVERS is None, "mail servers not started (scripts/mailservers.sh start)")
class SmtpNotifyTest(NotifyCase):
    server = SERVERS.smtp if SERVERS else None

    @classmethod
    def setUpClass(cls):
        SERVERS.join()

    def test_action_mails_the_rules_recipients_but_not_the_actor(self):
        tok = token()
        make_report(self.inst, title="Crash " + tok, submitter="admin")
        # "Corrected M V": alice and bob (managers) and carol; alice acts.
        r = self.act("Corrected", User="alice", version="v2", Load="1", text="fixed")
        self.assertIn("<! Mail :alice:alice:0, ", r.body)
        self.assertIn("<! mail %s,%s - " % (SERVERS.addr("carol"), SERVERS.addr("bob")), r.body)
        self.assertIn("<! sending through %s >\n" % SERVERS.smtp, r.body)
        self.assertNotIn("<! refused", r.body)
        self.assertPageComplete(r)
        self.assertNoMailFile()
        for user in ("bob", "carol"):
            mail = SERVERS.await_message(user, tok)
            self.assertIsNotNone(mail, user)
            self.assertIn("\nSubject: Bug %s Correction by alice\n" % NAME, mail)
            self.assertIn('\nFrom: "Bug Manager" <bugs@tracker.example>\n', mail)
            self.assertIn("\nContent-Type: text/html; charset=UTF-8\n", mail)
            self.assertTrue(mail.startswith("Return-Path: <bugs@velko.test>\n"), mail[:200])
            # The body: the action bar with absolute links, then the report.
            body = mail.split("\n\n", 1)[1]
            self.assertTrue(body.startswith("<HTML>\n<a name=00000>\n"), body[:200])
            self.assertIn("<A HREF=http://tracker.example/cgi-bin/velko?CMD=Print&Num=%s&QS=>"
                          % NAME, body)
            self.assertIn("Crash " + tok, body)
        self.assertNotMailed("alice", tok)

    def test_creation_mails_the_managers(self):
        tok = token()
        # "new M V" by carol: alice and bob; carol, who creates it, is not mailed.
        r = self.inst.run(post=urllib.parse.urlencode(form(submitter="carol", title=tok)))
        name = re.search(r"<H1>(T[^<]*\.\d{5})", r.body)
        self.assertTrue(name, r.body[-2000:])
        name = name.group(1)
        self.assertIn("<! Mail :carol:carol:0, ", r.body)
        self.assertNoMailFile()
        for user in ("alice", "bob"):
            mail = SERVERS.await_message(user, tok)
            self.assertIsNotNone(mail, user)
            self.assertIn("\nSubject: Bug %s New by carol\n" % name, mail)
            self.assertIn('\nFrom: "Bug Manager" <bugs@tracker.example>\n', mail)
        self.assertNotMailed("carol", tok)

    def test_assignment_to_oneself_mails_nobody(self):
        make_report(self.inst)
        r = self.act("Assign", User="bob", submitter="bob")
        self.assertIn("<! No mail to send, destination empty >\n", r.body)
        self.assertNotIn("<! sock", r.body)
        self.assertNoMailFile()


@unittest.skipIf(SERVERS is None, "mail servers not started (scripts/mailservers.sh start)")
class FrenchSubjectTest(NotifyCase):
    server = SERVERS.smtp if SERVERS else None
    language = "FR"

    @classmethod
    def setUpClass(cls):
        SERVERS.join()

    def test_accented_subject_is_encoded_and_the_body_declared_utf8(self):
        tok = token()
        make_report(self.inst, title="Plantage " + tok, status=STATUS["CORRECTED"],
                    corrector="alice")
        # "For_Verification v": the verifier chosen, bob; carol validates.
        r = self.act("For_Verification", User="carol", submitter="bob")
        self.assertNotIn("<! refused", r.body)
        raw = SERVERS.await_message("bob", tok)
        self.assertIsNotNone(raw, r.body[-3000:])
        self.assertIn("\nSubject: Bug %s Pour =?UTF-8?B?" % NAME, raw)
        msg = email.message_from_string(raw, policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]),
                         "Bug %s Pour v\u00e9rification by carol" % NAME)
        self.assertEqual(msg.get_content_charset(), "utf-8")
        body = msg.get_content()
        self.assertIn("Plantage " + tok, body)
        self.assertIn("Pi\u00e8ce jointe", body)  # a button's text, in its accents


@unittest.skipIf(SERVERS is None, "mail servers not started (scripts/mailservers.sh start)")
class LocalMailCommandTest(NotifyCase):
    server = None  # MAILSERV empty: the local mail command

    @classmethod
    def setUpClass(cls):
        SERVERS.join()

    def test_local_command_delivers_and_leaves_out_bad_addresses(self):
        tok = token()
        self.inst.write("cfg/sendmail.cfg", "Assign a eve\n")
        addresses = {u: SERVERS.addr(u) for u in USERS}
        addresses["eve"] = "eve;touch${IFS}x@velko.test"
        self.write_users(addresses)
        make_report(self.inst, title="Local " + tok)
        r = self.act("Assign", User="alice", submitter="bob",
                     env={"MAIL_CONFIG": SERVERS.mail_config})
        self.assertIn("<! mail eve;touch${IFS}x@velko.test,%s - " % SERVERS.addr("bob"), r.body)
        self.assertNotIn("<! sending through", r.body)
        self.assertIn("<! mail : address left out : eve;touch${IFS}x@velko.test >", r.body)
        self.assertPageComplete(r)
        self.assertNoMailFile()
        mail = SERVERS.await_message("bob", tok)
        self.assertIsNotNone(mail, r.body[-3000:])
        # The mail file's header lines are text of the mail.
        self.assertIn("Subject: Bug %s Assignment by alice\n" % NAME, mail)
        self.assertIn('From: "Bug Manager" <bugs@tracker.example>\n \n<HTML>\n', mail)
        # The command declares the text's character set.
        self.assertIn('\nContent-Type: text/plain; charset="UTF-8"\n', mail.split("\n\n")[0])
        self.assertFalse(os.path.exists(self.inst.path("x@velko.test")))


class UnansweringServerTest(NotifyCase):
    """No server, or one that never answers: the page still comes, within
    the bound of VELKO_MAIL_WAIT."""

    def run_action(self, server, wait=2):
        self.set_cfg(MAILSERV=server)
        make_report(self.inst)
        start = time.monotonic()
        r = self.act("Corrected", User="alice", version="v2", Load="1", text="x",
                     env={"VELKO_MAIL_WAIT": str(wait)})
        return r, time.monotonic() - start

    def test_stopped_server(self):
        r, took = self.run_action("127.0.0.1:1")
        self.assertLess(took, 5)
        self.assertIn("<! sending through 127.0.0.1:1 >\n", r.body)
        self.assertIn("<! sock : -2 >\n", r.body)
        self.assertPageComplete(r)
        self.assertNoMailFile()

    def test_silent_server(self):
        if SERVERS:
            SERVERS.join()  # the same loopback as the other tests of this run
        with socket.socket() as srv:  # accepts connections, never says a word
            srv.bind(("127.0.0.1", 0))
            srv.listen(4)
            r, took = self.run_action("127.0.0.1:%d" % srv.getsockname()[1])
        self.assertLess(took, 8)
        self.assertIn("<! no greeting from the mail server >\n", r.body)
        self.assertPageComplete(r)
        self.assertNoMailFile()


if __name__ == "__main__":
    unittest.main()
