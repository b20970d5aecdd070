"""Bounded load on a tracker served by lighttpd: several clients create
reports and apply workflow actions to a few shared reports at once, for a
fixed time, then the store is checked.

Every request goes to 127.0.0.1; each client stops at the deadline, and a
request that takes longer than 60 seconds counts as unanswered.

    python3 tests/load/loadclient.py [--seconds 30] [--clients 6]

runs it against a fresh installation and prints the result; the black-box
test test_load.py runs the same and asserts on it.
"""
import argparse
import os
import random
import re
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import velkoserver  # noqa: E402

NAME_IN_H1 = re.compile(r"<H1>([A-Za-z0-9]+\.\d{5})")

# A report as the creation form of project TEST sends it.
CREATE_FIELDS = {
    "CMD": "new", "project": "TEST", "group": "phase 1", "prog": "general", "sev": "2",
    "impact": "b", "phase": "a", "version": "v1", "exp": " ", "type": "1",
    "submitter": "admin", "test": "", "mdapda": "", "Load": "1",
}


class Outcome:
    """What one load run saw."""

    def __init__(self):
        self.lock = threading.Lock()
        self.created = []       # (name, title) answered with the report page
        self.applied = []       # (name, history text) answered as applied
        self.refused = []       # (what, page) answered with a refusal
        self.bad = []           # (what, status or error) not answered with a page
        self.shared = []
        self.searches = []      # (load reports answered before, reports found)
        self.requests = 0
        self.latencies = []

    def add(self, kind, item):
        with self.lock:
            getattr(self, kind).append(item)


def is_page(status, body):
    return status == 200 and b"<HTML>" in body[:2000].upper()


def failed_save(srv, text):
    """The page says that a change was not saved."""
    msg = srv.lang[520].split("%s")[0].strip()
    return msg in text or srv.lang[502] in text


def create(srv, out, title, text="Load test report.\n"):
    fields = dict(CREATE_FIELDS, title=title, text=text)
    t = time.time()
    try:
        status, _, body = srv.post(fields, timeout=60)
    except OSError as e:
        out.add("bad", ("create " + title, repr(e)))
        return None
    finally:
        with out.lock:
            out.requests += 1
            out.latencies.append(time.time() - t)
    page = body.decode("utf-8", "replace")
    if not is_page(status, body):
        out.add("bad", ("create " + title, status))
        return None
    m = NAME_IN_H1.search(page)
    if m and title in page and not failed_save(srv, page):
        out.add("created", (m.group(1), title))
        return m.group(1)
    out.add("refused", ("create " + title, page))
    return None


def act(srv, out, name, action, token, text=None):
    """One workflow action on report `name`; `token` makes its history line
    unique. Returns the history text when answered as applied."""
    if action == "Observed":
        fields, line = {"submitter": token, "User": "admin"}, srv.lang[2040] % (token, "admin")
    elif action == "Open":
        fields, line = {"submitter": token, "User": "admin"}, srv.lang[2048] % (token, "admin")
    else:  # Analyse, a POST with a text
        fields = {"title": token, "User": "admin",
                  "text": text if text is not None else "Analysis %s\n" % token * 3}
        line = srv.lang[2088] % (token, "admin")
    fields = dict(fields, CMD=action, Num=name, QS="")
    t = time.time()
    try:
        if action == "Analyse":
            status, _, body = srv.post(fields, timeout=60)
        else:
            status, _, body = srv.get(urllib.parse.urlencode(fields), timeout=60)
    except OSError as e:
        out.add("bad", ("%s %s" % (action, name), repr(e)))
        return None
    finally:
        with out.lock:
            out.requests += 1
            out.latencies.append(time.time() - t)
    page = body.decode("utf-8", "replace")
    if not is_page(status, body):
        out.add("bad", ("%s %s" % (action, name), status))
        return None
    if line in page and not failed_save(srv, page):
        out.add("applied", (name, line))
        return line
    out.add("refused", ("%s %s" % (action, name), page))
    return None


SEARCH = ("CMD=find&project=TEST&resp=all&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X"
          "&statP=X&statB=X&statR=X&statD=X&statT=X&intitle=load+c&intext=&sort=1&Print=yes")
FOUND = re.compile(r"Index of the (\d+) reports")


def search(srv, out):
    """Lists the reports made by the load (the list printout, which reads
    the index only) and notes how many it found beside how many creations
    had been answered before it was asked."""
    with out.lock:
        before = sum(1 for _, t in out.created if t.startswith("load c"))
        out.requests += 1
    t = time.time()
    try:
        status, _, body = srv.get(SEARCH, timeout=60)
    except OSError as e:
        out.add("bad", ("search", repr(e)))
        return
    finally:
        with out.lock:
            out.latencies.append(time.time() - t)
    page = body.decode("utf-8", "replace")
    m = FOUND.search(page)
    if not is_page(status, body) or not m:
        out.add("bad", ("search", "%s %s" % (status, page[-300:])))
        return
    out.add("searches", (before, int(m.group(1))))


def run_load(srv, seconds=30.0, clients=6, shared=3, seed=None):
    """Runs the load on a started VelkoServer; returns an Outcome."""
    out = Outcome()
    shared_names = []
    for i in range(shared):
        name = create(srv, out, "shared report %d" % i)
        if name:
            shared_names.append(name)
    out.shared = shared_names
    if not shared_names:
        return out
    deadline = time.time() + seconds
    rnd_seed = seed if seed is not None else int(time.time())

    def client(c):
        rnd = random.Random(rnd_seed * 100 + c)
        n = 0
        while time.time() < deadline:
            n += 1
            token = "c%dn%04d" % (c, n)
            r = rnd.random()
            if r < 0.3:
                create(srv, out, "load %s %d" % (token, rnd_seed))
            elif r < 0.4:
                search(srv, out)
            else:
                action = "Observed" if r < 0.6 else "Open" if r < 0.8 else "Analyse"
                act(srv, out, rnd.choice(shared_names), action, token)

    threads = [threading.Thread(target=client, args=(c,), daemon=True) for c in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 120)
    return out


def verify(srv, out):
    """Checks the store after a load run; returns a list of problems."""
    problems = []
    for before, found in out.searches:
        if found < before:
            problems.append("a list found %d reports after %d had been created"
                            % (found, before))
    rc, text = srv.check()
    if rc != 0:
        problems.append("velko --check: %s" % text.strip()[-3000:])
    names = [n for n, _ in out.created]
    if len(set(names)) != len(names):
        dup = sorted({n for n in names if names.count(n) > 1})
        problems.append("one number given to several creations: %s" % dup[:20])
    index = srv.index_lines()
    by_key = {}
    for line in index:
        by_key.setdefault(velkoserver.line_key(line), []).append(line)
    files = {}
    for n in srv.report_names():
        try:
            files[n] = velkoserver.parse_report(srv.read_data(n, "rb"))
        except ValueError as e:
            problems.append("report file %s does not read back: %s" % (n, e))
    titles = {}
    for n, (first, _, _) in files.items():
        titles.setdefault(first.split("|")[26], []).append(n)
    for name, title in out.created:
        if name not in files:
            problems.append("created report %s (%s) has no file" % (name, title))
            continue
        if files[name][0].split("|")[26] != title:
            problems.append("report %s holds %r, not its creation %r"
                            % (name, files[name][0].split("|")[26], title))
        if len(titles.get(title, [])) != 1:
            problems.append("creation %r stored %d times: %s"
                            % (title, len(titles.get(title, [])), titles.get(title)))
        lines = by_key.get(velkoserver.line_key(files[name][0]), [])
        if lines != [files[name][0]]:
            problems.append("report %s has %d index lines, %d like its file"
                            % (name, len(lines), lines.count(files[name][0])))
    try:
        hist_all = srv.read_data("history.dat")
    except FileNotFoundError:
        hist_all = ""
    global_lines = set(l.split(" ", 1)[1] for l in hist_all.split("\n") if " " in l)
    for name, line in out.applied:
        history = files.get(name, (None, None, ""))[2]
        if not re.search(r"(^|\n)\S+ %s\n" % re.escape(line), history):
            problems.append("applied action lost from report %s: %s" % (name, line))
        if "%s %s" % (name, line) not in global_lines:
            problems.append("applied action missing from history.dat: %s %s" % (name, line))
    return problems


def summary(out, seconds):
    lat = sorted(out.latencies) or [0]
    return ("%d requests in %.0f s (%.1f/s): %d created, %d actions applied, %d refused, "
            "%d lists, %d unanswered; latency median %.0f ms, 99%% %.0f ms, max %.0f ms" % (
                out.requests, seconds, out.requests / max(seconds, 1e-9), len(out.created),
                len(out.applied), len(out.refused), len(out.searches), len(out.bad),
                1000 * lat[len(lat) // 2], 1000 * lat[min(len(lat) - 1, int(len(lat) * 0.99))],
                1000 * lat[-1]))


def deadline_config(srv):
    """An expected version that is not released yet, so that the forms that
    offer the versions still to come have one."""
    path = os.path.join(srv.cfg, "TEST_deadline.cfg")
    with open(path) as f:
        planned = "v3" in f.read().split()
    if not planned:  # the demo installation may have it already
        with open(path, "a") as f:
            f.write("v3\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--clients", type=int, default=6)
    ap.add_argument("--shared", type=int, default=3)
    a = ap.parse_args()
    with velkoserver.VelkoServer(prepare=deadline_config) as srv:
        t = time.time()
        out = run_load(srv, a.seconds, a.clients, a.shared)
        print(summary(out, time.time() - t))
        problems = verify(srv, out) + ["not answered: %s %s" % b for b in out.bad]
        for p in problems:
            print("PROBLEM:", p)
        sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
