// utils.h: the report store (report files, the index, the global history)
// and the time and URL helpers.
//
// Files of the data directory owned by this module:
//   <name>          one report file per report, <name> = prefix "." 5 digits
//   index           one index line per report, in the order of last update
//   index.lock      kernel lock (flock) serialising every index rewrite and
//                   every report replacement; the file stays in place
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
// The file that a write with the negative result `rc` could not write: the
// report `name` for -1, the index otherwise.
std::string failedFile(int rc, const std::string& name);

// The bytes writeBug stores for `head` (entry texts get their final line
// feed here).
std::string formatBug(tHeader& head);
// Kept for the callers' symmetry; the record owns everything (always 1).
int freeHeader(std::unique_ptr<tHeader>& head);
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
// when the file cannot be opened.
bool forEachHistoryLine(const std::function<void(const tHistoryLine&)>& fn);
// The text a history format gives with its arguments (see above).
std::string applyHistoryFormat(std::string_view format, const std::string& arg1,
                               const std::string& arg2, const std::string& arg3);

// Local time "%Y/%m/%d:%H.%M.%S"; "" for a time the system cannot convert.
std::string time2char(long when);
// Working days (Monday to Friday) of the 86,400-second steps from t1 that
// begin before t2; 0 when t1 >= t2.
int timeDiffDay(long t1, long t2);

// ---------------------------------------------------------------------------
// The index
// ---------------------------------------------------------------------------

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
// `oldLine`. Runs under the index lock; the new index goes to a temporary
// file that is flushed and renamed over "index". 1 when the new index was
// written, 0 when it was not (lock not had within a few seconds, temporary
// file not written): the index is then unchanged.
int updateIndex(const tHeader* head, const std::string* oldLine);

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
  tHeader head;           // from the first line
  std::string line;       // the index line as it would be written now
};
// Every report file of the data directory, sorted by name; false when the
// directory cannot be read.
bool scanReports(std::vector<tReportFile>* files);
// Calls `fn` for every line of the index (numbered from 1, empty lines
// included, a last line without line feed left out); false when there is
// no index.
bool readIndexLines(const std::function<void(int number, const std::string& line)>& fn);
// Replaces the whole index by `text` under the index lock; false, with the
// reason in `err`, when nothing was changed.
bool replaceIndex(const std::string& text, std::string* err);
