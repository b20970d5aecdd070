// store_bench: the cost of the report store on an installation of 100,000
// reports, each figure also as a ratio to copying the index with cp.
//
//   store_bench [reports] [directory]
//
// Builds the installation in a temporary folder (or `directory`), then times
// one updateIndex, a full read of the index with readIndex, and readBug and
// writeBug of a report with 200 entries (writeBug includes its index update).
// Every figure is the median of several runs, as wall-clock time and as
// processor time (user and system, cp's included).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "benchutil.h"
#include "config.h"
#include "utils.h"

namespace {

// Processor time of this process and of its finished children (cp runs in
// a child): on a shared machine it varies less than the wall clock.
double cpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    struct rusage ru;
    getrusage(who, &ru);
    total += ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

struct tTiming {
  double wall;
  double cpu;
};

// Medians of the wall-clock and processor times of `runs` calls.
tTiming seconds(const std::function<void()>& fn, int runs) {
  std::vector<double> w, c;
  for (int i = 0; i < runs; ++i) {
    const double c0 = cpuSeconds();
    const auto a = std::chrono::steady_clock::now();
    fn();
    w.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
    c.push_back(cpuSeconds() - c0);
  }
  std::sort(w.begin(), w.end());
  std::sort(c.begin(), c.end());
  return {w[w.size() / 2], c[c.size() / 2]};
}

tHeader makeReport(int number) {
  tHeader h;
  h.prefix = "XY";
  h.number = number;
  h.phase = SPECIFICATION;
  h.date = 1079355909 + number;
  h.submitter = "user" + std::to_string(number % 17);
  h.severity = 1 + number % 4;
  h.project = "P";
  h.subProject = "G";
  h.module = "module" + std::to_string(number % 9);
  h.version = "1." + std::to_string(number % 5);
  h.expvers = "2.0";
  h.status = static_cast<tStatus>(number % 11);
  h.assignedTo = "user2";
  h.testref = "TEST-" + std::to_string(number);
  h.mdaPda = "MDA";
  h.timeEstimate = 3;
  h.title = "Report number " + std::to_string(number) + " about a crash when saving a large file";
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? atoi(argv[1]) : 100000;
  std::string root;
  if (argc > 2) {
    root = argv[2];
  } else {
    char tmpl[] = "/tmp/velko-bench.XXXXXX";
    root = mkdtemp(tmpl);
  }
  for (const char* d : {"", "/config", "/cfg", "/data", "/data/tmp"})
    mkdir((root + d).c_str(), 0755);
  writeFile(root + "/config/velko.cfg",
            "DATADIR " + root + "/data/\nCONFIGDIR " + root + "/cfg/\nLANGUAGE EN\n");
  writeFile(root + "/cfg/project.cfg", "P:AB:boss:valid\n");
  writeFile(root + "/cfg/phase.cfg", "specification:D\n");
  writeFile(root + "/cfg/P_subproject.cfg", "G:XY\n");
  setenv("PWD", root.c_str(), 1);
  resetRequest();
  const std::string data = root + "/data/";

  // The installation: report files and their index, written directly.
  const auto b0 = std::chrono::steady_clock::now();
  std::string index;
  for (int i = 1; i <= count; ++i) {
    tHeader h = makeReport(i);
    historyAt(&h, h.date, "Created by %s", h.submitter, "", "");
    writeFile(data + getBugName(h), formatBug(h));
    index += writeIndexToStr(h);
  }
  writeFile(data + "index", index);
  const double build = std::chrono::duration<double>(std::chrono::steady_clock::now() - b0).count();

  tHeader big = makeReport(count / 2);
  for (int e = 0; e < 200; ++e)
    addAnalyse(&big, "Analysis " + std::to_string(e), "user1", 1079355909 + e,
               std::string(6, 'x') + " line one of the analysis\nline two with more words\n"
               "line three\n");
  if (writeBug(big) != 1) {
    fprintf(stderr, "writeBug failed\n");
    return 1;
  }
  const std::string bigName = getBugName(big);

  const std::string cpCmd = "cp '" + data + "index' '" + data + "index.copy'";
  const int runs = 11;
  const tTiming cp = seconds([&] {
    if (system(cpCmd.c_str()) != 0) exit(1);
  }, runs);
  tHeader mid = makeReport(count / 3);
  const tTiming update = seconds([&] {
    mid.timeSpent++;
    if (updateIndex(&mid, nullptr) <= 0) exit(1);
  }, runs);
  size_t lines = 0;
  const tTiming read = seconds([&] {
    tFileBuf f;
    openBuf(&f, data + "index", 'r', kFileBlock);
    tHeader h;
    lines = 0;
    while (readIndex(&f, &h) >= 0) ++lines;
  }, runs);
  const tTiming readBig = seconds([&] {
    if (!readBug(bigName)) exit(1);
  }, runs);
  const tTiming writeBig = seconds([&] {
    if (writeBug(big) != 1) exit(1);
  }, runs);
  const std::string report = formatBug(big);
  const std::string tmpBig = data + "big.copy";
  const tTiming writeBigFile = seconds([&] { writeFile(tmpBig, report); }, runs);

  struct stat st;
  stat((data + "index").c_str(), &st);
  printf("installation: %d reports, index %lld bytes, %zu lines (built in %.1f s) in %s\n", count,
         static_cast<long long>(st.st_size), lines, build, root.c_str());
  printf("%-34s %10s %8s %10s %8s\n", "operation", "wall ms", "x cp", "cpu ms", "x cp");
  auto row = [&](const char* what, const tTiming& t) {
    printf("%-34s %10.2f %8.2f %10.2f %8.2f\n", what, t.wall * 1e3, t.wall / cp.wall, t.cpu * 1e3,
           cp.cpu > 0 ? t.cpu / cp.cpu : 0.0);
  };
  row("cp of the index", cp);
  row("updateIndex (one report)", update);
  row("readIndex of the whole index", read);
  row("readBug, 200 entries", readBig);
  row("writeBug, 200 entries (+ index)", writeBig);
  row("  of which the report bytes", writeBigFile);
  printf("report with 200 entries: %zu bytes\n", report.size());
  if (argc <= 2) {
    const std::string rm = "rm -rf '" + root + "'";
    if (system(rm.c_str()) != 0) return 1;
  }
  return 0;
}
