// utils.cpp: the report store.
//
// Report file layout (every line ends with a line feed):
//   the index line of the report (27 fields separated by '|')
//   per entry:  the separator of its kind (23 characters)
//               "title|date|submitter|N"
//               N bytes of text, whole lines
//   "=-=-=-=-=-=-=-=-=-=-=-="  then the byte count of the history, then the
//               history text to the end of the file
//
// A text line that reads as a separator (or a tail of one, two characters or
// more), possibly followed by blanks, is stored with one more blank so that
// it cannot end its entry; the reader removes exactly that blank. The byte
// count N counts the stored bytes.
#include "utils.h"

#include <functional>

#include <dirent.h>
#ifdef __SSE2__
#include <immintrin.h>
#endif
#if __has_include(<sys/platform/x86.h>)
// The C library's view of the processor (its header spells bool the C way,
// which clang does not take in C++).
#ifdef __clang__
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#else
#include <sys/platform/x86.h>
#endif
#endif
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <unordered_map>
#include <random>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "config.h"
#include "html.h"
#include "args.h"
#include "text.h"

const char* const sep[3] = {
    "=!=!=!=!=!=!=!=!=!=!=!=",
    "=|=|=|=|=|=|=|=|=|=|=|=",
    "=-=-=-=-=-=-=-=-=-=-=-=",
};

namespace {

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// "<data directory>/<name>", without doubling the data directory's '/'.
std::string dataPath(const std::string& name) {
  const std::string& dir = getDataDir();
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// The length of `text` cut to fit a field of `width` (at most width - 1
// bytes, never half of a UTF-8 character).
size_t cutLength(std::string_view text, size_t width) { return utf8CutLength(text, width - 1); }

inline void setText(std::string& dst, std::string_view src, size_t width) {
  dst.clear();  // clear and append: cheaper than assign, keeps the capacity
  dst.append(src.data(), src.size() < width ? src.size() : cutLength(src, width));
}

// Appends a text field: cut to its width, '|' replaced by the stand-in,
// line ends and zero bytes by blanks.
void appendField(std::string& out, std::string_view text, size_t width) {
  text = text.substr(0, cutLength(text, width));
  const size_t start = out.size();
  out.append(text.data(), text.size());
  for (size_t i = start; i < out.size(); ++i) {
    char& c = out[i];
    if (c == '|') c = kBarStandIn;
    else if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  }
}

template <class T>
void appendNumber(std::string& out, T value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

char letter(int value) { return value >= 0 && value < 26 ? static_cast<char>('a' + value) : 'a'; }

// Reads a number the way "%ld" does: leading white space, a sign, digits; the
// value saturates instead of overflowing. False when no digit was read (the
// target is then left alone); *whole tells whether the field was nothing else.
bool parseLong(std::string_view s, long* out, bool* whole = nullptr) {
  // The usual field: a few digits and nothing else.
  if (!s.empty() && s.size() < 19) {
    long v = 0;
    size_t k = 0;
    while (k < s.size() && static_cast<unsigned char>(s[k] - '0') < 10) v = v * 10 + (s[k++] - '0');
    if (k == s.size()) {
      if (whole) *whole = true;
      *out = v;
      return true;
    }
  }
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  const size_t digits = i;
  unsigned long long v = 0;
  const unsigned long long limit = neg ? static_cast<unsigned long long>(LONG_MAX) + 1 : LONG_MAX;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
    if (v > limit) v = limit;
    ++i;
  }
  if (i == digits) {
    if (whole) *whole = false;
    return false;
  }
  if (whole) *whole = i == s.size();
  *out = neg ? (v == limit ? LONG_MIN : -static_cast<long>(v)) : static_cast<long>(v);
  return true;
}

bool parseInt(std::string_view s, int* out, bool* whole = nullptr) {
  long v;
  if (!parseLong(s, &v, whole)) return false;
  *out = static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
  return true;
}

// A one-letter enumeration field; the value is taken only when in range.
template <class E>
bool parseLetter(std::string_view s, int max, E* out) {
  if (s.empty()) return false;
  const int v = static_cast<unsigned char>(s[0]) - 'a';
  if (v < 0 || v > max) return false;
  *out = static_cast<E>(v);
  return s.size() == 1;
}

// ---------------------------------------------------------------------------
// Buffered reading
// ---------------------------------------------------------------------------

// Refills the buffer when every byte has been handed out; false at end of file.
bool fill(tFileBuf* f) {
  if (f->bufIndex < f->bufLen) return true;
  f->bufIndex = 0;
  f->bufLen = 0;
  if (f->fd < 0 || f->mode != 'r') return false;
  ssize_t n;
  do n = ::read(f->fd, f->buffer.get(), static_cast<size_t>(f->bufMax));
  while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  f->bufLen = static_cast<int>(n);
  return true;
}

// The next line (without its line feed) as a view, into the block buffer
// when the line lies in it, else into `scratch`; valid until the next read.
// Lines longer than maxLen come in pieces; a last line without line feed is
// not handed out. False at end of file.
bool nextLine(tFileBuf* f, std::string& scratch, size_t maxLen, std::string_view* out) {
  bool inScratch = false;
  scratch.clear();
  for (;;) {
    if (!fill(f)) return false;  // also drops a last line without line feed
    const char* p = f->buffer.get() + f->bufIndex;
    const size_t avail = static_cast<size_t>(f->bufLen - f->bufIndex);
    const size_t have = inScratch ? scratch.size() : 0;
    const size_t room = maxLen - have;
    const size_t look = std::min(avail, room);
    if (const void* lf = memchr(p, '\n', look)) {
      const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - p);
      f->bufIndex += static_cast<int>(len + 1);
      if (!inScratch) {
        *out = std::string_view(p, len);
      } else {
        scratch.append(p, len);
        *out = scratch;
      }
      return true;
    }
    scratch.append(p, look);
    inScratch = true;
    f->bufIndex += static_cast<int>(look);
    if (look < room) continue;  // the line goes on in the next fill
    // A full piece: a line feed right behind it belongs to it; the end of the
    // file right behind it makes it a last line without line feed.
    if (!fill(f)) return false;
    if (f->buffer[f->bufIndex] == '\n') ++f->bufIndex;
    *out = scratch;
    return true;
  }
}

std::string_view cutAtZero(std::string_view s) {
  const void* z = memchr(s.data(), '\0', s.size());
  return z ? s.substr(0, static_cast<size_t>(static_cast<const char*>(z) - s.data())) : s;
}

}  // namespace

std::string storedField(std::string_view text, size_t width) {
  std::string out;
  appendField(out, text, width);
  return out;
}

// ---------------------------------------------------------------------------
// Buffered file access
// ---------------------------------------------------------------------------

tFileBuf::~tFileBuf() { closeBuf(this); }

int openBufFd(tFileBuf* fbuf, int fd, char mode, int len) {
  closeBuf(fbuf);
  if (mode != 'r' && mode != 'w') {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  fbuf->mode = mode;
  fbuf->bufLen = 0;
  fbuf->bufIndex = 0;
  fbuf->bufMax = len > 0 ? len : 1;
  fbuf->fd = fd;
  if (fd < 0) return 0;
  fbuf->buffer.reset(new char[static_cast<size_t>(fbuf->bufMax)]);
  return 1;
}

int openBuf(tFileBuf* fbuf, const std::string& name, char mode, int len) {
  int fd = -1;
  if (mode == 'r')
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  else if (mode == 'w')
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return openBufFd(fbuf, fd, mode, len);
}

int flushBuf(tFileBuf* fbuf) {
  if (fbuf->fd < 0 || fbuf->mode != 'w' || fbuf->bufLen == 0) return 0;
  const size_t n = static_cast<size_t>(fbuf->bufLen);
  const size_t done = writeBytes(fbuf->fd, fbuf->buffer.get(), n);
  if (done < n) {
    // Keep what was not written, so that a retry does not write bytes twice.
    memmove(fbuf->buffer.get(), fbuf->buffer.get() + done, n - done);
    fbuf->bufLen = static_cast<int>(n - done);
    fbuf->bufIndex = fbuf->bufLen;
    return -1;
  }
  fbuf->bufLen = 0;
  fbuf->bufIndex = 0;
  return 0;
}

int syncBuf(tFileBuf* fbuf) {
  if (fbuf->fd < 0) return -1;
  if (flushBuf(fbuf) < 0) return -1;
  return ::fsync(fbuf->fd) == 0 ? 0 : -1;
}

int closeBuf(tFileBuf* fbuf) {
  int rc = 1;
  if (fbuf->fd >= 0) {
    if (fbuf->mode == 'w' && flushBuf(fbuf) < 0) rc = -1;
    if (::close(fbuf->fd) < 0) rc = -1;
  }
  fbuf->fd = -1;
  fbuf->buffer.reset();
  fbuf->bufLen = 0;
  fbuf->bufIndex = 0;
  fbuf->bufMax = 0;
  return rc;
}

int writeFileBuf(tFileBuf* fbuf, const char* from, int length) {
  if (fbuf->fd < 0 || fbuf->mode != 'w' || length <= 0) return 0;
  if (fbuf->bufLen + static_cast<long>(length) > fbuf->bufMax) {
    if (flushBuf(fbuf) < 0) return -1;
    if (length > fbuf->bufMax) {
      const size_t done = writeBytes(fbuf->fd, from, static_cast<size_t>(length));
      return done == static_cast<size_t>(length) ? length : -1;
    }
  }
  memcpy(fbuf->buffer.get() + fbuf->bufLen, from, static_cast<size_t>(length));
  fbuf->bufLen += length;
  fbuf->bufIndex = fbuf->bufLen;
  return length;
}

int writeFileBuf(tFileBuf* fbuf, std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return -1;
  return writeFileBuf(fbuf, text.data(), static_cast<int>(text.size()));
}

int readFileLine(tFileBuf* fbuf, char* buffer) {
  std::string scratch;
  std::string_view line;
  if (!nextLine(fbuf, scratch, kLinePiece, &line)) {
    buffer[0] = '\0';
    return -1;
  }
  line = cutAtZero(line);
  memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return static_cast<int>(line.size());
}

int readFileLine(tFileBuf* fbuf, std::string& line, size_t maxLen) {
  std::string_view view;
  if (maxLen == 0) maxLen = 1;
  if (!nextLine(fbuf, line, maxLen, &view)) {
    line.clear();
    return -1;
  }
  view = cutAtZero(view);
  if (view.data() != line.data()) line.assign(view.data(), view.size());
  else line.resize(view.size());
  return static_cast<int>(std::min<size_t>(line.size(), INT_MAX));
}

int readFileBuf(tFileBuf* fbuf, char* buffer, int length) {
  if (length < 0) return -1;
  int got = 0;
  while (got < length) {
    if (!fill(fbuf)) {
      buffer[got] = '\0';
      return -1;
    }
    const int n = std::min(length - got, fbuf->bufLen - fbuf->bufIndex);
    memcpy(buffer + got, fbuf->buffer.get() + fbuf->bufIndex, static_cast<size_t>(n));
    got += n;
    fbuf->bufIndex += n;
  }
  buffer[length] = '\0';
  if (fill(fbuf)) ++fbuf->bufIndex;  // the separator after the block
  return length;
}

// ---------------------------------------------------------------------------
// The index line
// ---------------------------------------------------------------------------

namespace {




// The key of an index line as a parse into a fresh record would give it,
// without building the record: only fields 2, 3, 7 and 8 are looked at.
struct tLineKey {
  std::string_view project, subProject;
  int phase = 0;
  int number = 0;
};

tLineKey lineKey(std::string_view line) {
  tSplitLine s;
  splitIndexLine(line, &s, 8, true);
  tLineKey k;
  const size_t n = std::min<size_t>(s.count, 8);
  if (n > 1) parseInt(s.fields[1], &k.number);
  if (n > 2) {
    tPhase ph = SPECIFICATION;
    parseLetter(s.fields[2], 15, &ph);
    k.phase = ph;
  }
  if (n > 6) k.project = s.fields[6].substr(0, cutLength(s.fields[6], kProjectSize));
  if (n > 7) k.subProject = s.fields[7].substr(0, cutLength(s.fields[7], kProjectSize));
  return k;
}

bool sameKey(const tLineKey& a, const tLineKey& b) {
  return a.number == b.number && a.phase == b.phase && a.project == b.project &&
         a.subProject == b.subProject;
}

}  // namespace

std::string writeIndexToStr(const tHeader& h) {
  std::string s;
  s.reserve(256 + h.title.size());
  appendField(s, h.prefix, kPrefixSize);
  s += '|';
  appendNumber(s, h.number);
  s += '|';
  s += letter(h.phase);
  s += '|';
  appendNumber(s, h.date);
  s += '|';
  appendField(s, h.submitter, kUserSize);
  s += '|';
  s += letter(h.severity);
  s += '|';
  appendField(s, h.project, kProjectSize);
  s += '|';
  appendField(s, h.subProject, kProjectSize);
  s += '|';
  appendField(s, h.module, kModuleSize);
  s += '|';
  appendField(s, h.version, kVersionSize);
  s += '|';
  appendField(s, h.expvers, kVersionSize);
  s += '|';
  s += letter(h.status);
  s += '|';
  appendNumber(s, h.postponeDate);
  s += '|';
  appendField(s, h.assignedTo, kUserSize);
  s += '|';
  appendField(s, h.corrector, kUserSize);
  s += '|';
  appendNumber(s, h.correctDate);
  s += '|';
  appendField(s, h.correctVersion, kVersionSize);
  s += '|';
  appendField(s, h.verifiedBy, kUserSize);
  s += '|';
  appendNumber(s, h.verifyDate);
  s += '|';
  appendField(s, h.verifyVersion, kVersionSize);
  s += '|';
  s += letter(h.fileType);
  s += '|';
  s += letter(h.impact);
  s += '|';
  appendField(s, h.mdaPda, kMdaPdaSize);
  s += '|';
  appendField(s, h.testref, kTestrefSize);
  s += '|';
  appendNumber(s, h.timeSpent);
  s += '|';
  appendNumber(s, h.timeEstimate);
  s += '|';
  appendField(s, h.title, kTitleSize);
  s += '\n';
  return s;
}

std::string writeIndexToReadableStr(const tHeader& h) {
  std::string s;
  auto text = [&](std::string_view t, size_t width) {
    appendField(s, t, width);
    s += '|';
  };
  auto name = [&](const std::string& t) { text(t, t.size() + 1); };
  text(h.prefix, kPrefixSize);
  s += strprintf("%05d|", h.number);
  name(getPhaseName(h.phase));
  name(time2char(h.date));
  text(h.submitter, kUserSize);
  name(getSeverityName(h.severity));
  text(h.project, kProjectSize);
  text(h.subProject, kProjectSize);
  text(h.module, kModuleSize);
  text(h.version, kVersionSize);
  text(h.expvers, kVersionSize);
  name(getStatusName(h.status));
  name(time2char(h.postponeDate));
  text(h.assignedTo, kUserSize);
  text(h.corrector, kUserSize);
  name(time2char(h.correctDate));
  text(h.correctVersion, kVersionSize);
  text(h.verifiedBy, kUserSize);
  name(time2char(h.verifyDate));
  text(h.verifyVersion, kVersionSize);
  name(getTypeName(h.fileType));
  name(getImpactName(h.impact));
  text(h.mdaPda, kMdaPdaSize);
  text(h.testref, kTestrefSize);
  appendNumber(s, h.timeSpent);
  s += '|';
  appendNumber(s, h.timeEstimate);
  s += '|';
  appendField(s, h.title, kTitleSize);
  s += '\n';
  return s;
}

bool strToIndex(std::string_view line, tHeader* h) {
  tSplitLine s;
  splitIndexLine(line, &s);
  const size_t n = std::min<size_t>(s.count, kIndexFields - 1);
  bool ok = s.count >= kIndexFields - 1;
  auto num = [&](size_t i, auto* target) {
    if (i >= n) return;
    bool w = false;
    if constexpr (std::is_same_v<decltype(target), int*>) parseInt(s.fields[i], target, &w);
    else parseLong(s.fields[i], target, &w);
    if (!w) ok = false;
  };
  auto txt = [&](size_t i, std::string& target, size_t width) {
    if (i < n) setText(target, s.fields[i], width);
  };
  auto let = [&](size_t i, int max, auto* target) {
    if (i < n && !parseLetter(s.fields[i], max, target)) ok = false;
  };
  txt(0, h->prefix, kPrefixSize);
  num(1, &h->number);
  let(2, 15, &h->phase);
  num(3, &h->date);
  txt(4, h->submitter, kUserSize);
  let(5, 25, &h->severity);
  txt(6, h->project, kProjectSize);
  txt(7, h->subProject, kProjectSize);
  txt(8, h->module, kModuleSize);
  txt(9, h->version, kVersionSize);
  txt(10, h->expvers, kVersionSize);
  let(11, kStatusCount - 1, &h->status);
  num(12, &h->postponeDate);
  txt(13, h->assignedTo, kUserSize);
  txt(14, h->corrector, kUserSize);
  num(15, &h->correctDate);
  txt(16, h->correctVersion, kVersionSize);
  txt(17, h->verifiedBy, kUserSize);
  num(18, &h->verifyDate);
  txt(19, h->verifyVersion, kVersionSize);
  let(20, 2, &h->fileType);
  let(21, 3, &h->impact);
  txt(22, h->mdaPda, kMdaPdaSize);
  txt(23, h->testref, kTestrefSize);
  num(24, &h->timeSpent);
  num(25, &h->timeEstimate);
  setText(h->title, s.title, kTitleSize);
  return ok;
}

std::string indexKey(const tHeader& h) {
  return h.project + "," + h.subProject + "," + std::to_string(static_cast<int>(h.phase)) + "," +
         std::to_string(h.number);
}

std::string indexKeyOfLine(std::string_view line) {
  const tLineKey k = lineKey(line);
  return std::string(k.project) + "," + std::string(k.subProject) + "," + std::to_string(k.phase) +
         "," + std::to_string(k.number);
}

void resetHeader(tHeader* h) {
  h->prefix.clear();
  h->number = 0;
  h->date = 0;
  h->submitter.clear();
  h->severity = 0;
  h->project.clear();
  h->subProject.clear();
  h->phase = SPECIFICATION;
  h->module.clear();
  h->version.clear();
  h->title.clear();
  h->expvers.clear();
  h->status = NEW;
  h->postponeDate = 0;
  h->assignedTo.clear();
  h->corrector.clear();
  h->correctDate = 0;
  h->correctVersion.clear();
  h->verifiedBy.clear();
  h->verifyDate = 0;
  h->verifyVersion.clear();
  h->testref.clear();
  h->fileType = FAIT_TECHNIQUE;
  h->impact = FONCTIONAL;
  h->mdaPda.clear();
  h->timeSpent = 0;
  h->timeEstimate = 0;
  h->history.clear();
  h->data.clear();
  h->pendingHistory.clear();
}

int readIndex(tFileBuf* fbuf, tHeader* head) {
  static thread_local std::string scratch;
  resetHeader(head);
  std::string_view line;
  if (!nextLine(fbuf, scratch, kLinePiece, &line)) return -1;
  line = cutAtZero(line);
  if (!line.empty()) strToIndex(line, head);
  return static_cast<int>(line.size());
}

int writeIndex(tFileBuf* fbuf, const tHeader& head) {
  if (fbuf->fd < 0) return 0;
  return writeFileBuf(fbuf, writeIndexToStr(head));
}

// ---------------------------------------------------------------------------
// Index update
// ---------------------------------------------------------------------------
//
// A change of one report is one step under the index lock, together with
// the rename of its report file: a small index is rewritten whole (the new
// index flushed to disk before either rename), a large one gets a journal
// record (written right before the report's rename, flushed right after);
// a failure at any point leaves both as they were. See utils.h for the
// journal and how readers apply it.

namespace {

// The kernel lock on "<data directory>/index.lock". Every rewrite of the index
// and every replacement of a report file happens under it, so two requests
// never lose each other's update; the kernel releases it when a holder dies.
class tIndexLock {
 public:
  // Waits at most `seconds`; false when the lock could not be had.
  bool acquire(int seconds) { return lock_.acquire(dataPath("index.lock"), seconds); }
  void release() { lock_.release(); }

 private:
  tFileLock lock_;
};

constexpr const char* kJournalFile = "index.journal";

std::string dataTempPath(const std::string& name) { return tempPathFor(dataPath(name)); }

// Writes `text` to a temporary file beside `name` of the data directory,
// flushed to disk; the temporary path, or "" when it could not be written.
std::string writeTemp(const std::string& name, std::string_view text) {
  return writeTempFile(dataPath(name), text);
}

bool commit(const std::string& tmp, const std::string& path) { return commitFile(tmp, path); }

std::string_view stripLineEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The size of a file, 0 when it does not exist.
off_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// The key of a line as one string, for the journal's table.
std::string keyString(const tLineKey& k) {
  std::string s;
  s.reserve(k.project.size() + k.subProject.size() + 16);
  s.append(k.project);
  s += '\x1f';
  s.append(k.subProject);
  s += '\x1f';
  appendNumber(s, k.phase);
  s += '\x1f';
  appendNumber(s, k.number);
  return s;
}

// The number field of an index line when it is plain digits, as lineKey
// reads it; false for any other form (the whole key is formed then).
bool quickNumber(std::string_view line, unsigned* n) {
  const void* bar = memchr(line.data(), '|', line.size());
  if (!bar) return false;
  size_t i = static_cast<size_t>(static_cast<const char*>(bar) - line.data()) + 1;
  const size_t start = i;
  unsigned v = 0;
  while (i < line.size() && i - start < 9 && static_cast<unsigned char>(line[i] - '0') < 10)
    v = v * 10 + static_cast<unsigned>(line[i++] - '0');
  if (i == start || i >= line.size() || line[i] != '|') return false;
  *n = v;
  return true;
}

// The length of the whole records of `text`: up to its last line feed. A
// record without its line feed is being written, or was cut by a crash
// before its request answered: it does not count.
size_t wholeRecords(std::string_view text) {
  const size_t lf = text.rfind('\n');
  return lf == std::string_view::npos ? 0 : lf + 1;
}

// The journal as a reader or a fold applies it.
class tJournal {
 public:
  // Reads the whole records of `text`: "+" and a line, "-" and a line; any
  // other record is left out.
  void parse(std::string text) {
    text_ = std::move(text);
    text_.resize(wholeRecords(text_));
    std::vector<unsigned> numbers;
    size_t pos = 0;
    while (pos < text_.size()) {
      const size_t lf = text_.find('\n', pos);
      const std::string_view rec(text_.data() + pos, lf - pos);
      pos = lf + 1;
      if (rec.size() < 2 || (rec[0] != '+' && rec[0] != '-')) continue;
      const std::string_view line = stripLineEnd(rec.substr(1));
      const tLineKey k = lineKey(line);
      auto [it, fresh] = touched_.emplace(keyString(k), kGone);
      if (!fresh && it->second != kGone) entries_[it->second].live = false;
      if (fresh) numbers.push_back(static_cast<unsigned>(k.number));
      if (rec[0] == '+') {
        it->second = entries_.size();
        entries_.push_back({cutAtZero(line), true});
      } else {
        it->second = kGone;
      }
    }
    for (const Entry& e : entries_)
      if (e.live) lines_.push_back(e.line);
    // A bit per number (modulo the table's size): most lines of the index
    // are told apart by their number alone.
    size_t bits = 64;
    for (const unsigned n : numbers)
      while (bits <= n && bits < (size_t{1} << 24)) bits <<= 1;
    mask_ = bits - 1;
    bitmap_.assign(bits / 64, 0);
    for (const unsigned n : numbers) bitmap_[(n & mask_) >> 6] |= uint64_t{1} << (n & 63);
  }

  bool empty() const { return touched_.empty(); }
  // True when a record names the key of `line`: the line leaves the index.
  bool touches(std::string_view line) const {
    if (touched_.empty()) return false;
    unsigned n;
    if (quickNumber(line, &n) && !(bitmap_[(n & mask_) >> 6] >> (n & 63) & 1)) return false;
    return touched_.count(keyString(lineKey(line))) != 0;
  }
  // The lines that the records leave, in the order of their last record.
  const std::vector<std::string_view>& lines() const { return lines_; }

 private:
  static constexpr size_t kGone = static_cast<size_t>(-1);
  struct Entry {
    std::string_view line;
    bool live;
  };
  std::string text_;
  std::unordered_map<std::string, size_t> touched_;  // key -> entry, kGone when removed
  std::vector<Entry> entries_;
  std::vector<std::string_view> lines_;
  std::vector<uint64_t> bitmap_;
  size_t mask_ = 0;
};

// Writes the new index to a temporary file, flushed to disk: every
// non-empty line of the index open on `inFd` (taken over; -1 for none)
// whose key is neither `key` nor named by `journal`, in order, then the
// journal's lines and `newLine` (when not empty). Lines are copied by runs
// straight from the read block; only the key fields of each line are looked
// at. The temporary path, or "" when it could not be written (nothing is
// left behind).
std::string buildIndex(int inFd, const tJournal* journal, const tLineKey* key,
                       const std::string& newLine) {
  tFileBuf in;
  openBufFd(&in, inFd, 'r', kFileBlock);
  const std::string tmp = dataTempPath("index");
  tFileBuf out;
  if (!openBufFd(&out, ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666), 'w',
                 kFileBlock))
    return std::string();
  bool ok = true;
  std::string carry;  // a line that straddles two blocks
  auto keep = [&](std::string_view line) {
    return !line.empty() && !(key && sameKey(lineKey(line), *key)) &&
           !(journal && journal->touches(line));
  };
  while (ok && fill(&in)) {
    const char* p = in.buffer.get() + in.bufIndex;
    const char* const end = in.buffer.get() + in.bufLen;
    in.bufIndex = in.bufLen;
    if (!carry.empty()) {
      const void* lf = memchr(p, '\n', static_cast<size_t>(end - p));
      if (!lf) {
        carry.append(p, end);
        continue;
      }
      const char* e = static_cast<const char*>(lf);
      carry.append(p, e);
      if (keep(carry)) {
        carry += '\n';
        ok = writeFileBuf(&out, carry) >= 0;
      }
      carry.clear();
      p = e + 1;
    }
    const char* run = p;
    while (p < end) {
      const void* lf = memchr(p, '\n', static_cast<size_t>(end - p));
      if (!lf) break;
      const char* e = static_cast<const char*>(lf);
      if (!keep(std::string_view(p, static_cast<size_t>(e - p)))) {
        if (p > run && writeFileBuf(&out, run, static_cast<int>(p - run)) < 0) ok = false;
        run = e + 1;
      }
      p = e + 1;
    }
    if (p > run && writeFileBuf(&out, run, static_cast<int>(p - run)) < 0) ok = false;
    carry.assign(p, end);
  }
  // A last line without line feed (a hand edit) is kept, completed.
  if (ok && keep(carry)) {
    carry += '\n';
    ok = writeFileBuf(&out, carry) >= 0;
  }
  if (journal) {
    for (const std::string_view line : journal->lines()) {
      if (!ok) break;
      ok = writeFileBuf(&out, line) >= 0 && writeFileBuf(&out, "\n", 1) >= 0;
    }
  }
  if (ok && !newLine.empty()) ok = writeFileBuf(&out, newLine) >= 0;
  ok = syncBuf(&out) == 0 && ok;
  ok = closeBuf(&out) == 1 && ok;
  if (ok) return tmp;
  ::unlink(tmp.c_str());
  return std::string();
}

int openIndex() { return ::open(dataPath("index").c_str(), O_RDONLY | O_CLOEXEC); }

// Reads the rest of an open file from `from` on.
bool readFrom(int fd, off_t from, std::string* text) {
  text->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, from);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buf, static_cast<size_t>(n));
    from += n;
  }
}

// Appends `record` (a line) to the journal, left open in `*journal` to be
// flushed by the caller; the index lock is held. A record cut by a crash is
// cut off first. `*before` receives the journal's length without the new
// record. False, the journal as it was, when it could not be written.
bool appendJournal(const std::string& record, tFd* journal, off_t* before) {
  tFd& fd = *journal;
  fd.reset(::open(dataPath(kJournalFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd.ok()) return false;
  off_t size = ::lseek(fd.get(), 0, SEEK_END);
  if (size < 0) return false;
  char last = '\n';
  if (size > 0 && ::pread(fd.get(), &last, 1, size - 1) != 1) return false;
  if (last != '\n') {
    std::string text;
    if (!readFrom(fd.get(), 0, &text)) return false;
    size = static_cast<off_t>(wholeRecords(text));
    if (::ftruncate(fd.get(), size) != 0) return false;
  }
  *before = size;
  if (::lseek(fd.get(), size, SEEK_SET) == size && writeAll(fd.get(), record)) return true;
  if (::ftruncate(fd.get(), size) != 0) {
    // The cut record lacks its line feed: readers and the next writer leave it out.
  }
  return false;
}

// Folds the whole journal into the index; the index lock is held. When the
// new index cannot be written the journal stays (readers apply it).
void foldLocked() {
  std::string text;
  if (!readWholeFile(dataPath(kJournalFile), &text)) return;
  tJournal journal;
  journal.parse(std::move(text));
  const std::string tmp = buildIndex(openIndex(), &journal, nullptr, std::string());
  if (tmp.empty() || !commit(tmp, dataPath("index"))) return;
  ::unlink(dataPath(kJournalFile).c_str());
}

struct tFoldQueued {
  bool queued = false;
};

// The fold of a large journal waits for the page to be out (once per request).
void queueFold() {
  bool& queued = request().slot<tFoldQueued>().queued;
  if (queued) return;
  queued = true;
  request().after(foldIndexJournal);
}

// The numbering forgets where a prefix resumed (see storeNewBug).
void forgetNumbering(std::string_view oldLine);

// One change of the index under the index lock: the line `line` of a report
// ('+') or the removal of the key of the old line `line` ('-'), together with
// the replacement of the report file (`reportTmp` renamed over `reportPath`)
// when one is given. 1; -1 when the report file could not be replaced; -3
// when the index could not be written. Nothing changed on failure.
int changeIndex(char tag, std::string_view line, const std::string* reportTmp,
                const std::string& reportPath) {
  line = stripLineEnd(line);
  const std::string indexPath = dataPath("index");
  const off_t indexSize = fileSize(indexPath);
  auto dropReport = [&] {
    if (reportTmp) ::unlink(reportTmp->c_str());
  };
  if (fileSize(dataPath(kJournalFile)) == 0 && indexSize <= kIndexRewriteMax) {
    const tLineKey key = lineKey(line);
    const std::string tmp = buildIndex(openIndex(), nullptr, &key,
                                       tag == '+' ? std::string(line) + "\n" : std::string());
    if (tmp.empty()) {
      dropReport();
      return -3;
    }
    // The old report is kept aside until the index follows: when the index
    // cannot be replaced, the report goes back to what it was, so that a
    // change said not to be saved is not on disk either.
    const std::string kept = reportTmp ? reportPath + ".kept" : std::string();
    if (reportTmp) ::unlink(kept.c_str());  // left by a request killed here
    const bool haveOld = reportTmp && ::link(reportPath.c_str(), kept.c_str()) == 0;
    if (reportTmp && !commit(*reportTmp, reportPath)) {
      ::unlink(tmp.c_str());
      if (haveOld) ::unlink(kept.c_str());
      return -1;
    }
    if (commit(tmp, indexPath)) {
      if (haveOld) ::unlink(kept.c_str());
      return 1;
    }
    if (haveOld) ::rename(kept.c_str(), reportPath.c_str());
    return -3;
  }
  // The record and the report file's rename follow each other at once, so
  // that a request killed between them is as unlikely as between the two
  // renames of a rewrite; the record is flushed to disk right after, before
  // the change is answered. (A failed flush leaves the change in place, as
  // a lost rename would be after a power cut: the renames of the store are
  // never flushed either.)
  std::string record(1, tag);
  record.append(line);
  record += '\n';
  tFd journal;
  off_t before = 0;
  if (!appendJournal(record, &journal, &before)) {
    dropReport();
    return -3;
  }
  if (reportTmp && !commit(*reportTmp, reportPath)) {
    if (::ftruncate(journal.get(), before) == 0) ::fdatasync(journal.get());
    return -1;
  }
  if (::fdatasync(journal.get()) != 0) {
    // See above: the change stands.
  }
  journal.reset();
  if (indexSize <= kIndexRewriteMax)
    foldLocked();
  else if (before + static_cast<off_t>(record.size()) > indexSize / kFoldRatio)
    queueFold();
  return 1;
}

}  // namespace

int updateIndex(const tHeader* head, const std::string* oldLine) {
  if (getDataDir().empty()) return 0;
  std::string newLine;
  if (head) newLine = writeIndexToStr(*head);
  else if (!oldLine) return 0;
  tIndexLock lock;
  if (!lock.acquire(kIndexLockWait)) return 0;
  if (changeIndex(head ? '+' : '-', head ? newLine : *oldLine, nullptr, std::string()) != 1)
    return 0;
  if (!head) {
    lock.release();
    forgetNumbering(*oldLine);
  }
  return head ? static_cast<int>(newLine.size()) : 1;
}

void foldIndexJournal() {
  if (getDataDir().empty()) return;
  // One fold at a time; a request that finds another one folding leaves it.
  tFileLock folding;
  if (!folding.acquireMs(dataPath("index.fold"), 0)) return;
  const std::string indexPath = dataPath("index"), journalPath = dataPath(kJournalFile);
  // The journal's whole records and the index, as they are now.
  tIndexLock lock;
  if (!lock.acquire(kIndexLockWait)) return;
  tFd journalFd(::open(journalPath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat js, is;
  std::string text;
  if (!journalFd.ok() || ::fstat(journalFd.get(), &js) != 0 || !readFrom(journalFd.get(), 0, &text))
    return;
  const off_t taken = static_cast<off_t>(wholeRecords(text));
  tFd indexFd(openIndex());
  const bool haveIndex = indexFd.ok() && ::fstat(indexFd.get(), &is) == 0;
  if (taken == 0 || taken <= (haveIndex ? is.st_size : 0) / kFoldRatio) return;
  lock.release();
  // The new index, written while other requests go on changing reports.
  tJournal journal;
  journal.parse(std::move(text));
  const int in = indexFd.get() >= 0 ? ::dup(indexFd.get()) : -1;
  const std::string tmp = buildIndex(in, &journal, nullptr, std::string());
  if (tmp.empty()) return;
  // It replaces the index only if neither file was replaced meanwhile (by
  // velko --reindex); the records that came meanwhile stay in the journal.
  struct stat now;
  if (!lock.acquire(kIndexLockWait) ||
      (haveIndex ? ::stat(indexPath.c_str(), &now) != 0 || !sameFile(now, is)
                 : ::stat(indexPath.c_str(), &now) == 0) ||
      ::stat(journalPath.c_str(), &now) != 0 || !sameFile(now, js)) {
    ::unlink(tmp.c_str());
    return;
  }
  std::string rest;
  if (!readFrom(journalFd.get(), taken, &rest) || !commit(tmp, indexPath)) return;
  rest.resize(wholeRecords(rest));
  if (rest.empty())
    ::unlink(journalPath.c_str());
  else
    replaceFile(journalPath, rest);  // when it fails the whole journal stays: applied again, harmless
}

// ---------------------------------------------------------------------------
// Reading the whole index, and report files for lists
// ---------------------------------------------------------------------------

std::string_view tIndexFields::cutText(tIndexField f) const {
  if (f >= count_ || kIndexFieldRules[f].kind != tIndexFieldRule::TEXT) return std::string_view();
  const std::string_view v = s_.fields[f];
  return v.substr(0, cutLength(v, kIndexFieldRules[f].limit));
}

int tIndexFields::readLetter(tIndexField f) const {
  int v = 0;
  if (f < count_ && kIndexFieldRules[f].kind == tIndexFieldRule::LETTER)
    parseLetter(s_.fields[f], static_cast<int>(kIndexFieldRules[f].limit), &v);
  return v;
}

long tIndexFields::readNumber(tIndexField f) const {
  if (f >= count_) return 0;
  switch (kIndexFieldRules[f].kind) {
    case tIndexFieldRule::INT: {
      int v = 0;
      parseInt(s_.fields[f], &v);
      return v;
    }
    case tIndexFieldRule::LONG: {
      long v = 0;
      parseLong(s_.fields[f], &v);
      return v;
    }
    default:
      return 0;
  }
}

std::string_view tIndexFields::title() const {
  const std::string_view t = line_.substr(line_.rfind('|') + 1);
  return t.size() < kTitleSize ? t : t.substr(0, cutLength(t, kTitleSize));
}

// The index mapped into memory (or read, when it cannot be mapped) and the
// journal, for one reader.
struct tIndexSource {
  tJournal journal;
  void* map = nullptr;
  size_t mapLength = 0;
  std::string copy;
  bool completeLast = false;  // a last line without line feed is handed out
  size_t nextJournalLine = 0;

  ~tIndexSource() {
    if (map) ::munmap(map, mapLength);
  }
};

tIndexLines::tIndexLines() = default;
tIndexLines::~tIndexLines() = default;

bool tIndexLines::open() {
  // The index first, then the journal; if the index was replaced meanwhile
  // (a fold), again: an index with a journal read after it always reads as
  // the store stood (see utils.h).
  for (int attempt = 0;; ++attempt) {
    src_ = std::make_unique<tIndexSource>();
    pos_ = end_ = nullptr;
    tFd fd(openIndex());
    struct stat before, after;
    const bool haveIndex = fd.ok() && ::fstat(fd.get(), &before) == 0;
    std::string text;
    const bool haveJournal = readWholeFile(dataPath(kJournalFile), &text);
    const bool replaced = haveIndex ? ::stat(dataPath("index").c_str(), &after) != 0 ||
                                          !sameFile(before, after)
                                    : ::stat(dataPath("index").c_str(), &after) == 0;
    if (replaced && attempt < 8) continue;
    if (!haveIndex && !haveJournal) return false;
    src_->journal.parse(std::move(text));
    if (haveIndex && before.st_size > 0) {
      const size_t len = static_cast<size_t>(before.st_size);
      void* m = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
      if (m != MAP_FAILED) {
        src_->map = m;
        src_->mapLength = len;
        pos_ = static_cast<const char*>(m);
        end_ = pos_ + len;
      } else if (readFrom(fd.get(), 0, &src_->copy)) {
        pos_ = src_->copy.data();
        end_ = pos_ + src_->copy.size();
      }
    }
    // With records to apply, the lines read as a rewrite leaves them.
    plain_ = src_->journal.empty();
    src_->completeLast = !plain_;
    return true;
  }
}

bool tIndexLines::nextInIndex(std::string_view* line) {
  if (pos_ >= end_) return false;
  const char* const p = pos_;
  const size_t avail = static_cast<size_t>(end_ - p);
  const size_t look = std::min(avail, size_t{kLinePiece});
  if (const void* lf = memchr(p, '\n', look)) {
    pos_ = static_cast<const char*>(lf) + 1;
    *line = cutAtZero(std::string_view(p, static_cast<size_t>(pos_ - 1 - p)));
    return true;
  }
  if (avail <= size_t{kLinePiece}) {  // the last line, without line feed
    pos_ = end_;
    if (!src_->completeLast) return false;
    *line = cutAtZero(std::string_view(p, avail));
    return true;
  }
  // A piece of a long line: a line feed right behind it belongs to it; the
  // end of the file right behind it makes it a last line without line feed.
  pos_ = p + kLinePiece;
  if (pos_ == end_) {
    if (!src_->completeLast) return false;
  } else if (*pos_ == '\n') {
    ++pos_;
  }
  *line = cutAtZero(std::string_view(p, kLinePiece));
  return true;
}

bool tIndexLines::nextOther(std::string_view* line) {
  if (!src_) return false;
  if (plain_) return nextInIndex(line);
  while (nextInIndex(line))
    if (!line->empty() && !src_->journal.touches(*line)) return true;
  const std::vector<std::string_view>& lines = src_->journal.lines();
  if (src_->nextJournalLine >= lines.size()) return false;
  *line = lines[src_->nextJournalLine++];
  return true;
}

namespace {

// Where `k` (2 bytes or more) first occurs in [p, p + n), or null: `width`
// bytes at a time are compared with its first and its last byte at once,
// and only the places where both match are compared whole.
#ifdef __SSE2__
template <class Load, class Match>
const char* findBlocks(const char* p, size_t n, std::string_view k, size_t width, Load load,
                       Match match) {
  const size_t m = k.size();
  size_t i = 0;
  for (; i + m - 1 + width <= n; i += width) {
    uint64_t mask = match(load(p + i), load(p + i + m - 1));
    while (mask) {
      const size_t at = i + static_cast<size_t>(__builtin_ctzll(mask));
      if (memcmp(p + at + 1, k.data() + 1, m - 2) == 0) return p + at;
      mask &= mask - 1;
    }
  }
  for (; i + m <= n; ++i)
    if (p[i] == k[0] && memcmp(p + i, k.data(), m) == 0) return p + i;
  return nullptr;
}

const char* findSse2(const char* p, size_t n, std::string_view k) {
  const __m128i first = _mm_set1_epi8(k.front()), last = _mm_set1_epi8(k.back());
  return findBlocks(
      p, n, k, 16, [](const char* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); },
      [&](__m128i a, __m128i b) {
        return static_cast<uint64_t>(static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last)))));
      });
}

__attribute__((target("avx2"))) const char* findAvx2(const char* p, size_t n, std::string_view k) {
  const __m256i first = _mm256_set1_epi8(k.front()), last = _mm256_set1_epi8(k.back());
  const size_t m = k.size();
  size_t i = 0;
  for (; i + m - 1 + 32 <= n; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + m - 1));
    uint32_t mask = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last))));
    while (mask) {
      const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (memcmp(p + at + 1, k.data() + 1, m - 2) == 0) return p + at;
      mask &= mask - 1;
    }
  }
  const char* rest = findSse2(p + i, n - i, k);
  return rest;
}
#endif

const char* findText(const char* p, size_t n, std::string_view k) {
  if (k.size() == 1) return static_cast<const char*>(memchr(p, k[0], n));
#ifdef __SSE2__
#ifdef CPU_FEATURE_ACTIVE
  // What the C library found at start (asking the processor again would
  // cost every request).
  if (CPU_FEATURE_ACTIVE(AVX2)) return findAvx2(p, n, k);
#endif
  return findSse2(p, n, k);
#else
  return static_cast<const char*>(memmem(p, n, k.data(), k.size()));
#endif
}

}  // namespace

void tIndexLines::skipWithout(std::string_view text) {
  if (text.empty() || pos_ >= end_) return;
  const char* hit = findText(pos_, static_cast<size_t>(end_ - pos_), text);
  if (!hit) {
    pos_ = end_;
    return;
  }
  // Back to the start of its line (or to where the reading stands).
  const char* const h = static_cast<const char*>(hit);
  const void* lf = memrchr(pos_, '\n', static_cast<size_t>(h - pos_));
  if (lf) pos_ = static_cast<const char*>(lf) + 1;
}

bool forEachIndexLine(const std::function<bool(std::string_view line)>& fn) {
  tIndexLines lines;
  if (!lines.open()) return false;
  std::string_view line;
  while (lines.next(&line))
    if (!fn(line)) break;
  return true;
}

const std::string& tReportNames::of(const tHeader& h) {
  constexpr size_t kMaxEntries = 256;
  const std::string* prefix = nullptr;
  for (const Entry& e : entries_) {
    if (e.phase == h.phase && e.project == h.project && e.group == h.subProject) {
      prefix = &e.prefix;
      break;
    }
  }
  if (!prefix) {
    if (entries_.size() < kMaxEntries) {
      entries_.push_back({h.project, h.subProject, h.phase, getBugPrefix2(h)});
      prefix = &entries_.back().prefix;
    } else {
      spare_ = getBugPrefix2(h);
      prefix = &spare_;
    }
  }
  // The form of getBugName.
  char num[24];
  const int len = snprintf(num, sizeof num, ".%05d", h.number);
  name_.assign(*prefix);
  name_.append(num, static_cast<size_t>(len));
  return name_;
}

bool reportContains(const std::string& name, std::string_view text) {
  if (!isReportName(name)) return false;
  tFileBuf f;
  if (!openBuf(&f, dataPath(name), 'r', kFileBlock)) return false;
  std::string scratch;
  std::string_view line;
  while (nextLine(&f, scratch, kLinePiece, &line))
    if (cutAtZero(line).find(text) != std::string_view::npos) return true;
  return false;
}

bool readReportIndexLine(const std::string& name, tHeader* head) {
  resetHeader(head);
  if (!isReportName(name)) return false;
  tFileBuf f;
  if (!openBuf(&f, dataPath(name), 'r', 4096)) return false;
  std::string scratch;
  std::string_view line;
  if (!nextLine(&f, scratch, kLinePiece, &line) || line.size() >= size_t{kLinePiece}) return false;
  return line.find('\0') == std::string_view::npos && strToIndex(line, head);
}

bool readReportHead(const std::string& name, tHeader* head) {
  if (!isReportName(name)) return false;
  tFileBuf f;
  if (!openBuf(&f, dataPath(name), 'r', kFileBlock)) return false;
  return readIndex(&f, head) >= 0;
}

// ---------------------------------------------------------------------------
// Report files
// ---------------------------------------------------------------------------

tAttachType getDataType(std::string_view line) {
  if (line.size() < 2 || line.size() > kSepLength) return TYPE_UNKNOWN;
  for (int t = TYPE_ANALYSE; t <= TYPE_HISTORY; ++t)
    if (line == std::string_view(sep[t] + kSepLength - line.size(), line.size()))
      return static_cast<tAttachType>(t);
  return TYPE_UNKNOWN;
}

namespace {

// A text line that would read as a separator once its trailing blanks are
// gone: it is stored with one blank more.
bool needsEscape(std::string_view line) {
  size_t n = line.size();
  while (n > 0 && line[n - 1] == ' ') --n;
  if (n < 2 || n > kSepLength) return false;
  return getDataType(line.substr(0, n)) != TYPE_UNKNOWN;
}

// The stored form of an entry text (whole lines).
std::string escapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) lf = text.size();
    const std::string_view line = text.substr(pos, lf - pos);
    const size_t start = out.size();
    out.append(line.data(), line.size());
    std::replace(out.begin() + static_cast<long>(start), out.end(), '\0', ' ');  // would cut the line
    if (needsEscape(line)) out += ' ';
    if (lf < text.size()) out += '\n';
    pos = lf + 1;
  }
  return out;
}

// Reads a body line whole (entry texts may hold long lines: a paragraph typed
// in a form is one line); false at end of file.
bool bodyLine(tFileBuf* f, std::string& line) {
  return readFileLine(f, line, std::string::npos) >= 0;
}

// One entry, from its header line on; `line` holds the separator on entry
// and, on return, the line that ended the entry. False at end of file.
bool readAnalyse(tFileBuf* f, tHeader* head, tAttachType type, std::string& line) {
  if (!bodyLine(f, line)) return false;
  std::string header = line;
  bool more = true;
  while (std::count(header.begin(), header.end(), '|') < 2) {
    if (!bodyLine(f, line)) {
      more = false;
      break;
    }
    header += line;
  }
  tAnalyse a;
  a.dataType = type;
  tSplitLine s;
  splitIndexLine(header, &s, 4);
  const std::string_view seg[4] = {
      s.count > 0 ? s.fields[0] : s.title,
      s.count > 1 ? s.fields[1] : (s.count == 1 ? s.title : std::string_view()),
      s.count > 2 ? s.fields[2] : (s.count == 2 ? s.title : std::string_view()),
      s.count > 3 ? s.fields[3] : (s.count == 3 ? s.title : std::string_view()),
  };
  setText(a.title, seg[0], kTitleSize);
  parseLong(seg[1], &a.date);
  setText(a.submitter, seg[2], kUserSize);
  long count = 0;
  parseLong(seg[3], &count);
  long stored = 0;  // bytes of the file taken so far
  while (more) {
    if (!bodyLine(f, line)) {
      more = false;
      break;
    }
    if (getDataType(line) != TYPE_UNKNOWN) break;
    if (stored + static_cast<long>(line.size()) + 1 > count) continue;  // does not fit
    stored += static_cast<long>(line.size()) + 1;
    size_t n = line.size();
    if (n > 0 && line[n - 1] == ' ' && needsEscape(std::string_view(line).substr(0, n - 1))) --n;
    a.data.append(line, 0, n);
    a.data += '\n';
  }
  a.length = static_cast<int>(std::min<size_t>(a.data.size(), INT_MAX));
  head->data.push_back(std::move(a));
  return more;
}

void readHistory(tFileBuf* f, tHeader* head, std::string& line) {
  if (!bodyLine(f, line)) return;
  long count = 0;
  parseLong(line, &count);
  // The text may take count + 1 bytes; a count at the top of the range (a
  // damaged file) must not overflow that sum.
  const long long room = count < LONG_MAX ? static_cast<long long>(count) + 1 : LLONG_MAX;
  while (bodyLine(f, line)) {
    if (static_cast<long long>(head->history.size() + line.size() + 1) > room) continue;
    head->history += line;
    head->history += '\n';
  }
}

}  // namespace

std::unique_ptr<tHeader> readBugPath(const std::string& path) {
  tFileBuf f;
  if (!openBuf(&f, path, 'r', kFileBlock)) return nullptr;
  auto head = std::make_unique<tHeader>();
  if (readIndex(&f, head.get()) < 0) return head;
  std::string line;
  bool more = bodyLine(&f, line);
  while (more) {
    const tAttachType t = getDataType(line);
    if (t == TYPE_ANALYSE || t == TYPE_ATTACHMENT) {
      more = readAnalyse(&f, head.get(), t, line);
    } else if (t == TYPE_HISTORY) {
      readHistory(&f, head.get(), line);
      break;
    } else {
      more = bodyLine(&f, line);
    }
  }
  return head;
}

std::unique_ptr<tHeader> readBug(const std::string& fname) {
  if (fname.empty() || fname.find('/') != std::string::npos) return nullptr;
  return readBugPath(dataPath(fname));
}

std::string formatBug(tHeader& head) {
  std::string out = writeIndexToStr(head);
  for (tAnalyse& a : head.data) {
    if (a.dataType != TYPE_ANALYSE && a.dataType != TYPE_ATTACHMENT) continue;
    if (a.data.empty() || a.data.back() != '\n') a.data += '\n';
    a.length = static_cast<int>(std::min<size_t>(a.data.size(), INT_MAX));
    const std::string stored = escapeText(a.data);
    out.append(sep[a.dataType], kSepLength);
    out += '\n';
    appendField(out, a.title, kTitleSize);
    out += '|';
    appendNumber(out, a.date);
    out += '|';
    appendField(out, a.submitter, kUserSize);
    out += '|';
    appendNumber(out, stored.size());
    out += '\n';
    out += stored;
  }
  if (!head.history.empty() && head.history.back() != '\n') head.history += '\n';
  out.append(sep[TYPE_HISTORY], kSepLength);
  out += '\n';
  appendNumber(out, head.history.size());
  out += '\n';
  out += head.history;
  return out;
}

namespace {
void appendGlobalHistory(tHeader& head);
}  // namespace

namespace {

// Replaces report `name` by `tmp` (its text `text`, written and flushed)
// together with its index line, under the index lock, then appends the
// waiting global history lines. writeBug's result; `tmp` is gone either way.
int commitReport(tHeader& head, const std::string& name, const std::string& text,
                 const std::string& tmp) {
  // The report file and its index line change together under the lock, so
  // that the index always follows the last report written; the new index
  // (or its journal record) is on disk before the report file is replaced.
  tIndexLock lock;
  if (!lock.acquire(kIndexLockWait)) {
    ::unlink(tmp.c_str());
    return -2;
  }
  const int rc = changeIndex('+', std::string_view(text).substr(0, text.find('\n')), &tmp,
                             dataPath(name));
  if (rc != 1) return rc;
  appendGlobalHistory(head);  // under the lock: in the order of the changes
  return 1;
}

}  // namespace

int writeBug(tHeader& head) {
  const std::string name = getBugName(head);
  if (getDataDir().empty() || name.empty() || name.find('/') != std::string::npos) return -1;
  // A report file cut short reads as a shorter report: rewriting it would
  // make the loss permanent.
  std::string old;
  if (readWholeFile(dataPath(name), &old) && reportCutShort(old)) return kReportDamaged;
  const std::string text = formatBug(head);
  const std::string tmp = writeTemp(name, text);
  if (tmp.empty()) return -1;
  return commitReport(head, name, text, tmp);
}

// ---------------------------------------------------------------------------
// New reports
// ---------------------------------------------------------------------------
//
// A creation takes its number under the kernel lock on "<DATADIR>/number.lock"
// (a file that stays in place; the kernel releases the lock of a killed
// request), and reserves it there by creating the file its report is then
// written to, ".<name>.new" beside the report's name: the number probe
// counts such a file as taken, so two creations never share a number, while
// the writing itself (flushed to disk) goes on outside the lock, side by
// side with other creations. The file becomes the report by a rename under
// the index lock, with its index line, so no reader ever sees a
// half-written report. A reservation left by a killed request is given up
// after kReservationAge seconds.
//
// The number is the lowest free one of the prefix. Probing from 1 costs a
// look-up per report of the prefix, so once a prefix has more than
// kProbeFromOne reports the probe resumes where the last creation stopped:
// "tmp/<prefix>.next" holds the number above which it found every lower
// number taken. A removal through the store (updateIndex with an old line)
// deletes that file, and velko --reindex deletes them all, so a number given
// free again is found again; a report file removed by hand in a large prefix
// is found after velko --reindex.

namespace {

constexpr int kProbeFromOne = 256;
constexpr int kReservationAge = 60;

std::string numberingFile(const std::string& prefix) {
  return dataPath("tmp/" + prefix + ".next");
}

std::string reservationFile(const std::string& name) { return dataPath("." + name + ".new"); }

// Number n of the prefix is taken: its report exists, or a creation has
// reserved it (a reservation older than kReservationAge seconds is removed).
bool numberTaken(const std::string& prefix, int n) {
  const std::string name = strprintf("%s.%05d", prefix.c_str(), n);
  struct stat st;
  if (::stat(dataPath(name).c_str(), &st) == 0) return true;
  const std::string reserved = reservationFile(name);
  if (::stat(reserved.c_str(), &st) != 0) return false;
  if (st.st_mtime >= ::time(nullptr) - kReservationAge) return true;
  ::unlink(reserved.c_str());
  return false;
}

// The lowest n >= from whose number is not taken.
int lowestFreeNumber(const std::string& prefix, int from) {
  for (int n = std::max(from, 1); n < INT_MAX; ++n)
    if (!numberTaken(prefix, n)) return n;
  return INT_MAX;
}

void forgetNumbering(std::string_view oldLine) {
  tHeader h;
  strToIndex(stripLineEnd(oldLine), &h);
  const std::string prefix = getBugPrefix2(h);
  if (isReportName(prefix + ".00001")) ::unlink(numberingFile(prefix).c_str());
}

// Gives `bug` the lowest free number of its prefix and reserves it: the
// reservation file open for writing, or -1 (kStoreBusy in *rc when the lock
// was not had in time).
int reserveNumber(tHeader& bug, int start, int* rc) {
  tFileLock lock;
  if (!lock.acquire(dataPath("number.lock"), kNumberLockWait)) {
    // Busy only when another request holds it; a lock file that cannot be
    // made (a read-only data directory) means the report cannot be written.
    *rc = errno == EWOULDBLOCK || errno == EINTR ? kStoreBusy : -1;
    return -1;
  }
  const std::string prefix = getBugPrefix2(bug);
  // Opened before the probe: a removal that deletes the file meanwhile makes
  // the write below go to the deleted file, so the next creation probes from 1.
  tFd next;
  if (isReportName(prefix + ".00001")) {
    makeDirs(dataPath("tmp"), 0755);
    next.reset(::open(numberingFile(prefix).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  }
  int from = 1;
  char buf[16] = {};
  if (next.ok() && ::pread(next.get(), buf, sizeof buf - 1, 0) > 0) from = atoi(buf);
  // A small prefix is probed from 1; a resumed probe checks the number just
  // below, the one a removal frees most often.
  if (from <= kProbeFromOne || !numberTaken(prefix, from - 1)) from = 1;
  // A copy numbers from its source's number on.
  if (start > 1) from = start;
  for (int n = lowestFreeNumber(prefix, from); n < INT_MAX; n = lowestFreeNumber(prefix, n + 1)) {
    bug.number = n;
    const int fd = ::open(reservationFile(getBugName(bug)).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd >= 0 && next.ok() && start <= 1) {
      // A hint only: not flushed; a lost or damaged one means a probe from 1.
      // A copy, numbered from its source on, leaves it as it is.
      const std::string text = strprintf("%-11d\n", n + 1);
      if (::pwrite(next.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        // Nothing to do: the next creation probes from where the file says.
      }
    }
    *rc = -1;
    return fd;
  }
  *rc = -1;
  return -1;
}

}  // namespace

int storeNumberedBug(tHeader& bug, int from, const std::function<void(tHeader&)>& beforeWrite) {
  if (getDataDir().empty()) return -1;
  int rc = -1;
  tFd file(reserveNumber(bug, from, &rc));
  if (!file.ok()) return rc;
  const std::string name = getBugName(bug);
  const std::string tmp = reservationFile(name);
  if (beforeWrite) beforeWrite(bug);
  const std::string text = formatBug(bug);
  bool ok = writeAll(file.get(), text);
  ok = ok && ::fsync(file.get()) == 0;
  ok = file.close() && ok;
  if (!ok) {
    ::unlink(tmp.c_str());
    return -1;
  }
  rc = commitReport(bug, name, text, tmp);
  if (rc == -3) {
    // The index could not follow a report file already in place: the file
    // goes too, so that the failed creation leaves nothing.
    ::unlink(dataPath(name).c_str());
  }
  return rc;
}

int storeNewBug(tHeader& bug, const std::string& format, const std::string& arg1,
                const std::string& arg2, tHeader* shown) {
  return storeNumberedBug(bug, 1, [&](tHeader& b) {
    history2(&b, format, arg1, arg2);
    if (shown) *shown = b;
  });
}

std::string failedFile(int rc, const std::string& name) {
  return rc == -1 ? name : std::string("index");
}

std::string saveFailureReason(int rc, const std::string& name) {
  if (rc == kReportDamaged) return applyHistoryFormat(langue(530), name, "", "");
  return applyHistoryFormat(langue(501), failedFile(rc, name), "", "");
}

bool reportCutShort(std::string_view text) {
  size_t pos = text.find('\n');
  if (pos == std::string_view::npos) return true;  // not even its first line
  ++pos;
  // Each section: its separator line, then (entries) a header line ending
  // with the byte count, or (history) the byte count alone, then the bytes.
  // A section ends at the next separator line, as the reader takes it.
  tAttachType type = TYPE_UNKNOWN;
  long count = 0, seen = 0;
  bool header = false;  // the next line is a section's header line
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) return true;  // a last line cut
    const std::string_view line = text.substr(pos, lf - pos);
    pos = lf + 1;
    const tAttachType t = getDataType(line);
    if (t != TYPE_UNKNOWN && line.size() == kSepLength) {
      type = t;
      header = true;
      continue;
    }
    if (header) {
      const size_t bar = type == TYPE_HISTORY ? std::string_view::npos : line.rfind('|');
      count = 0;
      parseLong(bar == std::string_view::npos ? line : line.substr(bar + 1), &count);
      seen = 0;
      header = false;
      continue;
    }
    seen += static_cast<long>(line.size()) + 1;
  }
  // The file ended: inside the history (or an entry) before its count, or
  // before any history at all.
  if (type != TYPE_HISTORY || header) return true;
  return seen < count;
}

tAnalyse* addAnalyse(tHeader* head, const std::string& title, const std::string& submitter,
                     long date, const std::string& data) {
  tAnalyse a;
  a.title = title;
  a.submitter = submitter;
  a.date = date;
  a.data = data;
  a.length = static_cast<int>(std::min<size_t>(data.size(), INT_MAX));
  a.dataType = TYPE_ANALYSE;
  head->data.push_back(std::move(a));
  return &head->data.back();
}

// ---------------------------------------------------------------------------
// History, time and URL helpers
// ---------------------------------------------------------------------------

std::string applyHistoryFormat(std::string_view format, const std::string& arg1,
                               const std::string& arg2, const std::string& arg3) {
  // A conversion other than %s or %% would want an argument of another type:
  // such a format is taken as plain text.
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (i + 1 < format.size() && (format[i + 1] == 's' || format[i + 1] == '%')) {
      ++i;
      continue;
    }
    return std::string(format);
  }
  const std::string* args[3] = {&arg1, &arg2, &arg3};
  size_t next = 0;
  std::string out;
  out.reserve(format.size() + arg1.size() + arg2.size() + arg3.size());
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    ++i;
    if (format[i] == '%') {
      out += '%';
    } else if (next < 3) {
      out += *args[next++];
    }
  }
  return out;
}

void historyAt(tHeader* head, long when, const std::string& format, const std::string& arg1,
               const std::string& arg2, const std::string& arg3) {
  std::string text = applyHistoryFormat(format, arg1, arg2, arg3);
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';  // one line per change
  const std::string t = time2char(when);
  head->history += t;
  head->history += ' ';
  head->history += text;
  head->history += '\n';
  // The global line waits for writeBug: it is appended once the change is
  // stored.
  head->pendingHistory.push_back(t + " " + getBugName(*head) + " " + text + "\n");
}

namespace {

// Appends the waiting global history lines of `head`, one write per line
// on a descriptor opened for appending, so lines of concurrent requests
// never mix. The global history is optional: a failure only loses its lines.
void appendGlobalHistory(tHeader& head) {
  for (const std::string& line : head.pendingHistory)
    if (!appendHistoryLine(line)) break;
  head.pendingHistory.clear();
}

// A test result's line is "<time> <path> Test Created|Changed by ...", and
// the path holds the keys of the module and step, which may hold blanks: the
// subject then runs to the " Test " that begins that text.
void extendTestSubject(tHistoryLine* h) {
  if (h->text.substr(0, 5) == "Test ") return;
  size_t at = std::string_view::npos;
  for (const std::string_view mark : {" Test Created by ", " Test Changed by "})
    at = std::min(at, h->text.find(mark));
  if (at == std::string_view::npos) return;
  h->name = std::string_view(h->name.data(), h->name.size() + 1 + at);
  h->text = h->text.substr(at + 1);
}

}  // namespace

bool forEachHistoryLine(const std::function<void(const tHistoryLine&)>& fn) {
  tFileBuf fb;
  if (!openBuf(&fb, dataPath("history.dat"), 'r', kFileBlock)) return false;
  std::string line;
  // A history text may be longer than a line piece: read lines whole.
  while (readFileLine(&fb, line, std::string::npos) >= 0) {
    if (line.empty()) continue;
    std::string_view rest(line);
    tHistoryLine h;
    const size_t b1 = rest.find(' ');
    h.time = rest.substr(0, b1);
    rest = b1 == std::string_view::npos ? std::string_view() : rest.substr(b1 + 1);
    const size_t b2 = rest.find(' ');
    h.name = rest.substr(0, b2);
    h.text = b2 == std::string_view::npos ? std::string_view() : rest.substr(b2 + 1);
    if (h.name.find('/') != std::string_view::npos) extendTestSubject(&h);
    fn(h);
  }
  return true;
}

void history3(tHeader* head, const std::string& format, const std::string& arg1,
              const std::string& arg2, const std::string& arg3) {
  historyAt(head, static_cast<long>(::time(nullptr)), format, arg1, arg2, arg3);
}

void history2(tHeader* head, const std::string& format, const std::string& arg1,
              const std::string& arg2) {
  history3(head, format, arg1, arg2, std::string());
}

void history1(tHeader* head, const std::string& format, const std::string& arg1) {
  history3(head, format, arg1, std::string(), std::string());
}

// ---------------------------------------------------------------------------
// Whole-store access for the administration commands
// ---------------------------------------------------------------------------

bool scanReports(std::vector<tReportFile>* files) {
  const std::string& dir = getDataDir();
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (!isReportName(name)) continue;
    struct stat st;
    if (::stat(dataPath(name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    tReportFile f;
    f.name = name;
    f.mtime = st.st_mtim.tv_sec;
    f.mtimeNs = st.st_mtim.tv_nsec;
    files->push_back(std::move(f));
  }
  ::closedir(d);
  std::sort(files->begin(), files->end(),
            [](const tReportFile& a, const tReportFile& b) { return a.name < b.name; });
  for (tReportFile& f : *files) {
    tFileBuf fb;
    if (!openBuf(&fb, dataPath(f.name), 'r', kFileBlock)) continue;
    f.readable = true;
    std::string whole;
    f.cutShort = readWholeFile(dataPath(f.name), &whole) && reportCutShort(whole);
    std::string first;
    if (readFileLine(&fb, first) <= 0) continue;
    f.parsed = strToIndex(first, &f.head);
    if (f.parsed) f.line = writeIndexToStr(f.head);
  }
  return true;
}

bool replaceIndex(const std::string& text, std::string* err) {
  tIndexLock lock;
  if (!lock.acquire(kIndexLockWait)) {
    *err = "the index is locked by another process";
    return false;
  }
  const std::string tmp = writeTemp("index", text);
  if (tmp.empty() || !commit(tmp, dataPath("index"))) {
    *err = "cannot write " + dataPath("index") + ": " + strerror(errno);
    return false;
  }
  // The new index stands for every change: the journal goes (after the
  // rename, so that no reader ever misses a change: a journal that a crash
  // would leave only repeats changes that the report files hold), and the
  // numbering probes every prefix from 1 again.
  ::unlink(dataPath(kJournalFile).c_str());
  if (DIR* d = ::opendir(dataPath("tmp").c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string_view n = e->d_name;
      if (n.size() > 5 && n.substr(n.size() - 5) == ".next") ::unlink(dataPath("tmp/" + std::string(n)).c_str());
    }
    ::closedir(d);
  }
  return true;
}

bool lockReport(tFileLock* lock, const std::string& name) {
  if (getDataDir().empty() || !isReportName(name)) return false;
  // In tmp/ with the other files of requests, so that the data directory
  // itself only changes when a report does. Lock files are never removed
  // (velko --repair leaves them): one removed while a request holds it
  // would let the next request lock a new file beside it.
  const std::string dir = dataPath("tmp");
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return lock->acquire(dir + "/" + name + ".lock", kIndexLockWait);
}


// ---------------------------------------------------------------------------
// Renaming and copying reports; attachment files
// ---------------------------------------------------------------------------

namespace {

// The key of an index line, its line feed included or not.
std::string indexLineKey(std::string_view line) { return indexKeyOfLine(stripLineEnd(line)); }

}  // namespace

int storeChangedBug(tHeader& bug, const std::string& oldName, const std::string& oldLine,
                    const std::function<void(tHeader&)>& beforeWrite) {
  if (!isReportName(oldName)) return -1;
  int rc;
  const bool moved = getBugName(bug) != oldName;
  if (moved) {
    // The new file and its index line are complete before the old ones go:
    // a crash in between leaves the report twice, never nowhere.
    rc = storeNumberedBug(bug, 1, beforeWrite);
  } else {
    if (beforeWrite) beforeWrite(bug);
    rc = writeBug(bug);
  }
  if (rc < 0) return rc;
  if (moved && ::unlink(dataPath(oldName).c_str()) != 0)
    traceComment("the old report file " + oldName + " stays: " + strerror(errno));
  // The old index line goes when its key is not the new one (a new number,
  // or another project, group or phase under the same name).
  if (indexLineKey(oldLine) != indexLineKey(writeIndexToStr(bug)) &&
      updateIndex(nullptr, &oldLine) != 1)
    traceComment("the old index line of " + oldName + " stays");
  return rc;
}

std::string attachmentPath(const std::string& name, const std::string& fileName) {
  // As the report's entry stores it: the data directory, then
  // "/TRACE_<name>/<file>".
  return getDataDir() + "/TRACE_" + name + "/" + fileName;
}

namespace {

// The report name and file name of an attachment path: the data directory
// (with or without its final '/'), "TRACE_", a report name, '/', and one
// file name that is neither "." nor "..". False for any other path.
bool splitAttachmentPath(std::string_view path, std::string* name, std::string* file) {
  const std::string& dir = getDataDir();
  if (dir.empty() || path.compare(0, dir.size(), dir) != 0) return false;
  path.remove_prefix(dir.size());
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (path.compare(0, 6, "TRACE_") != 0) return false;
  path.remove_prefix(6);
  const size_t slash = path.find('/');
  if (slash == std::string_view::npos) return false;
  *name = std::string(path.substr(0, slash));
  *file = std::string(path.substr(slash + 1));
  return isReportName(*name) && !file->empty() && *file != "." && *file != ".." &&
         file->find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// The attachment folder of report `name`, which must be a directory of its
// own (not a link to one elsewhere).
std::string attachmentFolder(const std::string& name) { return dataPath("TRACE_" + name); }

bool isFolder(const std::string& dir) {
  struct stat st;
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool isAttachmentPath(const std::string& path) {
  std::string name, file;
  return splitAttachmentPath(path, &name, &file);
}

bool attachmentExists(const std::string& path) {
  std::string name, file;
  struct stat st;
  return splitAttachmentPath(path, &name, &file) &&
         ::lstat((attachmentFolder(name) + "/" + file).c_str(), &st) == 0;
}

bool storeAttachment(const std::string& spool, const std::string& path, long* size) {
  std::string name, file;
  if (!splitAttachmentPath(path, &name, &file)) {
    errno = EINVAL;
    return false;
  }
  const std::string folder = attachmentFolder(name);
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
  if (!isFolder(folder)) {
    errno = ENOTDIR;
    return false;
  }
  // A second name for the spool, then the spool's own name goes: link never
  // replaces an existing file (EEXIST), and the file appears whole.
  const std::string target = folder + "/" + file;
  if (::link(spool.c_str(), target.c_str()) != 0) return false;
  ::unlink(spool.c_str());
  struct stat st;
  *size = ::stat(target.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
  return true;
}

bool removeAttachment(const std::string& path) {
  std::string name, file;
  return splitAttachmentPath(path, &name, &file) &&
         ::unlink((attachmentFolder(name) + "/" + file).c_str()) == 0;
}

bool readAttachment(const std::string& path, std::string* bytes) {
  std::string name, file;
  if (!splitAttachmentPath(path, &name, &file)) return false;
  const std::string folder = attachmentFolder(name);
  if (!isFolder(folder)) return false;
  tFd fd(::open((folder + "/" + file).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return readWholeFd(fd.get(), bytes);
}

// ---------------------------------------------------------------------------
// Reports received from other sites
// ---------------------------------------------------------------------------

namespace {

constexpr size_t kStampLength = 19;  // "%Y/%m/%d:%H.%M.%S"

std::vector<std::string> historyLines(const tHeader& h) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < h.history.size()) {
    size_t lf = h.history.find('\n', pos);
    if (lf == std::string::npos) lf = h.history.size();
    if (lf > pos) out.push_back(h.history.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return out;
}

// The latest time stamp of a history (stamps of one form sort as times).
std::string latestStamp(const tHeader& h) {
  std::string best;
  for (const std::string& l : historyLines(h)) best = std::max(best, l.substr(0, kStampLength));
  return best;
}

// The creation line: the first line of the history (a merge keeps it first:
// no change of a report comes before its creation).
std::string creationLine(const tHeader& h) {
  std::vector<std::string> lines = historyLines(h);
  return lines.empty() ? std::string() : lines.front();
}

// An entry as one text, for comparing and ordering: kind, date, submitter,
// title and text (an attachment's text made relative to the data
// directory, which differs from site to site).
std::string entryKey(const tAnalyse& a) {
  std::string data = a.data;
  while (!data.empty() && data.back() == '\n') data.pop_back();
  if (a.dataType == TYPE_ATTACHMENT) {
    const size_t at = data.rfind("/TRACE_");
    if (at != std::string::npos) data.erase(0, at + 1);
  }
  return strprintf("%c|%020ld|", 'a' + a.dataType, a.date) + a.submitter + "|" + a.title + "|" +
         data;
}

// Kind, date and submitter: what an edit of the entry leaves as it was.
std::string entryShortKey(const tAnalyse& a) {
  return strprintf("%c|%ld|", 'a' + a.dataType, a.date) + a.submitter;
}

// The description of the creation: the first entry (a merge keeps it first).
std::string creationEntry(const tHeader& h) {
  return h.data.empty() ? std::string() : entryKey(h.data.front());
}

// Whether `text` is an instance of the history format `format` ("%s"
// standing for any text).
bool matchesFormat(std::string_view text, std::string_view format) {
  if (format.empty()) return false;
  size_t f = 0, t = 0;
  bool first = true;
  for (;;) {
    const size_t next = format.find("%s", f);
    const std::string_view part = format.substr(f, next == std::string_view::npos ? next : next - f);
    if (first) {
      if (text.substr(0, part.size()) != part) return false;
      t = part.size();
      first = false;
    } else if (next == std::string_view::npos) {
      return text.size() >= t + part.size() && text.substr(text.size() - part.size()) == part;
    } else {
      const size_t at = text.find(part, t);
      if (at == std::string_view::npos) return false;
      t = at + part.size();
    }
    if (next == std::string_view::npos) return t == text.size();
    f = next + 2;
  }
}

// The history holds a line of an entry or a header edited (language texts
// 2027 and 2031): the description or the title may have changed.
bool hasEdit(const tHeader& h) {
  const std::string& entry = langue(2027);
  const std::string& header = langue(2031);
  for (const std::string& l : historyLines(h)) {
    if (l.size() <= kStampLength + 1) continue;
    const std::string_view text = std::string_view(l).substr(kStampLength + 1);
    if (matchesFormat(text, entry) || matchesFormat(text, header)) return true;
  }
  return false;
}

// Every line of `a` is in `b`, and `b` has more.
bool historyBelow(const tHeader& a, const tHeader& b) {
  std::vector<std::string> la = historyLines(a), lb = historyLines(b);
  std::sort(la.begin(), la.end());
  la.erase(std::unique(la.begin(), la.end()), la.end());
  std::sort(lb.begin(), lb.end());
  lb.erase(std::unique(lb.begin(), lb.end()), lb.end());
  return la.size() < lb.size() && std::includes(lb.begin(), lb.end(), la.begin(), la.end());
}

// A report file as received: its bytes follow the layout whole.
bool wholeReportText(const std::string& text) {
  size_t lf = text.find('\n');
  if (lf == std::string::npos) return false;
  tHeader head;
  if (!strToIndex(std::string_view(text).substr(0, lf), &head)) return false;
  size_t pos = lf + 1;
  for (;;) {
    const size_t l1 = text.find('\n', pos);
    if (l1 == std::string::npos) return false;
    const tAttachType t = getDataType(std::string_view(text).substr(pos, l1 - pos));
    if (l1 - pos != kSepLength || t == TYPE_UNKNOWN) return false;
    const size_t l2 = text.find('\n', l1 + 1);
    if (l2 == std::string::npos) return false;
    const std::string_view head2(text.data() + l1 + 1, l2 - l1 - 1);
    const size_t bar = t == TYPE_HISTORY ? std::string_view::npos : head2.rfind('|');
    if (t != TYPE_HISTORY && bar == std::string_view::npos) return false;
    long count = -1;
    if (!parseLong(t == TYPE_HISTORY ? head2 : head2.substr(bar + 1), &count) || count < 0)
      return false;
    pos = l2 + 1;
    if (t == TYPE_HISTORY) return text.size() - pos == static_cast<size_t>(count);
    if (text.size() - pos < static_cast<size_t>(count)) return false;
    pos += static_cast<size_t>(count);
  }
}

// Two ordered lists as one, each item once. When one list holds every
// item of the other, it is the result as it is (a site that has seen the
// other's state keeps its own order, so that both end with the same
// bytes); otherwise both are walked together by time, a tie taken by byte
// order, which gives the same list whichever is first.
template <class TimeOf>
std::vector<std::string> mergeOrdered(std::vector<std::string> a, std::vector<std::string> b,
                                      TimeOf timeOf) {
  auto unique = [](std::vector<std::string>& v) {
    std::set<std::string> seen;
    v.erase(std::remove_if(v.begin(), v.end(), [&](const std::string& x) { return !seen.insert(x).second; }),
            v.end());
    return std::set<std::string>(v.begin(), v.end());
  };
  const std::set<std::string> sa = unique(a), sb = unique(b);
  if (sa == sb) return std::min(a, b);
  if (std::includes(sa.begin(), sa.end(), sb.begin(), sb.end())) return a;
  if (std::includes(sb.begin(), sb.end(), sa.begin(), sa.end())) return b;
  std::vector<std::string> out;
  std::set<std::string> done;
  size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && done.count(a[i])) ++i;
    while (j < b.size() && done.count(b[j])) ++j;
    if (i == a.size() && j == b.size()) break;
    bool takeA;
    if (i == a.size()) takeA = false;
    else if (j == b.size()) takeA = true;
    else {
      const std::string ta = timeOf(a[i]), tb = timeOf(b[j]);
      takeA = ta != tb ? ta < tb : a[i] < b[j];
    }
    const std::string& x = takeA ? a[i++] : b[j++];
    done.insert(x);
    out.push_back(x);
  }
  return out;
}

// The global history lines of `merged`, stored as `name`, that `before`
// did not hold.
void pendNewLines(tHeader* merged, const tHeader* before, const std::string& name) {
  std::vector<std::string> old = before ? historyLines(*before) : std::vector<std::string>();
  std::sort(old.begin(), old.end());
  merged->pendingHistory.clear();
  for (const std::string& l : historyLines(*merged)) {
    if (std::binary_search(old.begin(), old.end(), l)) continue;
    const std::string stamp = l.substr(0, std::min(l.size(), kStampLength));
    const std::string text = l.size() > kStampLength + 1 ? l.substr(kStampLength + 1) : "";
    merged->pendingHistory.push_back(stamp + " " + name + " " + text + "\n");
  }
}

// The locks of the reports an import touches, taken one by one.
class tReportLocks {
 public:
  bool take(const std::string& name) {
    for (const auto& l : locks_)
      if (l.first == name) return true;
    auto lock = std::make_unique<tFileLock>();
    if (!lockReport(lock.get(), name)) return false;
    locks_.emplace_back(name, std::move(lock));
    return true;
  }

 private:
  std::vector<std::pair<std::string, std::unique_ptr<tFileLock>>> locks_;
};

std::string nameAt(const tHeader& h, int number) {
  return strprintf("%s.%05d", getBugPrefix2(h).c_str(), number);
}

// The local reports of the same creation date that are copies of `rec`,
// as (name, record).
std::vector<std::pair<std::string, tHeader>> localCopies(const tHeader& rec) {
  std::vector<std::string> names;
  tIndexLines lines;
  if (lines.open()) {
    std::string_view line;
    tIndexFields f;
    tReportNames reportNames;
    while (lines.next(&line, &f, IX_DATE)) {
      if (f.number(IX_DATE) != rec.date) continue;
      tHeader h;
      if (strToIndex(line, &h)) names.push_back(reportNames.of(h));
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::vector<std::pair<std::string, tHeader>> out;
  for (const std::string& n : names) {
    std::unique_ptr<tHeader> h = isReportName(n) ? readBug(n) : nullptr;
    if (h && getBugName(*h) == n && sameReport(*h, rec)) out.emplace_back(n, std::move(*h));
  }
  return out;
}

// Writes `h` as report `number` of its prefix.
int writeAt(tHeader h, int number, const tHeader* before) {
  h.number = number;
  pendNewLines(&h, before, getBugName(h));
  return writeBug(h);
}

// Places `rec` at its number by the conflict rule (see utils.h); `known`,
// when given, holds the history lines this site already had of it. The
// reports moved on are written first, from the highest number down, so
// that a stop in between leaves a report twice, never nowhere: the next
// import of the same message merges the two.
int insertNewFFT(const tHeader& rec, const tHeader* known, tReportLocks* locks,
                 std::string* storedAs) {
  struct tWrite {
    tHeader h;
    int number;
    bool moved;             // a local report moved on: its history is not new
    std::unique_ptr<tHeader> merged;  // the local copy it was merged with
  };
  std::vector<tWrite> plan;
  tHeader carry = rec;
  bool moved = false;
  int n = std::max(rec.number, 1);
  for (int steps = 0;; ++steps, ++n) {
    if (steps > 100000) return -1;
    const std::string name = nameAt(carry, n);
    if (!locks->take(name)) return kStoreBusy;
    std::unique_ptr<tHeader> local = readBug(name);
    if (!local) {
      plan.push_back({carry, n, moved, nullptr});
      break;
    }
    if (sameReport(*local, carry)) {
      tHeader merged = mergeFFT(*local, carry);
      plan.push_back({merged, n, moved, std::move(local)});
      break;
    }
    if (createdBefore(carry, *local)) {
      tHeader pushed = *local;
      plan.push_back({carry, n, moved, nullptr});
      carry = std::move(pushed);
      moved = true;
    }
  }
  *storedAs = nameAt(plan.front().h, plan.front().number);
  for (auto it = plan.rbegin(); it != plan.rend(); ++it) {
    tHeader seen = it->moved ? it->h : (known ? *known : tHeader());
    if (it->merged) mergeFFTHisto(&seen, seen, *it->merged);
    const int rc = writeAt(it->h, it->number, &seen);
    if (rc < 0) return rc;
  }
  return 1;
}

}  // namespace

bool readReceivedReport(const std::string& path, tHeader* head) {
  std::string text;
  if (!readWholeFile(path, &text) || !wholeReportText(text)) return false;
  std::unique_ptr<tHeader> h = readBugPath(path);
  if (!h) return false;
  *head = std::move(*h);
  return true;
}

bool sameReport(const tHeader& a, const tHeader& b) {
  if (a.date != b.date || creationLine(a) != creationLine(b)) return false;
  return (creationEntry(a) == creationEntry(b) && a.title == b.title) || hasEdit(a) || hasEdit(b);
}

bool createdBefore(const tHeader& a, const tHeader& b) {
  if (a.date != b.date) return a.date < b.date;
  const std::string ca = creationLine(a), cb = creationLine(b);
  if (ca != cb) return ca < cb;
  const std::string ea = creationEntry(a), eb = creationEntry(b);
  return ea != eb ? ea < eb : a.title < b.title;
}

void mergeFFTHisto(tHeader* bug, const tHeader& b1, const tHeader& b2) {
  const std::vector<std::string> lines = mergeOrdered(historyLines(b1), historyLines(b2), [](const std::string& l) {
    return l.substr(0, kStampLength);
  });
  bug->history.clear();
  for (const std::string& l : lines) bug->history += l + "\n";
}

void mergeFFTAnalysis(tHeader* bug, const tHeader& b1, const tHeader& b2) {
  const bool b1Old = historyBelow(b1, b2), b2Old = historyBelow(b2, b1);
  // An entry of the older copy that the newer one holds in another
  // version only was edited there.
  auto kept = [](const tHeader& h, bool old, const tHeader& other, std::map<std::string, tAnalyse>* byKey) {
    std::set<std::string> otherKeys, otherShort;
    for (const tAnalyse& a : other.data) {
      otherKeys.insert(entryKey(a));
      otherShort.insert(entryShortKey(a));
    }
    std::vector<std::string> keys;
    for (const tAnalyse& a : h.data) {
      const std::string k = entryKey(a);
      if (old && !otherKeys.count(k) && otherShort.count(entryShortKey(a))) continue;
      byKey->emplace(k, a);
      keys.push_back(k);
    }
    return keys;
  };
  std::map<std::string, tAnalyse> byKey;
  const std::vector<std::string> k1 = kept(b1, b1Old, b2, &byKey), k2 = kept(b2, b2Old, b1, &byKey);
  std::vector<tAnalyse> data;
  for (const std::string& k : mergeOrdered(k1, k2, [](const std::string& k) { return k.substr(2, 20); }))
    data.push_back(byKey.at(k));
  bug->data = std::move(data);
}

tHeader mergeFFT(const tHeader& bug1, const tHeader& bug2) {
  tHeader a = bug1, b = bug2;
  b.number = a.number;
  const std::string sa = latestStamp(a), sb = latestStamp(b);
  const bool second = sb != sa ? sb > sa : writeIndexToStr(b) > writeIndexToStr(a);
  tHeader merged = second ? b : a;
  merged.number = bug1.number;
  mergeFFTHisto(&merged, bug1, bug2);
  mergeFFTAnalysis(&merged, bug1, bug2);
  merged.pendingHistory.clear();
  return merged;
}

std::string IncFName(const std::string& fname) {
  if (!isReportName(fname)) return std::string();
  const size_t dot = fname.find('.');
  const long n = atol(fname.c_str() + dot + 1);
  return strprintf("%s.%05ld", fname.substr(0, dot).c_str(), n + 1);
}

void localizeAttachments(tHeader* head) {
  for (tAnalyse& a : head->data) {
    if (a.dataType != TYPE_ATTACHMENT) continue;
    std::string data = a.data;
    while (!data.empty() && data.back() == '\n') data.pop_back();
    const size_t at = data.rfind("/TRACE_");
    if (at == std::string::npos) continue;
    const size_t slash = data.find('/', at + 7);
    if (slash == std::string::npos) continue;
    const std::string name = data.substr(at + 7, slash - at - 7);
    const std::string file = data.substr(slash + 1);
    const std::string local = attachmentPath(name, file);
    if (isAttachmentPath(local)) a.data = local + "\n";
  }
}

int importFFT(const std::string& fftName, const std::string& pidPath, std::string* storedAs) {
  tHeader rec;
  if (!readReceivedReport(pidPath, &rec)) return kReportDamaged;
  localizeAttachments(&rec);
  rec.pendingHistory.clear();
  if (!isReportName(getBugName(rec))) return -1;
  if (getBugName(rec) != fftName)
    traceComment("received " + fftName + " is " + getBugName(rec) + " here");
  tFileLock numberLock;
  if (!numberLock.acquire(dataPath("number.lock"), kNumberLockWait))
    return errno == EWOULDBLOCK || errno == EINTR ? kStoreBusy : -1;
  tReportLocks locks;

  std::vector<std::pair<std::string, tHeader>> copies = localCopies(rec);
  if (copies.empty()) return insertNewFFT(rec, nullptr, &locks, storedAs);

  // Merged into the copy held here; copies under other names go.
  for (const auto& c : copies)
    if (!locks.take(c.first)) return kStoreBusy;
  copies = localCopies(rec);  // as they are now, under their locks
  if (copies.empty()) return insertNewFFT(rec, nullptr, &locks, storedAs);
  tHeader merged = rec;
  for (const auto& c : copies) merged = mergeFFT(c.second, merged);
  // Kept: the copy of the merged prefix with the highest number.
  const std::pair<std::string, tHeader>* keep = nullptr;
  for (const auto& c : copies)
    if (getBugPrefix2(c.second) == getBugPrefix2(merged) &&
        (!keep || c.second.number > keep->second.number))
      keep = &c;
  int rc;
  if (keep) {
    rc = writeAt(merged, keep->second.number, &keep->second);
    *storedAs = keep->first;
  } else {
    // Its header moved it to another prefix: placed there by the rule.
    merged.number = rec.number;
    tHeader known;
    for (const auto& c : copies) mergeFFTHisto(&known, known, c.second);
    rc = insertNewFFT(merged, &known, &locks, storedAs);
  }
  if (rc < 0) return rc;
  for (const auto& c : copies) {
    if (c.first == *storedAs) continue;
    ::unlink(dataPath(c.first).c_str());
    const std::string line = writeIndexToStr(c.second);
    updateIndex(nullptr, &line);
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Test results in the global history
// ---------------------------------------------------------------------------

bool appendHistoryLine(std::string_view line) {
  tFd fd(::open(dataPath("history.dat").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  return fd.ok() && writeAll(fd.get(), line) && fd.close();
}

// ---------------------------------------------------------------------------
// Temporaries left by killed requests
// ---------------------------------------------------------------------------

namespace {

// True when no process `pid` runs (a pid that cannot be read counts as alive).
bool processGone(const std::string& digits) {
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const pid_t pid = static_cast<pid_t>(std::stol(digits));
  return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool olderThan(const std::string& path, long seconds) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_mtime < ::time(nullptr) - seconds;
}

}  // namespace

std::vector<std::string> deadTemporaries() {
  std::vector<std::string> out;
  auto scan = [&](const std::string& folder, auto&& dead) {
    DIR* d = ::opendir(dataPath(folder).c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      const std::string rel = folder.empty() ? n : folder + "/" + n;
      if (n != "." && n != ".." && dead(n, dataPath(rel))) out.push_back(rel);
    }
    ::closedir(d);
  };
  scan("", [](const std::string& n, const std::string& path) {
    // ".<file>.<pid>.tmp": a replacement being written.
    if (n.size() > 5 && n[0] == '.' && n.compare(n.size() - 4, 4, ".tmp") == 0) {
      const std::string stem = n.substr(0, n.size() - 4);
      return processGone(stem.substr(stem.rfind('.') + 1));
    }
    // ".<report>.new": a number reserved; "<report>.kept": an old report
    // kept while its index line changes. Both last milliseconds.
    if ((n[0] == '.' && n.size() > 4 && n.compare(n.size() - 4, 4, ".new") == 0) ||
        (n.size() > 5 && n.compare(n.size() - 5, 5, ".kept") == 0))
      return olderThan(path, kReservationAge);
    return false;
  });
  scan("tmp", [](const std::string& n, const std::string&) {
    // "data<pid>": an upload spool; "velko.<pid>.prt": a printout.
    if (n.compare(0, 4, "data") == 0) return processGone(n.substr(4));
    if (n.compare(0, 6, "velko.") == 0 && n.size() > 10 && n.compare(n.size() - 4, 4, ".prt") == 0)
      return processGone(n.substr(6, n.size() - 10));
    return false;
  });
  return out;
}
