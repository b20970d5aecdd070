"""Helpers for tests that use the mail servers of scripts/mailservers.sh.

    servers = mailtest.servers()      # None when they are not started
    servers.join()                    # this process (and its children, the
                                      # velko runs) enter the servers' namespace
    servers.addr("alice")             # "alice@velko.test"
    servers.await_message("alice", "token")   # the message text, or None
    servers.deposit("synch", text)    # a message put straight into a mailbox
    servers.messages("synch")         # texts of the messages of a mailbox
"""
import ctypes
import os
import time

ENV_FILE = os.environ.get("VELKO_MAIL_ENV", "/var/tmp/velko-mail/env")
CLONE_NEWNET = 0x40000000


class Servers:
    def __init__(self, env):
        self.env = env
        self.smtp = env["VELKO_MAIL_SMTP"]
        self.pop3 = env["VELKO_MAIL_POP3"]
        self.domain = env["VELKO_MAIL_DOMAIN"]
        self.boxes = env["VELKO_MAIL_BOXES"]
        self.mail_config = env["VELKO_MAIL_CONFIG"]
        self.netns = env.get("VELKO_MAIL_NETNS", "")

    def host_port(self, which):
        host, port = getattr(self, which).rsplit(":", 1)
        return host, int(port)

    def join(self):
        """Enters the servers' network namespace (once per process)."""
        if not self.netns or getattr(Servers, "_joined", False):
            return
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open("/run/netns/" + self.netns, os.O_RDONLY)
        try:
            if libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns " + self.netns)
        finally:
            os.close(fd)
        Servers._joined = True

    def addr(self, user):
        return "%s@%s" % (user, self.domain)

    def files(self, user):
        out = []
        for sub in ("new", "cur"):
            d = os.path.join(self.boxes, user, sub)
            out += [os.path.join(d, n) for n in sorted(os.listdir(d)) if not n.startswith(".")]
        return out

    def messages(self, user):
        texts = []
        for f in self.files(user):
            try:
                with open(f, encoding="latin-1") as fh:
                    texts.append(fh.read())
            except FileNotFoundError:
                pass  # expunged meanwhile
        return texts

    def await_message(self, user, token, timeout=15.0):
        end = time.monotonic() + timeout
        while True:
            for text in self.messages(user):
                if token in text:
                    return text
            if time.monotonic() > end:
                return None
            time.sleep(0.1)

    def clear(self, user):
        for f in self.files(user):
            os.unlink(f)

    def deposit(self, user, text, name):
        """Puts a message into a mailbox as delivery would (owner: the
        mailbox's owner)."""
        box = os.path.join(self.boxes, user)
        st = os.stat(box)
        path = os.path.join(box, "new", name)
        with open(path, "w", encoding="latin-1") as f:
            f.write(text)
        os.chown(path, st.st_uid, st.st_gid)
        return path


def servers():
    try:
        with open(ENV_FILE) as f:
            env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    except OSError:
        return None
    return Servers(env)
