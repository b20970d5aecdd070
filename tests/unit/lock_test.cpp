// The file mechanisms every writer shares: whole-file replacement, the
// kernel lock with a time bound, and the lock directories with their
// staleness rule.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "fileio.h"

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velko-unit.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) perror("rm");
  }
  std::string read(const std::string& path) {
    std::string text;
    return readWholeFile(path, &text) ? text : "<none>";
  }
  // Runs `fn` in a child process; true when it returned true.
  static bool inChild(const std::function<bool()>& fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    int status = 1;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  static double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
  std::string dir_;
};

}  // namespace

TEST_F(FileTest, ReplaceFileIsWholeOrNothing) {
  const std::string path = dir_ + "/f";
  ASSERT_TRUE(replaceFile(path, "old text\n", 0640));
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);
  ASSERT_TRUE(replaceFile(path, "new text\n"));
  EXPECT_EQ(read(path), "new text\n");

  // A write that fails half-way (the file size limit): the old file stays
  // whole and the temporary file is gone.
  struct rlimit saved, small;
  getrlimit(RLIMIT_FSIZE, &saved);
  small = saved;
  small.rlim_cur = 4096;
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = replaceFile(path, std::string(10000, 'x'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(read(path), "new text\n");
  EXPECT_EQ(read(tempPathFor(path)), "<none>");
  // The rename fails (a directory with contents stands at the name).
  ASSERT_TRUE(makeDirs(dir_ + "/d") && replaceFile(dir_ + "/d/inside", "x"));
  EXPECT_FALSE(replaceFile(dir_ + "/d", "text"));
  EXPECT_EQ(read(tempPathFor(dir_ + "/d")), "<none>");
  EXPECT_FALSE(replaceFile(dir_ + "/none/f", "text"));  // no folder
}

TEST_F(FileTest, FileLockExcludesOtherHoldersForItsTimeBound) {
  const std::string path = dir_ + "/lock";
  tFileLock first, second;
  ASSERT_TRUE(first.acquireMs(path, 100));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(second.acquireMs(path, 150));  // another open file: flock excludes it
  EXPECT_GE(since(t0), 0.15);
  EXPECT_LT(since(t0), 2.0);
  EXPECT_FALSE(second.held());
  EXPECT_TRUE(inChild([&] { return !tFileLock().acquireMs(path, 50); }));  // another process
  first.release();
  // A holder that dies without releasing leaves the lock free.
  EXPECT_TRUE(inChild([&] { return first.acquireMs(path, 50); }));
  EXPECT_TRUE(second.acquireMs(path, 0));
  EXPECT_EQ(read(path), "");  // the lock file stays in place, empty
}

TEST_F(FileTest, LockDirRemovesStaleLocksAndWaitsForLiveOnes) {
  const std::string locks = dir_ + "/a/b", own = locks + "/lock" + std::to_string(getpid());
  ASSERT_TRUE(lockDir(locks, 10));  // the folder is created
  EXPECT_EQ(read(own), " ");
  unlockDir(locks);
  EXPECT_EQ(read(own), "<none>");

  // Locks older than the wait were left by dead holders; other files stay.
  for (const char* f : {"/lock12345", "/lockfile", "/other"})
    ASSERT_TRUE(replaceFile(locks + f, " "));
  struct timeval old[2];
  gettimeofday(&old[0], nullptr);
  old[0].tv_sec -= 30;
  old[1] = old[0];
  utimes((locks + "/lock12345").c_str(), old);
  utimes((locks + "/lockfile").c_str(), old);
  ASSERT_TRUE(lockDir(locks, 10));
  EXPECT_EQ(read(locks + "/lock12345") + read(locks + "/lockfile"), "<none><none>");
  EXPECT_EQ(read(locks + "/other"), " ");
  unlockDir(locks);

  // A live lock: the caller waits until its holder releases it.
  ASSERT_TRUE(replaceFile(locks + "/lock99999", " "));
  std::thread holder([&] {
    usleep(200000);
    unlink((locks + "/lock99999").c_str());
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(lockDir(locks, 10));
  EXPECT_GE(since(t0), 0.15);
  holder.join();
  unlockDir(locks);
}
