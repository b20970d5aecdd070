// Simultaneous rewrites of "userinfo.dat" by several requests, and the
// bounded wait for its lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>

#include "config.h"
#include "html.h"
#include "testutil.h"

using tEnv = std::map<std::string, std::string>;

TEST(UserInfoConcurrency, EveryMachineKeepsExactlyOneLine) {
  TempInstall in;
  in.write("cfg/userinfo.dat", "10.9.9.9:keep:P:g:1\n");
  constexpr int kMachines = 6;
  constexpr int kRounds = 40;
  std::vector<pid_t> children;
  for (int m = 0; m < kMachines; ++m) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // One request after another from machine m.
      const std::string addr = "10.0.0." + std::to_string(m);
      setenv("REMOTE_ADDR", addr.c_str(), 1);
      int failures = 0;
      for (int r = 0; r < kRounds; ++r) {
        clearConfigCache();
        if (!setUserInfo("user" + std::to_string(m), "P" + std::to_string(r), "g", r)) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::map<std::string, int> count;
  std::map<std::string, std::string> last;
  std::istringstream lines(in.read("cfg/userinfo.dat"));
  for (std::string line; std::getline(lines, line);) {
    const std::string addr = line.substr(0, line.find(':'));
    ++count[addr];
    last[addr] = line;
  }
  EXPECT_EQ(count.size(), static_cast<size_t>(kMachines + 1));
  EXPECT_EQ(last["10.9.9.9"], "10.9.9.9:keep:P:g:1");
  for (int m = 0; m < kMachines; ++m) {
    const std::string addr = "10.0.0." + std::to_string(m);
    EXPECT_EQ(count[addr], 1) << addr;
    EXPECT_EQ(last[addr], strprintf("%s:user%d:P%d:g:%d", addr.c_str(), m, kRounds - 1,
                                    kRounds - 1));
  }
}

TEST(UserInfoConcurrency, BusyLockChangesNothing) {
  TempInstall in;
  ScopedEnv env(tEnv{{"REMOTE_ADDR", "10.0.0.1"}});
  in.write("cfg/userinfo.dat", "10.0.0.1:old:P:g:1\n");
  // Another request holds the lock (a second open file takes its own flock).
  const int fd = open((in.cfgDir() + "userinfo.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(setUserInfo("new", "Q", "h", 2));
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(secs, 1.0);
  EXPECT_LT(secs, 15.0);
  EXPECT_EQ(in.read("cfg/userinfo.dat"), "10.0.0.1:old:P:g:1\n");
  EXPECT_EQ(getUser(), "old");
  // Once released, the next request records its choices.
  close(fd);
  EXPECT_TRUE(setUserInfo("new", "Q", "h", 2));
  EXPECT_EQ(in.read("cfg/userinfo.dat"), "10.0.0.1:new:Q:h:2\n");
}
