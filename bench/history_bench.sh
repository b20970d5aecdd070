#!/bin/sh
# The history page on a history of 100,000 lines:
#   bench/history_bench.sh [lines] [days]     (default 100000 lines, 1000 days)
# Builds the static release executable (build-history-bench/ beside the
# sources, or $VELKO_HISTORY_BENCH_BUILD), writes an installation whose
# "history.dat" holds `lines` lines spread over `days` days, and prints the
# whole-request time (median of 15 fresh processes, as a web server starts
# them) of the list of days, of one day's lines and of the help page (the
# cost of a request that reads no history), beside `cat history.dat`.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build="${VELKO_HISTORY_BENCH_BUILD:-$src/build-history-bench}"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF \
  -DVELKO_STATIC=ON >/dev/null
cmake --build "$build" -j2 --target velko >/dev/null
exec python3 - "$build/velko" "$src" "${1:-100000}" "${2:-1000}" <<'PY'
import os, shutil, statistics, subprocess, sys, tempfile, time
velko, src, lines, days = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
root = tempfile.mkdtemp(prefix="velko-histbench.")
try:
    os.makedirs(root + "/config"); os.makedirs(root + "/data/tmp")
    shutil.copytree(src + "/config", root + "/cfg")
    with open(root + "/config/velko.cfg", "w") as f:
        f.write("DATADIR %s/data\nCONFIGDIR %s/cfg\nIMGDIR /img\nLANGUAGE EN\n" % (root, root))
    start = 1100000000  # 2004/11/09
    with open(root + "/data/history.dat", "w") as f:
        for i in range(lines):
            t = time.localtime(start + (i * days // lines) * 86400 + 36000 + i % 3000)
            when = time.strftime("%Y/%m/%d:%H.%M.%S", t)
            if i % 10 == 9:
                f.write("%s TEST/10/D/Book/test.module%d.step%d.%03d Test Changed by user%d (OK)\n"
                        % (when, i % 7, i % 5, i % 40, i % 13))
            else:
                f.write("%s TS10.%05d Corrected by user%d in version 1.%d (report %d)\n"
                        % (when, i % 99999 + 1, i % 13, i % 9, i))
    size = os.path.getsize(root + "/data/history.dat")
    middle = time.strftime("%Y/%m/%d", time.localtime(start + days // 2 * 86400))
    env = {"PATH": "/usr/bin:/bin", "PWD": root, "SCRIPT_NAME": "/cgi-bin/velko",
           "REQUEST_METHOD": "GET", "GATEWAY_INTERFACE": "CGI/1.1"}

    def median_ms(argv, query=None):
        times = []
        for _ in range(15):
            e = dict(env, QUERY_STRING=query) if query is not None else env
            t0 = time.perf_counter()
            subprocess.run(argv, env=e, cwd=root, stdout=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - t0)
        return statistics.median(times) * 1000

    print("history.dat: %d lines, %d days, %d bytes" % (lines, days, size))
    print("%-34s %8.2f ms" % ("cat history.dat", median_ms(["cat", root + "/data/history.dat"])))
    print("%-34s %8.2f ms" % ("help page (no history read)", median_ms([velko], "CMD=help")))
    print("%-34s %8.2f ms" % ("list of days (text=LEFT)", median_ms([velko], "CMD=history&text=LEFT")))
    print("%-34s %8.2f ms" % ("lines of one day (text=%s)" % middle,
                              median_ms([velko], "CMD=history&text=" + middle)))
finally:
    shutil.rmtree(root)
PY
