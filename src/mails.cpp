#include "mails.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config.h"
#include "fileio.h"
#include "html.h"
#include "text.h"
#include "uucode.h"

namespace {

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// Observable limits of the stored texts.
constexpr size_t kWordMax = 49;        // a word of "sendmail.cfg"
constexpr size_t kNameMax = 19;        // a user name
constexpr size_t kAddrMax = 99;        // an e-mail address
constexpr size_t kMailListMax = 1024;  // the address list
constexpr size_t kHostNameMax = 49;    // the local host name
constexpr size_t kSmtpPiece = 499;     // one write of the mail data
constexpr int kReplyWait = 3;          // seconds, SMTP replies and DELE/QUIT

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
using tFile = std::unique_ptr<FILE, FileCloser>;

// Reads one line without its line feed; false at the end of the file.
bool readLine(FILE* f, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return any;
}

// The page that receives the trace comments of the conversations: the
// request's own, where an administrator reading the source finds them.
// Every value written there goes through an escaping function of tPage.
tPage& trace() { return request().page; }

// A value shown in a trace comment: one line at most `max` characters,
// '>' shown as '}' and control characters as '.', as the traces always
// showed them (the page escapes what remains).
std::string traceSafe(std::string_view s, size_t max = 200) {
  std::string out;
  for (char c : s) {
    if (out.size() >= max) break;
    if (c == '\r' || c == '\n') break;
    if (c == '>')
      out.push_back('}');
    else if (static_cast<unsigned char>(c) < 32 || c == 127)
      out.push_back('.');
    else
      out.push_back(c);
  }
  return out;
}

// The role value of a letter, or null when `c` is no role letter.
bool roleValue(char c, const tHeader& bug, std::string* value) {
  switch (c) {
    case 'M': *value = getBugManager(bug.project); return true;
    case 'V': *value = getValidManager(bug.project); return true;
    case 's': *value = bug.submitter; return true;
    case 'a': *value = bug.assignedTo; return true;
    case 'c': *value = bug.corrector; return true;
    case 'v': *value = bug.verifiedBy; return true;
    default: return false;
  }
}

// Seconds of the monotonic clock.
double nowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int g_mailWait = 0;  // 0: not yet read from the environment

// The wait for one POP3 reply or one piece of a POP3 answer.
int popReplyWait() { return mailWait(); }

// The reception buffer: every read stores at most 1023 bytes and a NUL.
std::array<char, 1025> g_rx;
// The POP3 server's line-end character, set from its greeting.
char g_end = '\n';

}  // namespace

// ---------------------------------------------------------------------------
// Recipient lists
// ---------------------------------------------------------------------------

const char* getAction(int act) {
  if (act < 0 || act > E_END) return actionName[E_END];
  return actionName[act];
}

std::string translateName(const std::string& from, const tHeader& bug) {
  std::string value;
  if (from.size() == 1 && roleValue(from[0], bug, &value)) return value;
  return from;
}

void addMailList(tMailList* list, const std::string& from, const tHeader& bug,
                 const char* actionBy) {
  const std::string value = translateName(from, bug);
  size_t pos = 0;
  while (pos < value.size()) {
    // A manager list may be written "p, q": blanks before a name are skipped.
    while (pos < value.size() && isBlank(value[pos])) ++pos;
    if (pos >= value.size()) break;
    size_t end = pos;
    while (end < value.size() && value[end] != ',' && !isBlank(value[end])) ++end;
    std::string name = value.substr(pos, end - pos);
    if (name.size() > kNameMax) name.resize(kNameMax);
    // The next name begins after the next comma, whatever lies before it.
    const size_t comma = value.find(',', pos);
    pos = comma == std::string::npos ? value.size() : comma + 1;
    if (name.empty()) continue;  // ",," names nobody
    bool add = actionBy == nullptr || name != actionBy;
    if (add) {
      for (const std::string& n : *list)
        if (n == name) {
          add = false;
          break;
        }
    }
    trace().markup("<! Mail :").text(traceSafe(name)).markup(":");
    trace().text(actionBy ? traceSafe(actionBy) : "(null)").markup(":").num(add ? 1 : 0);
    trace().markup(", ").text(traceSafe(value.substr(pos), 1024)).markup(">\n");
    if (add) list->insert(list->begin(), name);
  }
}

std::string getMailAddr(const std::string& proj, const std::string& name) {
  // getUsers reads every project for a missing project name: a report
  // without a project has no users file, hence no address.
  if (proj.empty() || proj == " ") return std::string();
  for (const tUserEntry& user : getUsers(proj)) {
    if (user.name != name) continue;
    std::string addr = user.email;
    if (addr.size() > kAddrMax) addr.resize(kAddrMax);
    return addr;  // the first line of a user counts
  }
  return std::string();
}

void writeMailList(const tMailList& list, std::string* lst, const std::string& proj) {
  for (const std::string& name : list) {
    const std::string addr = getMailAddr(proj, name);
    if (addr.empty()) continue;
    const size_t need = addr.size() + (lst->empty() ? 0 : 1);
    // An address that does not fit whole is left out rather than cut: a
    // cut address would mail somebody else.
    if (lst->size() + need > kMailListMax) continue;
    if (!lst->empty()) lst->push_back(',');
    lst->append(addr);
  }
}

void freeMailList(tMailList* list) { list->clear(); }

std::string getMailList(const tHeader& bug, int act, const char* actionBy) {
  std::string result;
  tMailList list;
  const std::string path = strprintf("%s/sendmail.cfg", getCfgDir().c_str());
  tFile f(fopen(path.c_str(), "r"));
  if (!f) return result;
  const std::string action = getAction(act);
  std::string line;
  while (readLine(f.get(), &line)) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (true) {
      while (pos < line.size() && isBlank(line[pos])) ++pos;
      if (pos >= line.size()) break;
      size_t end = pos;
      while (end < line.size() && !isBlank(line[end])) ++end;
      words.push_back(line.substr(pos, end - pos));
      pos = end;
    }
    if (words.empty() || words[0] != action) continue;
    for (size_t i = 1; i < words.size(); ++i) {
      std::string word = words[i];
      if (word.size() > kWordMax) word.resize(kWordMax);
      addMailList(&list, word, bug, actionBy);
    }
  }
  f.reset();
  writeMailList(list, &result, bug.project);
  freeMailList(&list);
  return result;
}

// ---------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------

int mailWait() {
  if (g_mailWait <= 0) {
    g_mailWait = 30;
    if (const char* env = getenv("VELKO_MAIL_WAIT")) {
      const int v = atoi(env);
      if (v > 0) g_mailWait = v;
    }
  }
  return g_mailWait;
}

void setMailWait(int seconds) { g_mailWait = seconds > 0 ? seconds : 0; }

// ---------------------------------------------------------------------------
// Socket level
// ---------------------------------------------------------------------------

void splitHostPort(const std::string& value, const char* defaultPort, std::string* host,
                   std::string* port) {
  const size_t colon = value.rfind(':');
  if (colon != std::string::npos && colon + 1 < value.size() &&
      value.find(':') == colon &&
      value.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    *host = value.substr(0, colon);
    *port = value.substr(colon + 1);
    return;
  }
  *host = value;
  *port = defaultPort;
}

int clientConnect(const std::string& hostName, const std::string& connectPort) {
  const int port = atoi(connectPort.c_str());
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (sock < 0) {
    const int err = errno;
    trace().markup("<! impossible to open socket: error ").num(err).markup(">\n");
    trace().markup("<! ").text(strerror(err)).markup(" >\n");
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (hostName.empty() || getaddrinfo(hostName.c_str(), nullptr, &hints, &res) != 0 || !res) {
    trace().markup("<! impossible to find host ").text(traceSafe(hostName)).markup(">\n");
    close(sock);
    return -3;
  }
  sockaddr_in addr{};
  memcpy(&addr, res->ai_addr, sizeof addr);
  freeaddrinfo(res);
  addr.sin_port = htons(static_cast<uint16_t>(port));

  // Non-blocking connect, so that an unanswering host costs at most
  // mailWait() seconds instead of the system's minutes.
  const int flags = fcntl(sock, F_GETFL);
  fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      pollfd p{sock, POLLOUT, 0};
      const int r = poll(&p, 1, mailWait() * 1000);
      if (r <= 0) {
        err = r == 0 ? ETIMEDOUT : errno;
      } else {
        socklen_t len = sizeof err;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
  }
  if (err != 0) {
    trace().markup("<! impossible to connect to ").text(traceSafe(hostName));
    trace().markup(": error ").num(err).markup(">\n");
    trace().markup("<! ").text(strerror(err)).markup(" >\n");
    clientDisconnect(sock);
    return -2;
  }
  fcntl(sock, F_SETFL, flags);
  // A peer that stops reading must not block a write for ever either.
  timeval tv{mailWait(), 0};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return sock;
}

int clientDisconnect(int sock) {
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return 1;
}

int myRead(int sock, int delay, const char** buf) {
  g_rx.fill(0);
  if (buf) *buf = g_rx.data();
  if (delay <= 0) delay = mailWait();  // the design's "no limit"

  pollfd p{sock, POLLIN, 0};
  errno = 0;
  const int r = poll(&p, 1, delay * 1000);
  if (r <= 0) {
    const int err = errno;
    trace().markup("<! Read: ").num(r).markup(" err ").num(err).markup(" >\n");
    return 0;
  }
  g_rx.fill(0);
  const ssize_t n = read(sock, g_rx.data(), 1023);
  if (n <= 0) return 0;
  g_rx[n] = '\0';
  return static_cast<int>(n);
}

int myRecieve(int sock, int delay, const char** buf) {
  const char* text = nullptr;
  const int n = myRead(sock, delay, &text);
  if (buf) *buf = text;
  if (n > 0) {
    for (int i = 0; i < n; ++i)
      if (g_rx[i] == '>') g_rx[i] = '}';
    const int code = atoi(g_rx.data());
    std::string shown;
    for (int i = 0; i < n && i < 30; ++i) {
      const unsigned char c = static_cast<unsigned char>(g_rx[i]);
      shown.push_back(c >= 32 && c <= 122 ? static_cast<char>(c) : '.');
    }
    trace().markup("<! read : ").num(n).markup(" ").num(code);
    trace().markup(" [").text(shown).markup("]>\n");
  }
  return n;
}

int mySend(int sock, const std::string& data, int lines) {
  errno = 0;
  // MSG_NOSIGNAL: a server that closed the connection must not kill the
  // request with SIGPIPE. The send time-out of the socket may cut a write
  // short: the rest is sent too, so that no piece of a mail is dropped.
  ssize_t n = 0;
  while (static_cast<size_t>(n) < data.size()) {
    const ssize_t w = send(sock, data.data() + n, data.size() - n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (n == 0) n = w;
      break;
    }
    n += w;
  }
  const int err = errno;
  trace().markup("<! write : ").num(static_cast<long>(n)).markup("/");
  trace().num(static_cast<long>(data.size())).markup(" err:").num(err).markup("[]> \n");
  for (int i = 0; i < lines; ++i) myRecieve(sock, kReplyWait, nullptr);
  return static_cast<int>(n);
}

// ---------------------------------------------------------------------------
// SMTP
// ---------------------------------------------------------------------------

namespace {

// Traces a refused SMTP command: the reply in the reception buffer begins
// with a 4xx or 5xx code.
void traceRefused(const char* command) {
  const int code = atoi(g_rx.data());
  if (code < 400 || code > 599) return;
  trace().markup("<! refused ").text(command).markup(" : ").text(traceSafe(g_rx.data()));
  trace().markup(" >\n");
}

// Sends a command and awaits one reply; traces a refusal.
void smtpCommand(int sock, const std::string& line, const char* name) {
  mySend(sock, line, 1);
  traceRefused(name);
}

}  // namespace

// The dialogue follows RFC 5321 where a server would refuse anything
// else: every line ends with CR LF, the envelope addresses are in angle
// brackets right after the colon, and data lines that begin with "." get
// one more "." so that a line holding a single "." cannot end the mail
// early. Replies are awaited a bounded time; refusals are traced, and the
// dialogue goes on.
void monmail(const std::string& hostname, const std::string& to, const std::string& filename) {
  std::string host, port;
  splitHostPort(hostname, "25", &host, &port);
  const int sock = clientConnect(host, port);
  trace().markup("<! sock : ").num(sock).markup(" >\n");
  if (sock < 0) return;

  std::string www = getCfgKey("WWW");
  if (www.empty()) www = "www";
  const std::string domain = getCfgKey("DOMAIN");
  char local[kHostNameMax + 1] = {0};
  gethostname(local, kHostNameMax);

  // The greeting, awaited at most mailWait(). A server that does not greet
  // is not answering at all: every further step would only wait too.
  if (myRecieve(sock, 0, nullptr) <= 0) {
    trace().markup("<! no greeting from the mail server >\n");
    clientDisconnect(sock);
    return;
  }
  traceRefused("greeting");
  smtpCommand(sock, strprintf("HELO %s\r\n", local), "HELO");
  smtpCommand(sock, strprintf("MAIL FROM:<%s@%s>\r\n", www.c_str(), domain.c_str()), "MAIL FROM");
  size_t pos = 0;
  while (pos <= to.size()) {
    size_t comma = to.find(',', pos);
    if (comma == std::string::npos) comma = to.size();
    std::string addr = to.substr(pos, comma - pos);
    pos = comma + 1;
    while (!addr.empty() && isBlank(addr.back())) addr.pop_back();
    while (!addr.empty() && isBlank(addr.front())) addr.erase(0, 1);
    if (addr.empty()) continue;
    // A line end or a bracket would end the command early and start
    // another one of the address's making.
    if (addr.find_first_of("<>\r\n\t ") != std::string::npos ||
        std::any_of(addr.begin(), addr.end(), [](char c) {
          return static_cast<unsigned char>(c) < 32 || c == 127;
        })) {
      trace().markup("<! address left out : ").text(traceSafe(addr)).markup(" >\n");
      continue;
    }
    mySend(sock, strprintf("RCPT TO:<%s>\r\n", addr.c_str()), 0);
    trace().markup("<! sending mail to : ").text(traceSafe(addr)).markup(" >\n");
    myRecieve(sock, kReplyWait, nullptr);
    traceRefused("RCPT TO");
  }
  smtpCommand(sock, "DATA\r\n", "DATA");
  // After a refused DATA the server reads each line of the mail as a
  // command: a report's text must never become SMTP commands.
  const int dataCode = atoi(g_rx.data());
  if (dataCode >= 400 && dataCode <= 599) {
    mySend(sock, "quit\r\n", 1);
    clientDisconnect(sock);
    return;
  }

  tFile f(fopen(filename.c_str(), "r"));
  if (f) {
    std::string line;
    bool more = true;
    while (more && readLine(f.get(), &line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] == '.') line.insert(0, 1, '.');
      line += "\r\n";
      // Written in pieces of at most 499 characters, as the line buffer
      // of the dialogue holds.
      for (size_t off = 0; off < line.size(); off += kSmtpPiece) {
        if (mySend(sock, line.substr(off, kSmtpPiece), 0) <= 0) {
          more = false;
          break;
        }
      }
    }
  }
  mySend(sock, "\r\n\r\n.\r\nquit\r\n", 1);
  traceRefused("end of data");
  clientDisconnect(sock);
}

bool isSafeMailAddress(const std::string& addr) {
  if (addr.empty() || addr.size() > kAddrMax) return false;
  // Options, folders ("+name") and files or pipes ("/x", "|cmd") of the
  // mail command are not addresses.
  if (addr[0] == '-' || addr[0] == '+') return false;
  for (char c : addr) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) continue;
    if (strchr("._-+=@%!#'*?^{}~&$", c) == nullptr || c == '\0') return false;
  }
  return true;
}

int runLocalMail(const std::string& to, const std::string& filename) {
  std::vector<std::string> addrs;
  size_t pos = 0;
  while (pos <= to.size()) {
    size_t comma = to.find(',', pos);
    if (comma == std::string::npos) comma = to.size();
    std::string addr = to.substr(pos, comma - pos);
    pos = comma + 1;
    while (!addr.empty() && isBlank(addr.back())) addr.pop_back();
    while (!addr.empty() && isBlank(addr.front())) addr.erase(0, 1);
    if (addr.empty()) continue;
    if (isSafeMailAddress(addr))
      addrs.push_back(addr);
    else
      trace().markup("<! mail : address left out : ").text(traceSafe(addr)).markup(" >\n");
  }
  if (addrs.empty()) return 0;

  const int in = open(filename.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    const int err = errno;
    trace().markup("<! mail : cannot read ").text(traceSafe(filename));
    trace().markup(" : ").text(strerror(err)).markup(" >\n");
    return -1;
  }
  std::vector<char*> argv;
  static char kMail[] = "mail";
  argv.push_back(kMail);
  for (std::string& a : addrs) argv.push_back(a.data());
  argv.push_back(nullptr);

  fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    trace().markup("<! mail : fork failed : ").text(strerror(errno)).markup(" >\n");
    close(in);
    return -1;
  }
  if (pid == 0) {
    // The page is on standard output: the command's own messages go to
    // standard error instead.
    dup2(in, 0);
    dup2(2, 1);
    // The command declares the character set of its locale: the mail text
    // (language texts, typed reports) is UTF-8.
    setenv("LC_ALL", "C.UTF-8", 1);
    execvp("mail", argv.data());  // as the shell would find it, without one
    _exit(127);
  }
  close(in);
  const double deadline = nowSeconds() + mailWait();
  int status = 0;
  useconds_t pause = 500;  // a command that is done at once costs no more
  while (true) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      trace().markup("<! mail : wait failed : ").text(strerror(errno)).markup(" >\n");
      return -1;
    }
    if (nowSeconds() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      trace().markup("<! mail : command stopped after ").num(mailWait()).markup(" s >\n");
      return -1;
    }
    usleep(pause);
    pause = std::min<useconds_t>(pause * 2, 20000);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    trace().markup("<! mail : command failed, status ");
    trace().num(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)).markup(" >\n");
    return -1;
  }
  return static_cast<int>(addrs.size());
}

// ---------------------------------------------------------------------------
// POP3
// ---------------------------------------------------------------------------

char endChar(const char* line) {
  if (line && *line) g_end = line[strlen(line) - 1];
  return g_end;
}

int lineEnd(const char* line) {
  const size_t n = line ? strlen(line) : 0;
  if (n < 6) return 1;
  if (g_end == '\n') return strcmp(line + n - 5, "\r\n.\r\n") == 0 ? 1 : 0;
  if (g_end == '\r') return strcmp(line + n - 3, "\r.\r") == 0 ? 1 : 0;
  return 0;
}

namespace {

// Whether the text received so far of a multi-line answer is complete.
// The terminator may be split between two reads, and a short read in the
// middle of a message is no end: the decision is made on the tail of the
// whole answer, never on one read alone.
bool answerComplete(const std::string& text) {
  if (text.size() < 6) return false;
  return lineEnd(text.c_str() + text.size() - 6) == 1;
}

// Reads the rest of a multi-line answer whose first part is `text`, each
// read waiting at most `delay` seconds. False when a wait expired or the
// connection ended first.
bool readAnswer(int sock, int delay, std::string* text, bool traced) {
  const double deadline = nowSeconds() + 10.0 * mailWait();
  while (!answerComplete(*text)) {
    if (nowSeconds() > deadline) return false;
    const char* buf = nullptr;
    const int n = traced ? myRecieve(sock, delay, &buf) : myRead(sock, delay, &buf);
    if (n <= 0) return false;
    text->append(buf, n);
  }
  return true;
}

// A project or file name taken from a mail subject becomes part of a path:
// it must name one entry of one folder.
bool isSafePathPart(const std::string& s) {
  if (s.empty() || s[0] == '.') return false;
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 33 || u == 127 || strchr("/\\<>&\"'|;`$*?", c)) return false;
  }
  return true;
}

// The text of a multi-line answer with the server's byte-stuffing undone:
// a line that begins with "." had one more "." put in front.
std::string unstuffDots(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (lineStart && text[i] == '.' && i + 1 < text.size() && text[i + 1] == '.') {
      lineStart = false;
      continue;
    }
    out.push_back(text[i]);
    lineStart = text[i] == '\n';
  }
  return out;
}

// The sending host named by the type line of a synchronisation message.
std::string senderHost(const std::string& text) {
  size_t pos = 0;
  tDecoded d;
  return uudecode(text, &pos, &d) ? d.server : std::string();
}

bool isFolder(const std::string& dir) {
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int popLogin(int* sock) {
  trace().markup("<! popLogin>\n");
  std::string host, port;
  splitHostPort(getCfgKey("POP3"), "110", &host, &port);
  *sock = clientConnect(host, port);
  if (*sock < 0) return 0;

  // A reply is awaited up to popReplyWait(): a server that answers costs
  // no more than its answer, and a busy one (a password check takes its
  // time) still gets its reply read as the answer to the command it sent.
  const double deadline = nowSeconds() + 2.0 * mailWait();
  const char* reply = nullptr;
  // The greeting: the first reply that begins with "+", or nothing. A
  // server that does not greet is not answering at all.
  if (myRecieve(*sock, popReplyWait(), &reply) <= 0) {
    trace().markup("<! no greeting from the POP3 server >\n");
    return 0;
  }
  while (reply[0] != '+' && reply[0] != '\0' && nowSeconds() < deadline)
    myRecieve(*sock, popReplyWait(), &reply);
  endChar(reply);

  mySend(*sock, strprintf("USER %s\r\n", getCfgKey("POP3USER").c_str()), 0);
  do {
    myRecieve(*sock, popReplyWait(), &reply);
    trace().comment(reply).markup("\n");
  } while (reply[0] != '+' && reply[0] != '-' && reply[0] != '\0' && nowSeconds() < deadline);

  mySend(*sock, strprintf("PASS %s\r\n", getCfgKey("POP3PASS").c_str()), 0);
  do {
    myRecieve(*sock, popReplyWait(), &reply);
    trace().comment(reply).markup("\n");
  } while (reply[0] != '+' && reply[0] != '-' && reply[0] != '\0' && nowSeconds() < deadline);
  return reply[0] == '+' ? 1 : 0;
}

tCharList getNumList(int sock) {
  tCharList list;
  mySend(sock, "LIST\r\n", 0);
  std::string text;
  const char* buf = nullptr;
  const int n = myRecieve(sock, popReplyWait(), &buf);
  if (n <= 0) return list;
  text.assign(buf, n);
  if (text[0] != '+') return list;  // refused: a one-line answer
  // The status line is ended by a line feed; the listing by a "." line.
  // Lines are parsed once whole, also when split between two reads.
  bool statusSeen = false, done = false;
  size_t pos = 0;
  const double deadline = nowSeconds() + 10.0 * mailWait();
  while (!done) {
    size_t nl;
    while (!done && (nl = text.find('\n', pos)) != std::string::npos) {
      const std::string line = text.substr(pos, nl - pos);
      pos = nl + 1;
      if (!statusSeen) {
        statusSeen = true;
      } else if (!line.empty() && line[0] == '.') {
        done = true;
      } else {
        int num = 0, size = 0;
        if (sscanf(line.c_str(), "%d %d", &num, &size) == 2)
          list.insert(list.begin(), strprintf("%d %d", num, size));
      }
    }
    if (done) break;
    const int more = nowSeconds() > deadline ? 0 : myRecieve(sock, popReplyWait(), &buf);
    if (more <= 0) {
      // Without its end the stream no longer matches the commands: what
      // follows would be taken as answers to later commands.
      trace().markup("<! LIST incomplete >\n");
      list.clear();
      return list;
    }
    text.append(buf, more);
  }
  return list;
}

tCharList getSynchList(int sock) {
  tCharList result;
  const std::string subject = strprintf("Subject: %s", "Velko-Synchro");
  const std::string key = subject.substr(1);  // "subject:" matches too
  for (const std::string& entry : getNumList(sock)) {
    int num = 0, size = 0;
    if (sscanf(entry.c_str(), "%d %d", &num, &size) != 2) continue;
    mySend(sock, strprintf("TOP %d 1\r\n", num), 0);
    const char* buf = nullptr;
    const int n = myRecieve(sock, popReplyWait(), &buf);
    if (n <= 0) {
      trace().markup("<! TOP incomplete >\n");
      break;
    }
    std::string text(buf, n);
    // The whole answer is read before it is searched: a real server puts
    // trace headers in front, which may push the subject past one read.
    if (text[0] == '+' && !readAnswer(sock, popReplyWait(), &text, true)) {
      trace().markup("<! TOP incomplete >\n");
      break;
    }
    const size_t at = text.find(key);
    if (at == std::string::npos) continue;
    char project[200] = {0}, file[200] = {0};
    if (sscanf(text.c_str() + at + key.size(), "%199s %199s", project, file) != 2) continue;
    if (!isSafePathPart(project) || !isSafePathPart(file)) {
      trace().markup("<! synch subject refused : ").text(traceSafe(project)).markup(" ");
      trace().text(traceSafe(file)).markup(" >\n");
      continue;
    }
    result.insert(result.begin(), strprintf("%d %s %s %d", num, project, file, size));
  }
  return result;
}

void getSynchMails() {
  int sock = -1;
  if (!popLogin(&sock)) {
    if (sock >= 0) clientDisconnect(sock);
    return;
  }
  for (const std::string& entry : getSynchList(sock)) {
    trace().markup("<! synchfile :'").text(traceSafe(entry)).markup("' >");
    int num = 0, size = 0;
    char project[200] = {0}, file[200] = {0};
    if (sscanf(entry.c_str(), "%d %199s %199s %d", &num, project, file, &size) != 4) continue;

    mySend(sock, strprintf("RETR %d\r\n", num), 0);
    std::string text;
    const char* buf = nullptr;
    const int n = myRead(sock, 0, &buf);
    if (n <= 0) {
      trace().markup("<! RETR incomplete >\n");
      break;
    }
    text.assign(buf, n);
    if (text[0] != '+') {
      trace().markup("<! RETR refused : ").text(traceSafe(text)).markup(" >\n");
      continue;  // a one-line answer: the dialogue is still in step
    }
    if (!readAnswer(sock, 0, &text, false)) {
      trace().markup("<! RETR incomplete >\n");
      break;  // the message stays on the server
    }
    text = unstuffDots(text);
    // Messages of different senders are kept apart, each in the folder of
    // its sending host, so that equal numbers never overwrite each other.
    std::string dir = strprintf("%s/in/%s/", getSynchDir().c_str(), project);
    const std::string host = senderHost(text);
    if (!host.empty() && isSafePathPart(host) && isFolder(dir)) {
      dir += host + "/";
      mkdir(dir.c_str(), 0777);
    }
    const std::string path = dir + file + ".txt";
    // The message is deleted only once its inbox file is written whole.
    if (!replaceFile(path, text)) {
      const int err = errno;
      trace().markup("<! cannot store ").text(traceSafe(path));
      trace().markup(" : ").text(strerror(err)).markup(" >\n");
      continue;
    }
    // The DELE reply must be read here: left for later, it would be stored
    // in front of the next message. It is one line.
    mySend(sock, strprintf("DELE %d\r\n", num), 0);
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
      const int got = myRecieve(sock, popReplyWait(), &buf);
      if (got <= 0) break;
      reply.append(buf, got);
    }
  }
  // The deletions take effect only when the server receives QUIT whole.
  mySend(sock, "QUIT\r\n", 1);
  clientDisconnect(sock);
}

// ---------------------------------------------------------------------------
// Notification messages
// ---------------------------------------------------------------------------

namespace {

// Raw bytes per encoded word: 45 bytes give 60 base64 characters, 72 with
// "=?UTF-8?B?" and "?=", within the 75 that an encoded word may have.
constexpr size_t kEncodedWordBytes = 45;

// A header value without control characters.
std::string headerSafe(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  return s;
}

std::string base64(std::string_view in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool isHigh(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// Removes the mail file and traces a failure to do so.
void removeMailFile(const std::string& path) {
  if (unlink(path.c_str()) != 0) {
    const int err = errno;
    trace().markup("<! cannot remove ").text(traceSafe(path));
    trace().markup(" : ").text(strerror(err)).markup(" >\n");
  }
}

// Closes a mail file written by the caller: false when any byte of it may
// be missing (a full disk), since a cut mail must not be sent.
bool closeMailFile(FILE* f, const std::string& path) {
  bool ok = fflush(f) == 0 && !ferror(f);
  if (fclose(f) != 0) ok = false;
  if (!ok)
    trace().markup("<! mail file ").text(traceSafe(path)).markup(" incomplete, not sent >\n");
  return ok;
}

// Traces the opening of a mail file as the administrators know it: the
// handle as a number (0 when none), errno and the name.
FILE* openMailFile(const char* base, std::string* path) {
  errno = 0;
  FILE* f = createMailFile(base, path);
  const int err = f ? 0 : errno;
  trace().markup("<! Send Mail ").num(f ? static_cast<long>(fileno(f)) : 0L);
  trace().markup(",errno:").num(err).markup(", file:").text(traceSafe(*path, 1024)).markup(">\n");
  return f;
}

}  // namespace

std::string mailHeaderText(const std::string& text) {
  const std::string s = headerSafe(text);
  size_t first = 0;
  while (first < s.size() && !isHigh(s[first])) ++first;
  if (first == s.size()) return s;
  size_t last = s.size();
  while (!isHigh(s[last - 1])) --last;
  // Whole words are encoded, so that each encoded word stands between
  // blanks (or the ends) as decoders require; blanks inside the run are
  // encoded with it, since the blanks between two encoded words are
  // dropped when they are decoded.
  while (first > 0 && s[first - 1] != ' ') --first;
  while (last < s.size() && s[last] != ' ') ++last;
  std::string out = s.substr(0, first);
  size_t pos = first;
  while (pos < last) {
    size_t end = std::min(last, pos + kEncodedWordBytes);
    // Never inside a UTF-8 character: back off over continuation bytes.
    if (end < last) {
      size_t e = end;
      while (e > pos && (static_cast<unsigned char>(s[e]) & 0xC0) == 0x80) --e;
      if (e > pos) end = e;
    }
    if (pos > first) out += ' ';
    out += "=?UTF-8?B?" + base64(std::string_view(s).substr(pos, end - pos)) + "?=";
    pos = end;
  }
  out += s.substr(last);
  return out;
}

FILE* createMailFile(const char* base, std::string* path) {
  const std::string stem = strprintf("%s/tmp/%s.%ul", getDataDir().c_str(), base,
                                     static_cast<unsigned>(getpid()));
  // The process id keeps running requests apart; a name left by an earlier
  // process of the same id (or by an earlier mail of this one, if it could
  // not be removed) is never written over.
  for (int n = 0; n < 100; ++n) {
    *path = n == 0 ? stem : strprintf("%s.%d", stem.c_str(), n);
    const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    FILE* f = fdopen(fd, "w");
    if (!f) {
      const int err = errno;
      close(fd);
      unlink(path->c_str());
      errno = err;
    }
    return f;
  }
  return nullptr;
}

void writeBugMail(FILE* f, const std::string& bugNum, const std::string& subjectText,
                  const std::string& actionBy, const std::string& html) {
  std::string www = getCfgKey("WWW");
  if (www.empty()) www = "www";
  std::string subject = strprintf("Bug %s %s", bugNum.c_str(), subjectText.c_str());
  if (!actionBy.empty()) subject += strprintf(" by %s", actionBy.c_str());
  // The language files and the texts typed into the forms are UTF-8.
  std::string head = "Content-Type: text/html; charset=UTF-8\n";
  head += "Subject: " + mailHeaderText(subject);
  head += strprintf("\nFrom: \"Bug Manager\" <%s@%s>\n", headerSafe(www).c_str(),
                    headerSafe(getCfgKey("HOSTNAME")).c_str());
  head += " \n<HTML>\n";
  fwrite(head.data(), 1, head.size(), f);
  fwrite(html.data(), 1, html.size(), f);
}

void deliverMailFile(const std::string& dest, const std::string& file) {
  trace().markup("<! mail ").text(traceSafe(dest, 1100)).markup(" - ");
  trace().text(traceSafe(file, 1024)).markup(" >\n");
  const std::string server = getCfgKey("MAILSERV");
  if (given(server)) {
    trace().markup("<! sending through ").text(traceSafe(server)).markup(" >\n");
    monmail(server, dest, file);
  } else {
    // The local command gets the addresses as arguments and the file on its
    // standard input, without a shell between.
    runLocalMail(dest, file);
  }
}

void sendMailBug(const tHeader& bug, const std::string& num, tAction act,
                 const std::string& subject, const std::string& user, const std::string& html) {
  std::string path;
  FILE* f = openMailFile("bugmail", &path);
  if (!f) return;

  writeBugMail(f, num, subject, user, html);
  if (!closeMailFile(f, path)) {
    removeMailFile(path);
    return;
  }

  const std::string dest = getMailList(bug, act, user.empty() ? nullptr : user.c_str());
  if (dest.empty())
    trace().markup("<! No mail to send, destination empty >\n");
  else
    deliverMailFile(dest, path);
  removeMailFile(path);
}

void sendMailFile(const std::string& fname, const std::string& dest, const std::string& project,
                  int num) {
  (void)fname;
  const std::string out =
      strprintf("%s/out/%s/s%05d.txt", getSynchDir().c_str(), project.c_str(), num);
  std::string path;
  FILE* f = openMailFile("synch", &path);
  if (!f) return;

  std::string www = getCfgKey("WWW");
  if (www.empty()) www = "www";
  // The receiving side reads the project and the file name from the raw
  // subject: it is written as it is, not encoded.
  fputs("Content-Type: text/html; charset=us-ascii\n", f);
  fprintf(f, "Subject: %s %s s%05d\n", "Velko-Synchro", headerSafe(project).c_str(), num);
  fprintf(f, "From: \"Vivaz Odurari\" <%s@%s>\n", headerSafe(www).c_str(),
          headerSafe(getCfgKey("DOMAIN")).c_str());
  fputs(" \n", f);
  if (tFile in{fopen(out.c_str(), "r")}) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) fwrite(buf, 1, n, f);
    if (ferror(in.get())) {
      trace().markup("<! cannot read ").text(traceSafe(out, 1024)).markup(" >\n");
      fclose(f);
      removeMailFile(path);
      return;
    }
  }
  if (!closeMailFile(f, path)) {
    removeMailFile(path);
    return;
  }

  if (dest.empty())
    trace().markup("<! No mail to send, destination empty >\n");
  else
    deliverMailFile(dest, path);
  removeMailFile(path);
}
