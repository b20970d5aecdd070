"""Fault tests: a data directory on a small tmpfs that fills up while the
tracker writes (through lighttpd), and CGI processes killed with SIGKILL in
the middle of a request. Afterwards the store must be whole: --check clean,
every report file complete, old contents intact."""
import os
import random
import signal
import subprocess
import sys
import time
import unittest
import urllib.parse

from velkotest import (CREATE_FIELDS, Install, NAME_IN_H1, Outcome, Server, Snapshot, act, create, have_lighttpd,
                       store_problems, verify)


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
            return "mount -t tmpfs refused: " + r.stdout.decode(errors="replace")
        subprocess.run(["umount", probe], check=True)
        return ""
    finally:
        os.rmdir(probe)


def leftovers(srv):
    """Temporaries of replacements (".<file>.<pid>.tmp") and spooled uploads ("tmp/data<pid>")."""
    return sorted(os.path.relpath(os.path.join(d, f), srv.data) for d, _, files in os.walk(srv.data)
                  for f in files if f.endswith(".tmp") or (d.endswith("/tmp") and f.startswith("data")))



class ReadOnlyDataTest(unittest.TestCase):
    """A data directory that cannot be written: the page says that a file
    cannot be written, never that the reports are in use."""

    def test_read_only_data_directory(self):
        why = can_mount()
        if why:
            self.skipTest(why)
        inst = Install()
        self.addCleanup(inst.remove)
        name = inst.put_report()
        os.makedirs(inst.path("data", "tmp"), exist_ok=True)
        subprocess.run(["mount", "--bind", inst.data, inst.data], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", inst.data])
        subprocess.run(["mount", "-o", "remount,ro,bind", inst.data], check=True)
        busy = inst.lang(521)
        for page in (inst.run(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title="t"))).body,
                     inst.run(query=urllib.parse.urlencode(
                         dict(CMD="Observed", Num=name, QS="", User="admin", text="x"))).body):
            self.assertIn(inst.lang(501).split("%s")[0], page)
            self.assertNotIn(busy, page)
        self.assertEqual(inst.reports(), [name])

    def test_index_that_cannot_follow_leaves_the_report_as_it_was(self):
        inst = Install()
        self.addCleanup(inst.remove)
        name = inst.put_report()
        before = inst.read("data/" + name)
        os.unlink(inst.path("data", "index"))
        os.makedirs(inst.path("data", "index", "x"))  # no file can be renamed over it
        page = inst.run(query=urllib.parse.urlencode(
            dict(CMD="Not_a_Bug", Num=name, QS="", User="admin"))).body
        self.assertIn(inst.lang(520).replace("%s", inst.lang(501).replace("%s", "index")), page)
        self.assertEqual(inst.read("data/" + name), before)  # said not saved, and not saved
        self.assertEqual(sorted(os.listdir(inst.data)), [name, "index", "index.lock", "tmp"])


@unittest.skipUnless(have_lighttpd(), "lighttpd is not installed")
class FullDiskTest(unittest.TestCase):
    def setUp(self):
        why = can_mount()
        if why:
            self.skipTest("no small filesystem for the data directory: " + why)

        def prepare(srv):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=320k,mode=0755", "tmpfs", srv.data],
                           check=True)
            self.addCleanup(srv.remove)
            self.addCleanup(subprocess.run, ["umount", "-l", srv.data])
            for d in ("tmp", "Tests", "Stats", "Synchro/in", "Synchro/out"):
                os.makedirs(srv.data + d)
        self.srv = Server(prepare)
        self.addCleanup(self.srv.kill)  # before the unmount and the removal
        self.srv.start()

    def test_writes_into_a_full_filesystem(self):
        srv, out, old = self.srv, Outcome(), []
        for i in range(3):
            old.append(create(srv, out, "before the fill %d" % i, "A short text.\n"))
            self.assertTrue(old[-1] and act(srv, out, old[-1], "Observed", "o%d" % i), out.refused)
        before = Snapshot(srv)
        big = ("%-99s\n" % "A long analysis line that fills the disk.") * 200  # 20,000 bytes
        for n in range(1, 200):
            if len(out.refused) >= 8:
                break
            if n % 2:
                create(srv, out, "filler %d" % n, big)
            else:
                act(srv, out, old[n % 3], "Analyse", "f%d" % n, big)
        self.assertEqual(out.bad, [], "requests not answered with a page")
        self.assertGreaterEqual(len(out.refused), 2, "the filesystem never filled")
        for what, page in out.refused:
            self.assertIn(srv.lang(520).split("%s")[0].strip(), page, what + ": no failed save said")
        # Reading pages still answer while the filesystem is full.
        for query in ("", "CMD=search", "CMD=create&project=TEST", "Num=" + old[0], "CMD=Print&Num=" + old[0],
                      "CMD=find&project=TEST&statN=X&statS=X&resp=all&intext=&sort=1"):
            status, body = srv.get(query)
            self.assertEqual((status, b"<HTML" in body.upper()), (200, True), query)
        problems = verify(srv, out, before)
        self.assertEqual(problems, [], "\n".join(problems[:30]))
        self.assertEqual(srv.sanitizer_reports(), "")


class KillTest(unittest.TestCase):
    """Requests run as lighttpd runs them (a CGI environment and pipes),
    killed with SIGKILL part way."""
    prefill = 0  # reports written before

    def setUp(self):
        self.srv = Server(lambda s: s.prefill(self.prefill))
        self.addCleanup(self.srv.stop)

    def create(self, title, text):
        page = self.srv.run(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title=title, text=text))).body
        self.assertRegex(page, NAME_IN_H1)
        return NAME_IN_H1.search(page).group(1)

    def test_killed_while_reading_the_body(self):
        self.create("base report", "Base.\n")
        before, reports = Snapshot(self.srv), self.srv.reports()
        body = urllib.parse.urlencode(dict(CREATE_FIELDS, title="never", text="x" * 5000)).encode()
        p = self.srv.spawn(post=b"", env={"CONTENT_LENGTH": str(len(body) * 4)}, pipe=True)  # more than sent
        p.stdin.write(body)
        p.stdin.flush()
        time.sleep(0.3)
        self.assertIsNone(p.poll(), "the request did not wait for the rest of its body")
        p.kill()
        p.communicate(timeout=30)
        self.assertEqual(self.srv.reports(), reports)
        self.assertEqual(store_problems(self.srv, before)[0], [])
        self.assertEqual(leftovers(self.srv), [])

    def test_killed_while_writing(self):
        """Creations and analyses of a large report killed at random
        moments (stopped first, every other time, to check the store as a
        reader sees it then): every file stays whole, the index follows."""
        base = self.create("large report", ("%-199s\n" % "Base text.") * 500)  # 100 KB
        big = ("%-149s\n" % "An analysis written while the process is killed.") * 500
        requests = [urllib.parse.urlencode(fields) for fields in (
            dict(CREATE_FIELDS, title="killed creation", text=big),
            {"CMD": "Analyse", "Num": base, "title": "killed", "User": "admin", "text": big})]
        durations = []
        for body in requests:  # how long each takes when left alone
            t = time.time()
            self.srv.run(post=body)
            durations.append(time.time() - t)
        rnd = random.Random(int(os.environ.get("VELKO_KILL_SEED", time.time())))
        for i in range(int(os.environ.get("VELKO_KILL_ROUNDS", "16"))):
            before, seen = Snapshot(self.srv), []
            delay = rnd.uniform(0, durations[i % 2] * 1.1)
            p = self.srv.spawn(post=requests[i % 2])
            time.sleep(delay)
            if i % 4 >= 2 and p.poll() is None:
                p.send_signal(signal.SIGSTOP)
                seen = store_problems(self.srv)[0]
            p.kill()
            p.communicate(timeout=30)
            problems = store_problems(self.srv, before)[0]
            self.assertEqual(seen + problems, [], "round %d, killed after %.3f s of %.3f s:\n%s" % (
                i, delay, durations[i % 2], "\n".join(seen + problems)))
        if leftovers(self.srv):
            print("\ntemporaries left by the killed processes: %s" % leftovers(self.srv), file=sys.stderr)
        # The store still works afterwards.
        self.assertIn(self.create("after the kills", "Still working.\n"), self.srv.reports())
        self.assertEqual(store_problems(self.srv)[0], [])


class LargeIndexKillTest(KillTest):
    """The same with an index above 64 KB, which changes take as journal
    records (and fold after their pages)."""
    prefill = 800


if __name__ == "__main__":
    unittest.main()
