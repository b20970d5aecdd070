"""Shared helpers for the black-box tests: a temporary installation and a
way to run one CGI request against it.

An installation is a folder holding
    config/velko.cfg   the main configuration file (found through PWD)
    cfg/               the configuration directory (CONFIGDIR), a copy of
                       the repository's config/ folder unless told otherwise
    data/              the data directory (DATADIR) with its tmp/ folder
"""
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ.get(
    "VELKO_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
VELKO_BIN = os.environ.get("VELKO_BIN", os.path.join(SOURCE_DIR, "build", "velko"))


class Response:
    """The output of one request, split at the end of the CGI header."""

    def __init__(self, raw, returncode, stderr):
        self.raw = raw
        self.returncode = returncode
        self.stderr = stderr
        sep = raw.find(b"\n\n")
        if sep >= 0:
            self.header = raw[:sep + 2].decode("latin-1")
            self.body_bytes = raw[sep + 2:]
        else:
            self.header = ""
            self.body_bytes = raw
        self.body = self.body_bytes.decode("utf-8", "replace")
        self.text = raw.decode("utf-8", "replace")

    def __repr__(self):
        return "Response(%r)" % self.raw[:2000]


class Install:
    """A temporary installation; remove() deletes it."""

    def __init__(self, security=False, language="EN", extra_cfg="", copy_config=True,
                 main_cfg=True):
        self.root = tempfile.mkdtemp(prefix="velko-bb.")
        self.data = os.path.join(self.root, "data") + "/"
        self.cfg = os.path.join(self.root, "cfg") + "/"
        os.makedirs(os.path.join(self.data, "tmp"))
        if copy_config and os.path.isdir(os.path.join(SOURCE_DIR, "config")):
            shutil.copytree(os.path.join(SOURCE_DIR, "config"), self.cfg)
        else:
            os.makedirs(self.cfg)
        os.makedirs(os.path.join(self.root, "config"))
        if main_cfg:
            self.write_main_cfg(
                "DATADIR %s\nCONFIGDIR %s\nIMGDIR /velko/images/\nPRINT cat\n"
                "MAILSERV 127.0.0.1\nHOSTNAME localhost\nDOMAIN localhost\n"
                "SECURITY %s\nLANGUAGE %s\nPERSIST 0\nWWW www\n%s"
                % (self.data, self.cfg, "YES" if security else "", language, extra_cfg))

    def write_main_cfg(self, text):
        with open(os.path.join(self.root, "config", "velko.cfg"), "w") as f:
            f.write(text)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, rel, content, mode="w"):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, mode) as f:
            f.write(content)

    def read(self, rel, mode="r"):
        with open(self.path(rel), mode) as f:
            return f.read()

    def env(self, **extra):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "PWD": self.root,
            "SCRIPT_NAME": "/cgi-bin/velko",
            "SERVER_PORT": "80",
            "REMOTE_ADDR": "127.0.0.1",
            "GATEWAY_INTERFACE": "CGI/1.1",
        }
        for k, v in extra.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        return env

    def run(self, query=None, post=None, method=None, content_type=None, args=(),
            env=None, timeout=60, cwd=None):
        """Runs one request. `query` is the QUERY_STRING; `post` a body
        (str or bytes) sent as a POST with its CONTENT_LENGTH."""
        e = self.env(**(env or {}))
        stdin = b""
        if query is not None:
            e["QUERY_STRING"] = query
        if post is not None:
            stdin = post.encode("latin-1") if isinstance(post, str) else post
            e["REQUEST_METHOD"] = method or "POST"
            e.setdefault("CONTENT_LENGTH", str(len(stdin)))
            if content_type:
                e["CONTENT_TYPE"] = content_type
            elif "CONTENT_TYPE" not in e:
                e["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
            if query is None:
                e["QUERY_STRING"] = ""
        elif method:
            e["REQUEST_METHOD"] = method
        p = subprocess.run([VELKO_BIN] + list(args), input=stdin, env=e,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=timeout, cwd=cwd or self.root)
        err = p.stderr.decode("utf-8", "replace")
        if "Sanitizer" in err or "runtime error:" in err:
            raise AssertionError("sanitizer report for %r:\n%s" % (query, err))
        return Response(p.stdout, p.returncode, err)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class VelkoTestCase(unittest.TestCase):
    """A test case with a fresh installation in self.inst."""

    install_args = {}

    def setUp(self):
        self.inst = Install(**self.install_args)
        self.addCleanup(self.inst.remove)


def multipart(fields, boundary="----WebKitFormBoundaryx8Qm2eAbc123"):
    """Encodes fields [(name, value)] or [(name, (filename, bytes))] as a
    browser does. Returns (body bytes, content type)."""
    out = b""
    for name, value in fields:
        out += b"--" + boundary.encode() + b"\r\n"
        if isinstance(value, tuple):
            fname, data = value
            out += ('Content-Disposition: form-data; name="%s"; filename="%s"\r\n'
                    % (name, fname)).encode()
            out += b"Content-Type: application/octet-stream\r\n\r\n" + data + b"\r\n"
        else:
            if isinstance(value, str):
                value = value.encode("utf-8")
            out += ('Content-Disposition: form-data; name="%s"\r\n\r\n' % name).encode()
            out += value + b"\r\n"
    out += b"--" + boundary.encode() + b"--\r\n"
    return out, "multipart/form-data; boundary=" + boundary
