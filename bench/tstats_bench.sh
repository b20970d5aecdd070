#!/bin/sh
# The statistics of a test campaign on a book of 2,000 tests with results:
#   bench/tstats_bench.sh [modules] [steps per module] [tests per step]
#                                                   (default 20 10 10)
# Builds the static release executable (build-tstats-bench/ beside the
# sources, or $VELKO_TSTATS_BENCH_BUILD), writes an installation whose book
# holds modules x steps x tests tests, each with a result in one campaign
# (OK, NOK, NT and NA in turn, one in five without a result file, one in
# three linking two reports), and prints the whole-request time (median of
# 15 fresh processes, as a web server starts them) of the statistics page,
# of the campaign view and the result sheet of the whole book, and of the
# help page (a request that reads no book), beside `cat` of every file.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build="${VELKO_TSTATS_BENCH_BUILD:-$src/build-tstats-bench}"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF \
  -DVELKO_STATIC=ON >/dev/null
cmake --build "$build" -j2 --target velko >/dev/null
exec python3 - "$build/velko" "$src" "${1:-20}" "${2:-10}" "${3:-10}" <<'PY'
import glob, os, shutil, statistics, subprocess, sys, tempfile, time
velko, src, modules, steps, tests = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])
root = tempfile.mkdtemp(prefix="velko-tstatsbench.")
try:
    os.makedirs(root + "/config"); os.makedirs(root + "/data/tmp")
    shutil.copytree(src + "/config", root + "/cfg")
    with open(root + "/config/velko.cfg", "w") as f:
        f.write("DATADIR %s/data\nCONFIGDIR %s/cfg\nIMGDIR /img\nLANGUAGE EN\nPRINT true\n"
                % (root, root))
    open(root + "/cfg/.stats", "w").close()  # the daily pass is done
    book = root + "/data/Tests/TEST/10/S/Book/"
    camp = book + "test/C.2024.01.01.00.00.00/"
    os.makedirs(camp)
    lv = lambda t: "%d %s" % (len(t.encode()), t)
    n = 0
    for m in range(modules):
        mod = "MOD%02d" % m
        with open(book + "mod." + mod, "w") as f:
            f.write("Module %d\nWhat module %d covers.\n" % (m, m))
        for s in range(steps):
            step = "ST%02d" % s
            with open(book + "step.%s.%s" % (mod, step), "w") as f:
                f.write("Step %d of module %d\nWhat the step covers.\n" % (s, m))
            for t in range(tests):
                name = "%s.%s.%03d" % (mod, step, t)
                with open(book + "test." + name, "w") as f:
                    f.write("%d\nadmin\n1100000000\nTEST\nphase 1\n0\n%s\n%s\nTest number %d of "
                            "the book\n0\nREQ-%d\n" % (t, mod, step, n, n) +
                            "".join(lv("Text %d of the test.\nSecond line.\n" % k) for k in range(7)))
                if n % 5 != 4:
                    reports = "TS10.%05d\nTS10.%05d\n" % (n, n + 1) if n % 3 == 0 else ""
                    with open(camp + name, "w") as f:
                        f.write("admin\n1100000000\nv1\n%d\n%s%s%s" % (
                            n % 4, lv("Comment %d." % n),
                            lv("2004/11/09:10.00.00 Test Created by admin (OK)\n"), reports))
                n += 1
    files = [p for p in glob.glob(book + "*") + glob.glob(camp + "*") if os.path.isfile(p)]
    env = {"PATH": "/usr/bin:/bin", "PWD": root, "SCRIPT_NAME": "/cgi-bin/velko",
           "REQUEST_METHOD": "GET", "GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "127.0.0.1"}
    place = "CMD=tests&project=TEST&group=phase+1&phase=0&camp=2024.01.01.00.00.00"

    def median_ms(argv, query=None):
        times = []
        for _ in range(15):
            e = dict(env, QUERY_STRING=query) if query is not None else env
            t0 = time.perf_counter()
            out = subprocess.run(argv, env=e, cwd=root, stdout=subprocess.PIPE, check=True).stdout
            times.append(time.perf_counter() - t0)
        return statistics.median(times) * 1000, len(out)

    print("book: %d modules, %d steps, %d tests; %d files" % (modules, modules * steps, n, len(files)))
    for label, argv, query in (
            ("cat of every book file", ["cat"] + files, None),
            ("help page (no book read)", [velko], "CMD=help"),
            ("test statistics (book=28)", [velko], place + "&book=28"),
            ("campaign view of the book (24)", [velko], place + "&book=24"),
            ("result sheet of the book (25)", [velko], place + "&book=25")):
        ms, size = median_ms(argv, query)
        print("%-34s %8.2f ms  %8d bytes" % (label, ms, size))
finally:
    shutil.rmtree(root)
PY
