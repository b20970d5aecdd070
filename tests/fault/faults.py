"""Helpers of the fault tests: a data directory on a small tmpfs, and a
snapshot of the store that later states are compared with."""
import os
import subprocess

import velkoserver

DATA_FOLDERS = ("tmp", "Tests", "Stats", "Synchro/in", "Synchro/out")


def can_mount():
    """"" when this process may mount a tmpfs, else why not."""
    if os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    probe = "/tmp/velko-mount-probe.%d" % os.getpid()
    os.makedirs(probe, exist_ok=True)
    try:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            return "mount -t tmpfs refused: %s" % r.stdout.decode(errors="replace").strip()
        subprocess.run(["umount", probe], check=True)
        return ""
    finally:
        os.rmdir(probe)


def small_data_dir(size):
    """A prepare function for VelkoServer: the data directory becomes a
    tmpfs of `size` (for example "300k") with the installation's folders."""
    def prepare(srv):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size, "tmpfs",
                        srv.data], check=True)
        srv.mounted = srv.data
        for d in DATA_FOLDERS:
            os.makedirs(os.path.join(srv.data, d), exist_ok=True)
    return prepare


def unmount(srv):
    if getattr(srv, "mounted", None):
        subprocess.run(["umount", "-l", srv.mounted])
        srv.mounted = None


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


class Snapshot:
    """The report files, the index and the global history at one moment."""

    def __init__(self, srv):
        self.reports = {n: srv.read_data(n, "rb") for n in srv.report_names()}
        self.index = srv.index_lines()
        try:
            self.history = srv.read_data("history.dat", "rb")
        except FileNotFoundError:
            self.history = b""


def store_problems(srv, before=None):
    """What is wrong with the store now: files that do not read back whole,
    an inconsistent index, or (given a Snapshot) reports of the snapshot
    lost or changed other than by growing."""
    problems = []
    rc, text = srv.check()
    if rc != 0:
        problems.append("velko --check: " + text.strip()[-2000:])
    now = {}
    for n in srv.report_names():
        try:
            now[n] = velkoserver.parse_report(srv.read_data(n, "rb"))
        except ValueError as e:
            problems.append("%s does not read back whole: %s" % (n, e))
    for line in srv.index_lines():
        if line.count("|") < 26:
            problems.append("index line cut short: %r" % line[:120])
    if before is not None:
        keys = {velkoserver.line_key(l) for l in srv.index_lines() if l.count("|") >= 26}
        for n, old in before.reports.items():
            if n not in now:
                problems.append("report %s lost" % n)
                continue
            o_first, o_entries, o_hist = velkoserver.parse_report(old)
            first, entries, hist = now[n]
            if velkoserver.line_key(first) not in keys:
                problems.append("report %s lost from the index" % n)
            # A report only grows: its entries and history lines stay.
            if entries[:len(o_entries)] != o_entries:
                problems.append("entries of %s changed" % n)
            if not hist.startswith(o_hist):
                problems.append("history of %s changed: %r" % (n, hist[:300]))
        try:
            history = srv.read_data("history.dat", "rb")
        except FileNotFoundError:
            history = b""
        if not history.startswith(before.history):
            problems.append("history.dat lost lines")
        if history and not history.endswith(b"\n"):
            problems.append("history.dat ends with a line cut short")
    return problems


def leftovers(srv):
    """Files of the data directory that no complete store file explains:
    temporaries of replacements (".<file>.<pid>.tmp") and spooled uploads
    of tmp/ ("data<pid>")."""
    found = []
    for dirpath, _, files in os.walk(srv.data):
        for f in files:
            rel = os.path.relpath(os.path.join(dirpath, f), srv.data)
            if f.endswith(".tmp") or rel.startswith("tmp/data"):
                found.append(rel)
    return sorted(found)
