#include "config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "html.h"

namespace {

// Values cached for the run.
struct ConfigCache {
  std::optional<std::string> mainCfgDir;
  std::optional<std::string> dataDir, cfgDir, imgDir, statsDir, synchDir;
  int security = -1;
  bool openFailureSeen = false;
};

ConfigCache& cache() {
  static ConfigCache c;
  return c;
}

const char* envOr(const char* name, const char* dflt) {
  const char* v = getenv(name);
  return v ? v : dflt;
}

// Reads a whole small file; false when it cannot be opened.
bool slurp(const std::string& path, std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool isWordSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr size_t kMaxWord = 99;  // words and values hold at most 99 characters

const std::string& cachedKey(std::optional<std::string>& slot, const char* key) {
  if (!slot) slot = getCfgKey(key);
  return *slot;
}

}  // namespace

std::string getMainCfgDir() {
  ConfigCache& c = cache();
  if (!c.mainCfgDir) {
    std::string base;
    if (const char* pwd = getenv("PWD")) {
      base = pwd;
    } else if (const char* script = getenv("SCRIPT_FILENAME")) {
      const std::string s = script;
      const size_t cut = s.find_last_of("/\\");
      if (cut != std::string::npos) base = s.substr(0, cut);
    }
    c.mainCfgDir = base + "/config";
  }
  return *c.mainCfgDir;
}

std::string getCfgFile() { return getMainCfgDir() + "/velko.cfg"; }

// The file is read word by word; a word equal to the key takes the rest of
// its line (at most 99 characters) as the value, with line end and blanks
// removed from the end and blanks (not tabs) from the start. Scanning goes
// on to the end, so the last occurrence wins.
std::string getCfgKey(const std::string& key) {
  std::string text;
  const std::string path = getCfgFile();
  if (!slurp(path, &text)) {
    ConfigCache& c = cache();
    if (!c.openFailureSeen) {
      c.openFailureSeen = true;
      sendHeader();
    }
    emitf("<!script : %s>\n", envOr("SCRIPT_NAME", ""));
    emitf("<!pwd : %s>\n", envOr("PWD", ""));
    emitf("<!script : %s>\n", envOr("SCRIPT_FILENAME", ""));
    emitf("<!Unable to open : %s>\n", path.c_str());
    return std::string();
  }

  std::string result;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    while (i < n && isWordSpace(text[i])) ++i;
    if (i >= n) break;
    const size_t start = i;
    while (i < n && !isWordSpace(text[i]) && i - start < kMaxWord) ++i;
    if (text.compare(start, i - start, key) != 0 || key.size() != i - start) continue;
    // The rest of the line, line end included, at most 99 characters.
    const size_t restStart = i;
    while (i < n && i - restStart < kMaxWord && text[i] != '\n') ++i;
    if (i < n && text[i] == '\n' && i - restStart < kMaxWord) ++i;
    size_t end = i;
    while (end > restStart &&
           (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' '))
      --end;
    size_t begin = restStart;
    while (begin < end && text[begin] == ' ') ++begin;
    result.assign(text, begin, end - begin);
  }
  return result;
}

const std::string& getDataDir() { return cachedKey(cache().dataDir, "DATADIR"); }
const std::string& getCfgDir() { return cachedKey(cache().cfgDir, "CONFIGDIR"); }
const std::string& getImgDir() { return cachedKey(cache().imgDir, "IMGDIR"); }

const std::string& getStatsDir() {
  ConfigCache& c = cache();
  if (!c.statsDir) c.statsDir = getDataDir() + "/Stats/";
  return *c.statsDir;
}

const std::string& getSynchDir() {
  ConfigCache& c = cache();
  if (!c.synchDir) c.synchDir = getDataDir() + "/Synchro/";
  return *c.synchDir;
}

int useSecurity() {
  ConfigCache& c = cache();
  if (c.security < 0) c.security = getCfgKey("SECURITY") == "YES" ? 1 : 0;
  return c.security;
}

void clearConfigCache() { cache() = ConfigCache(); }
