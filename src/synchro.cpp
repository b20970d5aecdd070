#include "synchro.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

#include "config.h"
#include "html.h"

void SendSynchFile(const std::string& name, const std::string& project, tSychType synch) {
  (void)name;
  (void)project;
  (void)synch;
}

void setupSynch() {}

namespace {

void pauseBriefly() {
  static std::minstd_rand rng(static_cast<unsigned>(
      getpid() ^ std::chrono::steady_clock::now().time_since_epoch().count()));
  std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 8000));
}

// mkdir -p with the given permissions; true when the directory exists.
bool makeDirs(const std::string& dir, mode_t mode) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ownLockFile(const std::string& dir) {
  return dir + "/lock" + std::to_string(getpid());
}

// Publishes the own lock file (one blank); false when it cannot be created.
bool publish(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = ::write(fd, " ", 1) == 1;
  ::close(fd);
  return ok;
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
        pauseBriefly();
        continue;
      }
    }
    const int live = countLiveLocks(dir, start - wait);
    if (live == 1) return true;
    ::unlink(own.c_str());
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pauseBriefly();
  }
}

void unlockDir(const std::string& dir) { ::unlink(ownLockFile(dir).c_str()); }

int getNewNumber(const std::string& project) {
  const std::string dir = getSynchDir() + "/out/" + project + "/";
  if (!lockDir(dir, 10)) return -1;
  const std::string file = dir + "sent.txt";
  int counter = 0;
  if (FILE* f = fopen(file.c_str(), "rb")) {
    if (fscanf(f, "%d", &counter) != 1) counter = 0;
    fclose(f);
  }
  ++counter;
  // Replaced through a temporary name (not beginning with "lock"), so that
  // a crash never leaves the counter empty.
  const std::string tmp = dir + ".sent.txt." + std::to_string(getpid());
  const std::string text = std::to_string(counter);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd >= 0) {
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) ::unlink(tmp.c_str());
  }
  unlockDir(dir);
  return counter;
}

int reserveBugNumber(const std::string& debut, int from) {
  std::string dir = getDataDir();
  if (!dir.empty() && dir.back() != '/') dir += '/';
  for (int n = from < 1 ? 1 : from;; ++n) {
    const std::string path = strprintf("%s%s.%05d", dir.c_str(), debut.c_str(), n);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return n;
    }
    if (errno == EEXIST) continue;
    // Cannot create here (no data directory, no right): fall back to probing.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return n;
  }
}

int findNextNum(const std::string& debut) { return reserveBugNumber(debut, 1); }
