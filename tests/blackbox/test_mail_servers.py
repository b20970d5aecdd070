"""The test mail servers themselves (scripts/mailservers.sh), with a
standard client: the mail tests rely on what is checked here. Skipped when
the servers are not started."""
import os
import poplib
import smtplib
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mail"))
import mailtest  # noqa: E402

SERVERS = mailtest.servers()


@unittest.skipIf(SERVERS is None, "mail servers not started (scripts/mailservers.sh start)")
class TestMailServers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        SERVERS.join()

    def token(self):
        return "tok%d.%d" % (os.getpid(), time.monotonic_ns())

    def test_smtp_delivers_locally_and_relays_nothing(self):
        tok = self.token()
        with smtplib.SMTP(*SERVERS.host_port("smtp"), timeout=10) as s:
            s.sendmail("www@velko.test", [SERVERS.addr("bob")],
                       "Subject: %s\r\n\r\nhello\r\n" % tok)
            s.mail("www@velko.test")
            code, _ = s.rcpt("someone@example.org")
            self.assertEqual(code, 550)  # no mail ever leaves the servers
        self.assertIsNotNone(SERVERS.await_message("bob", tok))

    def test_pop3_plain_login_lists_and_deletes(self):
        SERVERS.clear("popcheck")
        tok = self.token()
        SERVERS.deposit("popcheck", "Subject: %s\n\none\n" % tok, tok + ".1")
        SERVERS.deposit("popcheck", "Subject: other\n\ntwo\n", tok + ".2")
        p = poplib.POP3(*SERVERS.host_port("pop3"), timeout=10)
        try:
            p.user("popcheck")
            p.pass_("secret")
            listing = p.list()[1]
            self.assertEqual(len(listing), 2)
            for entry in listing:
                num = int(entry.split()[0])
                if tok.encode() in b"\n".join(p.top(num, 0)[1]):
                    p.dele(num)
        finally:
            p.quit()
        left = SERVERS.messages("popcheck")
        self.assertEqual(len(left), 1)
        self.assertIn("Subject: other", left[0])

    def test_wrong_password_is_refused(self):
        p = poplib.POP3(*SERVERS.host_port("pop3"), timeout=10)
        try:
            p.user("popcheck")
            with self.assertRaises(poplib.error_proto):
                p.pass_("wrong")
        finally:
            p.close()


if __name__ == "__main__":
    unittest.main()
