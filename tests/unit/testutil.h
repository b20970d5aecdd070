// testutil.h: temporary installations for the unit tests.
#pragma once

#include <map>
#include <string>

// A temporary installation: <root>/config/velko.cfg pointing at
// <root>/data/ and <root>/cfg/, with PWD set to <root>. Removed with all its
// files when the object goes; the configuration caches are cleared both ways.
class TempInstall {
 public:
  explicit TempInstall(const std::string& extraCfg = "");
  ~TempInstall();
  const std::string& root() const { return root_; }
  std::string dataDir() const { return root_ + "/data/"; }
  std::string cfgDir() const { return root_ + "/cfg/"; }
  // Writes a file below the root (directories created as needed).
  void write(const std::string& relPath, const std::string& content) const;
  std::string read(const std::string& relPath) const;
  bool exists(const std::string& relPath) const;

 private:
  std::string root_;
};

// Runs `fn` with standard output captured; returns what it printed.
std::string captureStdout(void (*fn)(void*), void* arg);

template <class F>
std::string captureOutput(F&& f) {
  return captureStdout([](void* p) { (*static_cast<F*>(p))(); }, &f);
}

using EnvVars = std::map<std::string, std::string>;

// Sets or unsets environment variables for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::map<std::string, std::string> set, std::initializer_list<const char*> unset = {});
  ~ScopedEnv();

 private:
  std::map<std::string, std::pair<bool, std::string>> saved_;
};
