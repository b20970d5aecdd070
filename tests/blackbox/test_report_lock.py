"""Two requests changing one report at the same moment: both changes are
kept, and a request that cannot have the report's lock changes nothing."""
import fcntl
import os
import subprocess
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


def velkotest_text(inst, num):
    with open(inst.cfg + "langue.EN", encoding="utf-8") as f:
        for line in f:
            n, _, rest = line.rstrip("\n").partition(",")
            if n == str(num):
                return rest
    return ""


if __name__ == "__main__":
    unittest.main()
