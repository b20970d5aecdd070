#!/usr/bin/env python3
"""Fills the data directory of an installation with report files of
project TEST for the HTTP benchmark:

    bench/http_fill.py [--index] DATADIR COUNT [MARKED]

writes COUNT report files TS10.00001 ... (one analysis, two history lines,
statuses spread over the workflow) of which MARKED (default 20) new ones
carry the word "needle" in their title and are assigned to carol; the index
is then rebuilt with `velko --reindex`, or, with --index, written here (the
report lines in the order of their numbers, as --reindex would write them).
"""
import os
import sys
import time

ANALYSIS_SEP = "=!=!=!=!=!=!=!=!=!=!=!="
HISTORY_SEP = "=-=-=-=-=-=-=-=-=-=-=-="


def report(number, when, marked):
    status = "a" if marked else "abcdefghijk"[number % 11]
    title = ("needle report %d of the benchmark" % number if marked
             else "Report %d: the list page shows a wrong count" % number)
    fields = ["TS10", str(number), "a", str(when), "admin", "bcde"[number % 4], "TEST",
              "phase 1", "general", "v1", "v2", status, "0", "carol" if marked else "admin" if number % 3 else "",
              "", "0", "", "", "0", "", "b", "b", "", "", "0", "1", title]
    text = ("The page of report %d stops after the header.\nSteps: open the list, "
            "choose the project.\n" % number)
    stamp = time.strftime("%Y/%m/%d:%H.%M.%S", time.localtime(when))
    history = "%s Submitted by admin\n%s Observation entrusted to admin by admin\n" % (
        stamp, stamp)
    return "%s\n%s\nDescription|%d|admin|%d\n%s%s\n%d\n%s" % (
        "|".join(fields), ANALYSIS_SEP, when, len(text.encode()), text, HISTORY_SEP,
        len(history.encode()), history)


def main():
    args = sys.argv[1:]
    with_index = args[:1] == ["--index"]
    args = args[1:] if with_index else args
    data, count = args[0], int(args[1])
    marked = int(args[2]) if len(args) > 2 else 20
    start = int(time.time()) - count * 60
    step = max(1, count // max(marked, 1))
    index = open(os.path.join(data, "index"), "w") if with_index else None
    for n in range(1, count + 1):
        is_marked = marked > 0 and n % step == 0 and n // step <= marked
        text = report(n, start + n * 60, is_marked)
        with open(os.path.join(data, "TS10.%05d" % n), "w") as f:
            f.write(text)
        if index:
            index.write(text[:text.index("\n") + 1])
    if index:
        index.close()


if __name__ == "__main__":
    main()
