// synchro.cpp: site synchronisation by mail (see synchro.h).
#include "synchro.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "config.h"
#include "fileio.h"
#include "mails.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr long kDay = 86400;
constexpr long kOutLife = 30 * kDay;   // an outgoing message is kept this long
constexpr int kMaxRequests = 10;       // a missing message is asked for this often
constexpr int kMaxGap = 50;            // numbers asked for below a new one, at most
constexpr long kDefaultRetry = 3600;   // seconds, SYNCHRETRY when not set
constexpr int kInLockWait = 20;

tPage& trace() { return request().page; }

long now() { return static_cast<long>(::time(nullptr)); }

// SYNCHRETRY: seconds between two requests for one missing message, and
// before an unacknowledged message is sent again.
long synchRetry() {
  const std::string v = getCfgKey("SYNCHRETRY");
  if (v.empty() || !isdigit(static_cast<unsigned char>(v[0]))) return kDefaultRetry;
  return atol(v.c_str());
}

// A name that may be one entry of one folder.
bool isSafeName(const std::string& s) {
  if (s.empty() || s == "." || s == ".." || s.size() > 200) return false;
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 33 || u == 127 || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

std::string folder(const std::string& inout, const std::string& project) {
  return getSynchDir() + inout + "/" + project + "/";
}

std::string outFile(const std::string& project, int n, const char* ext = ".txt") {
  return folder("out", project) + strprintf("s%05d%s", n, ext);
}

bool endsWith(const std::string& s, const char* tail) {
  const size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The number of a message file "s<digits><ext>", -1 for any other name.
int messageNumber(const std::string& name, const char* ext) {
  if (name.size() < 7 || name[0] != 's' || !endsWith(name, ext)) return -1;
  const std::string digits = name.substr(1, name.size() - 1 - strlen(ext));
  if (digits.size() < 5 || digits.size() > 9) return -1;
  for (char c : digits)
    if (!isdigit(static_cast<unsigned char>(c))) return -1;
  return atoi(digits.c_str());
}

time_t mtimeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// The entries of `dir` that do not begin with '.', in byte order; `dirs`
// selects folders instead of the other entries.
tCharList listFolder(const std::string& dir, bool dirs) {
  tCharList out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    fprintf(stderr, "scandir(%s): %s\n", dir.c_str(), strerror(errno));
    return out;
  }
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    const bool isDir = ::stat((dir + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (isDir == dirs) out.push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// The number of addresses of a destination list.
int countDestinations(const std::string& dest) {
  int n = 0;
  size_t pos = 0;
  while (pos <= dest.size()) {
    size_t comma = dest.find(',', pos);
    if (comma == std::string::npos) comma = dest.size();
    if (dest.find_first_not_of(" \t", pos) < comma) ++n;
    pos = comma + 1;
  }
  return n;
}

// The kind of an outgoing message, from its type line.
tSychType outgoingType(const std::string& path) {
  std::string text;
  if (!readWholeFile(path, &text)) return S_UNKNOWN;
  size_t pos = 0;
  tDecoded d;
  return uudecode(text, &pos, &d) ? d.type : S_UNKNOWN;
}

// Sends the outgoing message `n` of `project` (again) with its own number.
void resend(const std::string& project, int n) {
  const std::string dest = getProjectSynchro(project);
  if (!given(dest)) return;
  const std::string path = outFile(project, n);
  trace().markup("<! resend :").text(path).markup(">\n");
  sendMailFile(path, dest, project, n);
  // The time of the last sending is that of the acknowledgement record.
  const std::string ack = outFile(project, n, ".ack");
  const int fd = ::open(ack.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
  ::utimes(ack.c_str(), nullptr);
}

// ---------------------------------------------------------------------------
// The state of one sender's messages
// ---------------------------------------------------------------------------

struct tMissing {
  int count = 0;   // requests sent
  long last = 0;   // time of the last one
};

struct tSenderState {
  int last = 0;  // the highest number seen
  std::map<int, tMissing> missing;
};

tSenderState loadState(const std::string& dir) {
  tSenderState s;
  std::string text;
  if (!readWholeFile(dir + "state", &text)) return s;
  size_t pos = 0;
  std::string line;
  while (pos < text.size()) {
    ReadDataLine(text, &pos, &line);
    int n = 0, count = 0;
    long last = 0;
    if (sscanf(line.c_str(), "last %d", &n) == 1)
      s.last = std::max(s.last, n);
    else if (sscanf(line.c_str(), "miss %d %d %ld", &n, &count, &last) == 3 && n > 0)
      s.missing[n] = tMissing{count, last};
  }
  return s;
}

void saveState(const std::string& dir, const tSenderState& s) {
  std::string text = strprintf("last %d\n", s.last);
  for (const auto& m : s.missing)
    text += strprintf("miss %d %d %ld\n", m.first, m.second.count, m.second.last);
  if (!replaceFile(dir + "state", text))
    trace().markup("<! cannot write ").text(dir).markup("state >\n");
}

// Message `n` of the sender whose folder is `dir` was processed: numbers
// skipped below it are missing, unless processed before (a ".dat" in its
// folder or, from before senders had folders, in the project's).
void checkPrevious(const std::string& dir, tSenderState* s, int n, bool arrived) {
  if (n <= 0) return;
  const std::string projectDir = dir.substr(0, dir.rfind('/', dir.size() - 2) + 1);
  for (int k = std::max(s->last + 1, n - kMaxGap); k < n; ++k) {
    const std::string dat = strprintf("s%05d.dat", k);
    if (::access((dir + dat).c_str(), F_OK) != 0 && ::access((projectDir + dat).c_str(), F_OK) != 0)
      s->missing.emplace(k, tMissing());
  }
  s->last = std::max(s->last, n);
  if (arrived)
    s->missing.erase(n);
  else
    s->missing.emplace(n, tMissing());
}

// Asks again for the missing messages of `host` whose last request is old
// enough; reports those asked for in vain.
void askMissing(const std::string& project, const std::string& host, tSenderState* s) {
  const long t = now(), retry = synchRetry();
  for (auto it = s->missing.begin(); it != s->missing.end();) {
    tMissing& m = it->second;
    const std::string arg = host + ":" + strprintf("s%05d.txt", it->first);
    if (m.count >= kMaxRequests) {
      if (t - m.last > kOutLife) {
        it = s->missing.erase(it);
        continue;
      }
      trace().redLine(applyHistoryFormat(langue(2730), project, arg, std::to_string(m.count)));
    } else if (t - m.last >= retry) {
      SendSynchFile(arg, project, S_REQUEST);
      ++m.count;
      m.last = t;
    }
    ++it;
  }
}

// ---------------------------------------------------------------------------
// Importing one message
// ---------------------------------------------------------------------------

enum tOutcome {
  kImported,  // done (or refused for good): acknowledged when it carried a file
  kHandled,   // an acknowledgement or a request, done
  kDamaged,   // cut or damaged, or not storable: to be asked for again
  kLater,     // a lock was busy: the message stays for the next pass
};

// The private folder of this pass for decoded files.
class tDecodeDir {
 public:
  ~tDecodeDir() {
    if (dir_.empty()) return;
    for (const std::string& f : listFolder(dir_ + "/", false)) ::unlink((dir_ + "/" + f).c_str());
    ::rmdir(dir_.c_str());
  }
  // Writes `bytes` under `name` in the folder; "" when it cannot.
  std::string put(const std::string& name, const std::string& bytes) {
    if (dir_.empty()) {
      std::string templ = getDataDir() + "/tmp/synchin.XXXXXX";
      makeDirs(getDataDir() + "/tmp", 0777);
      if (!::mkdtemp(templ.data())) return std::string();
      dir_ = templ;
    }
    const std::string path = dir_ + "/" + name;
    tFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.ok() || !writeAll(fd.get(), bytes) || !fd.close()) {
      ::unlink(path.c_str());
      return std::string();
    }
    return path;
  }

 private:
  std::string dir_;
};

// A configuration file of `project` received: "<project>_<name>.cfg" only,
// so that a peer can change no other file. It replaces the local file
// unless that one is newer: its time is the encoding time of the copy it
// came from, or that of a local save (a copy of the same second replaces
// it: an installation's own files date from its making).
tOutcome importConfig(const std::string& project, const std::string& name, const tDecoded& d) {
  const std::string prefix = project + "_";
  if (name.compare(0, prefix.size(), prefix) != 0 || !endsWith(name, ".cfg")) {
    trace().markup("<! config refused :").text(name).markup(">\n");
    return kImported;
  }
  std::string dir = getCfgDir();
  if (!dir.empty() && dir.back() != '/') dir += '/';
  const std::string target = dir + name;
  std::string old;
  const bool exists = readWholeFile(target, &old);
  if (exists && (mtimeOf(target) > d.date || old == d.bytes)) {
    trace().markup("<! config kept :").text(name).markup(">\n");
    return kImported;
  }
  if (!replaceFile(target, d.bytes)) return kDamaged;
  const timeval times[2] = {{d.date, 0}, {d.date, 0}};
  ::utimes(target.c_str(), times);
  return kImported;
}

tOutcome importAttachment(const std::string& name, const tDecoded& d, tDecodeDir* tmp) {
  if (d.arg.compare(0, 6, "TRACE_") != 0 || !isReportName(d.arg.substr(6))) {
    trace().markup("<! attachment refused :").text(d.arg).markup(">\n");
    return kImported;
  }
  const std::string path = attachmentPath(d.arg.substr(6), name);
  if (!isAttachmentPath(path)) {
    trace().markup("<! attachment refused :").text(name).markup(">\n");
    return kImported;
  }
  if (attachmentExists(path)) return kImported;  // never replaced
  const std::string spool = tmp->put(name, d.bytes);
  long size = 0;
  if (spool.empty() || (!storeAttachment(spool, path, &size) && errno != EEXIST)) return kDamaged;
  return kImported;
}

// Records the acknowledgement of our message `n` by `host`; the message
// goes once every destination has acknowledged it.
void acknowledged(const std::string& project, int n, const std::string& host) {
  const std::string out = outFile(project, n), ack = outFile(project, n, ".ack");
  if (::access(out.c_str(), F_OK) != 0) return;
  std::set<std::string> hosts;
  std::string text;
  if (readWholeFile(ack, &text)) {
    size_t pos = 0;
    std::string line;
    while (pos < text.size()) {
      ReadDataLine(text, &pos, &line);
      if (!line.empty()) hosts.insert(line);
    }
  }
  hosts.insert(host.empty() ? "?" : host);
  if (static_cast<int>(hosts.size()) >= countDestinations(getProjectSynchro(project))) {
    ::unlink(out.c_str());
    ::unlink(ack.c_str());
    return;
  }
  std::string list;
  for (const std::string& h : hosts) list += h + "\n";
  // The record keeps the time of the last sending.
  const time_t sent = mtimeOf(ack);
  replaceFile(ack, list);
  if (sent) {
    const timeval times[2] = {{sent, 0}, {sent, 0}};
    ::utimes(ack.c_str(), times);
  }
}

tOutcome processMessage(const std::string& project, const std::string& name,
                        const std::string& text, tDecodeDir* tmp) {
  size_t pos = 0;
  tDecoded d;
  if (!uudecode(text, &pos, &d)) {
    trace().markup("<! synch : no block >\n");
    return kDamaged;
  }
  const std::string base = uuBaseName(d.name);
  trace().markup("<! synch :").text(base).markup(",").num(d.type).markup(",").text(d.server);
  trace().markup(",").text(d.arg).markup(">\n");
  const std::string me = synchHostName();
  switch (d.type) {
    case S_FFT:
    case S_CONFIG:
    case S_ATTACH: {
      if (!d.complete) {
        trace().markup("<! synch : block cut or damaged >\n");
        return kDamaged;
      }
      if (!isSafeName(base)) {
        trace().markup("<! synch : file name refused >\n");
        return kImported;
      }
      tOutcome o = kImported;
      if (d.type == S_FFT) {
        const std::string path = tmp->put(base, d.bytes);
        // A peer shares one project: it writes no report of another.
        tHeader head;
        if (!path.empty() && readReceivedReport(path, &head) && head.project != project) {
          trace().markup("<! report of another project refused :").text(head.project).markup(">\n");
          return kImported;
        }
        std::string stored;
        const int rc = path.empty() ? -1 : importFFT(base, path, &stored);
        if (rc == kStoreBusy) return kLater;
        if (rc < 0) {
          trace().markup("<! import failed :").num(rc).markup(">\n");
          return kDamaged;
        }
        trace().markup("<! imported as ").text(stored).markup(">\n");
      } else if (d.type == S_CONFIG) {
        o = importConfig(project, base, d);
      } else {
        o = importAttachment(base, d, tmp);
      }
      if (o == kImported && isSafeName(d.server))
        SendSynchFile(d.server + ":" + name, project, S_ACK);
      return o;
    }
    case S_ACK:
    case S_REQUEST: {
      std::string host;
      int n = 0;
      if (!parseSynchArgument(d.arg, &host, &n)) {
        trace().markup("<! synch : argument refused >\n");
        return kHandled;
      }
      if (!host.empty() && host != me) return kHandled;  // another site's message
      if (d.type == S_ACK)
        acknowledged(project, n, d.server);
      else if (::access(outFile(project, n).c_str(), F_OK) == 0)
        resend(project, n);
      return kHandled;
    }
    default:
      return kDamaged;  // no type line: nothing is imported
  }
}

// Keeps the lock of the inbox fresh during a long pass (it would count as
// left by a dead holder after kInLockWait seconds).
void refreshInLock() {
  const std::string own = getSynchDir() + "in/lock" + std::to_string(getpid());
  ::utimes(own.c_str(), nullptr);
}

// The messages of one folder: a sender's (`host` given) or the folder of
// messages without a readable sender.
void processFolder(const std::string& project, const std::string& dir, const std::string& host,
                   tDecodeDir* tmp) {
  tSenderState state = host.empty() ? tSenderState() : loadState(dir);
  bool changed = false;
  trace().markup("<!scan Dir:").text(dir).markup(">\n");
  for (const std::string& name : listFolder(dir, false)) {
    const std::string path = dir + name;
    if (endsWith(name, ".dat")) {
      if (now() - mtimeOf(path) > kDay) ::unlink(path.c_str());
      continue;
    }
    if (!endsWith(name, ".txt")) continue;
    trace().markup("<! Check :").text(path).markup(">\n");
    std::string text;
    const tOutcome o = readWholeFile(path, &text) ? processMessage(project, name, text, tmp)
                                                  : kDamaged;
    refreshInLock();
    if (o == kLater) continue;
    if (!host.empty()) {
      checkPrevious(dir, &state, messageNumber(name, ".txt"), o != kDamaged);
      changed = true;
    }
    const std::string dat = path.substr(0, path.size() - 4) + ".dat";
    if (::rename(path.c_str(), dat.c_str()) != 0) ::unlink(path.c_str());
  }
  if (host.empty()) return;
  if (!state.missing.empty()) {
    askMissing(project, host, &state);
    changed = true;
  }
  if (changed) saveState(dir, state);
}

// Moves the messages of the project's folder whose sender can be read
// into that sender's folder (they were stored there by hand, or by an
// older fetch).
void sortBySender(const std::string& dir) {
  for (const std::string& name : listFolder(dir, false)) {
    if (!endsWith(name, ".txt") || messageNumber(name, ".txt") < 0) continue;
    std::string text;
    size_t pos = 0;
    tDecoded d;
    if (!readWholeFile(dir + name, &text) || !uudecode(text, &pos, &d) || !isSafeName(d.server))
      continue;
    makeDirs(dir + d.server, 0777);
    ::rename((dir + name).c_str(), (dir + d.server + "/" + name).c_str());
  }
}

// Clears the out folder of `project`: messages older than 30 days go, and
// those not yet acknowledged by every destination are sent again once
// SYNCHRETRY seconds have passed since they were last sent.
void cleanOut(const std::string& project) {
  const std::string dir = folder("out", project);
  const long t = now(), retry = synchRetry();
  const bool sending = given(getProjectSynchro(project));
  const tCharList names = getSynchFileList("out", project);
  for (const std::string& name : names) {
    const std::string path = dir + name;
    if (name == "sent.txt" || name.compare(0, 4, "lock") == 0) continue;
    const int n = messageNumber(name, ".txt");
    if (n < 0) {
      // An acknowledgement record without its message.
      if (messageNumber(name, ".ack") >= 0 && ::access(outFile(project, messageNumber(name, ".ack")).c_str(), F_OK) != 0)
        ::unlink(path.c_str());
      continue;
    }
    if (t - mtimeOf(path) > kOutLife) {
      ::unlink(path.c_str());
      ::unlink(outFile(project, n, ".ack").c_str());
      continue;
    }
    if (!sending) continue;
    const std::string ack = outFile(project, n, ".ack");
    const time_t sent = ::access(ack.c_str(), F_OK) == 0 ? mtimeOf(ack) : mtimeOf(path);
    if (t - sent < retry) continue;
    const tSychType type = outgoingType(path);
    if (type == S_FFT || type == S_CONFIG || type == S_ATTACH) resend(project, n);
  }
}

// Removes the decoding folders that a stopped pass left.
void cleanDecodeDirs() {
  const std::string dir = getDataDir() + "/tmp/";
  for (const std::string& d : listFolder(dir, true)) {
    if (d.compare(0, 8, "synchin.") != 0 || now() - mtimeOf(dir + d) < 3600) continue;
    for (const std::string& f : listFolder(dir + d + "/", false)) ::unlink((dir + d + "/" + f).c_str());
    ::rmdir((dir + d).c_str());
  }
}

}  // namespace

std::string synchHostName() {
  std::string host = getCfgKey("HOSTNAME");
  if (host.empty()) {
    char buf[256] = {0};
    gethostname(buf, sizeof buf - 1);
    host = buf;
  }
  for (char& c : host)
    if (static_cast<unsigned char>(c) <= ' ' || c == ':') c = '_';  // one word in the type line
  return host;
}

bool parseSynchArgument(const std::string& arg, std::string* host, int* number) {
  const size_t colon = arg.find(':');
  const std::string file = colon == std::string::npos ? arg : arg.substr(colon + 1);
  *host = colon == std::string::npos ? std::string() : arg.substr(0, colon);
  if (colon != std::string::npos && !isSafeName(*host)) return false;
  *number = messageNumber(file, ".txt");
  return *number > 0;
}

tCharList getSynchFileList(const std::string& inout, const std::string& project) {
  const std::string dir = folder(inout, project);
  trace().markup("<!scan Dir:").text(dir).markup(">\n");
  return listFolder(dir, false);
}

void SendSynchFile(const std::string& name, const std::string& project, tSychType synch) {
  const std::string dest = getProjectSynchro(project);
  if (!given(dest) || !isSafeName(project)) return;
  const int n = getNewNumber(project);
  if (n < 0) {
    trace().markup("<! SendSynchFile : counter of ").text(project).markup(" busy >\n");
    return;
  }
  trace().markup("<!SendSynchFile:\"").text(name).markup("\" ");
  trace().text(std::string(1, synchLetter(synch))).markup(">\n");
  std::string block;
  uuencode(&block, name, synch, synchHostName(), now());
  const std::string out = outFile(project, n);
  if (!replaceFile(out, block)) {
    trace().markup("<! cannot write ").text(out).markup(">\n");
    return;
  }
  sendMailFile(out, dest, project, n);
}

void setupSynch() {
  const tCharList projects = getProjects(" ");
  bool any = false;
  for (const std::string& p : projects) any = any || given(getProjectSynchro(p));
  // An installation that synchronises nothing does not poll a mailbox.
  if (!any) return;
  const std::string inDir = getSynchDir() + "in/";
  if (!lockDir(inDir, kInLockWait)) {
    trace().markup("<! synch : inbox busy >\n");
    return;
  }
  cleanDecodeDirs();
  getSynchMails();
  {
    tDecodeDir tmp;
    for (const std::string& project : projects) {
      if (!isSafeName(project)) continue;
      const std::string dir = folder("in", project);
      sortBySender(dir);
      for (const std::string& host : listFolder(dir, true))
        processFolder(project, dir + host + "/", host, &tmp);
      processFolder(project, dir, std::string(), &tmp);
    }
  }
  unlockDir(inDir);
  for (const std::string& project : projects)
    if (isSafeName(project)) cleanOut(project);
}

int getNewNumber(const std::string& project) {
  const std::string dir = getSynchDir() + "/out/" + project + "/";
  if (!lockDir(dir, 10)) return -1;
  const std::string file = dir + "sent.txt";
  int counter = 0;
  if (FILE* f = fopen(file.c_str(), "rb")) {
    if (fscanf(f, "%d", &counter) != 1) counter = 0;
    fclose(f);
  }
  ++counter;
  // Replaced through a temporary name (not beginning with "lock"), so that
  // a crash never leaves the counter empty.
  replaceFile(file, std::to_string(counter));
  unlockDir(dir);
  return counter;
}
