#include "config.h"

#include "fileio.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>

#include "html.h"
#include "text.h"

namespace {

// Values read once per request.
struct ConfigCache {
  std::optional<std::string> mainCfgDir;
  std::optional<std::string> dataDir, cfgDir, imgDir, statsDir, synchDir;
  int security = -1;
};

ConfigCache& cache() { return request().slot<ConfigCache>(); }

const char* envOr(const char* name, const char* dflt) {
  const char* v = getenv(name);
  return v ? v : dflt;
}

bool isWordSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr size_t kMaxWord = 99;  // words and values hold at most 99 characters

const std::string& cachedKey(std::optional<std::string>& slot, const char* key) {
  if (!slot) slot = getCfgKey(key);
  return *slot;
}

}  // namespace

std::string getMainCfgDir() {
  ConfigCache& c = cache();
  if (!c.mainCfgDir) {
    std::string base;
    if (const char* pwd = getenv("PWD")) {
      base = pwd;
    } else if (const char* script = getenv("SCRIPT_FILENAME")) {
      const std::string s = script;
      const size_t cut = s.find_last_of("/\\");
      if (cut != std::string::npos) base = s.substr(0, cut);
    }
    c.mainCfgDir = base + "/config";
  }
  return *c.mainCfgDir;
}

std::string getCfgFile() { return getMainCfgDir() + "/velko.cfg"; }

// The file is read word by word; a word equal to the key takes the rest of
// its line (at most 99 characters) as the value, with line end and blanks
// removed from the end and blanks (not tabs) from the start. Scanning goes
// on to the end, so the last occurrence wins.
std::string getCfgKey(const std::string& key) {
  std::string text;
  const std::string path = getCfgFile();
  if (!readWholeFile(path, &text)) {
    // The diagnostic may come before any handler chose the page's header:
    // the ordinary one is set then (the first header set wins).
    tPage& page = request().page;
    page.setHeader();
    page.markup("<!script : ").text(envOr("SCRIPT_NAME", "")).markup(">\n");
    page.markup("<!pwd : ").text(envOr("PWD", "")).markup(">\n");
    page.markup("<!script : ").text(envOr("SCRIPT_FILENAME", "")).markup(">\n");
    page.markup("<!Unable to open : ").text(path).markup(">\n");
    return std::string();
  }

  std::string result;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    while (i < n && isWordSpace(text[i])) ++i;
    if (i >= n) break;
    const size_t start = i;
    while (i < n && !isWordSpace(text[i]) && i - start < kMaxWord) ++i;
    if (text.compare(start, i - start, key) != 0 || key.size() != i - start) continue;
    // The rest of the line, line end included, at most 99 characters.
    const size_t restStart = i;
    while (i < n && i - restStart < kMaxWord && text[i] != '\n') ++i;
    if (i < n && text[i] == '\n' && i - restStart < kMaxWord) ++i;
    size_t end = i;
    while (end > restStart &&
           (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' '))
      --end;
    size_t begin = restStart;
    while (begin < end && text[begin] == ' ') ++begin;
    result.assign(text, begin, end - begin);
  }
  return result;
}

const std::string& getDataDir() { return cachedKey(cache().dataDir, "DATADIR"); }
const std::string& getCfgDir() { return cachedKey(cache().cfgDir, "CONFIGDIR"); }
const std::string& getImgDir() { return cachedKey(cache().imgDir, "IMGDIR"); }

const std::string& getStatsDir() {
  ConfigCache& c = cache();
  if (!c.statsDir) c.statsDir = getDataDir() + "/Stats/";
  return *c.statsDir;
}

const std::string& getSynchDir() {
  ConfigCache& c = cache();
  if (!c.synchDir) c.synchDir = getDataDir() + "/Synchro/";
  return *c.synchDir;
}

int useSecurity() {
  ConfigCache& c = cache();
  if (c.security < 0) c.security = getCfgKey("SECURITY") == "YES" ? 1 : 0;
  return c.security;
}

// ===========================================================================
// List files of the configuration directory
// ===========================================================================
//
// A list file is read whole and kept for the request; before each use a stat()
// tells whether it was replaced since (the setup rewrites files and reads
// them back in the same request), so a page that names thousands of reports
// reads each file once. What is parsed out of a file is kept with the
// generation of the snapshot it came from.

namespace {

// Line limits of the readers: a longer line is cut at the limit and the rest
// of that line dropped (it never turns into a line of its own).
constexpr size_t kProjectLineMax = 99;   // project.cfg
constexpr size_t kListLineMax = 999;     // phases, groups, option lists
constexpr size_t kUserLineMax = 1024;    // users files
constexpr size_t kLangueLineMax = 299;   // language files
constexpr size_t kMaxPhases = 50;
constexpr size_t kMaxImpacts = 50;
constexpr size_t kGroupPrefixMax = 4;    // stored in the report's prefix field
// Widths of the remembered choices (one character less than the record's).
constexpr size_t kInfoNameMax = 19;
constexpr size_t kInfoProjectMax = 39;
constexpr size_t kInfoGroupMax = 39;
// How long setUserInfo waits for another request that rewrites userinfo.dat.
constexpr int kUserInfoLockWaitMs = 5000;

struct tFileSnap {
  bool ok = false;  // the file exists and was read
  std::string text;
  unsigned long gen = 0;  // changes whenever text or ok changes
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtim = {0, 0};
};

template <class T>
struct tParsed {
  unsigned long gen = 0;
  T value;
};

struct tPhaseEntry {
  std::string name;
  char letter = '\0';
};
struct tGroupEntry {
  std::string name;
  std::string prefix;  // "" when the line gives none
};
struct tProjectLine {
  std::vector<std::string> fields;  // field 0 is the project name
  bool hasColon = false;
};
struct tProjectTable {
  std::vector<tProjectLine> lines;
  std::unordered_map<std::string, size_t> firstLine;  // name -> its first line
};
struct tGroupTable {
  std::vector<tGroupEntry> entries;
  // Last line wins for both lookups.
  std::unordered_map<std::string, std::string> prefixOf, groupOf;
};

struct ListCache {
  unsigned long genCounter = 0;
  std::unordered_map<std::string, tFileSnap> snaps;
  std::unordered_map<std::string, tParsed<tProjectTable>> projects;
  std::unordered_map<std::string, tParsed<std::vector<tPhaseEntry>>> phases;
  std::unordered_map<std::string, tParsed<tGroupTable>> groups;
  std::unordered_map<std::string, tParsed<std::vector<tUserEntry>>> users;
  // Version words per project for optionListExclDeadline, read once.
  std::map<std::string, std::set<std::string>> versionWords;

  // userinfo.dat, read once.
  bool userInfoLoaded = false;
  bool hasUserInfo = false;
  tUserInfo userInfo;

  // Language table, loaded once (tried again while the file is missing).
  bool langueLoaded = false;
  std::unordered_map<int, std::string> langue;
  std::vector<std::string> statusNames, severityNames, typeNames;
  bool statusFilled = false, severityFilled = false, typeFilled = false;
  bool impactsLoaded = false;
  std::vector<std::string> impactNames;
};

ListCache& lists() { return request().slot<ListCache>(); }

const std::string& emptyString() {
  static const std::string e;
  return e;
}

bool sameFile(const tFileSnap& s, const struct stat& st) {
  return s.dev == st.st_dev && s.ino == st.st_ino && s.size == st.st_size &&
         s.mtim.tv_sec == st.st_mtim.tv_sec && s.mtim.tv_nsec == st.st_mtim.tv_nsec;
}

// The current content of `path`. The reference stays valid, but its text
// may change at the next call for the same path.
const tFileSnap& fileSnap(const std::string& path) {
  ListCache& c = lists();
  tFileSnap& s = c.snaps[path];
  struct stat st;
  const bool exists = !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (!exists) {
    if (s.ok || s.gen == 0) {
      s = tFileSnap();
      s.gen = ++c.genCounter;
    }
    return s;
  }
  if (s.gen != 0 && s.ok && sameFile(s, st)) return s;
  s.ok = readWholeFile(path, &s.text);
  if (!s.ok) s.text.clear();
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtim = st.st_mtim;
  s.gen = ++c.genCounter;
  return s;
}

template <class T, class F>
const T& parsedFile(std::unordered_map<std::string, tParsed<T>>& cacheMap, const std::string& path,
                    F parse) {
  const tFileSnap& s = fileSnap(path);
  tParsed<T>& p = cacheMap[path];
  if (p.gen != s.gen) {
    p.value = s.ok ? parse(s.text) : T();
    p.gen = s.gen;
  }
  return p.value;
}

// Calls fn(body, hasLineFeed) for each line of text. The body excludes the
// line feed (a carriage return before it stays) and is cut to maxLen.
template <class F>
void forEachLine(std::string_view text, size_t maxLen, F fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    const bool lf = nl != std::string_view::npos;
    const size_t end = lf ? nl : text.size();
    std::string_view body = text.substr(pos, end - pos);
    if (body.size() > maxLen) body = body.substr(0, maxLen);
    fn(body, lf);
    pos = lf ? nl + 1 : text.size();
  }
}

std::string_view stripCR(std::string_view s) {
  if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
  return s;
}

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// An argument that names nothing: empty, or the single blank of an absent
// request argument.
bool isNone(const std::string& s) { return s.empty() || s == " "; }

std::string cfgPath(const std::string& name) { return getCfgDir() + "/" + name; }

const std::vector<tProjectLine>& projectLines();

// "<CONFIGDIR>/<project>_<kind>.cfg". Project names reach here from the
// request and from report files: only a project of "project.cfg" names a
// file, so no name ("../x", say) can lead outside the configuration
// directory.
std::string projectFile(const std::string& proj, const char* kind) {
  if (!isConfiguredProject(proj)) return std::string();
  return getCfgDir() + "/" + proj + "_" + kind + ".cfg";
}

// project.cfg: each field runs to a ':', a blank or the line end; blanks
// after it and then one ':' are skipped. Leading blanks of the line are
// skipped. At most five fields.
tProjectTable parseProjects(const std::string& text) {
  tProjectTable table;
  std::vector<tProjectLine>& out = table.lines;
  forEachLine(text, kProjectLineMax, [&](std::string_view body, bool) {
    body = stripCR(body);
    tProjectLine line;
    line.hasColon = body.find(':') != std::string_view::npos;
    size_t i = 0;
    while (i < body.size() && isBlankOrTab(body[i])) ++i;
    if (i >= body.size()) return;  // an empty line is not looked at
    while (line.fields.size() < 5) {
      const size_t start = i;
      while (i < body.size() && body[i] != ':' && !isBlankOrTab(body[i]) && body[i] != '\r') ++i;
      line.fields.emplace_back(body.substr(start, i - start));
      while (i < body.size() && isBlankOrTab(body[i])) ++i;
      if (i < body.size() && body[i] == ':') {
        ++i;
      } else if (i >= body.size() || body[i] == '\r') {
        break;
      }
    }
    table.firstLine.emplace(line.fields[0], out.size());
    out.push_back(std::move(line));
  });
  return table;
}

const tProjectTable& projectTable() {
  return parsedFile(lists().projects, cfgPath("project.cfg"), parseProjects);
}
const std::vector<tProjectLine>& projectLines() { return projectTable().lines; }

std::string projectField(const std::string& project, size_t field) {
  const tProjectTable& t = projectTable();
  const auto it = t.firstLine.find(project);
  if (it == t.firstLine.end()) return std::string();
  const tProjectLine& l = t.lines[it->second];
  return field < l.fields.size() ? l.fields[field] : std::string();
}

// Lines of phase.cfg and the sub-project files: "name:value". Empty lines,
// lines beginning with '#' and lines without ':' are not entries.
template <class F>
void forEachNamedLine(const std::string& text, F fn) {
  forEachLine(text, kListLineMax, [&](std::string_view body, bool) {
    if (body.empty() || body[0] == '#') return;
    const size_t colon = body.find(':');
    if (colon == std::string_view::npos) return;
    fn(body.substr(0, colon), stripCR(body.substr(colon + 1)));
  });
}

const std::vector<tPhaseEntry>& phaseTable() {
  return parsedFile(lists().phases, cfgPath("phase.cfg"), [](const std::string& text) {
    std::vector<tPhaseEntry> out;
    forEachNamedLine(text, [&](std::string_view name, std::string_view rest) {
      if (out.size() >= kMaxPhases) return;
      tPhaseEntry e;
      e.name = std::string(name);
      e.letter = rest.empty() ? '\0' : rest[0];
      out.push_back(std::move(e));
    });
    return out;
  });
}

const tGroupTable& groupTable(const std::string& path) {
  return parsedFile(lists().groups, path, [](const std::string& text) {
    tGroupTable table;
    std::vector<tGroupEntry>& out = table.entries;
    forEachNamedLine(text, [&](std::string_view name, std::string_view rest) {
      size_t n = 0;
      while (n < rest.size() && rest[n] != ':' && !isBlankOrTab(rest[n])) ++n;
      tGroupEntry e;
      e.name = std::string(name);
      e.prefix = std::string(rest.substr(0, std::min(n, kGroupPrefixMax)));
      table.prefixOf[e.name] = e.prefix;
      if (!e.prefix.empty()) table.groupOf[e.prefix] = e.name;
      out.push_back(std::move(e));
    });
    return table;
  });
}

const std::vector<tUserEntry>& userTable(const std::string& path) {
  return parsedFile(lists().users, path, [](const std::string& text) {
    std::vector<tUserEntry> out;
    forEachLine(text, kUserLineMax, [&](std::string_view body, bool) {
      tUserEntry u;
      if (parseUserLine(std::string(body), &u)) out.push_back(std::move(u));
    });
    return out;
  });
}

}  // namespace

bool isConfiguredProject(const std::string& proj) {
  if (proj.empty() || proj.find('/') != std::string::npos) return false;
  for (const tProjectLine& l : projectLines())
    if (l.hasColon && l.fields[0] == proj) return true;
  return false;
}

tCharList getProjects(const std::string& proj) {
  if (!isNone(proj)) return {proj};
  tCharList out;
  for (const tProjectLine& l : projectLines())
    if (l.hasColon && !l.fields[0].empty()) out.push_back(l.fields[0]);
  return tCharList(out.rbegin(), out.rend());
}

tCharList getCfgFileNames(const std::string& proj, const std::string& cfgname) {
  tCharList out;
  for (const std::string& p : getProjects(proj)) {
    const std::string path = projectFile(p, cfgname.c_str());
    if (!path.empty()) out.push_back(path);
  }
  return out;
}

std::string getProjectPrefix(const std::string& project) { return projectField(project, 1); }
std::string getValidManager(const std::string& project) { return projectField(project, 3); }
std::string getProjectSynchro(const std::string& project) { return projectField(project, 4); }

// Prints what it looks at as comments: the administrator sees in the page
// source why a report went to nobody.
std::string getBugManager(const std::string& project) {
  tPage& page = request().page;
  const std::string path = cfgPath("project.cfg");
  if (!fileSnap(path).ok) {
    page.markup(" unable to open ").text(path).markup(" \n");
    return std::string();
  }
  const std::string asked = escapeHtml(project);
  for (const tProjectLine& l : projectLines()) {
    page.markup("<! -").escaped(asked).markup("-").text(l.fields[0]).markup("->\n");
    if (l.fields[0] != project) continue;
    const std::string f1 = l.fields.size() > 1 ? l.fields[1] : std::string();
    const std::string f2 = l.fields.size() > 2 ? l.fields[2] : std::string();
    page.markup("<! -").text(f1).markup("-\n-").text(f2).markup("->\n");
    return f2;
  }
  return std::string();
}

std::string getPhaseName(int phase) {
  const auto& t = phaseTable();
  if (phase < 0 || static_cast<size_t>(phase) >= t.size()) return std::string();
  return t[phase].name;
}

char getPhasePrefix(int phase) {
  const auto& t = phaseTable();
  if (phase < 0 || static_cast<size_t>(phase) >= t.size()) return '\0';
  return t[phase].letter;
}

int getPhaseCount() { return static_cast<int>(phaseTable().size()); }

int getPrefixPhasePrefix(char pref) {
  const auto& t = phaseTable();
  for (size_t i = 0; i < t.size(); ++i)
    if (t[i].letter == pref) return static_cast<int>(i);
  return static_cast<int>(t.size());
}

// When a group is listed twice, its last line counts.
std::string getGroupPrefix(const std::string& proj, const std::string& group) {
  const tGroupTable& t = groupTable(projectFile(proj, "subproject"));
  const auto it = t.prefixOf.find(group);
  return it == t.prefixOf.end() || it->second.empty() ? "_" : it->second;
}

std::string getPrefixGroup(const std::string& proj, const std::string& prefix) {
  const tGroupTable& t = groupTable(projectFile(proj, "subproject"));
  const auto it = t.groupOf.find(prefix);
  return it == t.groupOf.end() ? "_" : it->second;
}

tCharList getSubProjects(const std::string& proj, const std::string& group) {
  if (!isNone(group)) return {group};
  tCharList out;
  for (const std::string& path : getCfgFileNames(proj, "subproject"))
    for (const tGroupEntry& e : groupTable(path).entries) out.push_back(e.name);
  return out;
}

// A phase without a letter would drop out of the name and let two phases
// share report names; it is written "_", as a missing group prefix is.
std::string getBugPrefix(const std::string& project, const std::string& group, int phase) {
  const char letter = getPhasePrefix(phase);
  std::string r = getProjectPrefix(project);
  r += letter ? letter : '_';
  r += getGroupPrefix(project, group);
  return r;
}

std::string getBugPrefix2(const tHeader& bug) {
  return getBugPrefix(bug.project, bug.subProject, bug.phase);
}

std::string getBugName(const tHeader& bug) {
  return strprintf("%s.%05d", getBugPrefix2(bug).c_str(), bug.number);
}

// ---------------------------------------------------------------------------
// Users files
// ---------------------------------------------------------------------------

bool parseUserLine(const std::string& line, tUserEntry* user) {
  std::string_view s(line);
  if (const size_t nl = s.find('\n'); nl != std::string_view::npos) s = s.substr(0, nl);
  if (s.size() > kUserLineMax) s = s.substr(0, kUserLineMax);
  s = stripCR(s);
  *user = tUserEntry();
  size_t i = 0;
  while (i < s.size() && s[i] != ':' && !isBlankOrTab(s[i])) ++i;
  if (i == 0) return false;
  user->name = std::string(s.substr(0, i));
  size_t colon = s.find(':', i);
  if (colon == std::string_view::npos) return true;
  // The address runs to the next ':', blank or line end.
  size_t j = colon + 1;
  while (j < s.size() && s[j] != ':' && !isBlankOrTab(s[j])) ++j;
  user->email = std::string(s.substr(colon + 1, j - colon - 1));
  // The password follows the next ':' and runs to ':' or the line end; the
  // flag columns follow, one per ':'.
  colon = s.find(':', j);
  for (int field = 0; field < 8 && colon != std::string_view::npos; ++field) {
    const size_t next = s.find(':', colon + 1);
    const size_t end = next == std::string_view::npos ? s.size() : next;
    std::string value(s.substr(colon + 1, end - colon - 1));
    if (field == 0)
      user->password = std::move(value);
    else
      user->flags[field - 1] = std::move(value);
    colon = next;
  }
  return true;
}

std::vector<tUserEntry> getUsers(const std::string& proj) {
  std::vector<tUserEntry> out;
  for (const std::string& path : getCfgFileNames(proj, "users")) {
    const auto& t = userTable(path);
    out.insert(out.end(), t.begin(), t.end());
  }
  return out;
}

// ---------------------------------------------------------------------------
// The machine's remembered choices: "userinfo.dat"
// ---------------------------------------------------------------------------
//
// One line per client machine, "address:name:project:group:phase\n". An
// IPv6 address holds ':' itself, so a line is read from its end: the last
// four fields are the values, everything before them the address.

namespace {

bool parseUserInfoLine(std::string_view line, std::string* addr, tUserInfo* info) {
  line = stripCR(line);
  size_t cuts[4];
  size_t end = line.size();
  for (int k = 0; k < 4; ++k) {
    if (end == 0) return false;
    const size_t c = line.rfind(':', end - 1);
    if (c == std::string_view::npos) return false;
    cuts[k] = c;
    end = c;
  }
  // cuts[0] is the last ':', cuts[3] ends the address.
  std::string_view phase = line.substr(cuts[0] + 1);
  size_t p = 0;
  while (p < phase.size() && isBlankOrTab(phase[p])) ++p;
  bool neg = false;
  if (p < phase.size() && (phase[p] == '-' || phase[p] == '+')) neg = phase[p++] == '-';
  if (p >= phase.size() || phase[p] < '0' || phase[p] > '9') return false;
  long v = 0;
  while (p < phase.size() && phase[p] >= '0' && phase[p] <= '9' && v < 100000000)
    v = v * 10 + (phase[p++] - '0');
  *addr = std::string(line.substr(0, cuts[3]));
  info->name = std::string(line.substr(cuts[3] + 1, cuts[2] - cuts[3] - 1)).substr(0, kInfoNameMax);
  info->project =
      std::string(line.substr(cuts[2] + 1, cuts[1] - cuts[2] - 1)).substr(0, kInfoProjectMax);
  info->group =
      std::string(line.substr(cuts[1] + 1, cuts[0] - cuts[1] - 1)).substr(0, kInfoGroupMax);
  info->phase = static_cast<int>(neg ? -v : v);
  return true;
}

// A value written into a field: cut at anything that would end the field or
// the line, and to the field's width.
std::string infoField(const std::string& value, size_t width) {
  std::string v = value.substr(0, value.find_first_of(":\r\n"));
  return v.substr(0, width);
}

std::string infoLine(const std::string& addr, const tUserInfo& info) {
  return strprintf("%s:%s:%s:%s:%d\n", addr.c_str(), info.name.c_str(), info.project.c_str(),
                   info.group.c_str(), info.phase);
}


}  // namespace

std::string getUserHost() {
  const char* a = getenv("REMOTE_ADDR");
  return a ? a : "";
}

const tUserInfo* getUserInfo() {
  ListCache& c = lists();
  if (!c.userInfoLoaded) {
    c.userInfoLoaded = true;
    std::string text;
    if (!getCfgDir().empty() && readWholeFile(cfgPath("userinfo.dat"), &text)) {
      const std::string host = getUserHost();
      forEachLine(text, text.size(), [&](std::string_view body, bool) {
        if (c.hasUserInfo) return;
        std::string addr;
        tUserInfo info;
        if (parseUserInfoLine(body, &addr, &info) && addr == host) {
          c.userInfo = std::move(info);
          c.hasUserInfo = true;
        }
      });
    }
  }
  return c.hasUserInfo ? &c.userInfo : nullptr;
}

std::string getUser() {
  const tUserInfo* info = getUserInfo();
  if (info && !info->name.empty()) return info->name;
  const char* u = getenv("REMOTE_USER");
  return u ? u : "";
}

std::string getUserProject() {
  const tUserInfo* info = getUserInfo();
  return info ? info->project : " ";
}

std::string getUserGroup() {
  const tUserInfo* info = getUserInfo();
  return info ? info->group : "";
}

int getUserPhase() {
  const tUserInfo* info = getUserInfo();
  return info ? info->phase : -1;
}

// Read-modify-rename under the lock, so that two requests from different
// machines cannot lose each other's line, and a reader always sees a whole
// file. The temporary name carries the process number.
bool setUserInfo(const std::string& name, const std::string& project, const std::string& group,
                 int phase) {
  if (getCfgDir().empty()) return false;
  std::string host = getUserHost();
  host.erase(std::remove_if(host.begin(), host.end(), [](char ch) { return ch == '\n' || ch == '\r'; }),
             host.end());
  tUserInfo mine;
  mine.name = infoField(name, kInfoNameMax);
  mine.project = infoField(project, kInfoProjectMax);
  mine.group = infoField(group, kInfoGroupMax);
  mine.phase = phase;

  const std::string dat = cfgPath("userinfo.dat");
  tFileLock lock;
  if (!lock.acquireMs(cfgPath("userinfo.lock"), kUserInfoLockWaitMs)) {
    request().page.markup("<! userinfo.dat busy, choices not recorded >\n");
    return false;
  }
  std::string text, out;
  if (!readWholeFile(dat, &text)) {
    // Only a file that does not exist yet starts empty: one that cannot be
    // read would otherwise be replaced and every other machine's line lost.
    if (errno != ENOENT) return false;
  } else {
    forEachLine(text, text.size(), [&](std::string_view body, bool) {
      std::string addr;
      tUserInfo info;
      if (parseUserInfoLine(body, &addr, &info) && addr != host) out += infoLine(addr, info);
    });
  }
  out += infoLine(host, mine);

  if (!replaceFile(dat, out, 0644)) return false;
  ListCache& c = lists();
  c.userInfoLoaded = true;
  c.hasUserInfo = true;
  c.userInfo = mine;
  return true;
}

bool setUserName(const std::string& name) {
  const tUserInfo* info = getUserInfo();
  if (!info) return setUserInfo(name, " ", " ", -1);
  const tUserInfo keep = *info;
  return setUserInfo(name, keep.project, keep.group, keep.phase);
}

// ===========================================================================
// Language table and names
// ===========================================================================
//
// "<CONFIGDIR>/langue.<code>": lines "number,text". The text runs from the
// first comma to the line end (a carriage return before the line feed is
// dropped, blanks after the comma are kept). Lines not starting with a
// number greater than 0 followed by a comma are comments. A number given
// twice takes its last line.

namespace {

// The leading number of a language line, read as "%d," would read it:
// blanks first, an optional sign, digits, then the comma right away.
bool langueNumber(std::string_view line, int* num, size_t* textStart) {
  size_t i = 0;
  while (i < line.size() && isWordSpace(line[i])) ++i;
  bool neg = false;
  if (i < line.size() && (line[i] == '-' || line[i] == '+')) neg = line[i++] == '-';
  const size_t digits = i;
  long long v = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    v = v * 10 + (line[i++] - '0');
    if (v > INT_MAX) return false;
  }
  if (i == digits || neg || v <= 0) return false;
  if (i >= line.size() || line[i] != ',') return false;
  *num = static_cast<int>(v);
  *textStart = i + 1;
  return true;
}

std::string langueCode() {
  const std::string value = getCfgKey("LANGUAGE");
  size_t i = 0;
  while (i < value.size() && isBlankOrTab(value[i])) ++i;
  size_t j = i;
  while (j < value.size() && !isWordSpace(value[j])) ++j;
  return j > i ? value.substr(i, j - i) : "FR";
}

void fillNames(std::vector<std::string>& names, bool& filled, int base, int count) {
  if (filled) return;
  filled = true;
  names.clear();
  for (int i = 0; i < count; ++i) names.push_back(langue(base + i));
}

}  // namespace

bool initLangue() {
  ListCache& c = lists();
  // Texts handed out live for the request: a loaded table is never replaced.
  if (c.langueLoaded) return true;
  const std::string path = getCfgDir() + "/langue." + langueCode();
  std::string text;
  if (!readWholeFile(path, &text)) {
    request().page.markup("<! langue file : ").text(path).markup(" >\n");
    return false;
  }
  c.langue.clear();
  forEachLine(text, text.size(), [&](std::string_view body, bool) {
    body = stripCR(body);
    if (body.size() > kLangueLineMax) body = body.substr(0, kLangueLineMax);
    int num;
    size_t start;
    if (langueNumber(body, &num, &start)) c.langue[num] = std::string(body.substr(start));
  });
  c.langueLoaded = true;
  return true;
}

const std::string& langue(int num) {
  ListCache& c = lists();
  if (!c.langueLoaded && !initLangue()) return emptyString();
  const auto it = c.langue.find(num);
  return it == c.langue.end() ? emptyString() : it->second;
}

const std::string& getStatusName(int st) {
  ListCache& c = lists();
  fillNames(c.statusNames, c.statusFilled, 200, 12);
  return st >= 0 && st < 12 ? c.statusNames[st] : emptyString();
}

const std::string& getSeverityName(int st) {
  ListCache& c = lists();
  fillNames(c.severityNames, c.severityFilled, 214, 5);
  return st >= 0 && st < 5 ? c.severityNames[st] : emptyString();
}

const std::string& getTypeName(int st) {
  ListCache& c = lists();
  fillNames(c.typeNames, c.typeFilled, 220, 3);
  return st >= 0 && st < 3 ? c.typeNames[st] : emptyString();
}

const char* getStatusShort(int st) {
  static const char* const kShort[kStatusCount] = {"N", "Obs", "A",  "O",  "C", "V",
                                                    "D", "NB",  "NR", "P", "Ab"};
  return st >= 0 && st < kStatusCount ? kShort[st] : "";
}

// The first word of each line of "impacts.cfg" that is neither empty nor a
// '#' comment names the impact of that rank.
const std::string& getImpactName(int impact) {
  ListCache& c = lists();
  if (!c.impactsLoaded) {
    c.impactsLoaded = true;
    std::string text;
    if (readWholeFile(cfgPath("impacts.cfg"), &text)) {
      forEachLine(text, kListLineMax, [&](std::string_view body, bool) {
        if (body.empty() || body[0] == '#' || c.impactNames.size() >= kMaxImpacts) return;
        size_t i = 0;
        while (i < body.size() && isWordSpace(body[i])) ++i;
        size_t j = i;
        while (j < body.size() && !isWordSpace(body[j])) ++j;
        if (j > i) c.impactNames.emplace_back(body.substr(i, j - i));
      });
    }
  }
  return impact >= 0 && static_cast<size_t>(impact) < c.impactNames.size() ? c.impactNames[impact]
                                                                          : emptyString();
}

void printErr(int num) { request().page.errorBox(langue(500), langue(num) + "\n"); }

// Text `num` is a format for one string. It comes from a file an
// administrator may have edited, so it is not handed to printf: a text
// with at most one "%s" and otherwise only "%%" is filled in here, any other
// text is shown as it stands. Text and argument are escaped alike (the
// argument may come from the request).
void printErr1(int num, const std::string& arg) {
  const std::string& fmt = langue(num);
  int strings = 0;
  bool valid = true;
  for (size_t i = 0; i < fmt.size() && valid; ++i) {
    if (fmt[i] != '%') continue;
    if (i + 1 >= fmt.size()) {
      valid = false;
    } else if (fmt[i + 1] == 's') {
      valid = ++strings <= 1;
      ++i;
    } else if (fmt[i + 1] == '%') {
      ++i;
    } else {
      valid = false;
    }
  }
  if (!valid) {
    request().page.errorBox(langue(500), fmt);
    return;
  }
  std::string message;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '%') {
      message += fmt[i + 1] == 's' ? arg : "%";
      ++i;
    } else {
      message += fmt[i];
    }
  }
  request().page.errorBox(langue(500), message);
}

// ===========================================================================
// Selection lists
// ===========================================================================
//
// The texts of the options come from the configuration files and are
// written as text (escaped); values from the request only decide which
// option is selected, except in the diagnostic comment of
// optionListSubProject. An option of a list file ends its line only when
// the line holds no ':' (the text up to the ':' is the option).

void optionList(const std::string& filename, const std::string& match) {
  const tFileSnap& s = fileSnap(filename);
  if (!s.ok) return;
  tPage& page = request().page;
  forEachLine(s.text, kListLineMax, [&](std::string_view body, bool lf) {
    if (body.empty() || body[0] == '#') return;
    const size_t colon = body.find(':');
    std::string text(body.substr(0, colon));
    if (colon == std::string_view::npos && lf) text += '\n';
    // Only the length of match is compared: "1.1" selects 1.10 too.
    const bool selected = text.compare(0, match.size(), match) == 0;
    if (selected)
      page.markup("<OPTION SELECTED> ");
    else
      page.markup("<OPTION> ");
    page.text(text);
  });
}

void optionListProject(const std::string& match) { optionList(cfgPath("project.cfg"), match); }

void optionListSubProject(const std::string& proj, const std::string& match) {
  const tCharList files = getCfgFileNames(proj, "subproject");
  tPage& page = request().page;
  page.markup("\n<! proj:").text(proj).markup(", match:").text(match);
  page.markup(", files.name:").text(files.empty() ? std::string() : files[0]).markup(">\n");
  for (const std::string& f : files) optionList(f, match);
}

void optionListProgram(const std::string& proj, const std::string& match) {
  for (const std::string& f : getCfgFileNames(proj, "program")) optionList(f, match);
}

void optionListVersion(const std::string& proj, const std::string& match) {
  for (const std::string& f : getCfgFileNames(proj, "version")) optionList(f, match);
}

void optionListDeadline(const std::string& proj, const std::string& match) {
  for (const std::string& f : getCfgFileNames(proj, "deadline")) optionList(f, match);
}

// Option values are letters, 'a' for the first counted line. Lines that
// begin with '#', a blank or a line feed are not counted.
void optionNumList(const std::string& fileName, int match) {
  const tFileSnap& s = fileSnap(cfgPath(fileName));
  if (!s.ok) return;
  tPage& page = request().page;
  int n = 0;
  forEachLine(s.text, kListLineMax, [&](std::string_view body, bool lf) {
    if (body.empty() || body[0] == '#' || body[0] == ' ') return;
    const size_t colon = body.find(':');
    std::string text(body.substr(0, colon));
    if (colon == std::string_view::npos && lf) text += '\n';
    const char letter = static_cast<char>('a' + n);
    if (n == match)
      page.markup("<OPTION SELECTED VALUE=\"");
    else
      page.markup("<OPTION VALUE=\"");
    page.attr(std::string(1, letter)).markup("\"> ").text(text).markup("\n");
    ++n;
  });
}

void optionListPhase(int match) { optionNumList("phase.cfg", match); }
void optionListImpact(int match) { optionNumList("impacts.cfg", match); }

namespace {

// <OPTION VALUE=n SELECTED > label\n, or without "SELECTED " (the blank
// before '>' stays).
void numberedOption(tPage& page, int value, bool selected, const std::string& label) {
  page.markup("<OPTION VALUE=").num(value).markup(" ");
  if (selected) page.markup("SELECTED ");
  page.markup("> ").text(label).markup("\n");
}

}  // namespace

void optionListSeverity(int match) {
  for (int i = 1; i <= 4; ++i)
    numberedOption(request().page, i, i == match, getSeverityName(i));
}

void optionListProblemType(int match) {
  for (int i = EVOLUTION; i <= ANOMALIE; ++i)
    numberedOption(request().page, i, i == match, getTypeName(i));
}

void optionListUsers(const std::string& proj, const std::string& match) {
  tPage& page = request().page;
  for (const std::string& path : getCfgFileNames(proj, "users"))
    for (const tUserEntry& u : userTable(path)) page.option(u.name, u.name == match);
}

namespace {

// Calls fn for every blank-separated word of text (cut to the line limit).
template <class F>
void forEachWord(std::string_view text, F fn) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isWordSpace(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !isWordSpace(text[i])) ++i;
    if (i > start) fn(text.substr(start, std::min(i - start, kListLineMax)));
  }
}

}  // namespace

// The deadlines that are not yet versions: the words of the project's
// deadline file, less those of its version files (read once per request).
void optionListExclDeadline(const std::string& proj) {
  ListCache& c = lists();
  auto it = c.versionWords.find(proj);
  if (it == c.versionWords.end()) {
    std::set<std::string> words;
    for (const std::string& path : getCfgFileNames(proj, "version")) {
      const tFileSnap& s = fileSnap(path);
      if (s.ok) forEachWord(s.text, [&](std::string_view w) { words.emplace(w); });
    }
    it = c.versionWords.emplace(proj, std::move(words)).first;
  }
  const tFileSnap& s = fileSnap(projectFile(proj, "deadline"));
  if (!s.ok) return;
  tPage& page = request().page;
  forEachWord(s.text, [&](std::string_view w) {
    if (w[0] == '#' || it->second.count(std::string(w))) return;
    page.option(w, false);
  });
}
