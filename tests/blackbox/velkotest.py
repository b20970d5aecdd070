"""Shared helpers of the black-box tests: Install (a temporary installation
and one CGI request run on it), Server (an installation of
scripts/make_install.sh served by lighttpd), hand-written report files,
the requests and store checks of the load and fault tests, and the mail
servers of scripts/mailservers.sh."""
import ctypes
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

SOURCE_DIR = os.environ.get(
    "VELKO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
VELKO_BIN = os.path.abspath(os.environ.get("VELKO_BIN", os.path.join(SOURCE_DIR, "build", "velko")))
SANITIZER_ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "detect_leaks=0"),
                 "UBSAN_OPTIONS": os.environ.get("UBSAN_OPTIONS", "print_stacktrace=1")}
SEP_ANALYSE, SEP_ATTACH, SEP_HISTORY = "=!" * 11 + "=", "=|" * 11 + "=", "=-" * 11 + "="
TIME = r"\d{4}/\d\d/\d\d:\d\d\.\d\d\.\d\d"
# The fields of an index line (the first line of a report file), in order.
FIELDS = ["prefix", "number", "phase", "date", "submitter", "severity", "project", "subProject",
          "module", "version", "expvers", "status", "postponeDate", "assignedTo", "corrector",
          "correctDate", "correctVersion", "verifiedBy", "verifyDate", "verifyVersion",
          "fileType", "impact", "mdaPda", "testref", "timeSpent", "timeEstimate", "title"]
STATUS = {s: chr(97 + i) for i, s in enumerate(
    ["NEW", "OBSERVATION", "ANALYSIS", "OPEN", "CORRECTED", "VERIFIED", "DUPLICATE", "NOT_A_BUG",
     "NOT_REPRODUCTIBLE", "POSTPONE", "ABANDONED"])}
FULL_RIGHTS = ":YES:YES:YES:YES:YES:YES:YES"


def time2char(t):
    return time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(t))


def lang_table(path):
    with open(path, encoding="utf-8") as f:
        return {int(m.group(1)): m.group(2) for m in
                (re.match(r"(\d+),(.*)", l.rstrip("\r\n")) for l in f) if m}


def hidden_fields(body):
    """The hidden fields of the login pages and of the pages that carry a session."""
    return re.findall(r'<INPUT TYPE=hidden NAME="([^"]*)" VALUE="([^"]*)">', body)


def report_line(**fields):
    """An index line: report TS10.<number> of project TEST, new, with `fields` changed."""
    v = dict(zip(FIELDS, "10|1|a|1100000000|admin|c|TEST|phase 1|mod|v1|v2|a|0|||0|||0||c|a|||0|5|"
                         "Crash at start".split("|")))
    v.update({k: str(x) for k, x in fields.items()})
    return "|".join(v[f] for f in FIELDS) + "\n"


def report_text(line, entries=(), history=""):
    """A report file: its index line, entries (separator, None for an
    analysis; title, date, submitter, text), then its history."""
    return line + "".join("%s\n%s|%d|%s|%d\n%s" % (sep or SEP_ANALYSE, title, date, who,
                                                   len(text.encode()), text)
                          for sep, title, date, who, text in entries) + \
        "%s\n%d\n%s" % (SEP_HISTORY, len(history.encode()), history)


def read_index(index, journal=None):
    """The index lines (text, no line feeds) that readers see: a change to a
    large index is a record of "index.journal" ("+" and a report's new line,
    which moves to the end, or "-" and an old line, whose key goes), and
    readers apply the records to "index" as a rewrite at each change would
    have: lines whose key a record names leave, empty lines too, and the
    surviving lines of the journal follow in the order of their last record.
    A last record without line feed does not count."""
    text = index.decode("utf-8", "replace")
    records = journal.decode("utf-8", "replace").split("\n")[:-1] if journal else []
    if not any(r[:1] in ("+", "-") and len(r) > 1 for r in records):
        return text.splitlines()
    lines = text.split("\n")
    last = lines.pop()  # after the last line feed
    key = lambda l: tuple(l.split("|")[i] if i < len(l.split("|")) else "" for i in (6, 7, 2, 1))
    named, tail = set(), {}
    for r in records:
        if r[:1] in ("+", "-") and len(r) > 1:
            named.add(key(r[1:]))
            tail.pop(key(r[1:]), None)
            if r[0] == "+":
                tail[key(r[1:])] = r[1:]
    lines += [last] if last else []  # a rewrite completes a last line
    return [l for l in lines if l and key(l) not in named] + list(tail.values())


class Response:
    """The output of one request, split at the end of the CGI header."""

    def __init__(self, raw, returncode, stderr):
        self.raw, self.returncode, self.stderr = raw, returncode, stderr
        sep = raw.find(b"\n\n") + 2 if b"\n\n" in raw else 0
        self.header, self.body_bytes = raw[:sep].decode("latin-1"), raw[sep:]
        self.body = self.body_bytes.decode("utf-8", "replace")
        self.text = raw.decode("utf-8", "replace")

    def __repr__(self):
        return "Response(%r)" % self.raw[:2000]


class Install:
    """A temporary installation: config/velko.cfg (found through PWD), cfg/
    (a copy of the repository's config/) and data/; remove() deletes it."""

    extra_env = {}

    def __init__(self, security=False, language="EN", main_cfg=True):
        self.root, self.language = tempfile.mkdtemp(prefix="velko-bb."), language
        self.data, self.cfg, self.pwd = self.path("data") + "/", self.path("cfg") + "/", self.root
        os.makedirs(self.data + "tmp")
        os.makedirs(self.path("config"))
        shutil.copytree(os.path.join(SOURCE_DIR, "config"), self.cfg)
        # Today's daily pass counts as done: the statistics lines and the
        # wake-up of postponed reports run only in the tests that ask for
        # them (test_stats.py ages or removes this marker).
        self.write("cfg/.stats", "")
        if main_cfg:
            self.write_main_cfg(
                "DATADIR %s\nCONFIGDIR %s\nIMGDIR /velko/images/\nPRINT cat\nMAILSERV 127.0.0.1\n"
                "HOSTNAME localhost\nDOMAIN localhost\nSECURITY %s\nLANGUAGE %s\nPERSIST 0\n"
                "WWW www\n" % (self.data, self.cfg, "YES" if security else "", language))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, rel, content, mode="w"):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), mode) as f:
            f.write(content)

    def read(self, rel, mode="r"):
        with open(self.path(rel), mode) as f:
            return f.read()

    def write_main_cfg(self, text):
        self.write("config/velko.cfg", text)

    def set_cfg(self, **keys):
        """Replaces keys of velko.cfg (an empty value leaves the key empty)."""
        lines = [l for l in self.read("config/velko.cfg").splitlines()
                 if l.split(" ", 1)[0] not in keys]
        self.write_main_cfg("\n".join(lines + [("%s %s" % kv).rstrip() for kv in keys.items()])
                            + "\n")

    def lang(self, num, code=None):
        return lang_table(self.path("cfg", "langue." + (code or self.language))).get(num, "")

    def cgi(self, query=None, post=None, method=None, content_type=None, env=None):
        """(environment, standard input) of one request: `query` is the
        QUERY_STRING, `post` a body (str or bytes) sent with its CONTENT_LENGTH;
        a variable of `env` set to None is left out."""
        e = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PWD": self.pwd,
             "SCRIPT_NAME": "/cgi-bin/velko", "SERVER_PORT": "80", "REMOTE_ADDR": "127.0.0.1",
             "GATEWAY_INTERFACE": "CGI/1.1"}
        e.update(self.extra_env, **(env or {}))
        stdin = post.encode("latin-1") if isinstance(post, str) else post or b""
        if query is not None:
            e["QUERY_STRING"] = query
        if post is not None:
            e.setdefault("CONTENT_LENGTH", str(len(stdin)))
            e.setdefault("CONTENT_TYPE", content_type or "application/x-www-form-urlencoded")
            e.setdefault("QUERY_STRING", "")
        if method or post is not None:
            e["REQUEST_METHOD"] = method or "POST"
        return {k: v for k, v in e.items() if v is not None}, stdin

    def run(self, query=None, post=None, method=None, content_type=None, args=(), env=None,
            cwd=None):
        e, stdin = self.cgi(query, post, method, content_type, env)
        p = subprocess.run([VELKO_BIN] + list(args), input=stdin, env=e, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=120, cwd=cwd or self.pwd)
        err = p.stderr.decode("utf-8", "replace")
        if "Sanitizer" in err or "runtime error:" in err:
            raise AssertionError("sanitizer report for %r:\n%s" % (query, err))
        return Response(p.stdout, p.returncode, err)

    def spawn(self, query=None, post=None, env=None, pipe=False):
        """Starts a request without waiting for its end: its body sent, or
        (pipe) to be written to its standard input."""
        e, stdin = self.cgi(query, post, env=env)
        with tempfile.TemporaryFile() as f:
            f.write(stdin)
            f.seek(0)
            return subprocess.Popen([VELKO_BIN], env=e, cwd=self.pwd, stdin=subprocess.PIPE if pipe else f,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def work_log(self, blocks=1, timeout=30.0):
        """The blocks of the trace log of the work done after the pages
        (tmp/trace.log), once `blocks` of them are finished (or the time is
        out): a list of texts, oldest first."""
        end = time.monotonic() + timeout
        while True:
            try:
                text = self.read("data/tmp/trace.log", "rb").decode("utf-8", "replace")
            except FileNotFoundError:
                text = ""
            found = [m.group(0) for m in re.finditer(r"^#\S+ (\d+) .*?^#done \1\n", text, re.M | re.S)]
            if len(found) >= blocks or time.monotonic() > end:
                return found
            time.sleep(0.05)

    def login(self, user, password):
        """The session identifier of a login, or None."""
        r = self.run(post=urllib.parse.urlencode([("Login", "2"), ("User", user),
                                                  ("Passwd", password)]))
        return dict(hidden_fields(r.body)).get("Uid")

    def put_report(self, name=None, entries=(), history="", **fields):
        """Writes report TS10.<number> (or `name`) and its index line."""
        line = report_line(**fields)
        key = lambda l: l.split("|")[:3] + l.split("|")[6:8]
        self.write("data/" + (name or "TS10.%05d" % int(fields.get("number", 1))),
                   report_text(line, entries, history))
        self.write("data/index", "".join(l for l in self.index_lines(True) if key(l) != key(line))
                   + line)
        if os.path.exists(self.data + "index.journal"):
            os.unlink(self.data + "index.journal")
        return name or "TS10.%05d" % int(fields.get("number", 1))

    def snapshot(self):
        """The files of data/ and cfg/, without data/tmp and the session key."""
        files = {}
        for base in ("data", "cfg"):
            for root, _, names in os.walk(self.path(base)):
                for n in names:
                    if not root.startswith(self.path("data", "tmp")) and n != "session.key":
                        with open(os.path.join(root, n), "rb") as f:
                            files[os.path.join(root, n)] = f.read()
        return files

    def reports(self):
        return sorted(n for n in os.listdir(self.data) if re.fullmatch(r"[^.]+\.\d+", n))

    def index_lines(self, ends=False):
        """The lines of the index as readers see them: "index" with the
        records of "index.journal" applied (see read_index)."""
        read = lambda n: self.read("data/" + n, "rb") if os.path.exists(self.data + n) else None
        journal = read("index.journal")  # before the index, as velko reads them
        lines = read_index(read("index") or b"", journal)
        return [l + "\n" for l in lines] if ends else lines

    def prefill(self, count, first=1):
        """Writes reports TS10.<first> ... of `count` lines in all, with their
        index lines, straight into the data directory (a large store)."""
        if count <= 0:
            return
        lines = []
        for n in range(first, first + count):
            line = report_line(number=n, title="prefilled report %d" % n)
            with open(self.data + "TS10.%05d" % n, "w") as f:
                f.write(report_text(line))
            lines.append(line)
        with open(self.data + "index", "a") as f:
            f.write("".join(lines))

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class VelkoTestCase(unittest.TestCase):
    """A test case with a fresh installation in self.inst."""

    install_args = {}

    def setUp(self):
        self.inst = self.other_install(**self.install_args)

    def other_install(self, **args):
        inst = Install(**args)
        self.addCleanup(inst.remove)
        return inst

    def assertIns(self, text, *parts, absent=()):
        """Each of `parts` is in `text`, none of `absent`."""
        for p in parts:
            self.assertIn(p, text)
        for p in absent:
            self.assertNotIn(p, text)


def multipart(fields, boundary="----WebKitFormBoundaryx8Qm2eAbc123"):
    """Encodes [(name, value)] or [(name, (filename, bytes))] as a browser
    does: (body bytes, content type)."""
    out = b""
    for name, value in fields:
        out += b"--" + boundary.encode() + b'\r\nContent-Disposition: form-data; name="%s"' % name.encode()
        if isinstance(value, tuple):
            out += b'; filename="%s"\r\nContent-Type: application/octet-stream' % value[0].encode()
            value = value[1]
        out += b"\r\n\r\n" + (value.encode("utf-8") if isinstance(value, str) else value) + b"\r\n"
    return out + b"--" + boundary.encode() + b"--\r\n", "multipart/form-data; boundary=" + boundary


# -- an installation served by lighttpd

def have_lighttpd():
    return bool(shutil.which("lighttpd")) or os.access("/usr/sbin/lighttpd", os.X_OK)


class Server(Install):
    """An installation of scripts/make_install.sh, the executable run from
    its www/cgi-bin (`prepare(server)` runs on it first); start() serves it
    with lighttpd on a free port of 127.0.0.1."""

    extra_env = SANITIZER_ENV

    def __init__(self, prepare=None):
        self.proc, self.root, self.language = None, tempfile.mkdtemp(prefix="velko-www."), "EN"
        self.data, self.cfg = self.path("data") + "/", self.path("cfg") + "/"
        self.pwd = self.path("www", "cgi-bin")
        subprocess.run([os.path.join(SOURCE_DIR, "scripts", "make_install.sh"), self.root, VELKO_BIN],
                       check=True, stdout=subprocess.DEVNULL)
        if prepare:
            prepare(self)

    def start(self):
        for _ in range(5):  # a port taken between the probe and the bind: another one
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.port = s.getsockname()[1]
            with open(self.path("logs", "lighttpd.out"), "ab") as out:
                self.proc = subprocess.Popen(
                    [os.path.join(SOURCE_DIR, "scripts", "lighttpd.sh"), self.root, str(self.port)],
                    stdout=out, stderr=subprocess.STDOUT, env=dict(os.environ, **SANITIZER_ENV),
                    start_new_session=True)
            deadline = time.time() + 15
            while time.time() < deadline and self.proc.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return self
                except OSError:
                    time.sleep(0.05)
            self.kill()
        raise RuntimeError("lighttpd did not start, see %s/logs" % self.root)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(10)

    def stop(self):
        self.kill()
        self.remove()

    def sanitizer_reports(self):
        """What the CGI processes wrote on their standard error, and the work
        after their pages in the trace log, when a sanitizer reported."""
        text = ""
        for log in ("logs/cgi-stderr.log", "data/tmp/trace.log"):
            if os.path.exists(self.path(log)):
                text += self.read(log, "rb").decode("utf-8", "replace")
        return text[-20000:] if "Sanitizer" in text or "runtime error:" in text else ""

    def url(self, path="/cgi-bin/velko"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def request(self, method, query="", body=None):
        """(status, body bytes) of a GET (query) or a POST (body, fields)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            conn.request(method, "/cgi-bin/velko" + (query and "?" + query),
                         body=body and urllib.parse.urlencode(body).encode(),
                         headers={"Content-Type": "application/x-www-form-urlencoded"} if body else {})
            r = conn.getresponse()
            return r.status, r.read()
        finally:
            conn.close()

    def get(self, query):
        return self.request("GET", query if isinstance(query, str) else urllib.parse.urlencode(query))

    def post(self, fields):
        return self.request("POST", body=fields)

    def check(self):
        """velko --check as an administrator runs it: (exit status, output)."""
        r = self.run(args=["--check"])
        return r.returncode, r.text + r.stderr


# -- requests and store checks of the load and fault tests

NAME_IN_H1 = re.compile(r"<H1>([A-Za-z0-9]+\.\d{5})")
CREATE_FIELDS = {"CMD": "new", "project": "TEST", "group": "phase 1", "prog": "general",
                 "sev": "2", "impact": "b", "phase": "a", "version": "v1", "exp": " ", "type": "1",
                 "submitter": "admin", "test": "", "mdapda": "", "Load": "1"}


class Outcome:
    """What the requests of a test saw: answered creations (name, title),
    applied actions (name, history text), refusals (what, page), requests
    not answered with a page (what, status), lists (creations answered
    before, reports listed)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.created, self.applied, self.refused, self.bad, self.searches = [], [], [], [], []

    def add(self, kind, item):
        with self.lock:
            getattr(self, kind).append(item)


def _answer(srv, out, what, send, expected):
    """Sends a request; its page when it shows `expected` and no failed save."""
    try:
        status, body = send()
    except OSError as e:
        return out.add("bad", (what, repr(e)))
    page = body.decode("utf-8", "replace")
    if status != 200 or b"<HTML" not in body[:2000].upper():
        return out.add("bad", (what, status))
    if expected in page and srv.lang(520).split("%s")[0].strip() not in page \
            and srv.lang(502) not in page:
        return page
    out.add("refused", (what, page))


def create(srv, out, title, text="Load test report.\n"):
    page = _answer(srv, out, "create " + title,
                   lambda: srv.post(dict(CREATE_FIELDS, title=title, text=text)), title)
    m = page and NAME_IN_H1.search(page)
    if m:
        out.add("created", (m.group(1), title))
        return m.group(1)
    if page:
        out.add("refused", ("create " + title, page))


def act(srv, out, name, action, token, text=None):
    """A workflow action on report `name`, `token` making its history line
    unique; the history text when answered as applied."""
    if action == "Analyse":
        fields, line = {"title": token, "text": text or "Analysis %s\n" % token * 3}, 2088
    else:
        fields, line = {"submitter": token}, 2040 if action == "Observed" else 2048
    line, fields = srv.lang(line) % (token, "admin"), dict(fields, CMD=action, Num=name, QS="",
                                                           User="admin")
    send = (lambda: srv.post(fields)) if action == "Analyse" else (lambda: srv.get(fields))
    if _answer(srv, out, "%s %s" % (action, name), send, line):
        out.add("applied", (name, line))
        return line


def parse_report(data):
    """(index line, [(separator, header, text)], history) of a report file;
    ValueError for a file cut short."""
    lines = data.split(b"\n", 1)
    first, pos, entries = lines[0].decode("utf-8", "replace"), len(lines[0]) + 1, []
    if len(lines) < 2 or first.count("|") < 26:
        raise ValueError("no whole index line")
    while True:
        sep, head, rest = (data[pos:].split(b"\n", 2) + [None, None])[:3]
        if rest is None:
            raise ValueError("cut short after byte %d" % pos)
        count, pos = int(head.split(b"|")[-1]), len(data) - len(rest)
        if len(rest) < count or sep not in (b"=!" * 11 + b"=", b"=|" * 11 + b"=", b"=-" * 11 + b"="):
            raise ValueError("%r of %d bytes, %d announced" % (sep[:80], len(rest), count))
        if sep == SEP_HISTORY.encode():
            if len(rest) != count:
                raise ValueError("history of %d bytes, %d announced" % (len(rest), count))
            return first, entries, rest.decode("utf-8", "replace")
        entries.append((sep.decode(), head.decode("utf-8", "replace").split("|"),
                        rest[:count].decode("utf-8", "replace")))
        pos += count


def line_key(line):
    f = line.split("|")
    return f[6], f[7], f[2], int(f[1])


class Snapshot:
    """The report files and the global history at one moment."""

    def __init__(self, srv):
        self.reports = {n: srv.read("data/" + n, "rb") for n in srv.reports()}
        self.history = srv.read("data/history.dat", "rb") if os.path.exists(srv.data + "history.dat") else b""


def store_problems(srv, before=None):
    """(problems, parsed report files): velko --check, files that do not
    read back whole, and (given a Snapshot) reports lost or changed other
    than by growing, lines lost from history.dat."""
    rc, text = srv.check()
    problems, files = [] if rc == 0 else ["velko --check: " + text.strip()[-2000:]], {}
    for n in srv.reports():
        try:
            files[n] = parse_report(srv.read("data/" + n, "rb"))
        except ValueError as e:
            problems.append("%s does not read back whole: %s" % (n, e))
    if before:
        keys = {line_key(l) for l in srv.index_lines() if l.count("|") >= 26}
        for n, old in before.reports.items():
            _, o_entries, o_hist = parse_report(old)
            if n not in files or line_key(files[n][0]) not in keys:
                problems.append("report %s lost from the files or the index" % n)
            elif files[n][1][:len(o_entries)] != o_entries or not files[n][2].startswith(o_hist):
                problems.append("entries or history of %s changed" % n)
        now = Snapshot(srv).history
        if not now.startswith(before.history) or (now and not now.endswith(b"\n")):
            problems.append("history.dat lost lines or ends with a line cut short")
    return problems, files


def verify(srv, out, before=None):
    """The store after requests: store_problems, every answered creation
    stored once under its own number with one index line, every applied
    action in its report's history and in history.dat, and no list that
    showed fewer reports than the creations answered before it."""
    problems, files = store_problems(srv, before)
    problems += ["a list showed %d reports after %d creations" % (f, b)
                 for b, f in out.searches if f < b]
    names, titles = [n for n, _ in out.created], {}
    if len(set(names)) != len(names):
        problems.append("one number given to several creations: %s" % sorted(names))
    for n, (first, _, _) in files.items():
        titles.setdefault(first.split("|")[26], []).append(n)
    index = [l for l in srv.index_lines() if l.count("|") >= 26]
    for name, title in out.created:
        if name not in files or titles.get(title) != [name]:
            problems.append("creation %r stored as %s" % (title, titles.get(title)))
        elif [l for l in index if line_key(l) == line_key(files[name][0])] != [files[name][0]]:
            problems.append("report %s has no index line like its file" % name)
    hist_all = Snapshot(srv).history.decode("utf-8", "replace")
    for name, line in out.applied:
        if not re.search(r"(^|\n)\S+ %s\n" % re.escape(line), files.get(name, ("", "", ""))[2]):
            problems.append("applied action lost from report %s: %s" % (name, line))
        if not re.search(r"(^|\n)\S+ %s %s\n" % (re.escape(name), re.escape(line)), hist_all):
            problems.append("applied action missing from history.dat: %s %s" % (name, line))
    return problems


# -- the mail servers of scripts/mailservers.sh (None when not started)

class MailServers:
    def __init__(self, env):
        self.smtp, self.domain = env["VELKO_MAIL_SMTP"], env["VELKO_MAIL_DOMAIN"]
        self.boxes, self.mail_config = env["VELKO_MAIL_BOXES"], env["VELKO_MAIL_CONFIG"]
        self.netns = env.get("VELKO_MAIL_NETNS", "")

    def join(self):
        """Enters the servers' network namespace (this process and the velko
        runs it starts), once."""
        if self.netns and not getattr(MailServers, "joined", False):
            fd = os.open("/run/netns/" + self.netns, os.O_RDONLY)
            try:
                if ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000) != 0:  # CLONE_NEWNET
                    raise OSError(ctypes.get_errno(), "setns " + self.netns)
            finally:
                os.close(fd)
            MailServers.joined = True

    def addr(self, user):
        return "%s@%s" % (user, self.domain)

    def messages(self, user):
        texts, box = [], os.path.join(self.boxes, user)
        for path in [os.path.join(box, d, n) for d in ("new", "cur") for n in os.listdir(os.path.join(box, d))]:
            try:
                with open(path, encoding="latin-1") as f:
                    texts.append(f.read())
            except FileNotFoundError:
                pass  # expunged meanwhile
        return texts

    def await_message(self, user, token, timeout=15.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for text in self.messages(user):
                if token in text:
                    return text
            time.sleep(0.1)


def mail_servers():
    try:
        with open(os.environ.get("VELKO_MAIL_ENV", "/var/tmp/velko-mail/env")) as f:
            return MailServers(dict(l.rstrip("\n").split("=", 1) for l in f if "=" in l))
    except OSError:
        return None
