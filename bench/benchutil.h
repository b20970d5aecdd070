// benchutil.h: what the benchmarks share: writing the files of a generated
// installation, timing one run of a program, the median of runs.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Writes `text` to `path`; a failure ends the benchmark.
inline void writeFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(text.data(), 1, text.size(), f) != text.size()) {
    perror(path.c_str());
    exit(1);
  }
  fclose(f);
}

// Runs `argv` with `env`, output to /dev/null; the wall time in seconds. A
// program that fails ends the benchmark.
inline double runOnce(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<char*> a, e;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const std::string& s : env) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data()) != 0) {
    perror("posix_spawn");
    exit(1);
  }
  int st;
  waitpid(pid, &st, 0);
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  posix_spawn_file_actions_destroy(&fa);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    fprintf(stderr, "%s failed\n", argv[0].c_str());
    exit(1);
  }
  return t;
}

inline double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}
