#include "session.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "args.h"
#include "config.h"
#include "fileio.h"
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

// The lifetime of a login per PERSIST choice: a browser session lasts at
// most 12 hours on the server; then a day, a week, and the 30 days that
// the "year" choice has always meant.
constexpr long kLifetimes[4] = {12 * 3600, 86400, 604800, 2592000};

// The counter of wrong passwords: its file and lock, in the data
// directory's tmp/, at most this many names kept (the oldest windows go).
constexpr const char* kGuessFile = "logins.dat";
constexpr const char* kGuessLock = "logins.lock";
constexpr size_t kGuessNamesMax = 1000;
constexpr int kGuessLockWait = 5;

// The session state of one request.
struct SessionState {
  std::string cookie;                       // the current identifier
  bool fromCookie = false;                  // the request's Uid came from the cookie
  std::map<std::string, std::string> keys;  // key file path -> key bytes
  // Results computed once per request, keyed by the configuration
  // directory and identifier they were computed for.
  std::map<std::string, tSessionState> sessions;
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

std::string encodeUID(const std::string& login, const std::string& project, long when,
                      long ends) {
  if (when < 0) when = static_cast<long>(time(nullptr));
  if (ends <= when) ends = when + sessionLifetime(0);
  const std::string text = encodeUIDText(login, project, when) + "#" + std::to_string(ends);
  const std::string mac = uidMac(text);
  return mac.empty() ? text : text + "#" + mac;
}

long sessionLifetime(int persist) {
  return kLifetimes[persist >= 0 && persist <= 3 ? persist : 0];
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

namespace {

// The positions of the four '#' of an identifier of five fields, each
// field not empty, the two times decimal and the MAC 64 hexadecimal
// digits; false for any other text. A name holding '!' (which shifts to
// '#') gives more fields and is refused rather than misread.
bool splitUID(const std::string& uid, size_t (&cut)[4]) {
  size_t from = 0;
  for (size_t& c : cut) {
    c = uid.find('#', from);
    if (c == std::string::npos || c == from) return false;
    from = c + 1;
  }
  if (uid.find('#', from) != std::string::npos) return false;
  for (int f = 1; f < 3; ++f) {
    if (cut[f + 1] - cut[f] > 19) return false;  // a time that fits a long
    for (size_t i = cut[f] + 1; i < cut[f + 1]; ++i)
      if (uid[i] < '0' || uid[i] > '9') return false;
  }
  if (uid.size() - cut[3] - 1 != 64) return false;
  for (size_t i = cut[3] + 1; i < uid.size(); ++i)
    if (!isHex(uid[i])) return false;
  return true;
}

}  // namespace

bool verifyUID(const std::string& uid) {
  size_t cut[4];
  if (!splitUID(uid, cut)) return false;
  const std::string expected = uidMac(uid.substr(0, cut[3]));
  return !expected.empty() && constantTimeEqual(uid.substr(cut[3] + 1), expected);
}

tSessionState sessionState(const std::string& uid, std::string* user, std::string* project) {
  std::string u, p;
  decodeUID(uid, &u, &p);
  if (user) *user = u;
  if (project) *project = p;
  if (uid.size() < 2) return kNoSession;
  SessionState& s = state();
  const std::string cacheKey = getCfgDir() + "\n" + uid;
  if (auto it = s.sessions.find(cacheKey); it != s.sessions.end()) return it->second;
  tSessionState result = kNoSession;
  size_t cut[4];
  if (verifyUID(uid) && splitUID(uid, cut) && safeProjectName(p)) {
    const long login = atol(uid.c_str() + cut[1] + 1);
    const long ends = atol(uid.c_str() + cut[2] + 1);
    const long now = static_cast<long>(time(nullptr));
    // A session never lasts longer than the longest choice, even if the
    // text says so.
    if (now >= ends || ends - login > sessionLifetime(3)) {
      result = kSessionEnded;
    } else {
      for (const tUserEntry& e : getUsers(p))
        if (e.name == u) result = kSessionValid;
    }
  }
  s.sessions[cacheKey] = result;
  return result;
}

bool validSession(const tArgList& list, std::string* user, std::string* project) {
  return sessionState(getArg(list, "Uid"), user, project) == kSessionValid;
}

std::string sessionUser(const tArgList& list) {
  std::string user;
  if (!useSecurity() || !validSession(list, &user)) return std::string();
  return user;
}

std::string currentSessionUser() {
  std::string user;
  if (!useSecurity() || sessionState(getCookie(), &user) != kSessionValid) return std::string();
  return user;
}

// ---------------------------------------------------------------------------
// The browser's cookie
// ---------------------------------------------------------------------------

tCharList browserCookies() {
  tCharList values;
  const char* header = getenv("HTTP_COOKIE");
  if (!header) return values;
  const std::string_view all(header);
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find(';', at);
    if (end == std::string_view::npos) end = all.size();
    std::string_view pair = all.substr(at, end - at);
    at = end + 1;
    while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t')) pair.remove_prefix(1);
    if (pair.substr(0, 6) != "velko=") continue;
    std::string_view raw = pair.substr(6);
    while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t')) raw.remove_suffix(1);
    // %XX as escape() writes it; anything else is kept as sent.
    std::string value;
    for (size_t i = 0; i < raw.size(); ++i) {
      const char c = raw[i];
      const auto hex = [](char h) {
        h = static_cast<char>(tolower(static_cast<unsigned char>(h)));
        return isHex(h) ? hexValue(h) : -1;
      };
      if (c == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 && hex(raw[i + 2]) >= 0) {
        value += static_cast<char>(hex(raw[i + 1]) * 16 + hex(raw[i + 2]));
        i += 2;
      } else {
        value += c;
      }
    }
    values.push_back(value);
  }
  return values;
}

void adoptCookieSession(tArgList& list) {
  if (!useSecurity() || getArg(list, "Uid").size() >= 2) return;
  for (const std::string& uid : browserCookies()) {
    if (sessionState(uid) != kSessionValid) continue;
    // An empty or one-character Uid of the request is none: it goes, so
    // that the cookie's is the only one.
    for (auto it = list.begin(); it != list.end();)
      it = it->nom == "Uid" ? list.erase(it) : it + 1;
    list.push_back(tElement{"Uid", uid});
    state().fromCookie = true;
    return;
  }
}

bool sessionFromCookie() { return state().fromCookie; }

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

namespace {

// True when a stored password is a crypt(3) hash of a scheme that crypt
// knows: "$<id>$" with one of the ids below, and long enough to be a hash
// rather than a password that happens to begin with a dollar.
bool isCryptHash(const std::string& stored) {
  static const char* const kIds[] = {"$y$", "$gy$", "$7$", "$2b$", "$2a$", "$2y$",
                                     "$6$", "$5$",  "$1$"};
  if (stored.size() < 20) return false;
  for (const char* id : kIds)
    if (stored.compare(0, strlen(id), id) == 0) return true;
  return false;
}

}  // namespace

bool passwordMatches(const std::string& stored, const std::string& given) {
  if (!isCryptHash(stored)) return constantTimeEqual(stored, given);
  // crypt reads up to the first NUL: a password holding one would match
  // the hash of its beginning.
  if (given.find('\0') != std::string::npos) return false;
  auto data = std::make_unique<crypt_data>();  // too large for the stack
  const char* hashed = crypt_r(given.c_str(), stored.c_str(), data.get());
  // A failure gives null or a text beginning with '*', never the hash.
  return hashed && hashed[0] == '$' && constantTimeEqual(hashed, stored);
}

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
      if (e.name == login && passwordMatches(e.password, pwd)) {
        *project = p;
        s.passwordMatch[cacheKey] = p;
        return 1;
      }
    }
  }
  return 0;
}

namespace {

// One user name of the counter of wrong passwords.
struct tGuesses {
  long first = 0;  // the first wrong password of the window
  long count = 0;
  std::string name;
};

std::string guessPath(const char* file) {
  std::string dir = getDataDir();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir + "/tmp/" + file;
}

// The counter's lines "<first> <count> <name in hexadecimal>"; a damaged
// line is skipped.
std::vector<tGuesses> readGuesses(const std::string& path) {
  std::vector<tGuesses> all;
  std::string text;
  if (!readWholeFile(path, &text)) return all;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    tGuesses g;
    char* p = nullptr;
    g.first = strtol(line.c_str(), &p, 10);
    if (*p != ' ') continue;
    g.count = strtol(p + 1, &p, 10);
    if (*p != ' ') continue;
    const std::string hex = p + 1;
    if (hex.size() % 2 != 0) continue;
    bool ok = true;
    for (size_t i = 0; i < hex.size() && ok; i += 2) {
      ok = isHex(hex[i]) && isHex(hex[i + 1]);
      if (ok) g.name += static_cast<char>(hexValue(hex[i]) * 16 + hexValue(hex[i + 1]));
    }
    if (ok) all.push_back(std::move(g));
  }
  return all;
}

// Rewrites the counter without the windows that have ended, keeping the
// most recent kGuessNamesMax; false when it could not be written.
bool writeGuesses(const std::string& path, std::vector<tGuesses> all, long now) {
  std::vector<tGuesses> live;
  for (tGuesses& g : all)
    if (now - g.first < kGuessWindow && g.count > 0) live.push_back(std::move(g));
  if (live.size() > kGuessNamesMax) {
    std::stable_sort(live.begin(), live.end(),
                     [](const tGuesses& a, const tGuesses& b) { return a.first > b.first; });
    live.resize(kGuessNamesMax);
  }
  std::string text;
  for (const tGuesses& g : live)
    text += std::to_string(g.first) + " " + std::to_string(g.count) + " " +
            toHex(reinterpret_cast<const uint8_t*>(g.name.data()), g.name.size()) + "\n";
  return replaceFile(path, text, 0600);
}

}  // namespace

tLoginResult attemptLogin(const std::string& login, const std::string& pwd, std::string* project,
                          long* wait) {
  *wait = 0;
  const std::string path = guessPath(kGuessFile);
  // The lock is held over the whole attempt, so that attempts made at the
  // same moment are each counted.
  tFileLock lock;
  bool counted = false;
  if (!getDataDir().empty() && makeDirs(guessPath(""), 0755)) {
    counted = lock.acquire(guessPath(kGuessLock), kGuessLockWait);
    // Held by other attempts all that time: refused rather than uncounted.
    if (!counted && access(guessPath(kGuessLock).c_str(), F_OK) == 0) return kLoginBusy;
  }
  if (!counted) trace("login counter: " + path + " cannot be used");
  const long now = static_cast<long>(time(nullptr));
  std::vector<tGuesses> all = counted ? readGuesses(path) : std::vector<tGuesses>();
  tGuesses* mine = nullptr;
  for (tGuesses& g : all)
    if (g.name == login) mine = &g;
  if (mine && now - mine->first >= kGuessWindow) *mine = tGuesses{0, 0, login};  // window ended
  if (mine && mine->count >= kGuessLimit) {
    *wait = std::min(std::max(mine->first + kGuessWindow - now, 1L), kGuessWindow);
    return kLoginBlocked;
  }
  const bool right = checkPassword(login, pwd, project) != 0;
  if (!counted) return right ? kLoginOk : kLoginWrong;
  if (right) {
    if (mine) {
      mine->count = 0;  // a right password clears the name's count
      writeGuesses(path, std::move(all), now);
    }
    return kLoginOk;
  }
  if (!mine) {
    all.push_back(tGuesses{now, 0, login});
    mine = &all.back();
  }
  if (mine->count == 0) mine->first = now;
  ++mine->count;
  if (!writeGuesses(path, std::move(all), now))
    trace("login counter: " + path + ": " + strerror(errno));
  return kLoginWrong;
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
