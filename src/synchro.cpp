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
#include "fileio.h"
#include "html.h"
#include "args.h"
#include "text.h"

void SendSynchFile(const std::string& name, const std::string& project, tSychType synch) {
  (void)name;
  (void)project;
  (void)synch;
}

void setupSynch() {}

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
  replaceFile(file, std::to_string(counter));
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
