#!/bin/bash
# Checks of the source that the compiler cannot make:
#  1. page output goes only through the page object: no module writes to
#     standard output or formats page text with printf (the front end sends
#     the page, the administration commands answer on the terminal);
#  2. only the store opens report, index and history files;
#  3. each module calls only modules below it in the layer order written in
#     src/velko.h (and so the module graph has no circle), from the symbols
#     each object file defines and uses (needs a build: pass its directory
#     as $1).
cd "$(dirname "$0")/.." || exit 2
fail=0
say() { echo "check_source: $*"; fail=1; }

# 1. Output.
hits=$(grep -nE '\b(emit|emitf|emitComment|sendHeader|headerSent|writeOut|writeOutf)\(|unsafeRaw\(|std::cout|\bputs\(|\bputchar\(|[^f]printf\(|fprintf\(stdout|fwrite\([^;]*stdout|STDOUT_FILENO' src/*.cpp src/*.h |
       grep -vE '^src/(velko|admin|fileio)\.cpp:' | grep -vE '^\S+:\s*//' | grep -v 'snprintf\|strprintf\|vstrprintf\|__attribute__')
[ -n "$hits" ] && say "output outside the page object:
$hits"

# 2. Report, index and history files belong to the store.
hits=$(grep -nE '(dataPath|dataFile)\("(index|history\.dat)"|\+ *"/?(index|history\.dat)"|readBugPath|openBuf\(|openBufFd\(' src/*.cpp | grep -vE '^src/utils\.cpp:')
[ -n "$hits" ] && say "store files opened outside the store:
$hits"

# 3. Circles between modules, from the symbols each object defines and uses.
if [ -n "${1:-}" ]; then
  objdir=$(find "$1" -path '*velkocore.dir/src' -type d | head -1)
  if [ -z "$objdir" ]; then
    say "no object files under $1"
  else
    python3 - "$objdir" <<'PY' || fail=1
import subprocess, sys, os, collections
d = sys.argv[1]
defs, uses = {}, collections.defaultdict(set)
objs = [f for f in os.listdir(d) if f.endswith('.o')]
for o in objs:
    mod = o.split('.')[0]
    out = subprocess.run(['nm', '-C', '--defined-only', '-g', os.path.join(d, o)], capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split(' ', 2)
        if len(parts) == 3 and parts[1] in 'TDBR':
            defs.setdefault(parts[2], mod)
for o in objs:
    mod = o.split('.')[0]
    out = subprocess.run(['nm', '-C', '-u', os.path.join(d, o)], capture_output=True, text=True).stdout
    for line in out.splitlines():
        sym = line.strip().split(' ', 1)[-1]
        if sym in defs and defs[sym] != mod:
            uses[mod].add(defs[sym])
# The layer order of src/velko.h, lowest first: a module may use only
# modules that stand before it.
order = """text html svgchart fileio sha256 timeutil uucode  request names config args  utils
           statsfile tutils admin  session  mails synchro  frame display mchange create edit
           attach actions search cfgedit setup stats history help bcreate tdisplay tstats bprint
           bdisplay  velko""".split()
for m in sorted(uses):
    if m not in order:
        print('check_source: module %s is missing from the layer order' % m)
        bad = True
for m in sorted(uses):
    for u in sorted(uses[m]):
        if m in order and u in order and order.index(u) > order.index(m):
            print('check_source: %s calls %s, which stands above it in the layer order' % (m, u))
            comps_bad = True
# Tarjan's strongly connected components.
index, low, stack, on, comps, n = {}, {}, [], set(), [], [0]
def visit(v):
    index[v] = low[v] = n[0]; n[0] += 1; stack.append(v); on.add(v)
    for w in uses[v]:
        if w not in index:
            visit(w); low[v] = min(low[v], low[w])
        elif w in on:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        c = []
        while True:
            w = stack.pop(); on.discard(w); c.append(w)
            if w == v: break
        if len(c) > 1: comps.append(sorted(c))
sys.setrecursionlimit(10000)
for v in sorted({o.split('.')[0] for o in objs}):
    if v not in index: visit(v)
if comps or 'bad' in globals() or 'comps_bad' in globals():
    for c in comps:
        print('check_source: modules calling each other in a circle: ' + ' '.join(c))
        for m in c:
            print('   %s -> %s' % (m, ' '.join(sorted(x for x in uses[m] if x in c))))
    sys.exit(1)
PY
  fi
fi
[ $fail -eq 0 ] && echo "check_source: 1 passed, 0 failed" || echo "check_source: 0 passed, 1 failed"
exit $fail
