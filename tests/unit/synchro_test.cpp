// Tests of the lock directories, the message counter and report numbering.
#include "synchro.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "config.h"
#include "testutil.h"

namespace {

void makeOld(const std::string& path, int secondsAgo) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= secondsAgo;
  tv[1] = tv[0];
  ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

TEST(ReportNumbers, LowestFreeNumberIsReserved) {
  TempInstall inst;
  EXPECT_EQ(findNextNum("ABC"), 1);
  EXPECT_TRUE(inst.exists("data/ABC.00001"));  // reserved at once
  inst.write("data/ABC.00002", "x");
  inst.write("data/ABC.00004", "x");
  EXPECT_EQ(findNextNum("ABC"), 3);
  EXPECT_EQ(findNextNum("ABC"), 5);
  EXPECT_EQ(findNextNum("ABD"), 1);  // counted per prefix
  unlink((inst.dataDir() + "ABC.00002").c_str());
  EXPECT_EQ(findNextNum("ABC"), 2);  // a removed number is given again
  EXPECT_EQ(reserveBugNumber("ABC", 4), 6);
}

TEST(ReportNumbers, ConcurrentCallersNeverShareANumber) {
  TempInstall inst;
  constexpr int kProcs = 4, kEach = 60;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      for (int i = 0; i < kEach; ++i) {
        const int n = findNextNum("XYZ");
        const int m = getNewNumber("PROJ");
        const int pair[2] = {n, m};
        if (write(fds[1], pair, sizeof pair) != sizeof pair) _exit(1);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(fds[1]);
  std::multiset<int> numbers, messages;
  int pair[2];
  while (read(fds[0], pair, sizeof pair) == sizeof pair) {
    numbers.insert(pair[0]);
    messages.insert(pair[1]);
  }
  close(fds[0]);
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const size_t total = kProcs * kEach;
  ASSERT_EQ(numbers.size(), total);
  EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(), total);
  EXPECT_EQ(*numbers.rbegin(), static_cast<int>(total));
  EXPECT_EQ(std::set<int>(messages.begin(), messages.end()).size(), total);
  EXPECT_EQ(*messages.begin(), 1);
  EXPECT_EQ(*messages.rbegin(), static_cast<int>(total));
  EXPECT_EQ(inst.read("data/Synchro/out/PROJ/sent.txt"), std::to_string(total));
}

TEST(MessageCounter, StartsAtOneAndCounts) {
  TempInstall inst;
  EXPECT_EQ(getNewNumber("P1"), 1);
  EXPECT_EQ(inst.read("data/Synchro/out/P1/sent.txt"), "1");
  EXPECT_EQ(getNewNumber("P1"), 2);
  EXPECT_EQ(getNewNumber("P2"), 1);
  inst.write("data/Synchro/out/P1/sent.txt", "41");
  EXPECT_EQ(getNewNumber("P1"), 42);
  inst.write("data/Synchro/out/P1/sent.txt", "garbage");
  EXPECT_EQ(getNewNumber("P1"), 1);
  // The lock file is gone again.
  EXPECT_FALSE(inst.exists("data/Synchro/out/P1/lock" + std::to_string(getpid())));
}

TEST(LockDir, CreatesTheDirectoryAndReleases) {
  TempInstall inst;
  const std::string dir = inst.root() + "/locks/a/b/";
  ASSERT_TRUE(lockDir(dir, 10));
  EXPECT_TRUE(inst.exists("locks/a/b/lock" + std::to_string(getpid())));
  EXPECT_EQ(inst.read("locks/a/b/lock" + std::to_string(getpid())), " ");
  unlockDir(dir);
  EXPECT_FALSE(inst.exists("locks/a/b/lock" + std::to_string(getpid())));
}

TEST(LockDir, StaleLocksAreRemovedAndLiveOnesWaitedFor) {
  TempInstall inst;
  const std::string dir = inst.root() + "/locks";
  // A lock left by a process that died long ago, and any "lock..." entry.
  inst.write("locks/lock12345", " ");
  inst.write("locks/lockfile", " ");
  inst.write("locks/other", " ");
  makeOld(dir + "/lock12345", 30);
  makeOld(dir + "/lockfile", 30);
  ASSERT_TRUE(lockDir(dir, 10));
  EXPECT_FALSE(inst.exists("locks/lock12345"));
  EXPECT_FALSE(inst.exists("locks/lockfile"));
  EXPECT_TRUE(inst.exists("locks/other"));
  unlockDir(dir);

  // A fresh lock of another process: the caller waits; it is not stale for
  // a caller with a long waiting time, which gives up after a bounded wait.
  inst.write("locks/lockfile", " ");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(lockDir(dir, 1));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(waited, 2.5);
  EXPECT_LT(waited, 6.0);
  EXPECT_FALSE(inst.exists("locks/lock" + std::to_string(getpid())));  // withdrawn

  // A holder that releases in time lets the waiter in.
  inst.write("locks/lockfile", " ");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    usleep(300000);
    unlink((dir + "/lockfile").c_str());
    _exit(0);
  }
  EXPECT_TRUE(lockDir(dir, 10));
  unlockDir(dir);
  waitpid(pid, nullptr, 0);
}

// Two processes counting under the lock never interleave their
// read-increment-write.
TEST(LockDir, ExcludesOtherProcesses) {
  TempInstall inst;
  const std::string dir = inst.root() + "/excl";
  const std::string file = dir + "/count";
  constexpr int kProcs = 3, kEach = 30;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) {
        if (!lockDir(dir, 10)) _exit(1);
        int v = 0;
        if (FILE* f = fopen(file.c_str(), "r")) {
          if (fscanf(f, "%d", &v) != 1) v = 0;
          fclose(f);
        }
        usleep(200);
        if (FILE* f = fopen(file.c_str(), "w")) {
          fprintf(f, "%d", v + 1);
          fclose(f);
        }
        unlockDir(dir);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(inst.read("excl/count"), std::to_string(kProcs * kEach));
}

}  // namespace
