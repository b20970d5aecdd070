"""Notification mails of report actions, through the executable: delivered by
the real SMTP server (postfix) or the local mail command into the test
mailboxes of scripts/mailservers.sh, and bounded when the server is stopped
or silent.

Project TEST (prefix T): bug managers alice and bob, validation manager
carol; the users' addresses are the test mailboxes."""
import email
import email.policy
import os
import re
import socket
import time
import unittest
import urllib.parse

from velkotest import FULL_RIGHTS, STATUS, VelkoTestCase, mail_servers
from test_create import form

SERVERS = mail_servers()
USERS = ("admin", "alice", "bob", "carol")
NAME = "TS10.00001"
needs_servers = unittest.skipIf(SERVERS is None, "mail servers not started (scripts/mailservers.sh)")


def token():
    return "tok%dx%d" % (os.getpid(), time.monotonic_ns())


class NotifyCase(VelkoTestCase):
    """An installation whose users have the test mailboxes, mailing through
    `server` (empty: the local mail command)."""

    server = SERVERS.smtp if SERVERS else ""
    language = "EN"

    @classmethod
    def setUpClass(cls):
        if SERVERS:
            SERVERS.join()  # the servers' loopback, for the velko runs too

    def setUp(self):
        self.install_args = {"language": self.language}
        super().setUp()
        self.write_users({u: SERVERS.addr(u) if SERVERS else u + "@velko.test" for u in USERS})
        self.inst.write("cfg/project.cfg", "TEST:T:alice,bob:carol\n")
        self.inst.set_cfg(MAILSERV=self.server, WWW="bugs", HOSTNAME="tracker.example",
                          DOMAIN="velko.test")

    def write_users(self, addresses):
        self.inst.write("cfg/TEST_users.cfg", "".join(
            "%s :%s:pw%s\n" % (u, a, FULL_RIGHTS) for u, a in addresses.items()))

    def act(self, cmd, env=None, **args):
        return self.inst.run(post=urllib.parse.urlencode([("CMD", cmd), ("Num", NAME)] +
                                                         list(args.items())), env=env)

    def assertSent(self, r, page_after=True):
        """The page is whole, down to the report as stored, without the
        mail's traces: the mail goes once the response is complete, and its
        traces go to the trace log. The trace block of the request's mail,
        once done; no mail file is left then."""
        self.blocks = getattr(self, "blocks", 0) + 1
        if page_after:
            self.assertTrue(r.body.endswith("</TABLE><P>\n"), r.body[-3000:])
        self.assertNotIn("<! Send Mail", r.body)
        blocks = self.inst.work_log(self.blocks)
        self.assertEqual(len(blocks), self.blocks, "the mail's work never finished")
        self.assertIn("<! Send Mail", blocks[-1])
        self.assertEqual([n for n in os.listdir(self.inst.path("data", "tmp"))
                          if n.startswith("bugmail")], [])
        return blocks[-1]

    def awaitMail(self, user, tok, r):
        mail = SERVERS.await_message(user, tok)
        self.assertIsNotNone(mail, "%s: %s" % (user, r.body[-3000:]))
        return mail


@needs_servers
class SmtpNotifyTest(NotifyCase):
    def test_recipients_of_the_rules_but_not_the_actor(self):
        tok = token()
        self.inst.put_report(title="Crash " + tok)
        # "Corrected M V": alice and bob (managers) and carol; alice acts.
        r = self.act("Corrected", User="alice", version="v2", Load="1", text="fixed")
        self.assertIns(self.assertSent(r), "<! Mail :alice:alice:0, ",
                       "<! sending through %s >\n" % SERVERS.smtp,
                       "<! mail %s,%s - " % (SERVERS.addr("carol"), SERVERS.addr("bob")),
                       absent=["<! refused"])
        for user in ("bob", "carol"):
            mail = self.awaitMail(user, tok, r)
            self.assertTrue(mail.startswith("Return-Path: <bugs@velko.test>\n"), mail[:200])
            # The body: the action bar with absolute links, then the report.
            self.assertIns(mail, "\nSubject: Bug %s Correction by alice\n" % NAME, "Crash " + tok,
                           '\nFrom: "Bug Manager" <bugs@tracker.example>\n', "\nContent-Type: text/html; "
                           "charset=UTF-8\n", "\n\n<HTML>\n<a name=00000>\n",
                           "<A HREF=http://tracker.example/"
                           "cgi-bin/velko?CMD=Print&Num=%s&QS=>" % NAME)
        # "new M V" by carol: alice and bob; carol, who creates it, is not mailed.
        tok2 = token()
        r = self.inst.run(post=urllib.parse.urlencode(form(submitter="carol", title=tok2)))
        name = re.search(r"<H1>(T[^<]*\.\d{5})", r.body).group(1)
        self.assertIn("<! Mail :carol:carol:0, ", self.assertSent(r, page_after=False))
        for user in ("alice", "bob"):
            self.assertIns(self.awaitMail(user, tok2, r), "\nSubject: Bug %s New by carol\n" % name,
                           '\nFrom: "Bug Manager" <bugs@tracker.example>\n')
        # The mails to the others went through the same queue before.
        time.sleep(0.5)
        self.assertFalse([m for m in SERVERS.messages("alice") if tok in m])
        self.assertFalse([m for m in SERVERS.messages("carol") if tok2 in m])

    def test_assignment_to_oneself_mails_nobody(self):
        self.inst.put_report()
        r = self.act("Assign", User="bob", submitter="bob")
        self.assertIns(self.assertSent(r), "<! No mail to send, destination empty >\n", absent=["<! sock"])


@needs_servers
class FrenchSubjectTest(NotifyCase):
    language = "FR"

    def test_accented_subject_is_encoded_and_the_body_declared_utf8(self):
        tok = token()
        self.inst.put_report(title="Plantage " + tok, status=STATUS["CORRECTED"], corrector="alice")
        # "For_Verification v": the verifier chosen, bob; carol validates.
        r = self.act("For_Verification", User="carol", submitter="bob")
        self.assertNotIn("<! refused", self.assertSent(r))
        raw = self.awaitMail("bob", tok, r)
        self.assertIn("\nSubject: Bug %s Pour =?UTF-8?B?" % NAME, raw)
        msg = email.message_from_string(raw, policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), "Bug %s Pour v\u00e9rification by carol" % NAME)
        self.assertEqual(msg.get_content_charset(), "utf-8")
        self.assertIns(msg.get_content(), "Plantage " + tok, "Pi\u00e8ce jointe")  # a button's text


@needs_servers
class LocalMailCommandTest(NotifyCase):
    server = ""  # MAILSERV empty: the local mail command

    def test_local_command_delivers_and_leaves_out_bad_addresses(self):
        tok = token()
        self.inst.write("cfg/sendmail.cfg", "Assign a eve\n")
        self.write_users(dict({u: SERVERS.addr(u) for u in USERS}, eve="eve;touch${IFS}x@velko.test"))
        self.inst.put_report(title="Local " + tok)
        r = self.act("Assign", User="alice", submitter="bob", env={"MAIL_CONFIG": SERVERS.mail_config})
        self.assertIns(self.assertSent(r), "<! mail eve;touch${IFS}x@velko.test,%s - " % SERVERS.addr("bob"),
                       "<! mail : address left out : eve;touch${IFS}x@velko.test >",
                       absent=["<! sending through"])
        mail = self.awaitMail("bob", tok, r)
        # The mail file's header lines are text of the mail.
        self.assertIns(mail, "Subject: Bug %s Assignment by alice\n" % NAME,
                       'From: "Bug Manager" <bugs@tracker.example>\n \n<HTML>\n')
        # The command declares the text's character set.
        self.assertIn('\nContent-Type: text/plain; charset="UTF-8"\n', mail.split("\n\n")[0])
        self.assertFalse(os.path.exists(self.inst.path("x@velko.test")))



class LocalMailOnPathTest(NotifyCase):
    """The local mail command is the first "mail" on PATH."""
    server = ""

    def test_mail_found_on_path(self):
        bindir = self.inst.path("bin")
        os.makedirs(bindir)
        with open(os.path.join(bindir, "mail"), "w") as f:
            f.write('#!/bin/sh\necho "$@" > "%s"\ncat >> "%s"\n' % ((self.inst.path("sent"),) * 2))
        os.chmod(os.path.join(bindir, "mail"), 0o755)
        self.inst.put_report()
        self.act("Assign", User="alice", submitter="bob",
                 env={"PATH": bindir + ":" + os.environ.get("PATH", "")})
        self.inst.work_log(1)  # the mail goes once the response is complete
        sent = self.inst.read("sent")
        self.assertTrue(sent.startswith("bob@"), sent[:200])
        self.assertIn("Subject: Bug %s Assignment by alice\n" % NAME, sent)

class UnansweringServerTest(NotifyCase):
    """No server, or one that never answers: the page comes at once, and the
    mail's work ends within the bound of VELKO_MAIL_WAIT."""

    def run_action(self, server):
        self.inst.set_cfg(MAILSERV=server)
        self.inst.put_report()
        start = time.monotonic()
        r = self.act("Corrected", User="alice", version="v2", Load="1", text="x",
                     env={"VELKO_MAIL_WAIT": "1"})
        self.assertLess(time.monotonic() - start, 1)
        log = self.assertSent(r)
        self.assertLess(time.monotonic() - start, 5)
        return log

    def test_stopped_and_silent_servers(self):
        self.assertIns(self.run_action("127.0.0.1:1"), "<! sending through 127.0.0.1:1 >\n",
                       "<! sock : -2 >\n")
        with socket.socket() as srv:  # accepts connections, never says a word
            srv.bind(("127.0.0.1", 0))
            srv.listen(4)
            log = self.run_action("127.0.0.1:%d" % srv.getsockname()[1])
        self.assertIn("<! no greeting from the mail server >\n", log)


if __name__ == "__main__":
    unittest.main()
