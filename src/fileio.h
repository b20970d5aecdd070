// fileio.h: the file mechanisms that every writer shares.
//
// - tFd: a descriptor that closes itself.
// - readWholeFile / writeAll: whole small files and complete writes.
// - replaceFile: a file is replaced whole or not at all: its new text goes
//   to a temporary name beside it (".<base>.<pid>.tmp", skipped by folder
//   listings), is flushed to disk, then renamed over it; on any failure the
//   temporary file is removed and the old file stays as it was.
// - tFileLock: an exclusive kernel lock (flock) on a lock file that stays in
//   place, waited for at most a given time; the kernel releases it when the
//   holder dies, so a killed request never leaves it held.
// - lockDir / unlockDir: the lock-directory protocol of the synchronisation
//   folders, whose staleness rule bounds every wait.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

class tFd {
 public:
  explicit tFd(int fd = -1) : fd_(fd) {}
  ~tFd() { reset(); }
  tFd(const tFd&) = delete;  // two owners would close it twice
  tFd& operator=(const tFd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now; false when close reported an error (a write not stored).
  bool close();
  void reset(int fd = -1);

 private:
  int fd_;
};

// Writes [p, p+n) until done or a write fails; the number of bytes written.
size_t writeBytes(int fd, const char* p, size_t n);
// Writes all of `text`; false on a short write.
bool writeAll(int fd, std::string_view text);
// The whole file at `path` into `text`; false (errno set) when it cannot be
// opened or read.
bool readWholeFile(const std::string& path, std::string* text);
// The rest of the open file `fd` into `text`; false on a read error.
bool readWholeFd(int fd, std::string* text);
// The temporary name that replaceFile uses for `path`.
std::string tempPathFor(const std::string& path);
// Replaces `path` by `text` as described above, with mode `mode` for a new
// file. False when nothing was changed; errno tells why.
bool replaceFile(const std::string& path, std::string_view text, mode_t mode = 0666);
// The first half of replaceFile, for a caller that renames several files
// together: `text` written to tempPathFor(path) and flushed to disk. The
// temporary path, or "" (nothing left behind) when it could not be written.
std::string writeTempFile(const std::string& path, std::string_view text, mode_t mode = 0666);
// Renames a temporary file written by the caller over `path`; false (the
// temporary removed) when the rename fails.
bool commitFile(const std::string& tmp, const std::string& path);
// mkdir -p with the given permissions; true when the directory exists.
bool makeDirs(const std::string& dir, mode_t mode = 0777);

class tFileLock {
 public:
  tFileLock() = default;
  ~tFileLock() { release(); }
  tFileLock(const tFileLock&) = delete;
  tFileLock& operator=(const tFileLock&) = delete;
  // Waits at most `seconds` (milliseconds with acquireMs); false when the
  // lock could not be had: errno EWOULDBLOCK when another holder kept it,
  // another value when the lock file cannot be opened or made.
  bool acquire(const std::string& path, int seconds) { return acquireMs(path, seconds * 1000); }
  bool acquireMs(const std::string& path, int milliseconds);
  bool held() const { return fd_.ok(); }
  void release() { fd_.reset(); }  // closing releases the lock

 private:
  tFd fd_;
};

// Takes the lock of folder `dir` (its own file "lock<pid>"), waiting at most
// `wait` seconds (and 2 more); lock files older than `wait` seconds count as
// left by a dead holder and are removed. False when not had in time.
bool lockDir(const std::string& dir, int wait);
void unlockDir(const std::string& dir);

// `s` as one shell word: as it is when made only of path characters,
// otherwise in single quotes.
std::string shellWord(const std::string& s);
// Runs `command` (the PRINT command and a file name) through the shell, its
// standard output sent to standard error (the server's log), so that what
// a print command writes can neither break nor inject into the page.
void runPrintCommand(const std::string& command);
