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
SEARCH = "CMD=find&project=TEST&resp=all&%s&intitle=load+c&intext=&sort=1&Print=yes" % "&".join(
    "stat%s=X" % c for c in "NSAOCVPBRDT")


@unittest.skipUnless(have_lighttpd(), "lighttpd is not installed")
class LoadTest(unittest.TestCase):
    prefill = 0  # reports written before the load

    def test_concurrent_creations_lists_and_actions(self):
        srv, out = Server(lambda s: s.prefill(self.prefill)).start(), Outcome()
        self.addCleanup(srv.stop)
        shared = [create(srv, out, "shared report %d" % i) for i in range(3)]
        self.assertTrue(all(shared), [p[-500:] for _, p in out.refused[:3]])
        deadline, seed = time.time() + SECONDS, int(time.time())

        def search():
            with out.lock:
                before = sum(1 for _, t in out.created if t.startswith("load c"))
            try:
                status, body = srv.get(SEARCH)
            except OSError as e:
                return out.add("bad", ("search", repr(e)))
            m = re.search(rb"Index of the (\d+) reports", body)
            out.add("searches", (before, int(m[1]))) if status == 200 and m else out.add("bad", (
                "search", status))

        def client(c):
            # Each kind of request once, then a random mix until the deadline.
            rnd, n = random.Random(seed * 100 + c), 0
            while n < 3 or time.time() < deadline:
                n += 1
                token, r = "c%dn%04d" % (c, n), [0, 0.35, 0.9][n - 1] if n <= 3 else rnd.random()
                if r < 0.3:
                    create(srv, out, "load %s %d" % (token, seed))
                elif r < 0.4:
                    search()
                else:
                    act(srv, out, rnd.choice(shared),
                        "Observed" if r < 0.6 else "Open" if r < 0.8 else "Analyse", token)
        threads = [threading.Thread(target=client, args=(c,), daemon=True) for c in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(SECONDS + 300)
        print("\n%d created, %d actions applied, %d refused, %d lists" % (
            len(out.created), len(out.applied), len(out.refused), len(out.searches)), file=sys.stderr)
        self.assertEqual(out.bad, [], "requests not answered with a page")
        self.assertTrue(len(out.created) >= 3 + CLIENTS and len(out.searches) >= CLIENTS)
        self.assertGreater(len(out.applied), 0)
        problems = verify(srv, out)
        self.assertEqual(problems, [], "%d problems, of %d actions applied; the first ones:\n%s"
                         % (len(problems), len(out.applied), "\n".join(problems[:40])))
        self.assertEqual(srv.sanitizer_reports(), "")


class LargeIndexLoadTest(LoadTest):
    """The same with an index above 64 KB: changes go to its journal, which
    is folded into it again and again while the lists read it."""
    prefill = 800


if __name__ == "__main__":
    unittest.main()
