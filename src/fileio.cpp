#include "fileio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

bool tFd::close() {
  if (fd_ < 0) return true;
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0;
}

void tFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

size_t writeBytes(int fd, const char* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  return done;
}

bool writeAll(int fd, std::string_view text) {
  return writeBytes(fd, text.data(), text.size()) == text.size();
}

bool readWholeFd(int fd, std::string* text) {
  text->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buf, static_cast<size_t>(n));
  }
}

bool readWholeFile(const std::string& path, std::string* text) {
  tFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.ok() && readWholeFd(fd.get(), text);
}

std::string tempPathFor(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + base + "." + std::to_string(getpid()) + ".tmp";
}

bool commitFile(const std::string& tmp, const std::string& path) {
  if (::rename(tmp.c_str(), path.c_str()) == 0) return true;
  const int err = errno;
  ::unlink(tmp.c_str());
  errno = err;
  return false;
}

std::string writeTempFile(const std::string& path, std::string_view text, mode_t mode) {
  const std::string tmp = tempPathFor(path);
  // O_TRUNC: a request killed earlier under the same pid may have left it.
  tFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd.ok()) return std::string();
  bool ok = writeAll(fd.get(), text);
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.close() && ok;
  if (ok) return tmp;
  const int err = errno;
  ::unlink(tmp.c_str());
  errno = err;
  return std::string();
}

bool replaceFile(const std::string& path, std::string_view text, mode_t mode) {
  const std::string tmp = writeTempFile(path, text, mode);
  return !tmp.empty() && commitFile(tmp, path);
}

bool makeDirs(const std::string& dir, mode_t mode) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// A short, slightly random pause between attempts at a busy lock, so that
// waiting processes neither burn the processor nor keep meeting each other.
void lockPause() {
  static std::minstd_rand rng(static_cast<unsigned>(
      getpid() ^ std::chrono::steady_clock::now().time_since_epoch().count()));
  std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 8000));
}

}  // namespace

bool tFileLock::acquireMs(const std::string& path, int milliseconds) {
  release();
  fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd_.ok()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  int err;
  for (;;) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return true;
    err = errno;
    if (err != EWOULDBLOCK && err != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      err = EWOULDBLOCK;
      break;
    }
    lockPause();
  }
  release();
  errno = err;
  return false;
}

// ---------------------------------------------------------------------------
// Lock directories
// ---------------------------------------------------------------------------

namespace {

std::string ownLockFile(const std::string& dir) {
  return dir + "/lock" + std::to_string(getpid());
}

// Publishes the own lock file (one blank); false when it cannot be created.
bool publish(const std::string& path) {
  tFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd.ok() && ::write(fd.get(), " ", 1) == 1;
}

// Counts the live lock files of `dir`, removing the stale ones; -1 when the
// directory cannot be read.
int countLiveLocks(const std::string& dir, time_t oldest) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    fprintf(stderr, "scandir(%s): %s\n", dir.c_str(), strerror(errno));
    return -1;
  }
  int live = 0;
  while (const dirent* e = ::readdir(d)) {
    if (strncmp(e->d_name, "lock", 4) != 0) continue;
    const std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) continue;  // gone meanwhile
    if (st.st_mtime >= oldest)
      ++live;
    else
      ::unlink(path.c_str());
  }
  ::closedir(d);
  return live;
}

}  // namespace

bool lockDir(const std::string& dir, int wait) {
  const time_t start = ::time(nullptr);
  const std::string own = ownLockFile(dir);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait + 2);
  for (;;) {
    if (!publish(own)) {
      makeDirs(dir, 0777);
      if (!publish(own)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        lockPause();
        continue;
      }
    }
    const int live = countLiveLocks(dir, start - wait);
    if (live == 1) return true;
    ::unlink(own.c_str());
    if (std::chrono::steady_clock::now() >= deadline) return false;
    lockPause();
  }
}

void unlockDir(const std::string& dir) { ::unlink(ownLockFile(dir).c_str()); }

// ---------------------------------------------------------------------------
// Print command
// ---------------------------------------------------------------------------

std::string shellWord(const std::string& s) {
  bool plain = !s.empty();
  for (char c : s)
    if (!(isalnum(static_cast<unsigned char>(c)) || strchr("/._-+,:=@%", c))) plain = false;
  if (plain) return s;
  std::string r = "'";
  for (char c : s) {
    if (c == '\'')
      r += "'\\''";
    else
      r += c;
  }
  return r + "'";
}

void runPrintCommand(const std::string& command) {
  fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  if (saved >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
  const int rc = ::system(command.c_str());
  (void)rc;  // the print command's own failure is not reported
  if (saved >= 0) {
    fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
  }
}
