"""Fault tests: a data directory on a small tmpfs that fills up while the
tracker writes (through lighttpd), and CGI processes killed with SIGKILL in
the middle of a request. Afterwards the store must be whole: --check clean,
every report file complete, old contents intact."""
import os
import random
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.parse

from velkotest import (CREATE_FIELDS, NAME_IN_H1, Outcome, Server, Snapshot, act, create,
                       have_lighttpd, store_problems, verify)


def can_mount():
    """"" when this process may mount a tmpfs, else why not."""
    if os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    probe = "/tmp/velko-mount-probe.%d" % os.getpid()
    os.makedirs(probe, exist_ok=True)
    try:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode:
            return "mount -t tmpfs refused: %s" % r.stdout.decode(errors="replace").strip()
        subprocess.run(["umount", probe], check=True)
        return ""
    finally:
        os.rmdir(probe)


def leftovers(srv):
    """Temporaries of replacements (".<file>.<pid>.tmp") and spooled uploads ("tmp/data<pid>")."""
    return sorted(os.path.relpath(os.path.join(d, f), srv.data) for d, _, files in os.walk(srv.data)
                  for f in files if f.endswith(".tmp") or (d.endswith("/tmp") and f.startswith("data")))


@unittest.skipUnless(have_lighttpd(), "lighttpd is not installed")
class FullDiskTest(unittest.TestCase):
    def setUp(self):
        why = can_mount()
        if why:
            self.skipTest("no small filesystem for the data directory: " + why)

        def prepare(srv):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=320k,mode=0755", "tmpfs", srv.data],
                           check=True)
            self.addCleanup(shutil.rmtree, srv.root, True)
            self.addCleanup(subprocess.run, ["umount", "-l", srv.data])
            for d in ("tmp", "Tests", "Stats", "Synchro/in", "Synchro/out"):
                os.makedirs(os.path.join(srv.data, d))
        self.srv = Server(prepare)
        self.addCleanup(self.srv._kill)  # before the unmount and the removal
        self.srv.start()

    def test_writes_into_a_full_filesystem(self):
        srv, out, old = self.srv, Outcome(), []
        for i in range(3):
            old.append(create(srv, out, "before the fill %d" % i, "A short text.\n"))
            self.assertTrue(old[-1] and act(srv, out, old[-1], "Observed", "o%d" % i), out.refused)
        before = Snapshot(srv)
        big = ("%-99s\n" % "A long analysis line that fills the disk.") * 200  # 20,000 bytes
        n = 0
        while n < 200 and len(out.refused) < 8:
            n += 1
            if n % 2:
                create(srv, out, "filler %d" % n, big)
            else:
                act(srv, out, old[n % 3], "Analyse", "f%d" % n, big)
        self.assertEqual(out.bad, [], "requests not answered with a page")
        self.assertGreaterEqual(len(out.refused), 2, "the filesystem never filled")
        for what, page in out.refused:
            self.assertIn(srv.lang[520].split("%s")[0].strip(), page,
                          "%s: the page does not say that the save failed" % what)
        # Reading pages still answer while the filesystem is full.
        for query in ("", "CMD=search", "CMD=create&project=TEST", "Num=" + old[0],
                      "CMD=Print&Num=" + old[0],
                      "CMD=find&project=TEST&statN=X&statS=X&resp=all&intext=&sort=1"):
            status, body = srv.get(query)
            self.assertEqual(status, 200, query)
            self.assertIn(b"<HTML>", body.upper(), query)
        problems = verify(srv, out, before)
        self.assertEqual(problems, [], "\n".join(problems[:30]))
        self.assertEqual(srv.sanitizer_reports(), "")


class KillTest(unittest.TestCase):
    """Requests run as lighttpd runs them (a CGI environment and pipes),
    killed with SIGKILL part way."""

    def setUp(self):
        self.srv = Server()
        self.addCleanup(self.srv.stop)

    def run_request(self, body):
        out, err = self.srv.spawn(body).communicate(body, timeout=120)
        self.assertNotIn(b"Sanitizer", err, err.decode(errors="replace"))
        return out.decode("utf-8", "replace")

    def create(self, title, text):
        page = self.run_request(urllib.parse.urlencode(dict(CREATE_FIELDS, title=title,
                                                            text=text)).encode())
        self.assertRegex(page, NAME_IN_H1)
        return NAME_IN_H1.search(page).group(1)

    def kill_after(self, delay, body, stop_first):
        """Starts a request and kills it after `delay` seconds; with
        stop_first it is stopped before, and the store checked as a reader
        sees it then: the problems seen."""
        p = self.srv.spawn(body)
        seen = []
        try:
            p.stdin.write(body)
            p.stdin.close()
        except BrokenPipeError:
            pass
        time.sleep(delay)
        if stop_first and p.poll() is None:
            p.send_signal(signal.SIGSTOP)
            seen = store_problems(self.srv)[0]
        p.kill()
        p.wait(30)
        p.stdout.close()
        p.stderr.close()
        return seen

    def test_killed_while_reading_the_body(self):
        base = self.create("base report", "Base.\n")
        before = Snapshot(self.srv)
        body = urllib.parse.urlencode(dict(CREATE_FIELDS, title="never", text="x" * 5000)).encode()
        p = self.srv.spawn(length=len(body) * 4)  # announces more than it sends
        p.stdin.write(body)
        p.stdin.flush()
        time.sleep(0.3)
        self.assertIsNone(p.poll(), "the request did not wait for the rest of its body")
        p.kill()
        p.communicate(timeout=30)
        self.assertEqual(self.srv.report_names(), [base])
        self.assertEqual(store_problems(self.srv, before)[0], [])
        self.assertEqual(leftovers(self.srv), [])

    def test_killed_while_writing(self):
        """Creations and analyses of a large report killed at random
        moments: every file of the store stays whole, the index follows."""
        base = self.create("large report", ("%-199s\n" % "Base text.") * 500)  # 100 KB
        big = ("%-149s\n" % "An analysis written while the process is killed.") * 500
        requests = [urllib.parse.urlencode(fields).encode() for fields in (
            dict(CREATE_FIELDS, title="killed creation", text=big),
            {"CMD": "Analyse", "Num": base, "title": "killed", "User": "admin", "text": big})]
        durations = []
        for body in requests:  # how long each takes when left alone
            t = time.time()
            self.run_request(body)
            durations.append(time.time() - t)
        rnd = random.Random(int(os.environ.get("VELKO_KILL_SEED", time.time())))
        for i in range(int(os.environ.get("VELKO_KILL_ROUNDS", "16"))):
            before = Snapshot(self.srv)
            delay = rnd.uniform(0, durations[i % 2] * 1.1)
            seen = self.kill_after(delay, requests[i % 2], stop_first=i % 4 >= 2)
            self.assertEqual(seen, [], "round %d (%.3f s): a reader saw a half-done write"
                             % (i, delay))
            problems = store_problems(self.srv, before)[0]
            self.assertEqual(problems, [], "round %d, killed after %.3f s of %.3f s:\n%s"
                             % (i, delay, durations[i % 2], "\n".join(problems)))
        if leftovers(self.srv):
            print("\ntemporaries left by the killed processes: %s" % leftovers(self.srv),
                  file=sys.stderr)
        # The store still works afterwards.
        self.assertIn(self.create("after the kills", "Still working.\n"), self.srv.report_names())
        self.assertEqual(store_problems(self.srv)[0], [])


if __name__ == "__main__":
    unittest.main()
