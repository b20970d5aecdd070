"""Load and concurrency through lighttpd: several clients create reports
and act on shared reports at once for VELKO_LOAD_SECONDS seconds (30 by
default, 127.0.0.1 only); then the store must be consistent, every answered
creation stored once under its own number, and every answered action in
its report's history and in history.dat."""
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "load"))
import velkoserver  # noqa: E402
import loadclient  # noqa: E402

SECONDS = float(os.environ.get("VELKO_LOAD_SECONDS", "30"))
CLIENTS = int(os.environ.get("VELKO_LOAD_CLIENTS", "6"))


@unittest.skipUnless(velkoserver.have_lighttpd(), "lighttpd is not installed")
class LoadTest(unittest.TestCase):
    def test_concurrent_creations_and_actions(self):
        with velkoserver.VelkoServer(prepare=loadclient.deadline_config) as srv:
            t = time.time()
            out = loadclient.run_load(srv, SECONDS, CLIENTS, shared=3)
            took = time.time() - t
            print("\n" + loadclient.summary(out, took), file=sys.stderr)
            self.assertEqual(len(out.shared), 3,
                             "the shared reports were not created: %s"
                             % [(w, p[-500:]) for w, p in out.refused[:3]])
            self.assertEqual(out.bad, [], "requests not answered with a page")
            # The load did reach the store: creations and actions went through.
            self.assertGreater(len(out.created), 3 + CLIENTS, loadclient.summary(out, took))
            self.assertGreater(len(out.applied), CLIENTS, loadclient.summary(out, took))
            problems = loadclient.verify(srv, out)
            self.assertEqual(problems, [], "%d problems, of %d actions applied; the first ones:\n%s"
                             % (len(problems), len(out.applied), "\n".join(problems[:40])))
            self.assertEqual(srv.sanitizer_reports(), "")

    def test_one_report_many_writers(self):
        """Actions on one report from every client at the same moment: none
        of the answered ones is lost (the later write may not drop an
        earlier one)."""
        with velkoserver.VelkoServer(prepare=loadclient.deadline_config) as srv:
            out = loadclient.Outcome()
            name = loadclient.create(srv, out, "one report")
            self.assertTrue(name, [p[-500:] for _, p in out.refused])
            barrier = threading.Barrier(CLIENTS)

            def client(c):
                barrier.wait(30)
                for n in range(4):
                    loadclient.act(srv, out, name, ("Observed", "Open", "Analyse")[(c + n) % 3],
                                   "w%dn%d" % (c, n))

            threads = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(300)
            self.assertEqual(out.bad, [])
            self.assertEqual(len(out.applied) + len(out.refused), 4 * CLIENTS)
            self.assertGreater(len(out.applied), 0)
            problems = loadclient.verify(srv, out)
            self.assertEqual(problems, [], "%d problems, of %d actions applied:\n%s"
                             % (len(problems), len(out.applied), "\n".join(problems)))


if __name__ == "__main__":
    unittest.main()
