#include "statsfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "config.h"
#include "fileio.h"
#include "request.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr int kStatsFields = 22;
// Seconds a request waits for the marker lock: the holder only compares
// and rewrites a small file.
constexpr int kMarkerLockWait = 5;

// `t` with its local time of day set to hh:00:00.
long localAt(long t, int hour) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return t;
  tm.tm_hour = hour;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  const time_t r = mktime(&tm);
  return r == static_cast<time_t>(-1) ? t : static_cast<long>(r);
}

// Reads a decimal integer (optional '-') at `*p`; false on no digit or
// overflow.
bool readLong(const char** p, const char* end, long* out) {
  const char* s = *p;
  bool neg = false;
  if (s < end && *s == '-') {
    neg = true;
    ++s;
  }
  if (s >= end || *s < '0' || *s > '9') return false;
  long v = 0;
  for (; s < end && *s >= '0' && *s <= '9'; ++s) {
    const int d = *s - '0';
    if (v > (LONG_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = neg ? -v : v;
  *p = s;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records and lines
// ---------------------------------------------------------------------------

tStats& getStatList(tStatsList& list, const std::string& name, long date) {
  for (tStats& st : list)
    if (st.name == name) return st;
  list.emplace_back();
  list.back().name = name;
  list.back().date = date;
  return list.back();
}

void incrementStats(tStats& st, const tHeader& head) {
  st.expected += head.timeEstimate;
  st.spent += head.timeSpent;
  long* const counters[kStatusCount] = {&st.nouv,      &st.observed, &st.analysed,
                                        &st.open,      &st.corrected, &st.verified,
                                        &st.duplicate, &st.notabug,  &st.notrep,
                                        &st.postponed, &st.abandonned};
  const int status = head.status >= 0 && head.status < kStatusCount ? head.status : NEW;
  ++*counters[status];
  if (head.severity < 1 || head.severity > 4) return;
  if (status <= OPEN)
    ++st.severityTodo[head.severity];
  else
    ++st.severityDone[head.severity];
}

std::string formatStats(const tStats& st) {
  std::string line = strprintf("%ld %ld %ld %ld ", st.date, st.nouv, st.observed, st.analysed);
  line += strprintf("%ld %ld %ld %ld ", st.open, st.corrected, st.verified, st.notabug);
  line += strprintf("%ld %ld %ld ", st.notrep, st.postponed, st.duplicate);
  line += strprintf("%ld %ld %ld", st.abandonned, st.expected, st.spent);
  for (int s = 1; s <= 4; ++s) line += strprintf(" %ld", st.severityTodo[s]);
  for (int s = 1; s <= 4; ++s) line += strprintf(" %ld", st.severityDone[s]);
  line += '\n';
  return line;
}

bool readStats(std::string_view line, tStats* st) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.remove_suffix(1);
  long v[kStatsFields];
  const char* p = line.data();
  const char* const end = p + line.size();
  for (int i = 0; i < kStatsFields; ++i) {
    if (i > 0) {
      if (p >= end || *p != ' ') return false;
      ++p;
    }
    if (!readLong(&p, end, &v[i])) return false;
  }
  if (p != end) return false;
  long* const fields[] = {&st->date,      &st->nouv,     &st->observed,  &st->analysed,
                          &st->open,      &st->corrected, &st->verified, &st->notabug,
                          &st->notrep,    &st->postponed, &st->duplicate, &st->abandonned,
                          &st->expected,  &st->spent};
  int i = 0;
  for (long* f : fields) *f = v[i++];
  for (int s = 1; s <= 4; ++s) st->severityTodo[s] = v[i++];
  for (int s = 1; s <= 4; ++s) st->severityDone[s] = v[i++];
  return true;
}

std::string statsFilePath(const std::string& unit) { return getStatsDir() + "/" + unit; }

bool safeUnitName(std::string_view unit) {
  if (unit.empty() || unit[0] == '.') return false;
  for (const char c : unit)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

std::vector<tStats> readStatsFile(const std::string& unit, bool* exists) {
  std::vector<tStats> lines;
  std::string text;
  *exists = safeUnitName(unit) && !getDataDir().empty() &&
            readWholeFile(statsFilePath(unit), &text);
  if (!*exists) return lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) lf = text.size();
    tStats st;
    if (readStats(std::string_view(text).substr(pos, lf - pos), &st)) {
      st.name = unit;
      lines.push_back(std::move(st));
    }
    pos = lf + 1;
  }
  return lines;
}

std::string statsUnit(const tHeader& head) {
  const char letter = getPhasePrefix(head.phase);
  std::string unit = head.project;
  unit += '.';
  unit += letter ? letter : '_';
  unit += getGroupPrefix(head.project, head.subProject);
  return unit;
}

long statsTodo(const tStats& st) { return st.nouv + st.observed + st.analysed + st.open; }

long statsClosed(const tStats& st) {
  return st.corrected + st.verified + st.notabug + st.notrep + st.postponed + st.duplicate +
         st.abandonned;
}

// ---------------------------------------------------------------------------
// The daily count
// ---------------------------------------------------------------------------

bool countIndex(long stamp, long now, tStatsList* list, std::vector<std::string>* postponed) {
  tIndexLines lines;
  if (!lines.open()) return false;
  // The two units of each project, group and phase, found once: an index
  // holds few of them.
  struct Units {
    size_t unit, total;
    bool safe;
  };
  std::unordered_map<std::string, Units> units;
  std::unordered_map<std::string, size_t> index;  // unit name -> position in *list
  auto record = [&](const std::string& name) {
    auto it = index.find(name);
    if (it != index.end()) return it->second;
    getStatList(*list, name, stamp);
    index.emplace(name, list->size() - 1);
    return list->size() - 1;
  };
  tReportNames names;
  tHeader h;
  tIndexFields fields;
  std::string key;
  std::string_view line;
  long skipped = 0;
  while (lines.next(&line, &fields, IX_ESTIMATE)) {
    if (line.empty()) continue;
    h.project.assign(fields.text(IX_PROJECT));
    h.subProject.assign(fields.text(IX_GROUP));
    h.phase = static_cast<tPhase>(fields.letter(IX_PHASE));
    h.severity = fields.letter(IX_SEVERITY);
    h.status = static_cast<tStatus>(fields.letter(IX_STATUS));
    h.timeSpent = fields.number(IX_SPENT);
    h.timeEstimate = fields.number(IX_ESTIMATE);
    key.assign(h.project).append(1, '\n').append(h.subProject).append(1, '\n');
    key.append(1, static_cast<char>('a' + h.phase));
    auto it = units.find(key);
    if (it == units.end()) {
      const std::string unit = statsUnit(h);
      const std::string total = h.project + ".TOTAL";
      Units u{0, 0, safeUnitName(unit) && safeUnitName(total)};
      if (u.safe) {
        u.unit = record(unit);
        u.total = record(total);
      }
      it = units.emplace(key, u).first;
    }
    // A line without a project, or whose project cannot name a file of the
    // statistics directory, is no report to count.
    if (!it->second.safe) {
      ++skipped;
      continue;
    }
    // The records are found again by position: `list` may have grown since.
    incrementStats((*list)[it->second.unit], h);
    incrementStats((*list)[it->second.total], h);
    if (h.status == POSTPONE && fields.number(IX_POSTPONE) < now) {
      h.number = static_cast<int>(fields.number(IX_NUMBER));
      postponed->push_back(names.of(h));
    }
  }
  if (skipped)
    traceComment(strprintf("statistics: %ld index lines without a usable project skipped",
                           skipped));
  return true;
}

int appendStatsLines(const tStatsList& list) {
  if (getDataDir().empty()) return 0;
  makeDirs(getStatsDir(), 0777);
  int written = 0;
  // Most recently met unit first, as the files have always been written.
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const std::string path = statsFilePath(it->name);
    tFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    // One write per line: lines of two passes never mix.
    if (fd.ok() && writeAll(fd.get(), formatStats(*it)) && fd.close()) {
      ++written;
    } else {
      traceComment("statistics: cannot append to " + path + ": " + strerror(errno));
    }
  }
  return written;
}

// ---------------------------------------------------------------------------
// The marker
// ---------------------------------------------------------------------------

bool statsPassDue(long now, long* stamp) {
  if (getCfgDir().empty() || getDataDir().empty()) return false;
  const std::string marker = getCfgDir() + "/.stats";
  const std::string tmp = getDataDir() + "/tmp";
  // A marker written since today's midnight: today's pass ran. Looked at
  // first without the lock (every request asks), then again under it.
  const long midnight = localAt(now, 0);
  struct stat st;
  if (::stat(marker.c_str(), &st) == 0 && static_cast<long>(st.st_mtime) >= midnight) return false;
  tFileLock lock;
  if ((::mkdir(tmp.c_str(), 0755) != 0 && errno != EEXIST) ||
      !lock.acquire(tmp + "/stats.lock", kMarkerLockWait)) {
    traceComment("statistics: marker lock not had, daily pass skipped");
    return false;
  }
  const bool exists = ::stat(marker.c_str(), &st) == 0;
  if (exists && static_cast<long>(st.st_mtime) >= midnight) return false;
  const long reference = exists ? static_cast<long>(st.st_mtime) : now;

  char text[64];
  const time_t tt = static_cast<time_t>(now);
  if (!ctime_r(&tt, text)) text[0] = '\0';
  tFd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.ok() || !writeAll(fd.get(), text) || !fd.close()) {
    // Counting anyway would append a line at every request of the day.
    traceComment("statistics: cannot rewrite " + marker + ": " + strerror(errno) +
                 ", daily pass skipped");
    return false;
  }
  *stamp = localAt(reference, 23);
  return true;
}
