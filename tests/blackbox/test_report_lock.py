"""Two requests changing one report at the same moment: both changes are
kept, and a request that cannot have the report's lock changes nothing."""
import fcntl
import os
import select
import socket
import subprocess
import time
import unittest
import urllib.parse

import velkotest
from test_create import FORM, NAME


class ReportLock(velkotest.VelkoTestCase):
    def setUp(self):
        super().setUp()
        r = self.inst.run(post=urllib.parse.urlencode(FORM))
        self.assertTrue(os.path.exists(self.inst.data + NAME), r.text[-2000:])

    def analyse(self, title):
        return {"CMD": "Analyse", "Num": NAME, "QS": "", "title": title, "User": "admin",
                "text": "text of " + title}

    def test_concurrent_actions_are_all_applied(self):
        procs = []
        for i in range(8):
            e = self.inst.env(QUERY_STRING=urllib.parse.urlencode(self.analyse("A%d" % i)))
            procs.append(subprocess.Popen([velkotest.VELKO_BIN], env=e, cwd=self.inst.root,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        for p in procs:
            _, err = p.communicate(timeout=120)
            self.assertNotIn(b"Sanitizer", err)
        report = self.inst.read("data/" + NAME)
        for i in range(8):
            self.assertIn("A%d|" % i, report)
        self.assertEqual(self.inst.read("data/history.dat").count(NAME), 9)

    def test_busy_report_is_refused_and_unchanged(self):
        before = self.inst.read("data/" + NAME)
        with open(self.inst.data + "tmp/" + NAME + ".lock", "w") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            r = self.inst.run(urllib.parse.urlencode(self.analyse("blocked")))
        self.assertIn("<FONT COLOR=RED><H1>", r.body)
        self.assertIn(velkotest_text(self.inst, 521), r.body)
        self.assertEqual(self.inst.read("data/" + NAME), before)
        # Showing the form needs no lock.
        with open(self.inst.data + "tmp/" + NAME + ".lock", "w") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            r = self.inst.run("CMD=Analyse&Num=%s&QS=" % NAME)
        self.assertIn("<FORM METHOD=POST", r.body)

    def test_page_sent_and_lock_released_before_the_mail(self):
        with socket.socket() as srv:  # a mail server that never answers
            srv.bind(("127.0.0.1", 0))
            srv.listen(4)
            srv.settimeout(30)
            self.inst.write_main_cfg(self.inst.read("config/velko.cfg").replace(
                "MAILSERV 127.0.0.1\n", "MAILSERV 127.0.0.1:%d\n" % srv.getsockname()[1]))
            # bob acts, so admin, the project's manager, is mailed.
            query = dict(self.analyse("late"), User="bob")
            e = self.inst.env(QUERY_STRING=urllib.parse.urlencode(query), VELKO_MAIL_WAIT="3")
            p = subprocess.Popen([velkotest.VELKO_BIN], env=e, cwd=self.inst.root,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            conn, _ = srv.accept()  # the request has come to its mail
            with conn:
                # The report's lock is free and the whole page is out already.
                with open(self.inst.data + "tmp/" + NAME + ".lock", "w") as f:
                    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                page = b""
                deadline = time.monotonic() + 10
                while b"</TABLE><P>\n" not in page and time.monotonic() < deadline:
                    if select.select([p.stdout], [], [], 0.2)[0]:
                        page += os.read(p.stdout.fileno(), 65536)
                self.assertIn(b">late</A>", page)
                self.assertIn(b"</TABLE><P>\n", page)
                self.assertNotIn(b"<! Send Mail", page)
                self.assertIsNone(p.poll())
            out, _ = p.communicate(timeout=60)
        self.assertIn(b"<! no greeting from the mail server >", out)
        self.assertIn("late|", self.inst.read("data/" + NAME))


def velkotest_text(inst, num):
    with open(inst.cfg + "langue.EN", encoding="utf-8") as f:
        for line in f:
            n, _, rest = line.rstrip("\n").partition(",")
            if n == str(num):
                return rest
    return ""


if __name__ == "__main__":
    unittest.main()
