// stats_bench: whole-request times of the statistics on an installation of
// 100,000 reports, each beside the time of `cat index > /dev/null` taken in
// the same run (the cost of merely reading the index once).
//
//   stats_bench VELKO_BINARY [reports] [directory]
//
// Builds the installation (its index, written directly: the daily pass and
// the pages measured here read nothing else) in a temporary folder or
// `directory`: project P, two phases and three groups (six units and the
// total), every status, severities 0 to 4, creation dates over three years,
// postponements in the future (no wake-up). Then runs the CGI executable as
// a web server would (fresh process, CGI environment, output to /dev/null):
//   - a data page of a unit without file, the marker written today (the
//     request without the pass);
//   - the same request with the marker of yesterday: the daily pass runs
//     after the page (counting 100,000 reports, appending 7 lines);
//   - the response page, per month and per report, of the whole project;
//   - the distribution and the modules pages.
// Every figure is the median of several runs. Prints numbers; nothing fails.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "benchutil.h"
#include "config.h"
#include "utils.h"

namespace {

tHeader makeReport(int n, long now) {
  tHeader h;
  h.prefix = "G" + std::to_string(n % 3);
  h.number = n;
  h.phase = static_cast<tPhase>(n % 2);
  h.date = now - 3L * 365 * 86400 + static_cast<long>(n) * 3 * 365 * 86400 / 100000 % (3L * 365 * 86400);
  h.submitter = "user" + std::to_string(n % 17);
  h.severity = n % 5;
  h.project = "P";
  h.subProject = "G" + std::to_string(n % 3);
  h.module = "module" + std::to_string(n % 23);
  h.version = "1." + std::to_string(n % 5);
  h.status = static_cast<tStatus>(n % 11);
  h.assignedTo = "user" + std::to_string(n % 13);
  if (h.status == CORRECTED || h.status == VERIFIED) h.correctDate = h.date + (n % 40) * 86400L;
  if (h.status == VERIFIED) h.verifyDate = h.correctDate + (n % 9) * 86400L;
  if (h.status == POSTPONE) h.postponeDate = now + 365 * 86400L;
  h.timeEstimate = n % 7;
  h.timeSpent = n % 5;
  h.title = "Report number " + std::to_string(n) + " about a crash when saving a large file";
  return h;
}

// The marker of the daily pass, dated `age` seconds ago.
void setMarker(const std::string& path, long age) {
  writeFile(path, "marker\n");
  const time_t t = time(nullptr) - age;
  struct utimbuf u = {t, t};
  utime(path.c_str(), &u);
}

size_t lineCount(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return 0;
  size_t n = 0;
  for (int c; (c = fgetc(f)) != EOF;) n += c == '\n';
  fclose(f);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: stats_bench VELKO_BINARY [reports] [directory]\n");
    return 2;
  }
  const std::string velko = argv[1];
  const int reports = argc > 2 ? atoi(argv[2]) : 100000;
  std::string root;
  if (argc > 3) {
    root = argv[3];
  } else {
    char tmpl[] = "/tmp/velko-stats-bench.XXXXXX";
    root = mkdtemp(tmpl);
  }
  for (const char* d : {"", "/config", "/cfg", "/data", "/data/tmp", "/data/Stats"})
    mkdir((root + d).c_str(), 0755);
  writeFile(root + "/config/velko.cfg", "DATADIR " + root + "/data/\nCONFIGDIR " + root +
                                            "/cfg/\nIMGDIR /velko/images/\nLANGUAGE EN\n");
  const std::string lang = std::string(VELKO_SOURCE_DIR) + "/config/langue.EN";
  if (system(("cp '" + lang + "' '" + root + "/cfg/langue.EN'").c_str()) != 0) return 1;
  writeFile(root + "/cfg/project.cfg", "P:AB:boss:valid\n");
  writeFile(root + "/cfg/phase.cfg", "specification:S\ndevelopment:D\n");
  writeFile(root + "/cfg/P_subproject.cfg", "G0:X0\nG1:X1\nG2:X2\n");
  setenv("PWD", root.c_str(), 1);
  resetRequest();
  const std::string data = root + "/data/";
  const std::string marker = root + "/cfg/.stats";

  const long now = static_cast<long>(time(nullptr));
  struct stat st;
  if (stat((data + "index").c_str(), &st) != 0) {
    std::string index;
    for (int i = 1; i <= reports; ++i) index += writeIndexToStr(makeReport(i, now));
    writeFile(data + "index", index);
    stat((data + "index").c_str(), &st);
  }

  const std::vector<std::string> base = {
      "PWD=" + root, "SCRIPT_NAME=/cgi-bin/velko", "SERVER_PORT=80", "REMOTE_ADDR=127.0.0.1",
      "GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "PATH=/usr/bin:/bin"};
  auto envFor = [&](const std::string& q) {
    std::vector<std::string> e = base;
    e.push_back("QUERY_STRING=" + q);
    return e;
  };
  const std::string quiet = "CMD=statS&statS=6&project=P&group=NONE&Week=0";
  struct Case {
    const char* what;
    std::string query;
    long markerAge;  // seconds; a day: the pass runs
  };
  const Case cases[] = {
      {"request without the pass", quiet, 0},
      {"request with the daily pass", quiet, 86400},
      {"response page, per month", "CMD=statS&statS=4&project=P&group=TOTAL", 0},
      {"response page, per report", "CMD=statS&statS=4&project=P&group=TOTAL&text=ON", 0},
      {"response page, one unit", "CMD=statS&statS=4&project=P&group=SX1", 0},
      {"distribution page", "CMD=statS&statS=1&project=P", 0},
      {"modules page", "CMD=statS&statS=3&project=P", 0},
  };
  constexpr int kCases = sizeof cases / sizeof cases[0];

  const int runs = 9;
  const std::vector<std::string> catDirect = {"/bin/cat", data + "index"};
  std::vector<double> catTimes, caseTimes[kCases];
  const size_t linesBefore = lineCount(data + "Stats/P.TOTAL");
  for (int r = 0; r < runs; ++r) {
    catTimes.push_back(runOnce(catDirect, base));
    for (int c = 0; c < kCases; ++c) {
      setMarker(marker, cases[c].markerAge);
      caseTimes[c].push_back(runOnce({velko}, envFor(cases[c].query)));
    }
  }
  const size_t passes = lineCount(data + "Stats/P.TOTAL") - linesBefore;
  if (passes != static_cast<size_t>(runs))
    fprintf(stderr, "warning: %zu daily passes ran, not %d\n", passes, runs);
  const double cat = median(catTimes);
  printf("installation: %d reports, index %lld bytes, in %s\n", reports,
         static_cast<long long>(st.st_size), root.c_str());
  printf("%-34s %10s %8s\n", "request", "ms", "x cat");
  printf("%-34s %10.2f %8.2f\n", "cat index > /dev/null", cat * 1e3, 1.0);
  for (int c = 0; c < kCases; ++c) {
    const double t = median(caseTimes[c]);
    printf("%-34s %10.2f %8.2f\n", cases[c].what, t * 1e3, t / cat);
  }
  printf("%-34s %10.2f\n", "daily pass alone (difference)",
         (median(caseTimes[1]) - median(caseTimes[0])) * 1e3);
  if (argc <= 3) {
    const std::string rm = "rm -rf '" + root + "'";
    if (system(rm.c_str()) != 0) return 1;
  }
  return 0;
}
