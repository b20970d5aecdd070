// tutils.cpp: the test book store (formats described in tutils.h).
#include "tutils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <tuple>
#include <vector>

#include "config.h"
#include "fileio.h"
#include "text.h"

namespace {

// A diagnostic line of the store in the page: "<!text>" and a line end.
void trace(const std::string& text) {
  traceComment(text);
  request().page.markup("\n");
}

// `text` as a line of a book file: line ends and zero bytes as blanks, at
// most width - 1 bytes, never half of a UTF-8 character.
std::string lineField(std::string_view text, size_t width) {
  std::string r = cutUtf8(text, width - 1);
  for (char& c : r)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  return r;
}

// The next line of `bytes` at `*pos`, without its line feed; a last line
// without line feed counts. False when no byte is left.
bool nextLine(std::string_view bytes, size_t* pos, std::string_view* line) {
  if (*pos >= bytes.size()) return false;
  const size_t lf = bytes.find('\n', *pos);
  const size_t end = lf == std::string_view::npos ? bytes.size() : lf;
  *line = bytes.substr(*pos, end - *pos);
  *pos = lf == std::string_view::npos ? bytes.size() : lf + 1;
  return true;
}

// The leading integer of a line, as atoi reads it (kept within int).
long lineNumber(std::string_view line) {
  const std::string s(line.substr(0, 40));
  const long v = strtol(s.c_str(), nullptr, 10);
  return std::clamp<long>(v, INT_MIN, INT_MAX);
}

// A folder name that stays one component of a path.
bool safeComponent(std::string_view s) {
  if (s.empty() || s == "." || s == "..") return false;
  for (const char c : s)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

// The letter of a phase in book paths: its configured letter, "_" without.
char phaseLetter(int phase) {
  const char c = getPhasePrefix(phase);
  return c ? c : '_';
}

// Creates `path` holding `text` only when no file has its name: the text is
// written to a temporary file, which is then linked to the name (link
// fails when the name is taken) and unlinked. False, errno set (EEXIST when
// taken), when nothing was created.
bool createExclusive(const std::string& path, std::string_view text) {
  const std::string tmp = writeTempFile(path, text);
  if (tmp.empty()) return false;
  if (::link(tmp.c_str(), path.c_str()) == 0) {
    ::unlink(tmp.c_str());
    return true;
  }
  int err = errno;
  if (err != EEXIST) {
    // A file system without hard links: the name is claimed by an empty
    // file made with O_EXCL, then the text is renamed over it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      if (commitFile(tmp, path)) return true;
      err = errno;
      ::unlink(path.c_str());
      errno = err;
      return false;
    }
    err = errno;
  }
  ::unlink(tmp.c_str());
  errno = err;
  return false;
}

std::string threeDigits(int num) { return strprintf("%03d", num); }

}  // namespace

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

std::string* testText(tTest& test, int i) {
  std::string* const texts[kTestTexts] = {&test.objectives, &test.environment, &test.prerequisite,
                                          &test.steps,      &test.expected,    &test.post,
                                          &test.notes};
  return texts[std::clamp(i, 0, kTestTexts - 1)];
}

const std::string& testText(const tTest& test, int i) {
  return *testText(const_cast<tTest&>(test), i);
}

const char* getTestResultName(int r) {
  static const char* const names[] = {"NOK", "OK", "NT", "NA", ""};
  return r >= 0 && r < 4 ? names[r] : names[4];
}

void initTestArgs(tTest* test, const std::string& proj, const std::string& sproj, int phase,
                  const std::string& mod, const std::string& step, int num) {
  test->project = proj;
  test->subProject = sproj;
  test->phase = phase;
  test->module = mod;
  test->step = step;
  test->number = num;
}

// ---------------------------------------------------------------------------
// Keys and directories
// ---------------------------------------------------------------------------

bool validBookKey(std::string_view key) {
  if (key.empty() || key[0] == ' ' || key.size() >= kTestNameSize) return false;
  for (const char c : key) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '.' || c == '/' || c == '\\' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool validCampaignName(std::string_view name) {
  if (name.empty() || name[0] == ' ' || name.size() > 200) return false;
  return safeComponent(name) && name.find('\x7f') == std::string_view::npos;
}

bool bookDirOk(const std::string& proj, const std::string& sproj, int phase) {
  if (!safeComponent(proj) || !isConfiguredProject(proj)) return false;
  if (phase < 0 || phase >= getPhaseCount()) return false;
  const char letter = phaseLetter(phase);
  if (letter == '.' || !safeComponent(std::string(1, letter))) return false;
  return safeComponent(getGroupPrefix(proj, sproj));
}

std::string getBookDir(const std::string& proj, const std::string& sproj, int phase) {
  if (!bookDirOk(proj, sproj, phase)) return std::string();
  return getDataDir() + "/Tests/" + proj + "/" + getGroupPrefix(proj, sproj) + "/" +
         phaseLetter(phase) + "/Book/";
}

int createBookDir(const std::string& dir) {
  std::string parent = dir;
  while (!parent.empty() && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? std::string() : parent.substr(0, slash);
  struct stat st;
  if (parent.size() > 1 && ::stat(parent.c_str(), &st) != 0 && errno == ENOENT)
    createBookDir(parent);
  const int rc = ::mkdir(dir.c_str(), 0777);
  const int err = errno;
  ::chmod(dir.c_str(), 0755);
  if (rc == 0 || err == EEXIST) return 0;
  errno = err;
  return -1;
}

std::string getModuleFileName(const std::string& proj, const std::string& sproj, int phase,
                              const std::string& mod) {
  const std::string b = getBookDir(proj, sproj, phase);
  if (b.empty() || !validBookKey(mod)) return std::string();
  return b + "mod." + mod;
}

std::string getStepFileName(const std::string& proj, const std::string& sproj, int phase,
                            const std::string& mod, const std::string& step) {
  const std::string b = getBookDir(proj, sproj, phase);
  if (b.empty() || !validBookKey(mod) || !validBookKey(step)) return std::string();
  return b + "step." + mod + "." + step;
}

std::string getTestFileName(const tTest& test, int num) {
  const std::string b = getBookDir(test.project, test.subProject, test.phase);
  if (b.empty() || !validBookKey(test.module) || !validBookKey(test.step) || num < 0)
    return std::string();
  return b + "test." + test.module + "." + test.step + "." + threeDigits(num);
}

std::string getCampaignDir(const std::string& proj, const std::string& sproj, int phase,
                           const std::string& camp) {
  const std::string b = getBookDir(proj, sproj, phase);
  if (b.empty() || !validCampaignName(camp)) return std::string();
  return b + "test/C." + camp;
}

std::string getPassFileName(const tTest& test, const std::string& camp) {
  const std::string dir = getCampaignDir(test.project, test.subProject, test.phase, camp);
  if (dir.empty() || !validBookKey(test.module) || !validBookKey(test.step) || test.number < 0)
    return std::string();
  return dir + "/" + test.module + "." + test.step + "." + threeDigits(test.number);
}

std::string testSubject(const tTest& test) {
  if (!bookDirOk(test.project, test.subProject, test.phase)) return std::string();
  return test.project + "/" + getGroupPrefix(test.project, test.subProject) + "/" +
         phaseLetter(test.phase) + "/Book/test." + test.module + "." + test.step + "." +
         threeDigits(test.number);
}

// ---------------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------------

tCharList getFileList(const std::string& proj, const std::string& sproj, int phase,
                      const std::string& prefix, const std::string& sub) {
  tCharList list;
  std::string dir = getBookDir(proj, sproj, phase);
  if (dir.empty()) return list;
  if (!sub.empty()) {
    if (!safeComponent(sub)) return list;
    dir += sub + "/";
  }
  trace("scan Dir:" + dir);
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    perror(("scandir(" + dir + ")").c_str());
    return list;
  }
  const std::string head = prefix + ".";
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name(e->d_name);
    if (name.empty() || name[0] == '.') continue;
    // Only the entries listed are traced: a book directory holds every
    // test file of the book, and a page lists it once per step.
    if (name.size() > head.size() && name.compare(0, head.size(), head) == 0) {
      list.emplace_back(name.substr(head.size()));
      trace(" scan " + std::string(name) + " , found 0");
    }
  }
  ::closedir(d);
  std::sort(list.begin(), list.end());
  return list;
}

namespace {

// The entries of a listing that name what they should: files put there by
// hand ("mod.a.b", "test.M.S.x") are left out.
tCharList keep(tCharList list, bool (*valid)(std::string_view)) {
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::string& s) { return !valid(s); }),
             list.end());
  return list;
}

bool validNumber(std::string_view s) {
  if (s.size() < 3 || s.size() > 9) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

tCharList getModules(const std::string& proj, const std::string& sproj, int phase) {
  return keep(getFileList(proj, sproj, phase, "mod"), validBookKey);
}

tCharList getSteps(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& mod) {
  if (!validBookKey(mod)) return {};
  return keep(getFileList(proj, sproj, phase, "step." + mod), validBookKey);
}

tCharList getTests(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& mod, const std::string& step) {
  if (!validBookKey(mod) || !validBookKey(step)) return {};
  return keep(getFileList(proj, sproj, phase, "test." + mod + "." + step), validNumber);
}

tCharList getCampaigns(const std::string& proj, const std::string& sproj, int phase) {
  return getFileList(proj, sproj, phase, "C", "test");
}

// ---------------------------------------------------------------------------
// Modules and steps
// ---------------------------------------------------------------------------

namespace {

std::string entryBytes(const std::string& title, const std::string& desc) {
  return lineField(title, kTestTitleSize) + "\n" + desc + "\n";
}

std::string bookDirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool readBookEntry(const std::string& path, std::string* title, std::string* desc) {
  std::string bytes;
  if (path.empty() || !readWholeFile(path, &bytes)) return false;
  const size_t lf = bytes.find('\n');
  *title = cutUtf8(std::string_view(bytes).substr(0, lf), kTestTitleSize - 1);
  desc->clear();
  if (lf == std::string::npos) return true;
  std::string_view rest = std::string_view(bytes).substr(lf + 1);
  // The line feed that the writer adds after the description is not part
  // of it.
  if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
  const size_t start = rest.find_first_not_of(" \t\r\n");
  if (start != std::string_view::npos) desc->assign(rest.substr(start));
  return true;
}

bool writeBookEntry(const std::string& path, const std::string& title, const std::string& desc) {
  if (path.empty()) return false;
  createBookDir(bookDirOf(path));
  return replaceFile(path, entryBytes(title, desc));
}

bool createBookEntry(const std::string& path, const std::string& title, const std::string& desc) {
  if (path.empty()) {
    errno = EINVAL;
    return false;
  }
  createBookDir(bookDirOf(path));
  return createExclusive(path, entryBytes(title, desc));
}

std::string getModuleName(const std::string& proj, const std::string& sproj, int phase,
                          const std::string& mod) {
  std::string title, desc;
  readBookEntry(getModuleFileName(proj, sproj, phase, mod), &title, &desc);
  return title;
}

std::string getStepName(const std::string& proj, const std::string& sproj, int phase,
                        const std::string& mod, const std::string& step) {
  std::string title, desc;
  readBookEntry(getStepFileName(proj, sproj, phase, mod, step), &title, &desc);
  return title;
}

bool removeBookFile(const std::string& path) {
  if (path.empty()) {
    errno = EINVAL;
    return false;
  }
  return ::unlink(path.c_str()) == 0;
}

bool bookFileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------
// Tests
// ---------------------------------------------------------------------------

void appendLV(std::string* out, std::string_view text) {
  *out += std::to_string(text.size());
  *out += ' ';
  out->append(text);
}

void readLV(std::string_view bytes, size_t* pos, std::string* text) {
  unsigned long long n = 0;
  int digits = 0;
  while (*pos < bytes.size()) {
    const char c = bytes[(*pos)++];
    if (c < '0' || c > '9' || digits == 19) break;  // the separator is consumed
    n = n * 10 + static_cast<unsigned long long>(c - '0');
    ++digits;
  }
  const size_t left = bytes.size() - *pos;
  const size_t take = n < left ? static_cast<size_t>(n) : left;
  text->assign(bytes.substr(*pos, take));
  *pos += take;
}

std::string formatTest(const tTest& test) {
  std::string out;
  out += std::to_string(test.number) + "\n";
  out += lineField(test.author, kTestUserSize) + "\n";
  out += std::to_string(test.creationDate) + "\n";
  out += lineField(test.project, kTestNameSize) + "\n";
  out += lineField(test.subProject, kTestNameSize) + "\n";
  out += std::to_string(test.phase) + "\n";
  out += lineField(test.module, kTestNameSize) + "\n";
  out += lineField(test.step, kTestNameSize) + "\n";
  out += lineField(test.title, kTestTitleSize) + "\n";
  out += std::to_string(test.impact) + "\n";
  const std::string ref = lineField(test.reference, kTestTitleSize);
  out += (ref.empty() ? std::string(" ") : ref) + "\n";
  for (int i = 0; i < kTestTexts; ++i) appendLV(&out, testText(test, i));
  return out;
}

void parseTest(std::string_view bytes, tTest* test) {
  size_t pos = 0;
  std::string_view line;
  auto text = [&](std::string* field, size_t width) {
    if (nextLine(bytes, &pos, &line)) *field = cutUtf8(line, width - 1);
  };
  auto number = [&](int* field) {
    if (nextLine(bytes, &pos, &line)) *field = static_cast<int>(lineNumber(line));
  };
  number(&test->number);
  text(&test->author, kTestUserSize);
  if (nextLine(bytes, &pos, &line))
    test->creationDate = strtol(std::string(line.substr(0, 40)).c_str(), nullptr, 10);
  text(&test->project, kTestNameSize);
  text(&test->subProject, kTestNameSize);
  number(&test->phase);
  text(&test->module, kTestNameSize);
  text(&test->step, kTestNameSize);
  text(&test->title, kTestTitleSize);
  number(&test->impact);
  text(&test->reference, kTestTitleSize);
  for (int i = 0; i < kTestTexts; ++i) readLV(bytes, &pos, testText(*test, i));
}

namespace {

// The identity of a test file from its path: ".../<project>/<prefix>/
// <letter>/Book/test.<module>.<step>.<number>". Parts that do not read
// leave the record's fields as they were.
void identityFromPath(const std::string& path, tTest* test) {
  std::vector<std::string_view> parts;
  std::string_view p(path);
  while (!p.empty()) {
    const size_t slash = p.find('/');
    const std::string_view part = p.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    p = slash == std::string_view::npos ? std::string_view() : p.substr(slash + 1);
  }
  if (parts.empty()) return;
  std::string_view file = parts.back();
  if (file.size() > 5) {
    file.remove_prefix(5);  // "test."
    const size_t d1 = file.find('.');
    const size_t d2 = d1 == std::string_view::npos ? d1 : file.find('.', d1 + 1);
    if (d1 != std::string_view::npos && d1 > 0) test->module = std::string(file.substr(0, d1));
    if (d2 != std::string_view::npos && d2 > d1 + 1) {
      test->step = std::string(file.substr(d1 + 1, d2 - d1 - 1));
      const std::string num(file.substr(d2 + 1));
      char* end = nullptr;
      const long n = strtol(num.c_str(), &end, 10);
      if (end != num.c_str() && n >= 0 && n <= INT_MAX) test->number = static_cast<int>(n);
    }
  }
  const size_t n = parts.size();
  if (n >= 5 && parts[n - 2] == "Book" && !parts[n - 3].empty()) {
    const std::string project(parts[n - 5]);
    const char letter = parts[n - 3][0];
    int phase = getPrefixPhasePrefix(letter);
    if (phase >= getPhaseCount() && letter == '_') {
      for (int i = 0; i < getPhaseCount(); ++i)
        if (getPhasePrefix(i) == '\0') phase = i;
    }
    test->phase = phase;
    test->project = project;
    test->subProject = getPrefixGroup(project, std::string(parts[n - 4]));
  }
}

}  // namespace

int getNewTestNumber(const tTest& test) {
  for (int n = 0; n < INT_MAX; ++n) {
    const std::string path = getTestFileName(test, n);
    if (path.empty()) return n;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return n;
    ::close(fd);
  }
  return INT_MAX;
}

bool testCreate(tTest* test) {
  const std::string dir = getBookDir(test->project, test->subProject, test->phase);
  if (dir.empty() || getTestFileName(*test, 0).empty()) {
    errno = EINVAL;
    return false;
  }
  createBookDir(dir);
  // Two requests may both find the same number free: the second one to
  // link its file finds it taken and tries the next one.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    test->number = getNewTestNumber(*test);
    const std::string path = getTestFileName(*test, test->number);
    if (createExclusive(path, formatTest(*test))) {
      trace(" " + path + " saved ");
      return true;
    }
    if (errno != EEXIST) {
      trace(" W unable to open file " + path);
      return false;
    }
  }
  return false;
}

bool testWrite(const tTest& test) {
  const std::string path = getTestFileName(test, test.number);
  if (path.empty() || !replaceFile(path, formatTest(test))) {
    trace(" W unable to open file " + path);
    return false;
  }
  trace(" " + path + " saved ");
  return true;
}

bool testRead(tTest* test) { return testFileRead(test, getTestFileName(*test, test->number)); }

bool testFileRead(tTest* test, const std::string& path) {
  std::string bytes;
  if (path.empty() || !readWholeFile(path, &bytes)) {
    trace(" R unable to open file " + path);
    return false;
  }
  parseTest(bytes, test);
  identityFromPath(path, test);
  return true;
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

std::string formatPass(const tPassTest& result) {
  std::string out;
  out += lineField(result.tester, kTestUserSize) + "\n";
  out += std::to_string(result.date) + "\n";
  out += lineField(result.version, kTestVersionSize) + "\n";
  out += std::to_string(result.result) + "\n";
  appendLV(&out, result.resText);
  appendLV(&out, result.history);
  for (const std::string& name : result.fft) {
    const std::string n = lineField(name, kReportNameSize);
    if (!n.empty()) out += n + "\n";
  }
  return out;
}

void parsePass(std::string_view bytes, tPassTest* result) {
  size_t pos = 0;
  std::string_view line;
  if (nextLine(bytes, &pos, &line)) result->tester = cutUtf8(line, kTestUserSize - 1);
  if (nextLine(bytes, &pos, &line))
    result->date = strtol(std::string(line.substr(0, 40)).c_str(), nullptr, 10);
  if (nextLine(bytes, &pos, &line)) result->version = cutUtf8(line, kTestVersionSize - 1);
  if (nextLine(bytes, &pos, &line)) result->result = static_cast<int>(lineNumber(line));
  readLV(bytes, &pos, &result->resText);
  readLV(bytes, &pos, &result->history);
  result->fft.clear();
  while (nextLine(bytes, &pos, &line))
    if (!line.empty()) result->fft.push_back(cutUtf8(line, kReportNameSize - 1));
  const time_t t = static_cast<time_t>(result->date);
  struct tm tm;
  result->day = localtime_r(&t, &tm) ? strprintf("%02d/%02d", tm.tm_mday, tm.tm_mon + 1)
                                     : std::string();
  result->recorded = true;
}

void testResultRead(const tTest& test, const std::string& camp, tPassTest* result) {
  const std::string path = getPassFileName(test, camp);
  trace(" " + path + " ");
  result->fft.clear();
  std::string bytes;
  if (path.empty() || !readWholeFile(path, &bytes)) {
    result->tester = result->day = result->version = kNotPassed;
    result->result = E_NT;
    result->recorded = false;
    return;
  }
  parsePass(bytes, result);
}

bool testResultWrite(const tTest& test, const std::string& camp, const tPassTest& result) {
  const std::string path = getPassFileName(test, camp);
  return !path.empty() && replaceFile(path, formatPass(result));
}

bool testHasResult(const tTest& test, const std::string& camp) {
  return bookFileExists(getPassFileName(test, camp));
}

bool lockTestResult(tFileLock* lock, const tTest& test, const std::string& camp, int seconds) {
  const std::string dir = getCampaignDir(test.project, test.subProject, test.phase, camp);
  if (dir.empty() || getPassFileName(test, camp).empty()) return false;
  return lock->acquire(dir + "/." + test.module + "." + test.step + "." +
                           threeDigits(test.number) + ".lock",
                       seconds);
}

bool createCampaign(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& camp) {
  const std::string dir = getCampaignDir(proj, sproj, phase, camp);
  return !dir.empty() && createBookDir(dir) == 0;
}

// ---------------------------------------------------------------------------
// Campaigns
// ---------------------------------------------------------------------------

bool campaignExists(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& camp) {
  const std::string dir = getCampaignDir(proj, sproj, phase, camp);
  struct stat st;
  return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The entries of a book's folder, each name split at its dots: "mod.M",
// "step.M.S" and "test.M.S.nnn" with keys and numbers that pages make, in
// byte order.
struct tBookScan {
  tCharList mods;
  std::vector<std::pair<std::string, std::string>> steps;
  std::vector<std::tuple<std::string, std::string, std::string>> tests;
};

bool scanBook(const std::string& proj, const std::string& sproj, int phase, tBookScan* scan) {
  const std::string dir = getBookDir(proj, sproj, phase);
  if (dir.empty()) return false;
  trace("scan Dir:" + dir);
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    perror(("scandir(" + dir + ")").c_str());
    return false;
  }
  std::vector<std::string_view> parts;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name(e->d_name);
    if (name.empty() || name[0] == '.') continue;
    parts.clear();
    for (size_t start = 0;;) {
      const size_t dot = name.find('.', start);
      parts.push_back(name.substr(start, dot == std::string_view::npos ? dot : dot - start));
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
    if (parts[0] == "mod" && parts.size() == 2 && validBookKey(parts[1])) {
      scan->mods.emplace_back(parts[1]);
    } else if (parts[0] == "step" && parts.size() == 3 && validBookKey(parts[1]) &&
               validBookKey(parts[2])) {
      scan->steps.emplace_back(parts[1], parts[2]);
    } else if (parts[0] == "test" && parts.size() == 4 && validBookKey(parts[1]) &&
               validBookKey(parts[2]) && validNumber(parts[3])) {
      scan->tests.emplace_back(parts[1], parts[2], parts[3]);
    }
  }
  ::closedir(d);
  std::sort(scan->mods.begin(), scan->mods.end());
  std::sort(scan->steps.begin(), scan->steps.end());
  std::sort(scan->tests.begin(), scan->tests.end());
  return true;
}

// The steps of module `mod` with their tests, from a scan.
std::vector<tBookStep> stepsOf(const tBookScan& scan, const std::string& mod) {
  std::vector<tBookStep> steps;
  auto s = std::lower_bound(scan.steps.begin(), scan.steps.end(),
                            std::make_pair(mod, std::string()));
  for (; s != scan.steps.end() && s->first == mod; ++s) {
    tBookStep st;
    st.key = s->second;
    auto t = std::lower_bound(scan.tests.begin(), scan.tests.end(),
                              std::make_tuple(mod, st.key, std::string()));
    for (; t != scan.tests.end() && std::get<0>(*t) == mod && std::get<1>(*t) == st.key; ++t)
      st.tests.push_back(std::get<2>(*t));
    steps.push_back(std::move(st));
  }
  return steps;
}

}  // namespace

std::vector<tBookModule> getBookTree(const std::string& proj, const std::string& sproj,
                                     int phase) {
  std::vector<tBookModule> tree;
  tBookScan scan;
  if (!scanBook(proj, sproj, phase, &scan)) return tree;
  for (const std::string& mod : scan.mods) tree.push_back(tBookModule{mod, stepsOf(scan, mod)});
  return tree;
}

std::vector<tBookStep> getModuleTree(const std::string& proj, const std::string& sproj,
                                     int phase, const std::string& mod) {
  tBookScan scan;
  if (!validBookKey(mod) || !scanBook(proj, sproj, phase, &scan)) return {};
  return stepsOf(scan, mod);
}
