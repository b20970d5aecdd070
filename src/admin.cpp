// admin.cpp: the administration commands, run from a shell.
//
// "velko --check" reports every inconsistency between the report files and
// the index, and what killed requests left, one line each on standard
// output; "velko --reindex" rebuilds the index from the report files;
// "velko --repair" removes what killed requests left, then reindexes. No
// CGI header. Exit status 0 when all is well, 1 when something was found
// (or left out), 2 when the command could not run.

#include "admin.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "config.h"
#include "text.h"
#include "utils.h"

namespace {

void say(const std::string& text) {
  fputs(text.c_str(), stdout);
  fputc('\n', stdout);
}

// The report files of the data directory; false, after saying so, when the
// directory cannot be read.
bool scan(std::vector<tReportFile>* files) {
  if (scanReports(files)) return true;
  say("cannot read the data directory " + getDataDir());
  return false;
}

int checkStore() {
  std::vector<tReportFile> files;
  if (!scan(&files)) return 2;
  int problems = 0;
  std::map<std::string, const tReportFile*> byKey;
  for (const tReportFile& f : files) {
    if (!f.readable) {
      say("report file cannot be read: " + f.name);
      ++problems;
    } else if (!f.parsed) {
      say("report file does not parse: " + f.name);
      ++problems;
    } else if (f.cutShort) {
      say("report file is cut short (restore it from a backup): " + f.name);
      ++problems;
      byKey.emplace(indexKey(f.head), &f);
    } else {
      const std::string key = indexKey(f.head);
      auto [it, fresh] = byKey.emplace(key, &f);
      if (!fresh) {
        say("report files " + it->second->name + " and " + f.name + " have the same key " + key);
        ++problems;
      }
    }
  }
  std::map<std::string, int> seen;  // key -> first index line
  int lines = 0;
  int number = 0;
  forEachIndexLine([&](std::string_view line) {
    ++number;
    if (line.empty()) return true;
    ++lines;
    tHeader h;
    if (!strToIndex(line, &h)) {
      say(strprintf("index line %d does not parse", number));
      ++problems;
      return true;
    }
    const std::string key = indexKey(h);
    auto [it, fresh] = seen.emplace(key, number);
    if (!fresh) {
      say(strprintf("duplicate key %s in the index: lines %d and %d", key.c_str(), it->second,
                    number));
      ++problems;
      return true;
    }
    const auto f = byKey.find(key);
    if (f == byKey.end()) {
      say(strprintf("index line %d has no report file: %s", number, key.c_str()));
      ++problems;
    } else if (f->second->line != writeIndexToStr(h)) {
      say(strprintf("index line %d differs from the report file %s", number,
                    f->second->name.c_str()));
      ++problems;
    }
    return true;
  });
  for (const auto& [key, f] : byKey) {
    if (seen.count(key)) continue;
    say("report missing from the index: " + f->name);
    ++problems;
  }
  // Litter, not an inconsistency: the reports and the index are whole
  // whatever a killed request left beside them.
  for (const std::string& t : deadTemporaries())
    say("left by a request that was killed: " + t + " (velko --repair removes it)");
  if (problems == 0) {
    say(strprintf("consistent: %zu report files, %d index lines", files.size(), lines));
    return 0;
  }
  say(strprintf("inconsistent: %d problems", problems));
  return 1;
}

int reindexStore() {
  std::vector<tReportFile> files;
  if (!scan(&files)) return 2;
  int problems = 0;
  std::map<std::string, const tReportFile*> byKey;
  for (const tReportFile& f : files) {
    if (!f.parsed) {
      say("left out, does not parse: " + f.name);
      ++problems;
      continue;
    }
    const std::string key = indexKey(f.head);
    auto [it, fresh] = byKey.emplace(key, &f);
    if (fresh) continue;
    // Two files claim one key: the one written last wins, as in the index.
    const tReportFile* old = it->second;
    const bool newer = std::tie(f.mtime, f.mtimeNs) > std::tie(old->mtime, old->mtimeNs);
    const tReportFile* kept = newer ? &f : old;
    const tReportFile* dropped = newer ? old : &f;
    it->second = kept;
    say("left out, same key " + key + " as " + kept->name + ": " + dropped->name);
    ++problems;
  }
  // The index is in the order of the last update: oldest file first.
  std::vector<const tReportFile*> order;
  for (const auto& kv : byKey) order.push_back(kv.second);
  std::sort(order.begin(), order.end(), [](const tReportFile* a, const tReportFile* b) {
    return std::tie(a->mtime, a->mtimeNs, a->name) < std::tie(b->mtime, b->mtimeNs, b->name);
  });
  std::string text;
  for (const tReportFile* f : order) text += f->line;
  std::string err;
  if (!replaceIndex(text, &err)) {
    say(err == "the index is locked by another process" ? err + "; nothing changed" : err);
    return 2;
  }
  say(strprintf("index rebuilt: %zu reports", order.size()));
  return problems ? 1 : 0;
}

// Removes what killed requests left, then rebuilds the index: a report
// written but not yet indexed when its request died is indexed again.
int repairStore() {
  for (const std::string& t : deadTemporaries()) {
    const std::string path = getDataDir() + "/" + t;
    if (::unlink(path.c_str()) == 0)
      say("removed " + t);
    else
      say("cannot remove " + t + ": " + strerror(errno));
  }
  return reindexStore();
}

}  // namespace

int runAdminCommand(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  int rc;
  if (cmd != "--reindex" && cmd != "--check" && cmd != "--repair") {
    say("unknown command " + cmd + " (velko --reindex, velko --check or velko --repair)");
    rc = 2;
  } else if (::access(getCfgFile().c_str(), R_OK) != 0) {
    say("cannot read the configuration file " + getCfgFile());
    rc = 2;
  } else if (getDataDir().empty()) {
    say("no DATADIR in " + getCfgFile());
    rc = 2;
  } else {
    rc = cmd == "--check" ? checkStore() : cmd == "--repair" ? repairStore() : reindexStore();
  }
  // These commands answer on the terminal: comments that the configuration
  // readers held back for a page are dropped, and no CGI header is sent.
  fflush(stdout);
  request().page.clearBody();
  return rc;
}

