// utils.h: the report store (report files, the index, the global history)
// and the time and URL helpers.
//
// Files of the data directory owned by this module:
//   <name>          one report file per report, <name> = prefix "." 5 digits
//   index           one index line per report, in the order of last update
//   index.journal   the changes not yet folded into a large index, one
//                   record per change (see "The index" below)
//   index.lock      kernel lock (flock) serialising every index rewrite and
//                   every report replacement; the file stays in place
//   index.fold      kernel lock of the one request folding the journal
//   number.lock     kernel lock serialising the numbering of new reports
//   tmp/<prefix>.next   where the numbering of a large prefix resumes
//   history.dat     the global history, one line per change, appended
//   .<file>.<pid>.tmp   a replacement being written (renamed over <file>)
//
// Stored text fields never hold '|', carriage return or line feed: when a
// record is written they are replaced by a stand-in (kBarStandIn for '|', a
// blank for the line ends), so that a title can never split the index line.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fileio.h"
#include "names.h"
#include "timeutil.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Buffered file access
// ---------------------------------------------------------------------------

// Block size every user of the layer opens its files with.
constexpr int kFileBlock = 50000;
// readFileLine hands out lines of at most kLinePiece bytes; a char buffer
// given to it needs room for kLineBufSize bytes (the piece and a zero byte).
constexpr int kLinePiece = 1022;
constexpr int kLineBufSize = 1023;

// One open file with its block buffer. Reading: bufLen valid bytes, the next
// one to hand out at bufIndex. Writing: bufLen bytes waiting to be written.
// The handle closes itself (writing what waits) when it goes out of scope.
struct tFileBuf {
  int fd = -1;
  std::unique_ptr<char[]> buffer;
  char mode = 0;  // 'r' or 'w'
  int bufLen = 0;
  int bufIndex = 0;
  int bufMax = 0;

  tFileBuf() = default;
  ~tFileBuf();
  tFileBuf(const tFileBuf&) = delete;
  tFileBuf& operator=(const tFileBuf&) = delete;
};

// Opens `name` for reading ('r') or writing ('w', replacing the file) with a
// block of `len` bytes. 1 when open, 0 otherwise (the handle then has no
// file: reads report end of file, writes do nothing).
int openBuf(tFileBuf* fbuf, const std::string& name, char mode, int len);
// The same for a descriptor already open (the handle takes it over).
int openBufFd(tFileBuf* fbuf, int fd, char mode, int len);
// Writes what waits, closes, releases the buffer. 1 on success (also for a
// handle without file), -1 when the last write was short or close failed.
int closeBuf(tFileBuf* fbuf);
// Writes the waiting bytes: 0 on success, -1 when the write was short (the
// bytes not written stay in the buffer).
int flushBuf(tFileBuf* fbuf);
// flushBuf, then fsync: 0 when everything is on disk, -1 otherwise.
int syncBuf(tFileBuf* fbuf);
// Appends `length` bytes; writes the waiting bytes first when they would not
// fit, and writes a range larger than the block directly. `length`, or -1
// when a write was short (nothing appended then).
int writeFileBuf(tFileBuf* fbuf, const char* from, int length);
int writeFileBuf(tFileBuf* fbuf, std::string_view text);
// The next line without its line feed (a carriage return is kept) into
// `buffer` (kLineBufSize bytes). Result: the line's length up to its first
// zero byte, 0 for an empty line, -1 at end of file. Lines longer than
// kLinePiece come in pieces of kLinePiece bytes. A last line without line
// feed is not handed out (-1).
int readFileLine(tFileBuf* fbuf, char* buffer);
// The same into a string, with pieces of at most `maxLen` bytes (the text
// stops at a zero byte, as the char form does).
int readFileLine(tFileBuf* fbuf, std::string& line, size_t maxLen = kLinePiece);
// Reads exactly `length` bytes, adds a zero byte (buffer: length + 1 bytes),
// then skips the separator byte that follows. `length`, or -1 when the file
// ends first.
int readFileBuf(tFileBuf* fbuf, char* buffer, int length);

// ---------------------------------------------------------------------------
// Report files
// ---------------------------------------------------------------------------

// Fields of an index line: 26 positional fields, then the title.
constexpr int kIndexFields = 27;

// The separator lines, indexed by tAttachType (analysis, attachment, history).
extern const char* const sep[3];
constexpr size_t kSepLength = 23;
// What a '|' of a text field becomes in a stored line.
constexpr char kBarStandIn = '/';
// `text` as a field of `width` is stored: at most width - 1 bytes, never
// half of a UTF-8 character, '|' as kBarStandIn, line ends and zero bytes
// as blanks.
std::string storedField(std::string_view text, size_t width);

// The report file `fname` of the data directory; null when it cannot be
// opened. A file cut short gives what was read up to the cut.
std::unique_ptr<tHeader> readBug(const std::string& fname);
// The same for a file given by its path.
std::unique_ptr<tHeader> readBugPath(const std::string& path);
// Writes the report file of getBugName(head) through a temporary file and a
// rename, then its index line (updateIndex). Entry texts get their final
// line feed. 1 on success; negative when the report or the index could not
// be written (the old report file and the index are then left whole; when
// the report file itself failed the index is not touched).
int writeBug(tHeader& head);

// ---------------------------------------------------------------------------
// New reports
// ---------------------------------------------------------------------------

// Seconds a creation waits for the numbering lock ("number.lock" of the
// data directory) before giving up.
constexpr int kNumberLockWait = 5;
// writeBug's and storeNewBug's answer when a lock was not had in time.
constexpr int kStoreBusy = -2;
// A report file that is cut short (or a received one that is not whole):
// never rewritten, so that what is left of it is not lost for good.
constexpr int kReportDamaged = -4;
// Stores `bug` as a new report: under the numbering lock it gets the lowest
// free number of its report prefix, the history line history2(format,
// arg1, arg2) (the creation line), and is written with its index line
// (writeBug). `shown`, when given, receives the record as it was just
// before the write. 1, or a negative value with nothing stored: kStoreBusy
// when the numbering or the index lock was not had in time, -3 when the
// index could not be written, -1 otherwise. Every writer of new reports
// comes here, so that two of them never take one number.
int storeNewBug(tHeader& bug, const std::string& format, const std::string& arg1,
                const std::string& arg2, tHeader* shown = nullptr);
// Stores `bug` as a new report under the numbering lock: it takes the lowest
// free number of its prefix at or above `from` (a copy keeps its source's
// number when that one is free), then `beforeWrite(bug)` runs (its history
// lines then name the report as stored) and the report is written with its
// index line. Results as storeNewBug, which is this with `from` 1.
int storeNumberedBug(tHeader& bug, int from, const std::function<void(tHeader&)>& beforeWrite);
// The file that a write with the negative result `rc` could not write: the
// report `name` for -1, the index otherwise.
std::string failedFile(int rc, const std::string& name);
// Why a store operation on report `name` that returned `rc` failed, as the
// text that message 520 takes: a report file cut short, or the file that
// cannot be written.
std::string saveFailureReason(int rc, const std::string& name);
// True when the text of a report file ends before what its own byte counts
// announce: inside an entry or the history, or before the history section
// that every writer ends a report with (a file cut by a crash or a full disk).
bool reportCutShort(std::string_view text);

// The bytes writeBug stores for `head` (entry texts get their final line
// feed here).
std::string formatBug(tHeader& head);
// Appends an analysis entry; the caller changes dataType for an attachment.
tAnalyse* addAnalyse(tHeader* head, const std::string& title, const std::string& submitter,
                     long date, const std::string& data);
// TYPE_ANALYSE, TYPE_ATTACHMENT or TYPE_HISTORY when `line` is that
// separator or a tail of it of 2 characters or more, else TYPE_UNKNOWN.
tAttachType getDataType(std::string_view line);

// History: one line "time text" in the record and "time name text" appended
// to the data directory's "history.dat" (skipped when it cannot be opened).
// `format` is a language text: each "%s" takes the next argument (an empty
// text once they are used up), "%%" is a percent sign; a format holding any
// other conversion is used as plain text. Line ends become blanks.
void history1(tHeader* head, const std::string& format, const std::string& arg1);
void history2(tHeader* head, const std::string& format, const std::string& arg1,
              const std::string& arg2);
void history3(tHeader* head, const std::string& format, const std::string& arg1,
              const std::string& arg2, const std::string& arg3);
// history3 at the given time (the others take the current time).
void historyAt(tHeader* head, long when, const std::string& format, const std::string& arg1,
               const std::string& arg2, const std::string& arg3);
// One line of "history.dat": "<time> <report or test> <text>".
struct tHistoryLine {
  std::string_view time;  // as time2char writes it
  std::string_view name;  // a report name, or what a test line names
  std::string_view text;
};
// Calls `fn` for every non-empty line of "history.dat", oldest first (a last
// line without line feed is left out: it is still being written); false
// when the file cannot be opened. The name is the word after the time; a
// test result's path (it holds '/') runs to the "Test Created by" or
// "Test Changed by" of its text, so keys with blanks stay in it.
bool forEachHistoryLine(const std::function<void(const tHistoryLine&)>& fn);
// The text a history format gives with its arguments (see above).
std::string applyHistoryFormat(std::string_view format, const std::string& arg1,
                               const std::string& arg2, const std::string& arg3);


// ---------------------------------------------------------------------------
// The index
// ---------------------------------------------------------------------------
//
// A change rewrites the whole "index" only while it is small (at most
// kIndexRewriteMax bytes). A larger index stays as it is and the change is
// appended to "index.journal": "+" and the report's new index line (the line
// moves to the end), or "-" and an old line (the line of its key goes). Every
// reader applies the journal: the lines of the index whose key a record
// names are left out (and so are empty lines, which a rewrite drops), and
// the journal's surviving lines follow in the order of their last record.
// Readers therefore see exactly the lines that a rewrite at each change
// would have left. The journal is folded into the index (the index written
// whole, then the journal cut to the records that came meanwhile) once it
// passes 1/kFoldRatio of the index, after the page of the request that
// made it pass. Applying a journal twice gives what applying it once gives,
// and a reader reads the journal after opening the index (again, if the
// index was replaced meanwhile), so a reader between the two renames of a
// fold, or after a crash between them, reads the same.

// Largest index that a change rewrites whole.
constexpr long kIndexRewriteMax = 64 * 1024;
// The journal is folded once it is larger than the index / kFoldRatio.
constexpr long kFoldRatio = 32;

// The index line of `head`, line feed included.
std::string writeIndexToStr(const tHeader& head);
// The readable line of the list download: names for the enumerations, dates
// as time2char texts, the number on five digits.
std::string writeIndexToReadableStr(const tHeader& head);
// Parses an index line (without line feed) into `head`; fields missing or
// not readable leave the record's field as it was, texts are cut to their
// width. True when the line held all 27 fields, every number and letter read.
bool strToIndex(std::string_view line, tHeader* head);
// The key "%s,%s,%d,%d" (project, group, phase, number) of a record.
std::string indexKey(const tHeader& head);
// The key of an index line (without line feed), read as updateIndex reads
// it: always the key that strToIndex into a fresh record gives.
std::string indexKeyOfLine(std::string_view line);
// Clears `head` and reads the next index line of `fbuf` into it. The result
// of readFileLine: length, 0 for an empty line, -1 at end of file.
int readIndex(tFileBuf* fbuf, tHeader* head);
// Clears every field of a record, keeping the capacity of its strings, so a
// record reused line after line does not allocate for each long title.
void resetHeader(tHeader* h);
// Writes the index line of `head`: 0 when fbuf has no file, else the result
// of writeFileBuf.
int writeIndex(tFileBuf* fbuf, const tHeader& head);
// Replaces the line of `head` by its current line (moved to the end), or,
// when `head` is null, removes the line whose key is that of the index line
// `oldLine` (and lets the numbering give that report's number again). Runs
// under the index lock; the new index (a temporary file flushed and renamed
// over "index") or the journal record (flushed) is on disk before it
// returns. The length of the new line (1 for a removal) when written, 0
// when not (lock not had within a few seconds, disk full): the index reads
// as before then.
int updateIndex(const tHeader* head, const std::string* oldLine);
// Folds the journal into the index now if it is larger than the index /
// kFoldRatio (and no other request is folding it); run after the page.
void foldIndexJournal();

// ---------------------------------------------------------------------------
// Reading the whole index, and report files for lists
// ---------------------------------------------------------------------------
// For the readers of the whole index (the search; the statistics and the
// synchronisation): the lines as readIndex reads them, and the fields of a
// line read one at a time, so that a reader testing a few fields of every
// line builds a record only for the lines it keeps.

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cstring>
#include <functional>
#include <vector>

// Calls `fn` for every line of the index, in file order, each as readIndex
// reads it: without its line feed, cut at a zero byte, at most kLinePiece
// bytes (a longer line comes in pieces, each handed out as a line of its
// own), empty lines included, a last line without line feed left out. The
// view is valid during the call only. Stops when `fn` returns false. False
// when the index cannot be opened.
bool forEachIndexLine(const std::function<bool(std::string_view line)>& fn);

// The positions of the fields of an index line (the title is the text after
// the last separator).
enum tIndexField {
  IX_PREFIX, IX_NUMBER, IX_PHASE, IX_DATE, IX_SUBMITTER, IX_SEVERITY, IX_PROJECT, IX_GROUP,
  IX_MODULE, IX_VERSION, IX_EXPVERS, IX_STATUS, IX_POSTPONE, IX_ASSIGNED, IX_CORRECTOR,
  IX_CORRDATE, IX_CORRVERS, IX_VERIFIER, IX_VERIFDATE, IX_VERIFVERS, IX_TYPE, IX_IMPACT,
  IX_MDAPDA, IX_TESTREF, IX_SPENT, IX_ESTIMATE,
  IX_FIELDS  // the number of fields before the title
};

// How strToIndex reads each field: a text cut to fit `limit` bytes, an int,
// a long, or a letter whose value is at most `limit`.
struct tIndexFieldRule {
  enum Kind { TEXT, INT, LONG, LETTER } kind;
  unsigned limit;
};
inline constexpr tIndexFieldRule kIndexFieldRules[IX_FIELDS] = {
    {tIndexFieldRule::TEXT, kPrefixSize},          // prefix
    {tIndexFieldRule::INT, 0},                     // number
    {tIndexFieldRule::LETTER, 15},                 // phase
    {tIndexFieldRule::LONG, 0},                    // date
    {tIndexFieldRule::TEXT, kUserSize},            // submitter
    {tIndexFieldRule::LETTER, 25},                 // severity
    {tIndexFieldRule::TEXT, kProjectSize},         // project
    {tIndexFieldRule::TEXT, kProjectSize},         // group
    {tIndexFieldRule::TEXT, kModuleSize},          // module
    {tIndexFieldRule::TEXT, kVersionSize},         // version
    {tIndexFieldRule::TEXT, kVersionSize},         // expected version
    {tIndexFieldRule::LETTER, kStatusCount - 1},   // status
    {tIndexFieldRule::LONG, 0},                    // postponed to
    {tIndexFieldRule::TEXT, kUserSize},            // assignee
    {tIndexFieldRule::TEXT, kUserSize},            // corrector
    {tIndexFieldRule::LONG, 0},                    // correction date
    {tIndexFieldRule::TEXT, kVersionSize},         // correction version
    {tIndexFieldRule::TEXT, kUserSize},            // verifier
    {tIndexFieldRule::LONG, 0},                    // verification date
    {tIndexFieldRule::TEXT, kVersionSize},         // verification version
    {tIndexFieldRule::LETTER, 2},                  // type
    {tIndexFieldRule::LETTER, 3},                  // impact
    {tIndexFieldRule::TEXT, kMdaPdaSize},          // MDA/PDA reference
    {tIndexFieldRule::TEXT, kTestrefSize},         // test reference
    {tIndexFieldRule::LONG, 0},                    // time spent
    {tIndexFieldRule::LONG, 0},                    // time estimated
};

// The fields of an index line as the parser sees them: `count` separators
// were found; fields[0..min(count, 26)) are the positional fields and
// `title` is the text after the last separator.
struct tSplitLine {
  std::string_view fields[kIndexFields - 1];
  size_t count = 0;
  std::string_view title;
};

// Splits at every '|' (16 bytes at a time where the processor allows: this
// is the inner loop of every index read). With `stopWhenFull` the walk ends
// once maxFields separators were seen; `title` is then not set.
inline void splitIndexLine(std::string_view line, tSplitLine* s,
                           size_t maxFields = kIndexFields - 1, bool stopWhenFull = false) {
  size_t count = 0;
  size_t start = 0;
  const char* const base = line.data();
  const size_t n = line.size();
  size_t i = 0;
  auto found = [&](size_t pos) {
    if (count < maxFields) s->fields[count] = std::string_view(base + start, pos - start);
    ++count;
    start = pos + 1;
  };
#ifdef __SSE2__
  const __m128i bar = _mm_set1_epi8('|');
  for (; i + 16 <= n; i += 16) {
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i)), bar)));
    while (mask) {
      found(i + static_cast<size_t>(__builtin_ctz(mask)));
      mask &= mask - 1;
      if (stopWhenFull && count >= maxFields) {
        s->count = count;
        return;
      }
    }
  }
#endif
  for (; i < n; ++i) {
    if (base[i] != '|') continue;
    found(i);
    if (stopWhenFull && count >= maxFields) {
      s->count = count;
      return;
    }
  }
  s->count = count;
  s->title = std::string_view(base + start, n - start);
}

// An index line split at its first separators only; each field is then read
// on demand exactly as strToIndex reads it into a cleared record
// (resetHeader): a field the line lacks, or one that does not read, gives the
// cleared record's value. The usual field (a short text, one letter, a few
// digits) is read here; any other goes to the store's own parse.
class tIndexFields {
 public:
  // Splits `line` up to field `last` (the line must outlive the reads).
  inline void split(std::string_view line, tIndexField last);

  // A text field as the record holds it (cut to its width).
  std::string_view text(tIndexField f) const {
    if (f >= count_) return std::string_view();
    return s_.fields[f].size() < kIndexFieldRules[f].limit ? s_.fields[f] : cutText(f);
  }
  // A letter field (phase, severity, status, type, impact) as the record
  // holds it.
  int letter(tIndexField f) const {
    if (f < count_ && s_.fields[f].size() == 1) {
      const unsigned v = static_cast<unsigned char>(s_.fields[f][0]) - unsigned{'a'};
      if (v <= kIndexFieldRules[f].limit) return static_cast<int>(v);
    }
    return readLetter(f);
  }
  // A number or date field as the record holds it.
  long number(tIndexField f) const {
    if (f < count_ && !s_.fields[f].empty() && s_.fields[f].size() <= 9) {
      long v = 0;
      for (const char c : s_.fields[f]) {
        if (c < '0' || c > '9') return readNumber(f);
        v = v * 10 + (c - '0');
      }
      return v;
    }
    return readNumber(f);
  }
  // The title as the record holds it.
  std::string_view title() const;

 private:
  std::string_view cutText(tIndexField f) const;
  int readLetter(tIndexField f) const;
  long readNumber(tIndexField f) const;

  std::string_view line_;
  tSplitLine s_;  // fields s_.fields[0 .. count_) are set
  int count_ = 0;
};

inline void tIndexFields::split(std::string_view line, tIndexField last) {
  // The walk ends at the last field asked for, so the rest of the line is
  // never looked at.
  line_ = line;
  splitIndexLine(line, &s_, static_cast<size_t>(last) + 1, true);
  count_ = static_cast<int>(std::min<size_t>(s_.count, static_cast<size_t>(last) + 1));
}

// The lines of the index in a loop of the reader's own (forEachIndexLine
// is built on it), for the readers that test every line: each line comes
// split up to a given field, in one call. The index is mapped into memory
// and a line handed out is a view into it; the journal's lines follow.
struct tIndexSource;
class tIndexLines {
 public:
  tIndexLines();
  ~tIndexLines();
  tIndexLines(const tIndexLines&) = delete;
  tIndexLines& operator=(const tIndexLines&) = delete;

  // Opens the index, then reads the journal; false when the index cannot be
  // opened and there is no journal either.
  bool open();
  // The next line, as forEachIndexLine hands it out, split into `fields` up
  // to field `last`; both valid until the next call. False at the end.
  bool next(std::string_view* line, tIndexFields* fields, tIndexField last) {
    if (!next(line)) return false;
    fields->split(*line, last);
    return true;
  }
  // The next line without splitting it.
  bool next(std::string_view* line) {
    // The usual line: whole in the index, no journal to apply.
    if (plain_ && pos_ < end_) {
      const size_t avail = static_cast<size_t>(end_ - pos_);
      const size_t look = avail < size_t{kLinePiece} ? avail : size_t{kLinePiece};
      if (const void* lf = memchr(pos_, '\n', look)) {
        const char* const p = pos_;
        const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - p);
        pos_ = p + len + 1;
        const void* zero = memchr(p, '\0', len);
        *line = std::string_view(p, zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : len);
        return true;
      }
    }
    return nextOther(line);
  }
  // Skips the lines of the index that do not hold `text` anywhere (so that
  // no field of theirs can hold it); the next line handed out is the first
  // one that does, or a journal line. For a search whose every match must
  // hold a given text.
  void skipWithout(std::string_view text);

 private:
  bool nextOther(std::string_view* line);
  bool nextInIndex(std::string_view* line);

  const char* pos_ = nullptr;  // the rest of the index
  const char* end_ = nullptr;
  bool plain_ = true;  // no journal: every line of the index as it is
  std::unique_ptr<tIndexSource> src_;
};

// The report names of many records (getBugName): the prefix of each project,
// group and phase is looked up once, since an index holds few of them.
class tReportNames {
 public:
  const std::string& of(const tHeader& h);

 private:
  struct Entry {
    std::string project, group;
    int phase;
    std::string prefix;
  };
  std::vector<Entry> entries_;
  std::string spare_, name_;
};

// True when some line of report file `name`, read as readFileLine reads it,
// contains `text`; false when it does not, when the file cannot be opened or
// when `name` is not a report name.
bool reportContains(const std::string& name, std::string_view text);
// Reads the first line of report file `name` (its index line) into `head`, as
// readIndex reads a line. False when `name` is not a report name, when the
// file cannot be opened or has no whole first line.
bool readReportHead(const std::string& name, tHeader* head);
// The index line of report `name` formed from its file, as the index holds
// it, into `head` (cleared first): false when `name` is not a report name,
// when the file cannot be opened, or when its first line is not a whole
// index line (a damaged file, whose line only the index can give).
bool readReportIndexLine(const std::string& name, tHeader* head);

// Seconds a writer waits for the index lock before giving up.
constexpr int kIndexLockWait = 5;

// ---------------------------------------------------------------------------
// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------

// Locks report `name` (its lock file "tmp/<name>.lock" of the data directory)
// for a read-change-write of the report, so that two requests changing one
// report at the same moment are applied one after the other and neither
// change is lost. Waits at most kIndexLockWait seconds; false on timeout or
// for a name that is not a report name.
bool lockReport(tFileLock* lock, const std::string& name);

// ---------------------------------------------------------------------------
// Print command
// ---------------------------------------------------------------------------
// Whole-store access for the administration commands
// ---------------------------------------------------------------------------

// A report file of the data directory, with its first line read.
struct tReportFile {
  std::string name;
  time_t mtime = 0;
  long mtimeNs = 0;
  bool parsed = false;    // its first line is a whole index line
  bool readable = false;
  bool cutShort = false;  // ends before its byte counts say (reportCutShort)
  tHeader head;           // from the first line
  std::string line;       // the index line as it would be written now
};
// Every report file of the data directory, sorted by name; false when the
// directory cannot be read.
bool scanReports(std::vector<tReportFile>* files);
// The files that requests since killed left in the data directory
// (relative paths): replacements half written (".<file>.<pid>.tmp"),
// number reservations and kept reports older than a minute, upload spools
// and printouts ("tmp/data<pid>", "tmp/velko.<pid>.prt").
std::vector<std::string> deadTemporaries();
// Replaces the whole index by `text` under the index lock; false, with the
// reason in `err`, when nothing was changed.
bool replaceIndex(const std::string& text, std::string* err);

// ---------------------------------------------------------------------------
// Renaming reports; attachment files
// ---------------------------------------------------------------------------
//
// Files of the data directory owned by this section:
//   TRACE_<name>/               the attachment folder of report <name>
//   TRACE_<name>/<title>_<file> one attached file, never replaced

// Writes `bug`, read as report `oldName` whose index line was then `oldLine`,
// after a change of its header. When its name under its prefix now differs
// from `oldName`, it takes the lowest free number of that prefix (under the
// numbering lock) and is written under its new name before the old file is
// removed, so that a crash in between never loses it. An old index line
// whose key is no longer the report's is removed. `beforeWrite` runs once
// the name is final. 1, or a negative result of writeBug with nothing
// changed.
int storeChangedBug(tHeader& bug, const std::string& oldName, const std::string& oldLine,
                    const std::function<void(tHeader&)>& beforeWrite);

// The path of the attached file `fileName` of report `name`, as the entry
// stores it: the data directory, "/TRACE_", the name, "/", the file name.
std::string attachmentPath(const std::string& name, const std::string& fileName);
// True when `path` names a file inside an attachment folder: the data
// directory, "TRACE_" and a report name, then one file name other than "."
// and "..". Only such paths are stored into, read or removed below.
bool isAttachmentPath(const std::string& path);
// True when the attachment `path` exists.
bool attachmentExists(const std::string& path);
// Gives the upload spool `spool` the name `path` (creating the report's
// folder, mode 0777) and removes the spool's name; `size` receives the
// bytes stored. False, errno set, when nothing was stored: EEXIST when the
// attachment exists (it is never replaced).
bool storeAttachment(const std::string& spool, const std::string& path, long* size);
// Removes the attachment `path` (a report write that failed after it).
bool removeAttachment(const std::string& path);
// The bytes of the attachment `path`, a regular file reached without a
// symbolic link; false when there is none.
bool readAttachment(const std::string& path, std::string* bytes);

// ---------------------------------------------------------------------------
// Reports received from other sites
// ---------------------------------------------------------------------------
//
// A received report is imported through the store's own writers: every file
// is written whole (writeBug), under the numbering lock (so that no local
// creation takes a number meanwhile) and the lock of each report touched.
//
// One report, several sites. A report is known by its creation: its date,
// the first line of its history and its first entry (the description of
// its creation; an entry edited since, on either side, is no longer looked
// at). Two copies of one report merge:
//  - the header of the copy with the newest history time stamp wins, a tie
//    broken by the greater index line (byte order), so that every site
//    chooses alike and an older copy never rolls fields back;
//  - history lines and entries are merged as sets (an identical one is
//    one), ordered by time, then by their bytes; an entry that the other
//    copy holds in another version (same kind, date and submitter) is
//    dropped when the other copy's history holds all of this copy's lines
//    and more (it has seen this version and edited it).
// Two different reports under one number: the one created earlier (date,
// then the creation line, then the first entry, in byte order) keeps the
// number; the later one moves to the next number, and on by the same rule.
// A report held locally under another name (another number, or another
// prefix after a change of its header) is merged there, so that no site
// holds one report twice.

// Reads a received report file: false when it is not whole (the first line
// an index line, every entry and the history of the byte counts given).
bool readReceivedReport(const std::string& path, tHeader* head);
// The copies are of one report (see above).
bool sameReport(const tHeader& a, const tHeader& b);
// `a` was created before `b` (the order of a number conflict).
bool createdBefore(const tHeader& a, const tHeader& b);
// The history of `bug`: the lines of b1 and b2, each once, in order.
void mergeFFTHisto(tHeader* bug, const tHeader& b1, const tHeader& b2);
// The entries of `bug`: those of b1 and b2 as described above.
void mergeFFTAnalysis(tHeader* bug, const tHeader& b1, const tHeader& b2);
// The merge of the local copy `bug1` and the received copy `bug2`; the
// header is chosen as described above (its number is bug1's).
tHeader mergeFFT(const tHeader& bug1, const tHeader& bug2);
// The report name `fname` with its number counted up by one ("" when it is
// no report name).
std::string IncFName(const std::string& fname);
// Rewrites the attachment entries of `head` to this site's data directory
// (a sending site stores its own folder in them).
void localizeAttachments(tHeader* head);
// Imports the received report file `pidPath`, sent as report `fftName`.
// `storedAs` receives the name under which it is stored. 1 when stored,
// kReportDamaged when the file is not whole, kStoreBusy when a lock was not
// had in time, another negative value when it could not be stored.
int importFFT(const std::string& fftName, const std::string& pidPath, std::string* storedAs);

// ---------------------------------------------------------------------------
// Test results in the global history
// ---------------------------------------------------------------------------

// Appends one line of a test result's recording to "history.dat" (the line
// given whole, its line feed included), with one write on a descriptor
// opened for appending, so that the lines of concurrent requests never mix.
// False when the file could not be opened or written (the global history is
// optional: the caller carries on).
bool appendHistoryLine(std::string_view line);
