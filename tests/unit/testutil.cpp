#include "testutil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "config.h"
#include "html.h"

namespace {

void mkdirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

}  // namespace

TempInstall::TempInstall(const std::string& extraCfg) {
  char tmpl[] = "/tmp/velko-unit.XXXXXX";
  root_ = mkdtemp(tmpl);
  mkdirs(root_ + "/config");
  mkdirs(root_ + "/data/tmp");
  mkdirs(root_ + "/cfg");
  write("config/velko.cfg", "DATADIR " + dataDir() + "\nCONFIGDIR " + cfgDir() +
                                "\nIMGDIR /velko/images/\nLANGUAGE EN\n" + extraCfg);
  setenv("PWD", root_.c_str(), 1);
  clearConfigCache();
  resetOutput();
}

TempInstall::~TempInstall() {
  const std::string cmd = "rm -rf '" + root_ + "'";
  if (system(cmd.c_str()) != 0) perror("rm");
  clearConfigCache();
  resetOutput();
}

void TempInstall::write(const std::string& relPath, const std::string& content) const {
  const std::string path = root_ + "/" + relPath;
  mkdirs(path.substr(0, path.rfind('/')));
  std::ofstream(path, std::ios::binary) << content;
}

std::string TempInstall::read(const std::string& relPath) const {
  std::ifstream in(root_ + "/" + relPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool TempInstall::exists(const std::string& relPath) const {
  return access((root_ + "/" + relPath).c_str(), F_OK) == 0;
}

std::string captureStdout(void (*fn)(void*), void* arg) {
  fflush(stdout);
  FILE* tmp = tmpfile();
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(tmp), STDOUT_FILENO);
  fn(arg);
  finishOutput();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

ScopedEnv::ScopedEnv(std::map<std::string, std::string> set,
                     std::initializer_list<const char*> unset) {
  for (auto& [k, v] : set) {
    const char* old = getenv(k.c_str());
    saved_[k] = {old != nullptr, old ? old : ""};
    setenv(k.c_str(), v.c_str(), 1);
  }
  for (const char* k : unset) {
    const char* old = getenv(k);
    saved_[k] = {old != nullptr, old ? old : ""};
    unsetenv(k);
  }
}

ScopedEnv::~ScopedEnv() {
  for (auto& [k, v] : saved_) {
    if (v.first)
      setenv(k.c_str(), v.second.c_str(), 1);
    else
      unsetenv(k.c_str());
  }
}
