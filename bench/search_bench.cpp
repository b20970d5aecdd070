// search_bench: whole-request times of the report search on an installation
// of 100,000 reports, each beside the time of `cat index > /dev/null` taken
// in the same run (the cost of merely reading the index once).
//
//   search_bench VELKO_BINARY [reports] [directory]
//
// Builds the installation (report files and index, written directly) in a
// temporary folder or `directory`, then runs the CGI executable as a web
// server would (fresh process, CGI environment, output to /dev/null) for:
//   - a quick search for one report name;
//   - a criteria search that matches 10 reports;
//   - a criteria search with a text search that opens 1,000 report files;
//   - the download of 10,000 reports.
// Every figure is the median of several runs. Prints numbers; nothing fails.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "benchutil.h"
#include "config.h"
#include "utils.h"

namespace {

// Report n of the installation. The rare values give the searches their
// exact match counts: assignee "rare" 10 reports (n % 10000 == 7), module
// "special" 1,000 (n % 100 == 7), expected version "2.3" 10,000
// (n % 10 == 3).
tHeader makeReport(int n) {
  tHeader h;
  h.prefix = "XY";
  h.number = n;
  h.phase = SPECIFICATION;
  h.date = 1079355909 + n;
  h.submitter = "user" + std::to_string(n % 17);
  h.severity = 1 + n % 4;
  h.project = "P";
  h.subProject = "G";
  h.module = n % 100 == 7 ? "special" : "module" + std::to_string(n % 9);
  h.version = "1." + std::to_string(n % 5);
  h.expvers = "2." + std::to_string(n % 10);
  h.status = static_cast<tStatus>(n % 11);
  h.assignedTo = n % 10000 == 7 ? "rare" : "user" + std::to_string(n % 13);
  h.testref = "TEST-" + std::to_string(n);
  h.mdaPda = n % 3 ? "MDA-" + std::to_string(n) : "";
  h.timeEstimate = 3;
  h.title = "Report number " + std::to_string(n) + " about a crash when saving a large file";
  addAnalyse(&h, "First analysis", "user1", h.date + 60,
             "The file is saved in pieces;\nthe last piece is lost when the disk is full.\n");
  return h;
}

// Counts the bytes a request prints (to check that each search selects
// what it should).
std::string capture(const std::string& bin, const std::vector<std::string>& env) {
  std::string cmd = "env -i";
  for (const std::string& s : env) cmd += " '" + s + "'";
  cmd += " '" + bin + "'";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: search_bench VELKO_BINARY [reports] [directory]\n");
    return 2;
  }
  const std::string velko = argv[1];
  const int reports = argc > 2 ? atoi(argv[2]) : 100000;
  std::string root;
  if (argc > 3) {
    root = argv[3];
  } else {
    char tmpl[] = "/tmp/velko-search-bench.XXXXXX";
    root = mkdtemp(tmpl);
  }
  for (const char* d : {"", "/config", "/cfg", "/data", "/data/tmp"}) mkdir((root + d).c_str(), 0755);
  writeFile(root + "/config/velko.cfg", "DATADIR " + root + "/data/\nCONFIGDIR " + root +
                                            "/cfg/\nIMGDIR /velko/images/\nLANGUAGE EN\n");
  // The shipped language file, so that the pages carry their real texts.
  const std::string lang = std::string(VELKO_SOURCE_DIR) + "/config/langue.EN";
  if (system(("cp '" + lang + "' '" + root + "/cfg/langue.EN'").c_str()) != 0) return 1;
  writeFile(root + "/cfg/project.cfg", "P:AB:boss:valid\n");
  writeFile(root + "/cfg/phase.cfg", "specification:D\n");
  writeFile(root + "/cfg/P_subproject.cfg", "G:XY\n");
  writeFile(root + "/cfg/impacts.cfg", "Fonctional\nRobustness\nExploitability\nPerformance\n");
  setenv("PWD", root.c_str(), 1);
  resetRequest();
  const std::string data = root + "/data/";

  struct stat st;
  if (stat((data + "index").c_str(), &st) != 0) {
    std::string index;
    for (int i = 1; i <= reports; ++i) {
      tHeader h = makeReport(i);
      historyAt(&h, h.date, "Created by %s", h.submitter, "", "");
      writeFile(data + getBugName(h), formatBug(h));
      index += writeIndexToStr(h);
    }
    writeFile(data + "index", index);
    stat((data + "index").c_str(), &st);
  }

  const std::vector<std::string> base = {
      "PWD=" + root, "SCRIPT_NAME=/cgi-bin/velko", "SERVER_PORT=80", "REMOTE_ADDR=127.0.0.1",
      "GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "PATH=/usr/bin:/bin"};
  const std::string all =
      "&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X&statD=X&statB=X&statR=X&statP=X&statT=X";
  struct Case {
    const char* what;
    std::string query;
    const char* marker;  // counted in the output
    size_t expected;
  };
  const Case cases[] = {
      {"quick search, one name", "find=ABDXY.50000", "<A HREF=#", 1},
      {"criteria, 10 matches",
       "CMD=find&project=P&group=G&resp=rare&intitle=crash&ival=1&between=01/01/2000:00.00.00"
       "&and=01/01/2030:00.00.00&intext=&sort=0" + all,
       "<A HREF=#", 10},
      {"criteria + intext, 1,000 files", "CMD=find&prog=special&resp=all&intext=disk+is+full" + all,
       "<A HREF=#", 1000},
      {"download, 10,000 reports", "CMD=find&exp=2.3&resp=all&intext=&excel=X" + all, "\nAB\t",
       10000},
  };

  const int runs = 9;
  auto envFor = [&](const std::string& q) {
    std::vector<std::string> e = base;
    e.push_back("QUERY_STRING=" + q);
    return e;
  };
  // Check each case once (and warm the page cache).
  for (const Case& c : cases) {
    const std::string out = capture(velko, envFor(c.query));
    const size_t n = count(out, c.marker);
    if (n != c.expected)
      fprintf(stderr, "warning: %s selected %zu reports, not %zu\n", c.what, n, c.expected);
  }
  const std::vector<std::string> catDirect = {"/bin/cat", data + "index"};
  std::vector<double> catTimes, caseTimes[4];
  // Rounds alternate between the commands so that a change of load on the
  // machine touches all of them alike.
  for (int r = 0; r < runs; ++r) {
    catTimes.push_back(runOnce(catDirect, base));
    for (int c = 0; c < 4; ++c) caseTimes[c].push_back(runOnce({velko}, envFor(cases[c].query)));
  }
  const double cat = median(catTimes);
  printf("installation: %d reports, index %lld bytes, in %s\n", reports,
         static_cast<long long>(st.st_size), root.c_str());
  printf("%-34s %10s %8s\n", "request", "ms", "x cat");
  printf("%-34s %10.2f %8.2f\n", "cat index > /dev/null", cat * 1e3, 1.0);
  for (int c = 0; c < 4; ++c) {
    const double t = median(caseTimes[c]);
    printf("%-34s %10.2f %8.2f\n", cases[c].what, t * 1e3, t / cat);
  }
  if (argc <= 3) {
    const std::string rm = "rm -rf '" + root + "'";
    if (system(rm.c_str()) != 0) return 1;
  }
  return 0;
}
