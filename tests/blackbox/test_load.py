"""Load through lighttpd: several clients create reports, list them and act
on a few shared reports at once for VELKO_LOAD_SECONDS seconds (3 by
default, 127.0.0.1 only). Then nothing answered is lost: every answered
creation is stored once under its own number, every applied action is in
its report's history and in history.dat, and no list printout showed fewer
reports than the creations answered before it was asked."""
import os
import random
import re
import sys
import threading
import time
import unittest

from velkotest import Outcome, Server, act, create, have_lighttpd, verify

SECONDS = float(os.environ.get("VELKO_LOAD_SECONDS", "3"))
CLIENTS = int(os.environ.get("VELKO_LOAD_CLIENTS", "6"))
# The list printout of the load's creations (it reads the index only).
SEARCH = ("CMD=find&project=TEST&resp=all&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X"
          "&statP=X&statB=X&statR=X&statD=X&statT=X&intitle=load+c&intext=&sort=1&Print=yes")


def search(srv, out):
    with out.lock:
        before = sum(1 for _, t in out.created if t.startswith("load c"))
    try:
        status, body = srv.get(SEARCH)
    except OSError as e:
        return out.add("bad", ("search", repr(e)))
    m = re.search(rb"Index of the (\d+) reports", body)
    if status != 200 or not m:
        return out.add("bad", ("search", "%s %r" % (status, body[-300:])))
    out.add("searches", (before, int(m.group(1))))


def run_clients(count, client):
    threads = [threading.Thread(target=client, args=(c,), daemon=True) for c in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 300)


@unittest.skipUnless(have_lighttpd(), "lighttpd is not installed")
class LoadTest(unittest.TestCase):
    def setUp(self):
        self.srv = Server().start()
        self.addCleanup(self.srv.stop)
        self.out = Outcome()

    def tearDown(self):
        self.assertEqual(self.out.bad, [], "requests not answered with a page")
        problems = verify(self.srv, self.out)
        self.assertEqual(problems, [], "%d problems, of %d actions applied; the first ones:\n%s"
                         % (len(problems), len(self.out.applied), "\n".join(problems[:40])))
        self.assertEqual(self.srv.sanitizer_reports(), "")

    def test_concurrent_creations_lists_and_actions(self):
        srv, out = self.srv, self.out
        shared = [create(srv, out, "shared report %d" % i) for i in range(3)]
        self.assertTrue(all(shared), [p[-500:] for _, p in out.refused[:3]])
        deadline, seed = time.time() + SECONDS, int(time.time())

        def client(c):
            # Each kind of request once, then a random mix until the deadline.
            rnd, n = random.Random(seed * 100 + c), 0
            while n < 3 or time.time() < deadline:
                n += 1
                token, r = "c%dn%04d" % (c, n), [0, 0.35, 0.9][n - 1] if n <= 3 else rnd.random()
                if r < 0.3:
                    create(srv, out, "load %s %d" % (token, seed))
                elif r < 0.4:
                    search(srv, out)
                else:
                    act(srv, out, rnd.choice(shared),
                        "Observed" if r < 0.6 else "Open" if r < 0.8 else "Analyse", token)
        t = time.time()
        run_clients(CLIENTS, client)
        print("\n%.1f s: %d created, %d actions applied, %d refused, %d lists" % (
            time.time() - t, len(out.created), len(out.applied), len(out.refused),
            len(out.searches)), file=sys.stderr)
        self.assertGreaterEqual(len(out.created), 3 + CLIENTS)
        self.assertGreaterEqual(len(out.searches), CLIENTS)
        self.assertGreater(len(out.applied), 0)

    def test_one_report_many_writers(self):
        """Actions on one report from every client at the same moment: none
        of the answered ones is lost."""
        name = create(self.srv, self.out, "one report")
        self.assertTrue(name, [p[-500:] for _, p in self.out.refused])
        barrier = threading.Barrier(CLIENTS)

        def client(c):
            barrier.wait(30)
            for n in range(4):
                act(self.srv, self.out, name, ("Observed", "Open", "Analyse")[(c + n) % 3],
                    "w%dn%d" % (c, n))
        run_clients(CLIENTS, client)
        self.assertEqual(len(self.out.applied) + len(self.out.refused) + len(self.out.bad),
                         4 * CLIENTS)
        self.assertGreater(len(self.out.applied), 0)


if __name__ == "__main__":
    unittest.main()
