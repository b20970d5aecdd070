#include "cookies.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <map>
#include <optional>

#include "config.h"
#include "display.h"
#include "html.h"
#include "args.h"
#include "text.h"
#include "sha256.h"

namespace {

// File of the installation's secret key, in the configuration directory:
// 64 hexadecimal digits (32 random bytes) and a line feed.
constexpr const char* kKeyFileName = "session.key";
constexpr size_t kKeyBytes = 32;

// A login kept for a session, a day, a week, or 30 days (not a year: the
// "year" of the persistence choices has always been 2,592,000 seconds).
constexpr long kPersistSeconds[4] = {0, 86400, 604800, 2592000};
const char* const kPersistNames[4] = {"session", "day", "week", "year"};

// The current identifier holds at most this many characters: enough for
// a signed identifier of the longest user and project names.
constexpr size_t kCookieMax = 199;

struct SessionState {
  std::string cookie;                       // the current identifier
  std::map<std::string, std::string> keys;  // key file path -> key bytes
  // Results computed once per request, keyed by the configuration
  // directory and identifier they were computed for.
  std::map<std::string, bool> sessions;
  std::map<std::string, int> projectRight;
  std::map<std::string, std::string> passwordMatch;  // login \n pwd -> project
};

SessionState& state() {
  static SessionState s;
  return s;
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
    emit("<!session key: no random bytes>\n");
    return;
  }
  const std::string text = toHex(raw, sizeof raw) + "\n";
  memset(raw, 0, sizeof raw);
  const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    emitf("<!session key: cannot create %s: %s>\n", escapeHtml(tmp).c_str(), strerror(errno));
    return;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       fsync(fd) == 0;
  close(fd);
  if (written && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST)
    emitf("<!session key: cannot create %s: %s>\n", escapeHtml(path).c_str(), strerror(errno));
  unlink(tmp.c_str());
}

// The key of the installation, created on first need; false when there is
// none to be had (sessions then never verify).
bool sessionKey(std::string* key) {
  const std::string& dir = getCfgDir();
  if (dir.empty()) {
    emit("<!session key: no configuration directory>\n");
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
      emitf("<!session key: %s is damaged>\n", escapeHtml(path).c_str());
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


const char* scriptName() {
  const char* s = getenv("SCRIPT_NAME");
  return s ? s : "";
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

void hiddenField(const std::string& name, const std::string& value) {
  emitf("<INPUT TYPE=hidden NAME=\"%s\" VALUE=\"%s\">\n", escapeAttr(name).c_str(),
        escapeAttr(value).c_str());
}

// The arguments that a login form carries on, oldest first so that the
// next request sees them in their original order: every one but the
// login's own fields and those named in `also`. A field that the form sets
// itself is left out, since a second one of that name, later in the form,
// would win over it: the login form has its own PERSIST choice, and the
// result form its new "Uid".
void carryArguments(const tArgList& list, std::initializer_list<const char*> also) {
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const std::string& n = it->nom;
    if (n == "Login" || n == "Passwd" || n == "User") continue;
    bool skip = false;
    for (const char* a : also) skip = skip || n == a;
    if (!skip) hiddenField(n, it->valeur);
  }
}

int persistence(const tArgList& list) {
  const int p = getArgInt(list, "PERSIST");
  return p >= 0 && p <= 3 ? p : 0;
}

const std::string& textOr(int num, const std::string& fallback) {
  const std::string& t = langue(num);
  return t.empty() ? fallback : t;
}

void loginSuccess(const tArgList& list, const std::string& user, const std::string& project) {
  const long now = static_cast<long>(time(nullptr));
  const std::string uid = encodeUID(user, project, now);
  if (useSecurity() && !verifyUID(uid)) {
    // No key, or a name holding a byte that the identifier cannot carry.
    emit("<!the session identifier cannot be formed>\n");
    printErr(513);
    return;
  }
  emitf("<FORM NAME=\"mainform\" METHOD=POST ACTION=\"%s\">\n", escapeAttr(scriptName()).c_str());
  hiddenField("Uid", uid);
  // PERSIST is the login's own choice too: carried on, it would make the
  // next request more than "Uid" alone, and the start page would not show.
  carryArguments(list, {"Uid", "PERSIST"});
  emit("</FORM>\n<SCRIPT LANGUAGE=JavaScript>\n");
  if (useSecurity()) {
    const int p = persistence(list);
    if (p == 0)
      emitf("ecritCookie(\"velko\",%s);\n", jsString(uid).c_str());
    else
      emitf("ecritCookie(\"velko\",%s,new Date(%ld000));\n", jsString(uid).c_str(),
            now + kPersistSeconds[p]);
  }
  emit("document.mainform.submit();\n</SCRIPT>\nOK\n");
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
// Current identifier, URLs
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

std::string getPageUrl(const tArgList& list, int logArg) {
  (void)list;  // the login page carries nothing but "Login"
  std::string url = std::string(scriptName()) + "?";
  if (logArg > 0) url += strprintf("%s=%d", "Login", logArg);
  return url;
}

// ---------------------------------------------------------------------------
// Page scripts
// ---------------------------------------------------------------------------

void cookieTools() {
  emit("<SCRIPT LANGUAGE=JavaScript>\n"
       "function getCookie(nom) {\n"
       "  var arg = nom + \"=\";\n"
       "  var all = document.cookie.split(\"; \");\n"
       "  for (var i = 0; i < all.length; i++) {\n"
       "    if (all[i].indexOf(arg) == 0) return unescape(all[i].substring(arg.length));\n"
       "  }\n"
       "  return \"\";\n"
       "}\n"
       "function ecritCookie(nom, valeur, expire) {\n"
       "  document.cookie = nom + \"=\" + escape(valeur) +\n"
       "    ((expire == null) ? \"\" : (\"; expires=\" + expire.toGMTString()));\n"
       "}\n"
       "</SCRIPT>\n");
}

void cookieCheck(const std::string& title, const tArgList* list) {
  const std::string uid = list ? getArg(*list, "Uid") : std::string(" ");
  const std::string url = jsString(getPageUrl(list ? *list : tArgList(), 1));
  emit("<SCRIPT LANGUAGE=JavaScript>\n"
       "function CookieCheck() {\n"
       "  var kuki = getCookie(\"velko\");\n");
  if (title == "VELKO Login") {
    emit("  if (document.mainform) document.mainform.User.focus();\n");
  } else if (title == "VELKO Login2") {
    // The login result page writes the cookie itself.
  } else if (uid.size() >= 2) {
    emitf("  if (kuki != %s) document.location = %s;\n", jsString(uid).c_str(), url.c_str());
  } else {
    emitf("  if (kuki == \"\") document.location = %s;\n", url.c_str());
  }
  emit("}\n</SCRIPT>\n");
  emitf("<!title:%s>\n", escapeHtml(title).c_str());
  emitf("<!uid:%s>\n", escapeHtml(uid).c_str());
  if (list) setCookie(uid);
}

void checkBypass(const tArgList& list) {
  if (!useSecurity()) return;
  const std::string uid = getArg(list, "Uid");
  if (uid.size() >= 2 && verifyUID(uid)) return;
  emitf("<SCRIPT LANGUAGE=JavaScript>\ndocument.location = %s;\n</SCRIPT>\n",
        jsString(getPageUrl(list, 1)).c_str());
}

// ---------------------------------------------------------------------------
// Login
// ---------------------------------------------------------------------------

namespace {

// The login form. The login page keeps the old identifier among the
// arguments (the login result replaces it); a page that offers the login
// in place of its content because the identifier is no session drops it.
void loginForm(const tArgList& list, bool keepUid) {
  static const std::string kPersistLabel = "Persistent";
  const std::string title = "VELKO Login";
  int preset = persistence(list);
  if (getArg(list, "PERSIST")[0] == ' ') {
    const int cfg = atoi(getCfgKey("PERSIST").c_str());
    preset = cfg >= 0 && cfg <= 3 ? cfg : 0;
  }
  emitf("<CENTER>\n<FORM NAME=\"mainform\" METHOD=POST ACTION=\"%s\">\n",
        escapeAttr(scriptName()).c_str());
  emit("<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=2 bgcolor=#000000><TR><TD>\n"
       "<TABLE BORDER=0 CELLSPACING=1 CELLPADDING=4 WIDTH=100%>\n");
  emitf("<TR><TD COLSPAN=2 ALIGN=CENTER bgcolor=#9999CC><FONT COLOR=#FFFFFF><B>%s</B></FONT>"
        "</TD></TR>\n",
        title.c_str());
  emit("<TR><TD bgcolor=#0CCCCC> Login : </TD>"
       "<TD bgcolor=#0CCCCC><INPUT TYPE=text NAME=\"User\" SIZE=20></TD></TR>\n"
       "<TR><TD bgcolor=#0CCCCC> Passwd : </TD>"
       "<TD bgcolor=#0CCCCC><INPUT TYPE=password NAME=\"Passwd\" SIZE=20></TD></TR>\n");
  emitf("<TR><TD bgcolor=#0CCCCC> %s : </TD><TD bgcolor=#0CCCCC><SELECT NAME=\"PERSIST\">\n",
        escapeHtml(textOr(2116, kPersistLabel)).c_str());
  for (int p = 0; p < 4; ++p)
    emitf("<OPTION VALUE=%d%s>%s\n", p, p == preset ? " SELECTED" : "",
          escapeHtml(textOr(2117 + p, kPersistNames[p])).c_str());
  emit("</SELECT></TD></TR>\n"
       "<TR><TD COLSPAN=2 ALIGN=CENTER bgcolor=#0CCCCC>"
       "<INPUT TYPE=submit VALUE=\"Login\"></TD></TR>\n"
       "</TABLE></TD></TR></TABLE>\n");
  hiddenField("Login", "2");
  if (keepUid)
    carryArguments(list, {"PERSIST"});
  else
    carryArguments(list, {"PERSIST", "Uid"});
  emit("</FORM>\n</CENTER>\n");
}

}  // namespace

void printLoginForm(const tArgList& list) { loginForm(list, false); }

void loginDisplay(tArgList& list) {
  printHead(request().page, "VELKO Login", nullptr, &list);
  loginForm(list, true);
}

void velkoLogin(tArgList& list, const std::string& step) {
  if (step == "1") {
    loginDisplay(list);
  } else if (step == "2") {
    printHead(request().page, "VELKO Login2", nullptr, &list);
    std::string project;
    const std::string user = getArg(list, "User");
    if (checkPassword(user, getArg(list, "Passwd"), &project))
      loginSuccess(list, user, project);
    else
      printErr(513);
  }
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
      if (!quiet) emitf("<!Access denied for %s in %d>\n", escapeHtml(user).c_str(), static_cast<int>(col));
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
  if (!quiet)
    emitf(granted ? "<!Access granted for %s in %d>\n" : "<!Access denied for %s in %d>\n",
          escapeHtml(user).c_str(), static_cast<int>(col));
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

bool requireSession(tArgList& list) {
  if (!useSecurity() || validSession(list)) return true;
  static const std::string kEnglish = "This operation needs a valid session: please log in.";
  static const std::string kFrench = "Cette op\xC3\xA9ration demande une session valide : "
                                     "identifiez-vous.";
  if (!pageHeadPrinted()) printHead(request().page, "VELKO", nullptr, &list);
  emit("<!no valid session: nothing changed>\n");
  const std::string& msg = textOr(518, langue(1) == "FR" ? kFrench : kEnglish);
  emitf("<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>%s</H1></font>\n<P><HR><BR><BR>%s\n"
        "</TD></TR></TABLE>\n",
        langue(500).c_str(), msg.c_str());
  printLoginForm(list);
  return false;
}

void resetSessionState() {
  SessionState& s = state();
  s.cookie.clear();
  s.keys.clear();
  s.sessions.clear();
  s.projectRight.clear();
  s.passwordMatch.clear();
}
