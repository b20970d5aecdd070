"""Fault tests: a data directory on a small tmpfs that fills up while the
tracker writes (through lighttpd), and CGI processes killed with SIGKILL in
the middle of a request. Afterwards the store must be whole: --check clean,
every report file and the index complete, old contents intact."""
import os
import random
import shutil
import signal
import sys
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "load"))
sys.path.insert(0, os.path.join(HERE, "..", "fault"))
import velkoserver  # noqa: E402
import loadclient  # noqa: E402
import faults  # noqa: E402


def excerpt(page, n=400):
    return page[-n:].replace("\n", " ")


@unittest.skipUnless(velkoserver.have_lighttpd(), "lighttpd is not installed")
class FullDiskTest(unittest.TestCase):
    def setUp(self):
        why = faults.can_mount()
        if why:
            self.skipTest("no small filesystem for the data directory: " + why)

        def prepare(srv):
            loadclient.deadline_config(srv)
            faults.small_data_dir("320k")(srv)
        self.srv = velkoserver.VelkoServer(prepare=prepare, keep=True)
        self.addCleanup(lambda: self.srv.root and shutil.rmtree(self.srv.root, True))
        self.addCleanup(faults.unmount, self.srv)
        self.addCleanup(self.srv.stop)
        self.srv.start()

    def test_writes_into_a_full_filesystem(self):
        srv = self.srv
        out = loadclient.Outcome()
        old = []
        for i in range(3):
            name = loadclient.create(srv, out, "before the fill %d" % i, "A short text.\n")
            self.assertTrue(name, [excerpt(p) for _, p in out.refused])
            self.assertTrue(loadclient.act(srv, out, name, "Observed", "o%d" % i))
            old.append(name)
        before = faults.Snapshot(srv)
        big = ("%-99s\n" % "A long analysis line that fills the disk.") * 200  # 20,000 bytes
        n = 0
        while n < 200 and len(out.refused) < 8:
            n += 1
            if n % 2:
                loadclient.create(srv, out, "filler %d" % n, big)
            else:
                loadclient.act(srv, out, old[n % 3], "Analyse", "f%d" % n, big)
        print("\n%d writes: %d saved, %d refused, %d bytes left"
              % (n, len(out.created) + len(out.applied) - 6, len(out.refused),
                 faults.free_bytes(srv.data)), file=sys.stderr)
        self.assertEqual(out.bad, [], "requests not answered with a page")
        self.assertGreaterEqual(len(out.refused), 2,
                                "the filesystem never filled (%d bytes free)"
                                % faults.free_bytes(srv.data))
        msg = srv.lang[520].split("%s")[0].strip()
        for what, page in out.refused:
            self.assertIn(msg, page, "%s: the page does not say that the save failed: %s"
                          % (what, excerpt(page)))
        # Reading pages still answer while the filesystem is full.
        for query in ["", "CMD=search", "CMD=create&project=TEST", "Num=" + old[0],
                      "CMD=Print&Num=" + old[0], "CMD=find&project=TEST&statN=X&statS=X"
                      "&resp=all&intext=&sort=1"]:
            status, _, body = srv.get(query)
            self.assertTrue(loadclient.is_page(status, body), "%s: %s %r"
                            % (query, status, body[:300]))
        problems = faults.store_problems(srv, before) + loadclient.verify(srv, out)
        self.assertEqual(problems, [], "\n".join(problems[:30]))
        self.assertEqual(srv.sanitizer_reports(), "")


class KillTest(unittest.TestCase):
    """Requests run as lighttpd runs them (the executable with a CGI
    environment and pipes), killed with SIGKILL part way."""

    def setUp(self):
        self.srv = velkoserver.VelkoServer(prepare=loadclient.deadline_config).install()
        self.addCleanup(self.srv.stop)

    def run_request(self, query="", body=None):
        p = self.srv.spawn(query, body)
        out, err = p.communicate(body or b"", timeout=120)
        self.assertNotIn(b"Sanitizer", err, err.decode(errors="replace"))
        return out.decode("utf-8", "replace")

    def create(self, title, text):
        fields = dict(loadclient.CREATE_FIELDS, title=title, text=text)
        page = self.run_request(body=urllib.parse.urlencode(fields).encode())
        m = loadclient.NAME_IN_H1.search(page)
        self.assertTrue(m, excerpt(page))
        return m.group(1)

    def kill_after(self, delay, query="", body=None, stop_first=False):
        """Starts a request, kills it after `delay` seconds (with
        stop_first: stops it, checks the store as a reader sees it then,
        and kills it). Returns the problems seen while it was stopped."""
        p = self.srv.spawn(query, body)
        seen = []
        try:
            if body:
                try:
                    p.stdin.write(body)
                    p.stdin.flush()
                except BrokenPipeError:
                    pass
            time.sleep(delay)
            if stop_first and p.poll() is None:
                p.send_signal(signal.SIGSTOP)
                seen = faults.store_problems(self.srv)
            p.send_signal(signal.SIGKILL)
        finally:
            p.wait(30)
            for f in (p.stdin, p.stdout, p.stderr):
                try:
                    f.close()
                except OSError:
                    pass
        return seen

    def test_killed_while_reading_the_body(self):
        base = self.create("base report", "Base.\n")
        before = faults.Snapshot(self.srv)
        body = urllib.parse.urlencode(dict(loadclient.CREATE_FIELDS, title="never",
                                           text="x" * 50000)).encode()
        p = self.srv.spawn("", length=len(body) * 4)  # announces more than it sends
        p.stdin.write(body)
        p.stdin.flush()
        time.sleep(1.0)
        self.assertIsNone(p.poll(), "the request did not wait for the rest of its body")
        p.kill()
        p.wait(30)
        for f in (p.stdin, p.stdout, p.stderr):
            f.close()
        self.assertEqual(self.srv.report_names(), [base])
        self.assertEqual(faults.store_problems(self.srv, before), [])
        self.assertEqual(faults.leftovers(self.srv), [])

    def test_killed_while_writing(self):
        """Kills creations and analyses of a large report at random moments
        of their run: every file of the store stays whole and the index
        follows the report files."""
        base = self.create("large report", ("%-199s\n" % "Base text.") * 2000)  # 400 KB
        big = ("%-149s\n" % "An analysis written while the process is killed.") * 2000
        analyse = urllib.parse.urlencode({"CMD": "Analyse", "Num": base, "title": "killed",
                                          "User": "admin", "text": big}).encode()
        creation = urllib.parse.urlencode(dict(loadclient.CREATE_FIELDS, title="killed creation",
                                               text=big)).encode()
        # How long the two requests take when left alone.
        t = time.time()
        self.run_request(body=analyse)
        d_analyse = time.time() - t
        t = time.time()
        self.run_request(body=creation)
        d_create = time.time() - t
        rnd = random.Random(int(os.environ.get("VELKO_KILL_SEED", time.time())))
        rounds = int(os.environ.get("VELKO_KILL_ROUNDS", "24"))
        for i in range(rounds):
            before = faults.Snapshot(self.srv)
            body, d = (analyse, d_analyse) if i % 2 else (creation, d_create)
            delay = rnd.uniform(0, d * 1.1)
            seen = self.kill_after(delay, body=body, stop_first=(i % 4 >= 2))
            self.assertEqual(seen, [], "round %d (%.3f s): a reader saw a half-done write"
                             % (i, delay))
            problems = faults.store_problems(self.srv, before)
            self.assertEqual(problems, [], "round %d, killed after %.3f s of %.3f s:\n%s"
                             % (i, delay, d, "\n".join(problems)))
        left = faults.leftovers(self.srv)
        if left:
            print("\ntemporaries left by the killed processes: %s" % left, file=sys.stderr)
        # The store still works afterwards.
        name = self.create("after the kills", "Still working.\n")
        self.assertIn(name, self.srv.report_names())
        self.assertEqual(faults.store_problems(self.srv), [])


if __name__ == "__main__":
    unittest.main()
