"""Locks: requests that change one report at the same moment all keep their
change, and a request that cannot have a lock in time says so and leaves
the files as they were. The busy cases run side by side, each on its own
installation, so that their bounded waits overlap."""
import contextlib
import fcntl
import os
import socket
import unittest
import urllib.parse

from velkotest import STATUS, VelkoTestCase
from test_create import FORM, NAME
from test_workflow import NAME as REPORT, read_report

CREATE = {"post": urllib.parse.urlencode(FORM)}


def action(cmd, **args):
    return {"query": urllib.parse.urlencode(dict(dict(CMD=cmd, Num=REPORT, QS="", User="admin"), **args))}


def files(inst):
    """The files of an installation (or of a snapshot (inst, files)) but the lock files."""
    snapshot = inst[1] if isinstance(inst, tuple) else inst.snapshot()
    return {k: v for k, v in snapshot.items() if not k.endswith(".lock")}


class LockTest(VelkoTestCase):
    def setUp(self):
        super().setUp()
        self.inst.put_report()

    def test_concurrent_actions_are_all_applied(self):
        procs = [self.inst.spawn(**action("Analyse", title="A%d" % i, text="text of A%d" % i))
                 for i in range(8)]
        for p in procs:
            self.assertNotIn(b"Sanitizer", p.communicate(timeout=120)[1])
        report = self.inst.read("data/" + REPORT)
        for i in range(8):
            self.assertIn("A%d|" % i, report)
        self.assertEqual(self.inst.read("data/history.dat").count(REPORT), 8)

    def test_busy_locks(self):
        saved = self.inst.lang(520).replace("%s", self.inst.lang(521))
        cases = {  # lock held: request
            "data/index.lock": CREATE, "data/number.lock": CREATE, "cfg/userinfo.lock": CREATE,
            "data/index.lock ": action("Not_a_Bug"), "cfg/userinfo.lock ": action("Not_a_Bug"),
            "data/tmp/%s.lock" % REPORT: action("Analyse", title="blocked", text="x")}
        pages, before = {}, {}
        with contextlib.ExitStack() as locks:
            procs = {}
            for lock, request in cases.items():
                inst = self.other_install()
                inst.put_report()
                os.makedirs(os.path.dirname(inst.path(lock.strip())), exist_ok=True)
                f = locks.enter_context(open(inst.path(lock.strip()), "w"))
                fcntl.flock(f, fcntl.LOCK_EX)
                before[lock] = (inst, inst.snapshot())
                procs[lock] = inst.spawn(**request)
            for lock, p in procs.items():
                out, err = p.communicate(timeout=120)
                self.assertNotIn(b"Sanitizer", err)
                pages[lock] = out.decode("utf-8", "replace")
            # Showing an action's form needs no lock.
            inst = before["data/tmp/%s.lock" % REPORT][0]
            self.assertIn("<FORM METHOD=POST", inst.run("CMD=Analyse&Num=%s&QS=" % REPORT).body)

        for lock in ("data/index.lock", "data/number.lock"):  # a creation refused
            inst, page = before[lock][0], pages[lock]
            self.assertIn("<FONT COLOR=RED>%s <BR></FONT>\n" % saved, page, lock)
            self.assertNotIn("<a name=00000>", page)
            self.assertEqual(files(inst), files(before[lock]), lock)
            self.assertEqual(inst.reports(), [REPORT])
            self.assertIn("<H1>%s" % NAME, inst.run(**CREATE).body)  # the number is free again
        # Busy choices: the creation is made, the page says what was not remembered.
        inst, page = before["cfg/userinfo.lock"][0], pages["cfg/userinfo.lock"]
        self.assertEqual(inst.reports(), [REPORT, NAME])
        self.assertIn("<H1>%s" % NAME, page)
        self.assertIn("<FONT COLOR=RED>", page[page.index("</TABLE><P>\n"):])
        # An action that cannot write the index changes nothing.
        inst, page = before["data/index.lock "][0], pages["data/index.lock "]
        self.assertIn("<P><HR><BR><BR>The change could not be saved: The file index cannot be "
                      "opened or written.</TD></TR></TABLE>", page)
        after = files(inst)
        after.pop(inst.path("data", "history.dat"), None)  # appended before the write
        self.assertEqual(after, files(before["data/index.lock "]))
        self.assertEqual([n for n in os.listdir(inst.data) if "tmp" in n], ["tmp"])
        # One that cannot remember the user is applied, and says so.
        inst, page = before["cfg/userinfo.lock "][0], pages["cfg/userinfo.lock "]
        self.assertEqual(read_report(inst)[0]["status"], STATUS["NOT_A_BUG"])
        self.assertIn("<FONT COLOR=RED>%s <BR></FONT>\n" % inst.lang(527), page)
        # A busy report: refused, unchanged.
        lock = "data/tmp/%s.lock" % REPORT
        inst, page = before[lock][0], pages[lock]
        self.assertIn("<FONT COLOR=RED><H1>", page)
        self.assertIn(inst.lang(521), page)
        self.assertEqual(files(inst), files(before[lock]))

    def test_page_sent_and_lock_released_before_the_mail(self):
        with socket.socket() as srv:  # a mail server that never answers
            srv.bind(("127.0.0.1", 0))
            srv.listen(4)
            srv.settimeout(30)
            self.inst.set_cfg(MAILSERV="127.0.0.1:%d" % srv.getsockname()[1])
            # bob acts, so admin, the project's manager, is mailed.
            p = self.inst.spawn(env={"VELKO_MAIL_WAIT": "3"},
                                **action("Analyse", title="late", text="x", User="bob"))
            conn, _ = srv.accept()  # the request has come to its mail
            with conn:
                # The report's lock is free, and the response is complete: the
                # request's process has ended, its whole page out, while the
                # mail is still waiting for the server.
                with open(self.inst.path("data", "tmp", REPORT + ".lock"), "w") as f:
                    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                page, _ = p.communicate(timeout=10)
                self.assertTrue(page.endswith(b"</TABLE><P>\n"), page[-300:])
                self.assertIn(b">late</A>", page)
                self.assertNotIn(b"<! Send Mail", page)
                self.assertEqual(self.inst.work_log(1, timeout=0), [])
            log = self.inst.work_log(1)
        self.assertIn("<! no greeting from the mail server >", log[0])
        self.assertIn("late|", self.inst.read("data/" + REPORT))

if __name__ == "__main__":
    unittest.main()
