"""What keeps a request at the cost of one process whatever the number of
reports: the work after the page runs detached from the request (a mail
that a slow server holds, under lighttpd and under a server that kills the
request's processes), the report page comes from the report's own file, a
large index takes a change as a journal record that every reader applies
(and that a fold killed or stopped anywhere never spoils), and the
numbering of a large prefix resumes where it stopped."""
import os
import random
import re
import signal
import socket
import subprocess
import threading
import time
import unittest
import urllib.parse

from velkotest import (CREATE_FIELDS, NAME_IN_H1, VELKO_BIN, FULL_RIGHTS, Server, VelkoTestCase,
                       have_lighttpd, line_key, read_index, report_line)


class SlowSmtp(threading.Thread):
    """A mail server on 127.0.0.1 that holds each conversation `hold`
    seconds before its greeting, then takes the mail: (arrival time, text)."""

    def __init__(self, hold):
        super().__init__(daemon=True)
        self.hold, self.mails, self.sock = hold, [], socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.start()

    def run(self):
        while True:
            conn, _ = self.sock.accept()
            threading.Thread(target=self.talk, args=(conn,), daemon=True).start()

    def talk(self, conn):
        with conn, conn.makefile("rb") as f:
            time.sleep(self.hold)
            conn.sendall(b"220 slow\r\n")
            data = None
            for line in f:
                if data is not None:
                    if line.rstrip(b"\r\n") == b".":
                        self.mails.append((time.monotonic(), data.decode("utf-8", "replace")))
                        data = None
                        conn.sendall(b"250 taken\r\n")
                    else:
                        data += line
                elif line[:4].upper() == b"DATA":
                    data = b""
                    conn.sendall(b"354 go on\r\n")
                elif line[:4].upper() == b"QUIT":
                    return conn.sendall(b"221 bye\r\n")
                else:
                    conn.sendall(b"250 ok\r\n")

    def await_mail(self, token, timeout=30):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for when, text in self.mails:
                if token in text:
                    return when, text
            time.sleep(0.1)
        return None, None


def mailing_server(smtp):
    """An installation served by lighttpd whose creations by admin are
    mailed to alice and bob through `smtp`."""
    def prepare(srv):
        cfg = srv.read("cfg/velko.cfg")
        srv.write("cfg/velko.cfg", re.sub(r"(?m)^MAILSERV .*$", "MAILSERV 127.0.0.1:%d" % smtp.port, cfg))
        srv.write("cfg/project.cfg", "TEST:T:alice:bob\n")
        srv.write("cfg/TEST_users.cfg", "".join("%s :%s@velko.test:pw%s\n" % (u, u, FULL_RIGHTS)
                                                for u in ("admin", "alice", "bob")))
    return Server(prepare)


@unittest.skipUnless(have_lighttpd(), "lighttpd is not installed")
class AfterThePageTest(unittest.TestCase):
    def test_page_answered_while_the_mail_server_holds_the_conversation(self):
        smtp = SlowSmtp(hold=5)
        srv = mailing_server(smtp).start()
        self.addCleanup(srv.stop)
        start = time.monotonic()
        status, body = srv.post(dict(CREATE_FIELDS, title="held mail one", text="First.\n"))
        answered = time.monotonic() - start
        self.assertEqual(status, 200)
        self.assertLess(answered, 2.5, "the page waited for the mail")
        self.assertRegex(body.decode(), NAME_IN_H1)
        self.assertTrue(body.endswith(b"</TABLE><P>\n"), body[-300:])
        self.assertNotIn(b"<! Send Mail", body)
        # A server that kills every process of the request once the response
        # is complete (Apache's mod_cgi sends them SIGTERM) does not reach the
        # work: it runs in a session of its own.
        env, stdin = srv.cgi(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title="held mail two",
                                                              text="Second.\n")))
        p = subprocess.Popen([VELKO_BIN], env=env, cwd=srv.pwd, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        page, _ = p.communicate(stdin, timeout=10)  # the response is complete
        self.assertLess(time.monotonic() - start, 4)
        self.assertIn(b"held mail two", page)
        try:
            os.killpg(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        for title in ("held mail one", "held mail two"):
            when, mail = smtp.await_mail(title)
            self.assertIsNotNone(mail, title + " never delivered")
            self.assertGreaterEqual(when - start, 5)
            self.assertIn("\nSubject: Bug ", mail)
        # The work's traces are in the trace log, one block per request.
        log = "".join(srv.work_log(2))
        self.assertEqual(log.count("<! sending through 127.0.0.1:%d >\n" % smtp.port), 2, log)
        self.assertEqual(log.count("<! sending mail to : alice@velko.test >"), 2, log)


class ReportPageTest(VelkoTestCase):
    def test_report_page_comes_from_the_report_file(self):
        inst = self.inst
        for n in (1, 2, 3):
            inst.put_report(number=n, title="report %d" % n, entries=[
                (None, "Description", 1100000000 + n, "admin", "Text of %d.\n" % n)])
        page = lambda name="TS10.00002": inst.run(query="Num=" + name).body
        found = lambda n: "<H2>%s</H2>" % inst.lang(2111).replace("%s", str(n))
        shown = page()
        self.assertIns(shown, found(1), "report 2</TD></TR>", "Title : <B>report 2</B>", absent=["report 1<"])
        # The index is not read: gone, or holding another line, the page is the same.
        os.rename(inst.data + "index", inst.data + "index.away")
        self.assertEqual(page(), shown)
        inst.write("data/index", report_line(number=2, title="a stale line"))
        self.assertEqual(page(), shown)
        os.rename(inst.data + "index.away", inst.data + "index")
        # A damaged file, a file naming another report, a missing file: the
        # index gives the line, as it always did.
        with open(inst.data + "TS10.00002") as f:
            text = f.read()
        for broken, table in ((text.replace("|", "", 3), "report 2</TD></TR>"),
                              (text.replace("10|2|a", "10|7|a", 1), "report 2</TD></TR>"),
                              (None, "report 2</TD></TR>")):
            if broken is None:
                os.unlink(inst.data + "TS10.00002")
            else:
                inst.write("data/TS10.00002", broken)
            self.assertIns(page(), found(1), table)
        self.assertIn(inst.lang(504) + " TS10.00002", page())
        # Nothing at all when neither has it.
        os.unlink(inst.data + "index")
        self.assertIn(found(0), page())


class LargeIndexTest(VelkoTestCase):
    """An index above 64 KB: a change is a record of index.journal."""

    def setUp(self):
        super().setUp()
        self.inst.prefill(800)

    def change(self, num, token):
        r = self.inst.run(query=urllib.parse.urlencode(
            {"CMD": "Observed", "Num": num, "User": "admin", "submitter": token, "QS": ""}))
        self.assertIn(token, r.body)
        with open(self.inst.data + num) as f:
            return f.readline()[:-1]

    def test_changes_read_as_rewrites_and_fold_after_the_page(self):
        inst, index = self.inst, self.inst.data + "index"
        expected, first = inst.index_lines(), os.stat(index)
        moved = lambda lines, new: [l for l in lines if line_key(l) != line_key(new)] + [new]
        for i, num in enumerate(("TS10.00005", "TS10.00600", "TS10.00005")):
            expected = moved(expected, self.change(num, "obs%d" % i))
            self.assertEqual(inst.index_lines(), expected)
        # A creation, the same way.
        r = inst.run(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title="new one", text="x")))
        created = NAME_IN_H1.search(r.body).group(1)
        self.assertEqual(created, "TS10.00801")
        with open(inst.data + created) as f:
            expected = moved(expected, f.readline()[:-1])
        self.assertEqual(inst.index_lines(), expected)
        self.assertEqual(os.stat(index).st_ino, first.st_ino, "the index was rewritten")
        self.assertEqual(len(inst.read("data/index.journal").splitlines()), 4)
        # Changes past 1/32 of the index are folded into it after a page;
        # readers see the same lines before, during and after.
        for i in range(40):
            expected = moved(expected, self.change("TS10.%05d" % (10 + i % 7), "more%d" % i))
            self.assertEqual(inst.index_lines(), expected)
        self.assertEqual(len(inst.work_log(44)), 44)  # every request's work is done
        self.assertNotEqual(os.stat(index).st_ino, first.st_ino, "never folded")
        self.assertEqual(inst.index_lines(), expected)
        self.assertEqual(inst.run(args=["--check"]).text, "consistent: 801 report files, 801 index lines\n")
        # A search finds the lines of the index and of the journal alike.
        inst.write("data/index.journal", "+" + report_line(number=3, title="prefilled report 1x") +
                   "-" + report_line(number=10))
        q = "CMD=find&resp=all&%s&intitle=report+1&intext=&sort=1" % "&".join("stat%s=X" % c for c in "NSAOCVPBRDT")
        self.assertEqual(re.findall(r"<A HREF=#\d{5}>([^<]+)</A>", inst.run(query=q).body), sorted(
            "TS10.%05d" % n for n in range(1, 801) if str(n).startswith("1") and n != 10 or n == 3))

    def test_fold_killed_or_stopped_anywhere(self):
        """A large journal folded after a change, the fold killed (or stopped
        and read) at random moments: readers see the same lines throughout."""
        inst = self.inst
        # 40,000 lines, most without report files, and a journal past 1/32.
        inst.write("data/index", inst.read("data/index") + "".join(
            report_line(number=n, project="BIG", title="line %d" % n) for n in range(1, 40000)))
        journal = "".join("+" + report_line(number=n, project="BIG", title="changed %d" % n)
                          for n in range(1, 40000, 25)) + "-" + report_line(number=3, project="BIG")
        inst.write("data/index.journal", journal)
        saved = {n: inst.read("data/" + n, "rb") for n in ("index", "index.journal")}
        rnd = random.Random(int(os.environ.get("VELKO_KILL_SEED", time.time())))
        for i in range(int(os.environ.get("VELKO_KILL_ROUNDS", "8"))):
            for n, data in saved.items():
                inst.write("data/" + n, data, "wb")
            mark = "fold%d_%d" % (os.getpid(), i)
            new = self.change_marked("TS10.00001", mark)
            expected = read_index(saved["index"], saved["index.journal"] + ("+" + new + "\n").encode())
            fold = self.detached(mark)
            time.sleep(rnd.uniform(0, 0.03))  # the work after the page takes some 20 ms
            seen = None
            for pid in fold:
                try:
                    if i % 2:
                        os.kill(pid, signal.SIGSTOP)
                        seen = inst.index_lines()
                        os.kill(pid, signal.SIGCONT)
                    else:
                        os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.assertTrue(seen is None or seen == expected, "round %d, stopped" % i)
            deadline = time.time() + 30
            while self.detached(mark) and time.time() < deadline:
                time.sleep(0.05)
            self.assertEqual(inst.index_lines(), expected, "round %d" % i)

    def change_marked(self, num, mark):
        """A change of report `num` whose processes carry `mark` in their
        environment; the report's new line."""
        r = self.inst.run(query=urllib.parse.urlencode(
            {"CMD": "Observed", "Num": num, "User": "admin", "submitter": mark, "QS": ""}),
            env={"VELKO_TEST_MARK": mark})
        self.assertIn(mark, r.body)
        with open(self.inst.data + num) as f:
            return f.readline()[:-1]

    @staticmethod
    def detached(mark):
        """The processes still running with `mark` in their environment."""
        pids = []
        for p in os.listdir("/proc"):
            try:
                with open("/proc/%s/environ" % p, "rb") as f:
                    if b"VELKO_TEST_MARK=%s\0" % mark.encode() in f.read():
                        pids.append(int(p))
            except (OSError, ValueError):
                pass
        return pids

    def test_numbering_of_a_large_prefix_resumes(self):
        inst, create = self.inst, lambda t: NAME_IN_H1.search(inst.run(post=urllib.parse.urlencode(
            dict(CREATE_FIELDS, title=t, text="x"))).body).group(1)
        self.assertEqual(create("first"), "TS10.00801")
        # A report file removed by hand is found again by velko --reindex.
        os.unlink(inst.data + "TS10.00100")
        self.assertEqual(create("second"), "TS10.00802")
        inst.run(args=["--reindex"])
        self.assertEqual(create("third"), "TS10.00100")
        self.assertEqual(create("fourth"), "TS10.00803")
        # In a small prefix the lowest free number is always found.
        small = self.other_install()
        for n in (1, 2, 3):
            small.put_report(number=n)
        os.unlink(small.data + "TS10.00002")
        self.assertEqual(NAME_IN_H1.search(small.run(post=urllib.parse.urlencode(
            dict(CREATE_FIELDS, title="gap", text="x"))).body).group(1), "TS10.00002")


if __name__ == "__main__":
    unittest.main()
