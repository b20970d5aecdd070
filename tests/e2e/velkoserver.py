"""A velko installation served by lighttpd on a free loopback port.

    with VelkoServer() as srv:
        status, headers, body = srv.get("/cgi-bin/velko")

The installation is made by scripts/make_install.sh (with the executable of
$VELKO_BIN, default build/velko) in a fresh temporary folder, and served by
scripts/lighttpd.sh, the same configuration that ./run.sh uses. stop()
(or the end of the with block) stops lighttpd and deletes the folder.

Only 127.0.0.1 is ever contacted.
"""
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

SOURCE_DIR = os.environ.get(
    "VELKO_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
VELKO_BIN = os.path.abspath(
    os.environ.get("VELKO_BIN", os.path.join(SOURCE_DIR, "build", "velko")))
ARTEFACTS = os.path.join(SOURCE_DIR, "tests", "artefacts")
CGI = "/cgi-bin/velko"

# Sanitizer options handed to the CGI processes (lighttpd passes them on):
# reports go to the CGI error log, which the fixture reads at the end.
SANITIZER_ENV = {
    "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "detect_leaks=0"),
    "UBSAN_OPTIONS": os.environ.get("UBSAN_OPTIONS", "print_stacktrace=1"),
}


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def have_lighttpd():
    return bool(shutil.which("lighttpd")) or os.access("/usr/sbin/lighttpd", os.X_OK)


def load_language(cfg_dir, code="EN"):
    """The language table of a configuration directory: {number: text}."""
    table = {}
    with open(os.path.join(cfg_dir, "langue." + code), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            m = re.match(r"^(\d+),(.*)$", line)
            if m:
                table[int(m.group(1))] = m.group(2)
    return table


class VelkoServer:
    """One installation and its lighttpd. Arguments:
    binary   the CGI executable (default $VELKO_BIN)
    users    lines for cfg/TEST_users.cfg (default: the shipped file)
    prepare  a function called with the server before lighttpd starts
             (for example to put the data directory elsewhere)
    """

    def __init__(self, binary=None, users=None, prepare=None, keep=False):
        self.binary = os.path.abspath(binary or VELKO_BIN)
        self.users = users
        self.prepare = prepare
        self.keep = keep or bool(os.environ.get("VELKO_KEEP_INSTALL"))
        self.root = None
        self.proc = None
        self.port = None

    # -- paths of the installation
    @property
    def cgi_dir(self):
        return os.path.join(self.root, "www", "cgi-bin")

    @property
    def data(self):
        return os.path.join(self.root, "data")

    @property
    def cfg(self):
        return os.path.join(self.root, "cfg")

    def data_path(self, *parts):
        return os.path.join(self.data, *parts)

    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    def url(self, path="/cgi-bin/velko"):
        return self.base_url() + path

    # -- life cycle
    def install(self):
        """Makes the installation only (no web server); returns self."""
        self.root = tempfile.mkdtemp(prefix="velko-www.")
        subprocess.run([os.path.join(SOURCE_DIR, "scripts", "make_install.sh"), self.root,
                        self.binary], check=True, stdout=subprocess.DEVNULL)
        if self.users is not None:
            with open(os.path.join(self.cfg, "TEST_users.cfg"), "w") as f:
                f.write("".join(u + "\n" for u in self.users))
        self.lang = load_language(self.cfg)
        if self.prepare:
            self.prepare(self)
        return self

    def start(self):
        if not have_lighttpd():
            raise RuntimeError("lighttpd is not installed")
        self.install()
        last = None
        for _ in range(5):  # a port taken between the probe and the bind: try another
            self.port = free_port()
            env = dict(os.environ)
            env.update(SANITIZER_ENV)
            with open(os.path.join(self.root, "logs", "lighttpd.out"), "ab") as out:
                self.proc = subprocess.Popen(
                    [os.path.join(SOURCE_DIR, "scripts", "lighttpd.sh"), self.root,
                     str(self.port)],
                    stdout=out, stderr=subprocess.STDOUT, env=env, start_new_session=True)
            deadline = time.time() + 15
            while time.time() < deadline and self.proc.poll() is None:
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                        return self
                except OSError as e:
                    last = e
                    time.sleep(0.05)
            self._kill()
        raise RuntimeError("lighttpd did not start: %s\n%s" % (last, self.log("lighttpd.out")))

    def _kill(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(10)
        self.proc = None

    def stop(self):
        self._kill()
        if self.root and not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- logs
    def log(self, name):
        try:
            with open(os.path.join(self.root, "logs", name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def sanitizer_reports(self):
        """What the sanitizers said in the CGI error log ("" when nothing)."""
        text = self.log("cgi-stderr.log")
        if "Sanitizer" in text or "runtime error:" in text:
            return text[-20000:]
        return ""

    # -- requests
    def request(self, method, path, body=None, headers=None, timeout=60):
        """(status, headers dict with lower-case names, body bytes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            data = r.read()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, data
        finally:
            conn.close()

    def get(self, query=None, path=CGI, **kw):
        if query is not None:
            if not isinstance(query, str):
                query = urllib.parse.urlencode(query)
            path = path + "?" + query
        return self.request("GET", path, **kw)

    def post(self, fields, path=CGI, **kw):
        body = urllib.parse.urlencode(fields).encode("utf-8")
        return self.request("POST", path, body=body, headers={
            "Content-Type": "application/x-www-form-urlencoded"}, **kw)

    # -- the installation's own commands
    def velko(self, *args, timeout=120):
        """Runs the executable as an administrator does, from the cgi-bin
        folder: (exit status, stdout + stderr text)."""
        env = dict(os.environ)
        env.update(SANITIZER_ENV)
        env["PWD"] = self.cgi_dir
        for k in ("QUERY_STRING", "REQUEST_METHOD", "CONTENT_LENGTH", "GATEWAY_INTERFACE"):
            env.pop(k, None)
        p = subprocess.run([os.path.join(self.cgi_dir, "velko")] + list(args), env=env,
                           cwd=self.cgi_dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace")

    def check(self):
        return self.velko("--check")

    def cgi_env(self, query="", body=None, content_type="application/x-www-form-urlencoded"):
        """The environment lighttpd gives the executable for one request."""
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PWD": self.cgi_dir,
               "SCRIPT_NAME": CGI, "SCRIPT_FILENAME": os.path.join(self.cgi_dir, "velko"),
               "SERVER_PORT": str(self.port or 80), "SERVER_NAME": "127.0.0.1",
               "REMOTE_ADDR": "127.0.0.1", "GATEWAY_INTERFACE": "CGI/1.1",
               "QUERY_STRING": query, "REQUEST_METHOD": "GET"}
        env.update(SANITIZER_ENV)
        if body is not None:
            env.update(REQUEST_METHOD="POST", CONTENT_LENGTH=str(len(body)),
                       CONTENT_TYPE=content_type)
        return env

    def spawn(self, query="", body=None, length=None, **kw):
        """Starts the executable directly as lighttpd would (standard input
        and output are pipes); `length` overrides CONTENT_LENGTH."""
        env = self.cgi_env(query, body if body is not None else (b"" if length else None))
        if length is not None:
            env["CONTENT_LENGTH"] = str(length)
        return subprocess.Popen([os.path.join(self.cgi_dir, "velko")], env=env, cwd=self.cgi_dir,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **kw)

    # -- the data directory
    def report_names(self):
        """Names of the report files of the data directory."""
        return sorted(n for n in os.listdir(self.data) if REPORT_NAME.match(n))

    def read_data(self, name, mode="r"):
        with open(self.data_path(name), mode, **({} if "b" in mode else {"errors": "replace"})) as f:
            return f.read()

    def index_lines(self):
        try:
            return [l for l in self.read_data("index").split("\n") if l]
        except FileNotFoundError:
            return []


# A report name: a prefix of letters and digits, a point, five digits.
REPORT_NAME = re.compile(r"^[A-Za-z0-9_-]+\.\d{5}$")


def line_key(line):
    """The key of an index line (or of a report file's first line): project,
    group, phase and number; the index holds one line per key."""
    f = line.split("|")
    return (f[6], f[7], f[2], int(f[1]))


def parse_report(text):
    """Splits a report file into (index line, [entries], history text) and
    checks its byte counts; raises ValueError for a file cut short."""
    seps = {"=!=!=!=!=!=!=!=!=!=!=!=": "analysis", "=|=|=|=|=|=|=|=|=|=|=|=": "attachment"}
    hist_sep = "=-=-=-=-=-=-=-=-=-=-=-="
    data = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    pos = data.find(b"\n")
    if pos < 0:
        raise ValueError("no index line")
    first = data[:pos].decode("utf-8", "replace")
    if first.count("|") < 26:
        raise ValueError("index line with %d fields" % (first.count("|") + 1))
    pos += 1
    entries = []
    while True:
        end = data.find(b"\n", pos)
        if end < 0:
            raise ValueError("no history section")
        line = data[pos:end].decode("utf-8", "replace")
        pos = end + 1
        if line == hist_sep:
            end = data.find(b"\n", pos)
            if end < 0:
                raise ValueError("no history byte count")
            count = int(data[pos:end])
            hist = data[end + 1:]
            if len(hist) != count:
                raise ValueError("history of %d bytes, %d announced" % (len(hist), count))
            return first, entries, hist.decode("utf-8", "replace")
        if line not in seps:
            raise ValueError("unexpected line %r" % line[:80])
        end = data.find(b"\n", pos)
        head = data[pos:end].decode("utf-8", "replace").split("|")
        count = int(head[-1])
        pos = end + 1
        body = data[pos:pos + count]
        if len(body) != count:
            raise ValueError("entry of %d bytes, %d announced" % (len(body), count))
        pos += count
        entries.append((seps[line], head, body.decode("utf-8", "replace")))
