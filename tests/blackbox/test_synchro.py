"""Site synchronisation by mail between installations on one machine.

Most tests run the sites with a mail command of the test's own (a script
first on PATH) that drops each mail into the site's outbox; the test is the
mail system: it stores each mail in the receiving site's inbox as the POP3
fetch stores it, and may lose, duplicate, delay or reorder it. The main page
of a site runs its receiving pass. One test exchanges through the real
postfix and dovecot of scripts/mailservers.sh."""
import os
import poplib
import random
import re
import socket
import threading
import time
import unittest
import urllib.parse

from velkotest import (FULL_RIGHTS, SEP_ANALYSE, Install, VelkoTestCase, mail_servers, multipart,
                       parse_report, report_line, report_text)
from test_create import form

SERVERS = mail_servers()


def pop3_server():
    """host:port of the POP3 server of scripts/mailservers.sh."""
    with open(os.environ.get("VELKO_MAIL_ENV", "/var/tmp/velko-mail/env")) as f:
        return dict(l.rstrip("\n").split("=", 1) for l in f if "=" in l)["VELKO_MAIL_POP3"]
MAIL = ('#!/bin/sh\nf="%s/$(date +%%s%%N).$$"\nprintf "%%s\\n" "$@" > "$f.to"\n'
        'cat > "$f.tmp" && mv "$f.tmp" "$f.mail"\n')
SUBJECT = re.compile(r"^Subject: Velko-Synchro (\S+) (s\d+)$", re.M)
TYPE_LINE = re.compile(r"^filetype: (\w) (\d+) (\S*) ?(\S*)\r?$", re.M)


def uuencode(kind, host, arg, name, data, when=None, cut=0):
    """An encoded block as a site writes it (`data` None: no data lines)."""
    enc = lambda v: chr(v + 32) if v else "`"
    out = "\r\nfiletype: %s %d %s %s\r\n\r\nbegin 0666 %s\r\n" % (kind, when or time.time(), host, arg, name)
    if data is None:
        return out
    for i in range(0, len(data), 45):
        chunk = data[i:i + 45]
        line = enc(len(chunk))
        padded = chunk + b"\0\0"
        for j in range(0, len(chunk), 3):
            b0, b1, b2 = padded[j:j + 3]
            line += enc(b0 >> 2) + enc((b0 & 3) << 4 | b1 >> 4) + enc((b1 & 15) << 2 | b2 >> 6) + enc(b2 & 63)
        out += line + "\r\n"
    out += "`\r\nend\r\n"
    return out[:len(out) - cut]


class Site(Install):
    """An installation of project TEST (prefix T) synchronised with `peers`,
    mailing through the outbox script."""

    def __init__(self, host, peers=(), **keys):
        super().__init__()
        self.host = host
        os.makedirs(self.path("outbox"))
        os.makedirs(self.path("bin"))
        with open(self.path("bin", "mail"), "w") as f:
            f.write(MAIL % self.path("outbox"))
        os.chmod(self.path("bin", "mail"), 0o755)
        # The work after the page (the mail of the exchange) stays in the
        # request's process, so that each request's exchange is done when it
        # returns and its traces follow its page.
        self.extra_env = {"PATH": self.path("bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
                          "VELKO_DETACH": "0"}
        self.set_cfg(**dict(dict(MAILSERV="", POP3="127.0.0.1:1", HOSTNAME=host, SYNCHRETRY="0",
                                 DOMAIN="velko.test"), **keys))
        self.set_peers(peers)
        self.write("cfg/TEST_users.cfg", "admin :admin@x:admin%s\n" % FULL_RIGHTS)
        for d in ("in/TEST", "out/TEST"):
            os.makedirs(self.data + "Synchro/" + d)

    def set_peers(self, peers):
        self.write("cfg/project.cfg", "TEST:T:admin:admin:%s\n" % ",".join(
            p if isinstance(p, str) else p.addr for p in peers))

    @property
    def addr(self):
        return self.host + "@velko.test"

    def page(self):
        """The main page, and with it the receiving pass."""
        r = self.run()
        self.assertClean(r)
        return r

    def assertClean(self, r):
        if r.returncode != 0 or "Sanitizer" in r.stderr:
            raise AssertionError(r.stderr[-3000:])

    def post(self, fields, content_type=None):
        r = self.run(post=fields if isinstance(fields, bytes) else urllib.parse.urlencode(fields),
                     content_type=content_type)
        self.assertClean(r)
        return r

    def create(self, title, text="Created.\n"):
        r = self.post(form(title=title, text=text, phase="a"))
        return re.search(r"<H1>(T[^<]*\.\d{5})", r.body).group(1)

    def analyse(self, name, title, text="Analysed.\n"):
        self.post([("CMD", "Analyse"), ("Num", name), ("QS", ""), ("User", "admin"),
                   ("title", title), ("text", text)])

    def observe(self, name, who):
        self.post([("CMD", "Observed"), ("Num", name), ("QS", ""), ("User", "admin"),
                   ("submitter", who)])

    def attach(self, name, title, data):
        body, ct = multipart([("CMD", "Attach"), ("Num", name), ("QS", ""), ("title", title),
                              ("User", "admin"), ("Attach", ("f.bin", data))])
        self.post(body, ct)

    def outgoing(self):
        """The mails sent since the last call: [(addresses, text)]."""
        out, box = [], self.path("outbox")
        for n in sorted(f for f in os.listdir(box) if f.endswith(".mail")):
            stem = os.path.join(box, n[:-5])
            with open(stem + ".mail", encoding="latin-1", newline="") as f, open(stem + ".to") as t:
                out.append((t.read().split(), f.read()))
            os.remove(stem + ".mail")
            os.remove(stem + ".to")
        return out

    def receive(self, mail):
        """Stores a mail as the POP3 fetch does: in the folder of its sender."""
        project, file = SUBJECT.search(mail).groups()
        m = TYPE_LINE.search(mail)
        folder = self.data + "Synchro/in/%s/%s" % (project, m.group(3) if m else "")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, file + ".txt"), "w", encoding="latin-1", newline="") as f:
            f.write("+OK message follows\r\n" + mail + "\r\n.\r\n")

    def reports(self):
        return [n for n in super().reports() if not n.startswith("TRACE_")]

    def reports_state(self):
        """Per report: its index line, entries (attachments without the data
        directory) and history; with the attached files."""
        state = {}
        for n in self.reports():
            first, entries, history = parse_report(self.read("data/" + n, "rb"))
            entries = [(s, tuple(h), t.replace(self.data.rstrip("/") + "/", "DATA/").replace("DATA//", "DATA/"))
                       for s, h, t in entries]
            state[n] = (first, entries, history)
        for d in sorted(d for d in os.listdir(self.data) if d.startswith("TRACE_")):
            for f in sorted(os.listdir(self.data + d)):
                state[d + "/" + f] = self.read("data/%s/%s" % (d, f), "rb")
        return state

    def out_files(self):
        return sorted(f for f in os.listdir(self.data + "Synchro/out/TEST") if f.startswith("s"))


class Net:
    """The mail between sites: collected from the outboxes, then delivered."""

    def __init__(self, sites):
        self.sites, self.queue = {s.addr: s for s in sites}, []

    def collect(self):
        for s in self.sites.values():
            self.queue += [(a, text) for to, text in s.outgoing() for a in to]
        return self.queue

    def deliver(self, rnd=None, loss=0.0, dup=0.0, delay=0.0, drop=lambda a, t: False):
        self.collect()
        queue, self.queue = self.queue, []
        if rnd:
            rnd.shuffle(queue)
        for addr, text in queue:
            if rnd and rnd.random() < delay:
                self.queue.append((addr, text))
            elif drop(addr, text) or (rnd and rnd.random() < loss):
                continue
            else:
                for _ in range(2 if rnd and rnd.random() < dup else 1):
                    self.sites[addr].receive(text)

    def settle(self, rounds=40):
        """Delivers everything until no site sends anything more."""
        for _ in range(rounds):
            self.deliver()
            for s in self.sites.values():
                s.page()
            if not self.collect():
                return
        raise AssertionError("the mail did not settle")


class SynchCase(VelkoTestCase):
    def sites(self, *hosts, **keys):
        made = [Site(h, **keys) for h in hosts]
        for s in made:
            self.addCleanup(s.remove)
            s.set_peers([p for p in made if p is not s])
        return made

    def assertSame(self, *sites):
        first = sites[0].reports_state()
        for s in sites[1:]:
            self.assertEqual(first, s.reports_state(), s.host)
        for s in sites:
            r = s.run(args=["--check"])
            self.assertEqual(r.returncode, 0, r.text + r.stderr)


class ExchangeTest(SynchCase):
    def test_reports_entries_and_headers_merge_alike(self):
        a, b = self.sites("siteA", "siteB")
        net = Net([a, b])
        name = a.create("From A")
        sent = a.outgoing()
        creation = sent[0][1]
        self.assertEqual([to for to, _ in sent], [[b.addr]])
        self.assertIns(sent[0][1], "\nSubject: Velko-Synchro TEST s00001\n", "\nfiletype: b ",
                       " siteA \r\n\r\nbegin 0666 %s\r\n" % name)
        net.queue += [(b.addr, sent[0][1])]
        net.deliver()
        r = b.page()
        self.assertIns(r.body, "<!SendSynchFile:\"siteA:s00001.txt\" e>")
        self.assertEqual(b.reports(), [name])
        self.assertIn(report_line_of(b, name), b.index_lines())
        self.assertRegex(b.read("data/history.dat"), r"^\S+ %s Submitted by admin\n$" % name)
        # Changes on both sides a second apart: the entries of both, the
        # newest header on both sites.
        b.analyse(name, "From B")
        time.sleep(1.1)
        a.analyse(name, "From A again")
        a.observe(name, "alice")
        net.settle()
        self.assertSame(a, b)
        first, entries, history = parse_report(a.read("data/" + name, "rb"))
        self.assertEqual([e[1][0] for e in entries], ["Description", "From B", "From A again"])
        self.assertEqual(first.split("|")[11], "b")  # observation, from A, the newest
        self.assertEqual(len(history.splitlines()), 4)
        # The acknowledgements removed every data message on both sides.
        self.assertFalse([f for s in (a, b) for f in s.out_files()
                          if f.endswith(".txt") and "filetype: b" in s.read("data/Synchro/out/TEST/" + f)])
        # A late, duplicated older copy rolls nothing back.
        b.receive(creation.replace("s00001", "s00009"))
        b.page()
        self.assertEqual(parse_report(b.read("data/" + name, "rb"))[0], first)

    def test_report_moved_by_its_header_moves_on_every_site(self):
        a, b = self.sites("siteA", "siteB")
        for s in (a, b):
            s.write("cfg/TEST_subproject.cfg", "phase 1:10\nphase 2:20\n")
        net = Net([a, b])
        name = a.create("Moving")
        net.settle()
        b.analyse(name, "Before the move")
        net.settle()
        time.sleep(1.1)
        fields = dict(form(title="Moving", phase="a"), CMD="Change_Header", Num=name, User="admin",
                      group="phase 2")
        a.assertClean(a.run(query=urllib.parse.urlencode(fields)))
        self.assertEqual(a.reports(), ["TS20.00001"])
        net.settle()  # the page of the move sends the report under its new name
        self.assertEqual(a.reports_state(), b.reports_state())
        self.assertEqual(b.reports(), ["TS20.00001"])

    def test_attachments_and_configuration_files(self):
        a, b = self.sites("siteA", "siteB")
        net = Net([a, b])
        name = a.create("Attached")
        a.attach(name, "Dump", bytes(range(256)) * 3)
        net.settle()
        self.assertSame(a, b)
        self.assertEqual(b.read("data/TRACE_%s/Dump_f.bin" % name, "rb"), bytes(range(256)) * 3)
        # Only a file of the project's own may be replaced by a peer, and an
        # older copy never replaces a newer file.
        for i, (file, data, when) in enumerate([("TEST_users.cfg", "bob :b@x:b\n", 2000000000),
                                                ("TEST_version.cfg", "v0\n", 1000),
                                                ("velko.cfg", "DATADIR /\n", 2000000000),
                                                ("project.cfg", "X:X\n", 2000000000)]):
            b.write("cfg/TEST_version.cfg", "v9\n")
            b.receive("Subject: Velko-Synchro TEST s%05d\n \n" % (10 + i) +
                      uuencode("c", "siteA", "", "../" + file, data.encode(), when=when))
        r = b.page()
        self.assertEqual(b.read("cfg/TEST_users.cfg"), "bob :b@x:b\n")
        self.assertEqual(b.read("cfg/TEST_version.cfg"), "v9\n")
        self.assertNotIn("DATADIR /\n", b.read("config/velko.cfg"))
        self.assertIns(r.body, "<! config refused :velko.cfg>", "<! config refused :project.cfg>")
        self.assertFalse(os.path.exists(b.path("users.cfg")) or os.path.exists(b.path("velko.cfg")))


class ConflictTest(SynchCase):
    def test_same_number_on_two_sites_keeps_both_reports(self):
        a, b = self.sites("siteA", "siteB")
        # Created in the same second on both sites, each as number 1.
        t0 = int(time.time()) + 1
        while time.time() < t0:
            time.sleep(0.01)
        na, nb = a.create("Made on A", "a\n"), b.create("Made on B", "b\n")
        self.assertEqual(na, nb)
        net = Net([a, b])
        net.settle()
        self.assertSame(a, b)
        titles = sorted(parse_report(a.read("data/" + n, "rb"))[0].split("|")[26] for n in a.reports())
        self.assertEqual(titles, ["Made on A", "Made on B"])
        for n in a.reports():  # file name, header number and index line agree
            first = parse_report(a.read("data/" + n, "rb"))[0]
            self.assertEqual(int(first.split("|")[1]), int(n.split(".")[1]))
            self.assertIn(first, a.index_lines())
        # A later change of the moved report reaches the other site under
        # its new number.
        moved = a.reports()[1]
        b.analyse(moved, "Later")
        net.settle()
        self.assertSame(a, b)

    def test_pass_killed_anywhere_leaves_reports_whole_and_is_finished_later(self):
        a, b = self.sites("siteA", "siteB")
        for i in range(8):
            b.create("B%d" % i)
            a.create("A%d" % i, "x\n" * 2000)
        net = Net([a, b])
        net.deliver(drop=lambda addr, text: addr == a.addr)
        for delay in (0.004, 0.008, 0.012, 0.02, 0.03, 0.045, 0.06):
            p = b.spawn()
            time.sleep(delay)
            p.kill()
            p.communicate()
            for n in b.reports():  # every report readable at any moment
                parse_report(b.read("data/" + n, "rb"))
            for d in ("in/", "out/TEST/"):  # stale after 20 and 10 s
                for f in os.listdir(b.data + "Synchro/" + d):
                    if f.startswith("lock"):
                        os.remove(b.data + "Synchro/" + d + f)
        net.queue = []
        b.outgoing()
        net.settle()
        self.assertSame(a, b)
        self.assertEqual(len(a.reports()), 16)

    def test_three_senders_with_equal_numbers_stay_apart(self):
        a, b, c = self.sites("siteA", "siteB", "siteC")
        a.create("One")
        c.create("Two")
        net = Net([a, b, c])
        net.deliver()
        self.assertEqual(sorted(os.listdir(b.data + "Synchro/in/TEST")), ["siteA", "siteC"])
        net.settle()
        self.assertSame(a, b, c)
        self.assertEqual(len(b.reports()), 2)


class LossTest(SynchCase):
    def test_lost_message_is_requested_and_resent_with_its_number(self):
        a, b = self.sites("siteA", "siteB", SYNCHRETRY="3600")
        net = Net([a, b])
        n1 = a.create("Lost")
        net.deliver(drop=lambda addr, text: True)  # s00001 lost
        n2 = a.create("Arrives")
        net.deliver()
        r = b.page()
        self.assertIns(r.body, "<!SendSynchFile:\"siteA:s00001.txt\" f>")
        self.assertEqual(b.reports(), [n2])
        net.deliver()
        r = a.page()
        self.assertIns(r.body, "<! resend :")
        resent = [t for _, t in net.collect()]
        self.assertTrue(any("Subject: Velko-Synchro TEST s00001\n" in t for t in resent), resent)
        net.deliver()
        b.page()
        self.assertEqual(b.reports(), [n1, n2])
        # A request does not come again within SYNCHRETRY.
        self.assertNotIn("SendSynchFile", b.page().body)

    def test_cut_blocks_and_bad_arguments_import_nothing(self):
        a, b = self.sites("siteA", "siteB")
        data = report_text(report_line(number=1, title="Cut"), ()).encode()
        mails = [uuencode("b", "siteA", "", "TS10.00001", data, cut=12),
                 uuencode("b", "siteA", "", "TS10.00001", data)[:-30] + "x" * 5 + "\r\n`\r\nend\r\n",
                 uuencode("d", "siteA", "../../etc", "passwd", b"x"),
                 uuencode("e", "siteA", "siteB:s00001.txt/../x", "y", None),
                 uuencode("f", "siteA", "siteB:../s00001.txt", "y", None),
                 uuencode("b", "siteA", "", "TS10.00002", data.replace(b"|TEST|", b"|OTHER|"))]
        for i, m in enumerate(mails):
            b.receive("Subject: Velko-Synchro TEST s%05d\n \n%s" % (i + 1, m))
        r = b.page()
        self.assertIns(r.body, "<! synch : block cut or damaged >", "<! attachment refused :../../etc>",
                       "<! synch : argument refused >", "<!SendSynchFile:\"siteA:s00001.txt\" f>",
                       "<! report of another project refused :OTHER>",
                       "<!SendSynchFile:\"siteA:s00002.txt\" f>")
        self.assertEqual(b.reports(), [])
        self.assertFalse([d for d in os.listdir(b.data) if d.startswith("TRACE")])
        # The whole block asked for again is imported.
        b.receive("Subject: Velko-Synchro TEST s00001\n \n" + uuencode("b", "siteA", "", "TS10.00001", data))
        b.page()
        self.assertEqual(b.reports(), ["TS10.00001"])

    def test_every_gap_is_asked_for_once_per_message_stored_by_hand(self):
        (b,) = self.sites("siteB")
        b.set_peers(["siteA@velko.test"])
        inbox = b.data + "Synchro/in/TEST/"
        for n in (1, 3):
            b.write("data/Synchro/in/TEST/s%05d.dat" % n, "")
        b.write("data/Synchro/in/TEST/s00005.txt", uuencode("e", "siteA", "siteB:s00009.txt", "y", None))
        r = b.page()
        self.assertEqual(re.findall(r'<!SendSynchFile:"([^"]*)" f>', r.body), ["siteA:s00002.txt", "siteA:s00004.txt"])
        self.assertEqual(sorted(os.listdir(inbox + "siteA")), ["s00005.dat", "state"])

    def test_unanswered_request_is_reported_not_repeated_forever(self):
        (b,) = self.sites("siteB")
        b.set_peers(["nobody@velko.test"])
        b.receive("Subject: Velko-Synchro TEST s00003\n \n" + uuencode("e", "siteA", "siteB:s00001.txt", "y", None))
        requests = 0
        for _ in range(12):
            requests += b.page().body.count("<!SendSynchFile:\"siteA:s00002.txt\" f>")
        self.assertEqual(requests, 10)
        self.assertIn(b.lang(2730) % ("TEST", "siteA:s00002.txt", "10"), b.page().body)


class SimulationTest(SynchCase):
    def test_random_edits_on_three_sites_with_unreliable_mail(self):
        rnd = random.Random(int(os.environ.get("VELKO_SYNCH_SEED", "7")))
        sites = self.sites("siteA", "siteB", "siteC")
        net, titles, analyses = Net(sites), [], []
        for step in range(30):
            s = rnd.choice(sites)
            names = s.reports()
            op = rnd.random()
            if op < 0.25 or not names:
                titles.append("R%d" % step)
                s.create(titles[-1], "text %d\n" % step)
            elif op < 0.6:
                analyses.append("A%d" % step)
                s.analyse(rnd.choice(names), analyses[-1])
            elif op < 0.75:
                s.observe(rnd.choice(names), "user%d" % step)
            elif op < 0.82:
                s.attach(rnd.choice(names), "F%d" % step, os.urandom(rnd.randrange(1, 200)))
            else:
                rnd.choice(sites).page()
            net.deliver(rnd, loss=0.2, dup=0.15, delay=0.2)
        net.settle()
        self.assertSame(*sites)
        state = sites[0].reports_state()
        reports = [v for k, v in state.items() if "/" not in k]
        self.assertEqual(sorted(r[0].split("|")[26] for r in reports), sorted(titles))
        entries = [e[1][0] for r in reports for e in r[1]]
        self.assertEqual(sorted(e for e in entries if e.startswith("A")), sorted(analyses))


class FakePop3:
    """A POP3 server on loopback holding `mails` (byte-stuffed as a server
    sends them); `deleted` lists the numbers deleted."""

    def __init__(self, mails):
        self.mails = [re.sub(r"\r?\n", "\r\n", m) for m in mails]
        self.deleted, self.sock = [], socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        threading.Thread(target=self.serve, daemon=True).start()

    def answer(self, text):
        return "+OK\r\n" + re.sub(r"(?m)^\.", "..", text) + ".\r\n"

    def serve(self):
        conn, _ = self.sock.accept()
        self.sock.close()
        with conn, conn.makefile("rb") as lines:
            conn.sendall(b"+OK ready\r\n")
            for raw in lines:
                cmd = raw.decode().split()
                n = int(cmd[1]) if len(cmd) > 1 and cmd[1].isdigit() else 0
                if cmd[0] == "LIST":
                    out = self.answer("".join("%d %d\r\n" % (i + 1, len(m)) for i, m in enumerate(self.mails)))
                elif cmd[0] == "TOP":
                    out = self.answer(self.mails[n - 1].split("\r\n\r\n")[0] + "\r\n\r\n")
                elif cmd[0] == "RETR":
                    out = self.answer(self.mails[n - 1])
                else:
                    out = "+OK\r\n"
                    if cmd[0] == "DELE":
                        self.deleted.append(n)
                conn.sendall(out.encode("latin-1"))
                if cmd[0] == "QUIT":
                    return


class FetchTest(SynchCase):
    def test_fetch_keeps_senders_apart_and_undoes_byte_stuffing(self):
        a, b, c = self.sites("siteA", "siteB", "siteC")
        name = a.create("Fetched", ".\n..x\n")
        a.attach(name, "Dots", b"." * 59)  # its last data line begins with "."
        c.create("Other")
        mails = [t for s in (a, c) for to, t in s.outgoing() if b.addr in to]
        pop = FakePop3(mails + ["Subject: other mail\r\n\r\nhello\r\n"])
        b.set_cfg(POP3="127.0.0.1:%d" % pop.sock.getsockname()[1], POP3USER="b", POP3PASS="p")
        b.page()
        self.assertEqual(sorted(pop.deleted), [1, 2, 3, 4])
        self.assertEqual(sorted(os.listdir(b.data + "Synchro/in/TEST")), ["siteA", "siteC"])
        self.assertEqual(b.read("data/TRACE_%s/Dots_f.bin" % name, "rb"), b"." * 59)
        self.assertEqual(len(b.reports()), 2)
        self.assertEqual(parse_report(b.read("data/" + name, "rb"))[1][0][2], ".\n..x\n")


def report_line_of(site, name):
    return parse_report(site.read("data/" + name, "rb"))[0]


@unittest.skipIf(SERVERS is None, "mail servers not started (scripts/mailservers.sh)")
class RealServersTest(SynchCase):
    """Two sites, each with its own mailbox (synch, popcheck), through the
    real SMTP and POP3 servers."""

    @classmethod
    def setUpClass(cls):
        SERVERS.join()

    def empty(self, user):
        host, port = pop3_server().split(":")
        box = poplib.POP3(host, int(port), timeout=10)
        box.user(user)
        box.pass_("secret")
        for i in range(len(box.list()[1])):
            box.dele(i + 1)
        box.quit()

    def test_exchange_through_postfix_and_dovecot(self):
        users = ("synch", "popcheck")
        for u in users:
            self.empty(u)
        pop3 = pop3_server()
        a, b = [Site("real%s" % u, [SERVERS.addr(o) for o in users if o != u], MAILSERV=SERVERS.smtp,
                     POP3=pop3, POP3USER=u, POP3PASS="secret", SYNCHRETRY="3600") for u in users]
        for s in (a, b):
            self.addCleanup(s.remove)
        name = a.create("Through the servers", "line.\n.\nlast\n")
        a.attach(name, "Bin", bytes(range(256)) * 2 + b"\n.\n" + b"x" * 14)

        def until(site, check):
            end = time.monotonic() + 20
            while time.monotonic() < end:
                r = site.page()
                if check():
                    return r
                time.sleep(0.3)
            self.fail(r.body[-3000:])
        until(b, lambda: os.path.exists(b.data + "TRACE_%s/Bin_f.bin" % name) and name in b.reports())
        b.analyse(name, "Answer from B")
        until(a, lambda: "Answer from B" in a.read("data/" + name))
        until(b, lambda: not [f for f in b.out_files() if f.endswith(".ack")] and
              not [f for f in b.out_files() if "filetype: b" in b.read("data/Synchro/out/TEST/" + f)])
        self.assertEqual(a.reports_state(), b.reports_state())


if __name__ == "__main__":
    unittest.main()
