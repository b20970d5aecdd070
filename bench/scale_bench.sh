#!/bin/bash
# What a request costs as the store grows. For each size (10,000, 100,000
# and 1,000,000 reports by default) an installation is generated straight
# into its data directory (bench/http_fill.py, not through the web), then
# measured in one run beside
#   floor   a static C program that prints a fixed 2 KB page (the cost of one
#           process per request), run the same way,
#   cat     cat of the index to /dev/null (reading the whole index),
#   cp      cp of the index (what rewriting it at each change costs),
# and the table gives each page as a ratio to them:
#   start page, report page (Num=), criteria searches listing 20 reports in
#   full (a title text; an assignee), creation and a workflow action
#   (Assign) with the mail configured to a loopback SMTP server
#   (bench/smtp_sink.py): per-exec wall time, the median of each round, in
#   rounds that alternate the programs, the best round of each program (the
#   one least disturbed by other work on the machine); the work each
#   creation or action leaves for after its page (the mail) is waited for
#   before the next program runs; creation again with the data directory on
#   tmpfs (the CPU path alone; VELKO_BENCH_TMPFS=0 leaves it out);
#   requests/s through lighttpd (wrk, 1 and 4 connections) for the report
#   page and for creation, as a share of the floor's, with creation's p99.
# After the load, velko --check must find the store consistent.
#
# Usage: bench/scale_bench.sh [sizes...]
#   VELKO_BENCH_SECONDS  seconds per wrk run (default 8)
#   VELKO_BENCH_ROUNDS   rounds of per-exec runs (default 7)
#   VELKO_BENCH_DIR      where the installations go (default /var/tmp)
#   VELKO_BENCH_TMPFS    1 (default): also an installation on /dev/shm per size
# Needs lighttpd and wrk (installed with apt-get when missing, as root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000 1000000)
secs=${VELKO_BENCH_SECONDS:-8}
rounds=${VELKO_BENCH_ROUNDS:-7}
base=${VELKO_BENCH_DIR:-/var/tmp}
out=$top/build-bench

need=()
command -v wrk >/dev/null 2>&1 || need+=(wrk)
command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Release -DVELKO_SANITIZE=OFF -DVELKO_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target velko >/dev/null
gcc -O2 -static -o "$out/http_minimal" "$top/bench/http_minimal.c"
gcc -O2 -o "$out/spawn" "$top/bench/spawn.c"

work=$(mktemp -d "$base/velko-scale.XXXXXX")
server= sink= shm=
cleanup() {
  [ -n "$server" ] && { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }
  [ -n "$sink" ] && { kill "$sink" 2>/dev/null || true; wait "$sink" 2>/dev/null || true; }
  rm -rf "$work" ${shm:+"$shm"}
}
trap cleanup EXIT

python3 "$top/bench/smtp_sink.py" "$work/smtp.port" "$work/smtp.count" &
sink=$!
for _ in $(seq 50); do [ -s "$work/smtp.port" ] && break; sleep 0.1; done
smtp=127.0.0.1:$(cat "$work/smtp.port")

# The forms, as a browser sends them.
create_body="CMD=new&project=TEST&group=phase+1&prog=general&sev=2&impact=b&phase=a&version=v1\
&exp=+&type=1&submitter=admin&test=&mdapda=&Load=1&title=bench+creation&text=Made+by+the+benchmark."
printf '%s' "$create_body" >"$work/create.body"
cat >"$work/create.lua" <<LUA
wrk.method = "POST"
wrk.body = "$create_body"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
LUA
search_title="CMD=find&project=TEST&resp=all&statN=X&statS=X&statA=X&statO=X&intitle=needle&intext=&sort=1"
search_resp="CMD=find&project=TEST&resp=carol&statN=X&statS=X&statA=X&statO=X&intext=&sort=1"

# An installation of `size` reports in `dir`, mailing to the sink: alice and
# bob manage project TEST, so a creation mails them both.
install() {
  local dir=$1 size=$2
  "$top/scripts/make_install.sh" "$dir" "$out/velko" >/dev/null
  cp "$out/http_minimal" "$dir/www/cgi-bin/minimal"
  sed -i "s/^MAILSERV .*/MAILSERV $smtp/" "$dir/cfg/velko.cfg"
  echo "TEST:T:alice:bob" >"$dir/cfg/project.cfg"
  printf '%s\n' "admin :admin@bench.test:admin:YES:YES:YES:YES:YES:YES:YES" \
    "alice :alice@bench.test:alice:YES:YES:YES:YES:YES:YES:YES" \
    "bob :bob@bench.test:bob:YES:YES:YES:YES:YES:YES:YES" >"$dir/cfg/TEST_users.cfg"
  python3 "$top/bench/http_fill.py" --index "$dir/data" "$size" 20
  sync  # the generated files are on disk before anything is measured
}

median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
least() { printf '%s\n' "$@" | sort -g | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Per-exec times (microseconds, the best round's median) of the programs
# named in `progs`, in rounds that alternate them, into the array `us`.
declare -A us
measure() {
  local cgi=$1 runs=$2
  local -A all=()
  local r name
  for ((r = 0; r < rounds; r++)); do
    for name in "${progs[@]}"; do
      all[$name]+=" $(run_one "$cgi" "$name" "$runs")"
    done
  done
  for name in "${progs[@]}"; do
    # shellcheck disable=SC2086
    us[$name]=$(least ${all[$name]})
  done
}
run_one() {
  local cgi=$1 name=$2 runs=$3 q=
  local env=(env PWD="$cgi" SCRIPT_NAME=/cgi-bin/velko SERVER_PORT=80 REMOTE_ADDR=127.0.0.1
             GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET)
  case $name in
    floor) "${env[@]}" QUERY_STRING= "$out/spawn" "$runs" "$cgi/minimal" ;;
    start) "${env[@]}" QUERY_STRING= "$out/spawn" "$runs" "$cgi/velko" ;;
    report) "${env[@]}" QUERY_STRING="Num=TS10.$(printf %05d "$mid")" "$out/spawn" "$runs" "$cgi/velko" ;;
    search) "${env[@]}" QUERY_STRING="$search_title" "$out/spawn" "$runs" "$cgi/velko" ;;
    search_resp) "${env[@]}" QUERY_STRING="$search_resp" "$out/spawn" "$runs" "$cgi/velko" ;;
    create*) "${env[@]}" REQUEST_METHOD=POST QUERY_STRING= CONTENT_LENGTH=${#create_body} \
               CONTENT_TYPE=application/x-www-form-urlencoded \
               "$out/spawn" -i "$work/create.body" "$runs" "$cgi/velko"
             settle "$cgi" ;;
    action) "${env[@]}" QUERY_STRING="CMD=Assign&Num=TS10.$(printf %05d "$act")&User=admin&submitter=alice&QS=" \
              "$out/spawn" "$runs" "$cgi/velko"
            settle "$cgi" ;;
    cat) "$out/spawn" "$(( (runs + 1) / 2 ))" /bin/cat "$data/index" ;;
    cp) "$out/spawn" "$(( (runs + 1) / 2 ))" /bin/cp "$data/index" "$data/tmp/index.copy" ;;
  esac | cut -d' ' -f2
}

# Waits for the work that the requests left for after their pages.
settle() {
  local deadline=$((SECONDS + 60))
  while pgrep -f "^$1/velko" >/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.02; done
}

# Requests/s, median and 99th percentile (ms) of one wrk run.
wrk_run() {
  local conns=$1 url=$2 script=${3:-}
  local r
  r=$(wrk -t"$conns" -c"$conns" -d"${secs}s" --latency ${script:+-s "$script"} "$url")
  if grep -q 'Non-2xx' <<<"$r"; then echo "scale_bench: $url: $(grep Non-2xx <<<"$r")" >&2; fi
  awk '/^Requests\/sec:/ { rps = $2 }
       $1 == "99%" { v = $2; n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /[0-9]s$/ && v !~ /ms$/) n *= 1000; p99 = n }
       END { printf "%.1f %.1f\n", rps, p99 }' <<<"$r"
}

declare -A row
sizes_done=()
for size in "${sizes[@]}"; do
  inst=$work/$size
  echo "scale_bench: generating $size reports..." >&2
  install "$inst" "$size"
  cgi=$inst/www/cgi-bin data=$inst/data
  mid=$(( size / 2 )) act=$(( size / 3 ))
  runs=$(( size >= 1000000 ? 20 : size >= 100000 ? 40 : 60 ))
  # Warm the page cache; the first creation of a prefix probes its numbers.
  cat "$data/index" >/dev/null
  for name in start report search search_resp create action; do run_one "$cgi" "$name" 1 >/dev/null; done
  progs=(floor start report search search_resp cat cp create action)
  measure "$cgi" "$runs"
  f=${us[floor]}
  row[floor,$size]=$(printf '%.0f us' "$f")
  row[start,$size]=$(ratio "${us[start]}" "$f")x
  row[report,$size]=$(ratio "${us[report]}" "$f")x
  row[search,$size]="$(ratio "${us[search]}" "$f")x / $(ratio "${us[search]}" "${us[cat]}")x cat"
  row[search_resp,$size]="$(ratio "${us[search_resp]}" "$f")x / $(ratio "${us[search_resp]}" "${us[cat]}")x cat"
  row[cat,$size]="$(ratio "${us[cat]}" "$f")x"
  row[cp,$size]="$(ratio "${us[cp]}" "$f")x"
  row[create,$size]="$(ratio "${us[create]}" "$f")x / $(ratio "${us[create]}" "${us[cp]}")x cp"
  row[action,$size]="$(ratio "${us[action]}" "$f")x / $(ratio "${us[action]}" "${us[cp]}")x cp"
  if [ "${VELKO_BENCH_TMPFS:-1}" = 1 ] && [ -d /dev/shm ]; then
    # The same creation with the data directory on tmpfs: the CPU path alone.
    shm=$(mktemp -d /dev/shm/velko-scale.XXXXXX)
    install "$shm" "$size"
    run_one "$shm/www/cgi-bin" create 1 >/dev/null
    progs=(floor create_tmpfs)
    measure "$shm/www/cgi-bin" "$runs"
    row[create_tmpfs,$size]="$(ratio "${us[create_tmpfs]}" "${us[floor]}")x"
    rm -rf "$shm"
    shm=
  fi

  # Through lighttpd.
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "$top/scripts/lighttpd.sh" "$inst" "$port" >"$inst/logs/lighttpd.out" 2>&1 &
  server=$!
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/cgi-bin/minimal" && break; sleep 0.1; done
  url=http://127.0.0.1:$port/cgi-bin
  page=$(curl -s "$url/velko?Num=TS10.$(printf %05d "$mid")")
  grep -q "TS10.$(printf %05d "$mid")" <<<"$page" || echo "scale_bench: the report page is wrong" >&2
  page=$(curl -s --data "$create_body" "$url/velko")
  grep -q '<H1>TS10\.' <<<"$page" || echo "scale_bench: a creation was refused: ${page:0:400}" >&2
  for c in 1 4; do
    read -r fl _ < <(wrk_run "$c" "$url/minimal")
    read -r rp _ < <(wrk_run "$c" "$url/velko?Num=TS10.$(printf %05d "$mid")")
    read -r cr p99 < <(wrk_run "$c" "$url/velko" "$work/create.lua")
    row[rps_report_$c,$size]="$(awk -v a="$rp" -v b="$fl" 'BEGIN { printf "%.0f/s, %.0f%%", a, 100 * a / b }')"
    row[rps_create_$c,$size]="$(awk -v a="$cr" -v b="$fl" -v p="$p99" 'BEGIN { printf "%.0f/s, %.0f%%, p99 %.0f ms", a, 100 * a / b, p }')"
  done
  kill "$server"; wait "$server" 2>/dev/null || true
  server=
  sleep 2  # the mail of the last creations
  row[check,$size]=$(cd "$cgi" && PWD=$cgi ./velko --check | tail -1)
  rm -rf "$inst"
  sizes_done+=("$size")
done
kill "$sink"; wait "$sink" 2>/dev/null || true
sink=

labels=(floor "floor per exec" start "start page per exec" report "report page per exec"
        search "search, title text, 20 listed" search_resp "search, assignee, 20 listed"
        cat "cat of the index" cp "cp of the index" create "creation per exec (disk)"
        create_tmpfs "creation per exec (tmpfs)" action "action (Assign) per exec"
        rps_report_1 "report page req/s, 1 conn (% floor)" rps_report_4 "report page req/s, 4 conns (% floor)"
        rps_create_1 "creation req/s, 1 conn (% floor)" rps_create_4 "creation req/s, 4 conns (% floor)"
        check "velko --check after the load")
echo "velko scale benchmark: $(nproc) cores, per exec the best of $rounds rounds' medians, wrk ${secs}s;" \
  "mails accepted by the sink: $(cat "$work/smtp.count" 2>/dev/null || echo '?')"
printf '| %s |' "page"; for s in "${sizes_done[@]}"; do printf ' %s |' "$s reports"; done; echo
printf '|---|'; for _ in "${sizes_done[@]}"; do printf -- '---|'; done; echo
for ((i = 0; i < ${#labels[@]}; i += 2)); do
  key=${labels[$i]}
  printf '| %s |' "${labels[$((i + 1))]}"
  for s in "${sizes_done[@]}"; do printf ' %s |' "${row[$key,$s]:--}"; done
  echo
done
