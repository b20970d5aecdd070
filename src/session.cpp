#include "session.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "args.h"
#include "config.h"
#include "html.h"
#include "sha256.h"
#include "text.h"

namespace {

// File of the installation's secret key, in the configuration directory:
// 64 hexadecimal digits (32 random bytes) and a line feed.
constexpr const char* kKeyFileName = "session.key";
constexpr size_t kKeyBytes = 32;

// The current identifier holds at most this many characters: enough for
// a signed identifier of the longest user and project names.
constexpr size_t kCookieMax = 199;

// The session state of one request.
struct SessionState {
  std::string cookie;                       // the current identifier
  std::map<std::string, std::string> keys;  // key file path -> key bytes
  // Results computed once per request, keyed by the configuration
  // directory and identifier they were computed for.
  std::map<std::string, bool> sessions;
  std::map<std::string, int> projectRight;
  std::map<std::string, std::string> passwordMatch;  // login \n pwd -> project
};

SessionState& state() { return request().slot<SessionState>(); }

// A diagnostic line: the comment "<!text>" and a line feed.
void trace(const std::string& text) {
  traceComment(text);
  request().page.markup("\n");
}

void traceAccess(bool granted, const std::string& user, tAccess col) {
  trace((granted ? "Access granted for " : "Access denied for ") + user + " in " +
        std::to_string(static_cast<int>(col)));
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// Reads the key file; true with the key bytes when it holds a valid key.
bool readKeyFile(const std::string& path, std::string* key) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buf[2 * kKeyBytes + 2];
  size_t got = 0;
  for (;;) {
    const ssize_t n = read(fd, buf + got, sizeof buf - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got == sizeof buf) break;
  }
  close(fd);
  while (got > 0 && (buf[got - 1] == '\n' || buf[got - 1] == '\r')) --got;
  if (got != 2 * kKeyBytes) return false;
  key->clear();
  for (size_t i = 0; i < got; i += 2) {
    if (!isHex(buf[i]) || !isHex(buf[i + 1])) return false;
    *key += static_cast<char>(hexValue(buf[i]) * 16 + hexValue(buf[i + 1]));
  }
  return true;
}

bool randomBytes(uint8_t* out, size_t len) {
  size_t got = 0;
  while (got < len) {
    const ssize_t n = getrandom(out + got, len - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<size_t>(n);
  }
  if (got == len) return true;
  // No getrandom (old kernel): the device gives the same bytes.
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  got = 0;
  while (got < len) {
    const ssize_t n = read(fd, out + got, len - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got == len;
}

// Creates the key file. Two first requests may race: each writes its own
// complete temporary file and link() installs it only when no key exists,
// so the loser reads the winner's key, never a half-written one.
void createKeyFile(const std::string& path) {
  uint8_t raw[kKeyBytes];
  if (!randomBytes(raw, sizeof raw)) {
    trace("session key: no random bytes");
    return;
  }
  const std::string text = toHex(raw, sizeof raw) + "\n";
  memset(raw, 0, sizeof raw);
  const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    trace("session key: cannot create " + tmp + ": " + strerror(errno));
    return;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       fsync(fd) == 0;
  close(fd);
  if (written && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST)
    trace("session key: cannot create " + path + ": " + strerror(errno));
  unlink(tmp.c_str());
}

// The key of the installation, created on first need; false when there is
// none to be had (sessions then never verify).
bool sessionKey(std::string* key) {
  const std::string& dir = getCfgDir();
  if (dir.empty()) {
    trace("session key: no configuration directory");
    return false;
  }
  const std::string path = dir + "/" + kKeyFileName;
  SessionState& s = state();
  if (auto it = s.keys.find(path); it != s.keys.end()) {
    *key = it->second;
    return true;
  }
  if (!readKeyFile(path, key)) {
    if (access(path.c_str(), F_OK) == 0) {
      trace("session key: " + path + " is damaged");
      return false;
    }
    createKeyFile(path);
    if (!readKeyFile(path, key)) return false;
  }
  s.keys[path] = *key;
  return true;
}

std::string shifted(std::string_view text, int by) {
  std::string r(text);
  for (char& c : r) c = static_cast<char>(static_cast<unsigned char>(c) + by);
  return r;
}

std::string trimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool flagGrants(const std::string& flag) {
  const std::string f = trimBlanks(flag);
  return f.empty() || f[0] == 'Y';
}

// A project name read from an identifier names a file: one that could lead
// out of the configuration directory names none.
bool safeProjectName(const std::string& p) {
  return !p.empty() && p.find('/') == std::string::npos && p != "." && p != "..";
}

}  // namespace

// ---------------------------------------------------------------------------
// Session identifier
// ---------------------------------------------------------------------------

std::string encodeUIDText(const std::string& login, const std::string& project, long when) {
  return shifted(login, 2) + "#" + shifted(project, 2) + "#" + std::to_string(when);
}

std::string encodeUID(const std::string& login, const std::string& project, long when) {
  if (when < 0) when = static_cast<long>(time(nullptr));
  const std::string text = encodeUIDText(login, project, when);
  const std::string mac = uidMac(text);
  return mac.empty() ? text : text + "#" + mac;
}

bool decodeUID(const std::string& uid, std::string* login, std::string* project) {
  login->clear();
  project->clear();
  if (isAbsent(uid)) return false;
  const size_t first = uid.find('#');
  *login = shifted(uid.substr(0, first), -2);
  if (first != std::string::npos) {
    const size_t second = uid.find('#', first + 1);
    *project = shifted(uid.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                           : second - first - 1),
                       -2);
  }
  return true;
}

std::string uidMac(const std::string& text) {
  std::string key;
  if (!sessionKey(&key)) return std::string();
  return toHex(hmacSha256(key, text));
}

bool verifyUID(const std::string& uid) {
  // Exactly four fields: user and project not empty, a decimal time, and
  // a MAC of 64 hexadecimal digits. A name holding '!' (which shifts to
  // '#') gives more fields and is refused rather than misread.
  size_t cut[3];
  size_t from = 0;
  for (size_t& c : cut) {
    c = uid.find('#', from);
    if (c == std::string::npos) return false;
    from = c + 1;
  }
  if (uid.find('#', from) != std::string::npos) return false;
  if (cut[0] == 0 || cut[1] == cut[0] + 1 || cut[2] == cut[1] + 1) return false;
  for (size_t i = cut[1] + 1; i < cut[2]; ++i)
    if (uid[i] < '0' || uid[i] > '9') return false;
  const std::string mac = uid.substr(cut[2] + 1);
  if (mac.size() != 64) return false;
  for (char c : mac)
    if (!isHex(c)) return false;
  const std::string expected = uidMac(uid.substr(0, cut[2]));
  return !expected.empty() && constantTimeEqual(mac, expected);
}

bool validSession(const tArgList& list, std::string* user, std::string* project) {
  const std::string uid = getArg(list, "Uid");
  std::string u, p;
  decodeUID(uid, &u, &p);
  if (user) *user = u;
  if (project) *project = p;
  if (uid.size() < 2) return false;
  SessionState& s = state();
  const std::string cacheKey = getCfgDir() + "\n" + uid;
  if (auto it = s.sessions.find(cacheKey); it != s.sessions.end()) return it->second;
  bool valid = verifyUID(uid) && safeProjectName(p);
  if (valid) {
    valid = false;
    for (const tUserEntry& e : getUsers(p))
      if (e.name == u) valid = true;
  }
  s.sessions[cacheKey] = valid;
  return valid;
}

// ---------------------------------------------------------------------------
// Current identifier
// ---------------------------------------------------------------------------

void setCookie(const std::string& uid) { state().cookie = uid.substr(0, kCookieMax); }

const std::string& getCookie() { return state().cookie; }

std::string addUid() {
  const std::string& c = getCookie();
  if (!useSecurity() || isAbsent(c)) return std::string();
  std::string r = "&Uid=";
  r += urlArg(c);
  return r;
}

// ---------------------------------------------------------------------------
// Password
// ---------------------------------------------------------------------------

int checkPassword(const std::string& login, const std::string& pwd, std::string* project) {
  // A match is remembered for the rest of the request, for that login and
  // password only.
  SessionState& s = state();
  const std::string cacheKey = getCfgDir() + "\n" + login + "\n" + pwd;
  if (auto it = s.passwordMatch.find(cacheKey); it != s.passwordMatch.end()) {
    *project = it->second;
    return 1;
  }
  for (const std::string& p : getProjects("")) {
    for (const tUserEntry& e : getUsers(p)) {
      if (e.name == login && constantTimeEqual(e.password, pwd)) {
        *project = p;
        s.passwordMatch[cacheKey] = p;
        return 1;
      }
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Rights
// ---------------------------------------------------------------------------

int security(const tArgList& list, tAccess col) {
  const bool quiet = getArg(list, "excel")[0] == 'X';  // a download: no comments
  const std::string uid = getArg(list, "Uid");
  const int column = static_cast<int>(col) - 1;
  std::string user, project;
  if (useSecurity()) {
    if (!validSession(list, &user, &project)) {
      if (!quiet) traceAccess(false, user, col);
      return 0;
    }
  } else {
    // Without an identifier, or without a users file to look in, the
    // right is granted at once, without comment.
    if (uid.size() < 2) return 1;
    decodeUID(uid, &user, &project);
    if (!safeProjectName(project)) return 1;
    const tCharList files = getCfgFileNames(project, "users");
    if (files.empty() || access(files.front().c_str(), R_OK) != 0) return 1;
  }
  bool granted = true;
  if (column >= 0 && column < 7) {
    for (const tUserEntry& e : getUsers(project))
      if (e.name == user && !flagGrants(e.flags[column])) granted = false;
  }
  if (!quiet) traceAccess(granted, user, col);
  return granted ? 1 : 0;
}

int accessRight(const tArgList& list) { return security(list, C_View); }
int createRight(const tArgList& list) { return security(list, C_Create); }
int configRight(const tArgList& list) { return security(list, C_Config); }
int statsRight(const tArgList& list) { return security(list, C_Stats); }
int unsolvedRight(const tArgList& list) { return security(list, C_Unsolved); }
int solvedRight(const tArgList& list) { return security(list, C_Solved); }

int projectRight(const tArgList& list) {
  SessionState& s = state();
  const std::string cacheKey = getCfgDir() + "\n" + getArg(list, "Uid");
  if (auto it = s.projectRight.find(cacheKey); it != s.projectRight.end()) return it->second;
  const int r = security(list, C_Project);
  s.projectRight[cacheKey] = r;
  return r;
}
