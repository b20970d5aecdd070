#!/usr/bin/env python3
"""Fills the data directory of an installation with report files of
project TEST for the HTTP benchmark:

    bench/http_fill.py DATADIR COUNT [MARKED]

writes COUNT report files TS10.00001 ... (one analysis, two history lines,
statuses spread over the workflow) of which MARKED (default 20) new ones
carry the word "needle" in their title; the index is then rebuilt with
`velko --reindex`.
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
              "phase 1", "general", "v1", "v2", status, "0", "admin" if number % 3 else "",
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
    data, count = sys.argv[1], int(sys.argv[2])
    marked = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    start = int(time.time()) - count * 60
    step = max(1, count // max(marked, 1))
    for n in range(1, count + 1):
        is_marked = marked > 0 and n % step == 0 and n // step <= marked
        with open(os.path.join(data, "TS10.%05d" % n), "w") as f:
            f.write(report(n, start + n * 60, is_marked))


if __name__ == "__main__":
    main()
