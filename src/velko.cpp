// velko.cpp: the front end. Decodes the request, runs the handlers that
// its arguments ask for, sends the page, then carries out the queued
// effects.

#include "velko.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "actions.h"
#include "config.h"
#include "frame.h"
#include "session.h"
#include "create.h"
#include "display.h"
#include "help.h"
#include "history.h"
#include "admin.h"
#include "fileio.h"
#include "html.h"
#include "args.h"
#include "text.h"
#include "mchange.h"
#include "search.h"
#include "setup.h"
#include "stats.h"
#include "synchro.h"
#include "bdisplay.h"
#include "utils.h"


namespace {

// ---------------------------------------------------------------------------
// The handlers of the action table (actions.h), in its order
// ---------------------------------------------------------------------------

using tHandler = void (*)(tActionCall& call);

// A row's handler is a page of another module, which takes the arguments,
// or a handler of the actions module, which takes the whole call.
void run(void (*page)(tArgList&), tActionCall& call) { page(call.list); }
void run(void (*handler)(tActionCall&), tActionCall& call) { handler(call); }

#define VELKO_HANDLER_ROW(cmd, act, form, apply, method, image, label, mail, title, heading, \
                          style, policy, handler)                                            \
  [](tActionCall& call) { run(handler, call); },
const tHandler kHandlers[kActionCount] = {VELKO_ACTIONS(VELKO_HANDLER_ROW)};
#undef VELKO_HANDLER_ROW

// The report lock of a submitted form could not be had: a page saying why
// (another request holds it, or its lock file cannot be made, as in a
// read-only data directory), and nothing changed.
void reportBusy(const std::string& cmd, const std::string& num, const tArgList& list) {
  const bool busy = errno == EWOULDBLOCK || errno == EINTR;
  printHead(request().page, cmd, nullptr, &list);
  printErr1(520, busy ? langue(521) : applyHistoryFormat(langue(501), num, "", ""));
}

// Applies the row's policy before its handler runs (actions.h, tPolicy):
// false, after a page saying why, when the handler must not run. `lock`
// receives the report lock when the row takes it. The session to view was
// checked for the whole request before (viewAdmitted).
bool admit(const tActionRow& row, tArgList& list, tFileLock* lock) {
  tPage& page = request().page;
  if (row.title) printHead(page, langue(row.title), nullptr, &list);
  const bool applying = submitsForm(list);
  if ((row.policy & kLockToApply) && applying) {
    // Two requests on one report at the same moment are applied one after
    // the other instead of the later write losing the earlier change.
    const std::string num = getArg(list, "Num");
    if (isReportName(num) && !lockReport(lock, num)) {
      reportBusy(row.cmd, num, list);
      return false;
    }
  }
  // Nothing changes for a request that does not carry its session itself
  // (security on), nor in the name of another user than the session's,
  // nor without the right, which a form alone would not enforce.
  if ((row.policy & kSessionToApply) && applying &&
      (!requireSession(list, kToChange) || !requireOwnName(list, "User")))
    return false;
  if ((row.policy & kSession) && !requireSession(list, kToChange)) return false;
  if ((row.policy & kOwnSubmitter) && !requireOwnName(list, "submitter")) return false;
  if ((row.policy & kCreateRight) && !createRight(list)) {
    printErr(515);
    return false;
  }
  return true;
}

// With security on, a request whose handlers show anything but the help
// needs a valid session (from its "Uid" or the cookie): otherwise one
// login page in place of them all, carrying the request (requireSession).
bool viewAdmitted(tArgList& list) {
  if (!useSecurity()) return true;
  const bool hasCmd = getArg(list, "CMD") != " ";
  bool needed = false;
  for (const tElement& e : list) {
    if (e.nom == "CMD") {
      const int i = findAction(e.valeur);
      const bool ownCheck = e.valeur == "statS" && isStatsDataPage(list);
      needed = needed || (i >= 0 && !(kActionRows[i].policy & kViewWithoutSession) && !ownCheck);
    } else if (e.nom == "find" || e.nom == "Numero" || (e.nom == "Num" && !hasCmd)) {
      needed = true;  // the report list and the report page
    }
  }
  return !needed || requireSession(list, kToView);
}

// Runs the row of one CMD value; false when the value is unknown. The
// report lock is released when the handler returns, if not before.
bool runCommand(const std::string& cmd, tArgList& list) {
  const int i = findAction(cmd);
  if (i < 0) return false;
  const tActionRow& row = kActionRows[i];
  tFileLock lock;
  if (!admit(row, list, &lock)) return true;
  tActionCall call{row, list, lock};
  kHandlers[i](call);
  return true;
}

// The most handler pages one request runs.
constexpr int kMaxHandlers = 8;

// True when CMD=`cmd` would change data: a creation, or a form of a report
// action sent back.
bool changesData(const std::string& cmd, const tArgList& list) {
  const int i = findAction(cmd);
  if (i < 0) return false;
  const tActionRow& row = kActionRows[i];
  return row.act == E_New || ((row.policy & kLockToApply) && submitsForm(list));
}

// The arguments of a request that names no handler.
void printDump(const tArgList& list) {
  tPage& page = request().page;
  page.setHeader();  // unless an earlier page of this response set it
  page.markup("<PRE>");
  for (const tElement& e : list) page.text(e.nom).markup(" : '").text(e.valeur).markup("'\n");
}

// Every request gets a page: one that printed nothing (a login step that
// does not exist, say) gets the list of its arguments. A web server would
// answer an empty response with an error of its own.
int answered(const tArgList& list) {
  const tPage& page = request().page;
  if (!page.hasHeader() && page.empty()) printDump(list);
  return 0;
}

int dispatch(int argc, char** argv) {
  tArgList list = getQuery(argc > 1 ? argv[1] : nullptr);
  // Without "Uid", a request is seen in the session of the browser's
  // cookie (for viewing only: see requireSession).
  adoptCookieSession(list);

  // The main page: no argument, or only the session identifier. Its
  // upkeep (folders, the daily pass, the site exchange) follows the page.
  if (list.empty() || (list.size() == 1 && list[0].nom == "Uid")) {
    if (checkCfg(list) != 0) return 0;
    maindisp(list);
    request().after(upgrade);
    request().after(checkStatsDate);
    request().after(setupSynch);
    return 0;
  }

  request().after(checkStatsDate);
  bool login = false;
  for (const tElement& e : list) {
    if (e.nom == "Logout") {
      velkoLogout(list);
      return 0;
    }
  }
  for (const tElement& e : list) {
    if (e.nom == "Login") {
      velkoLogin(list, e.valeur);
      login = true;
    } else if (e.nom == "Uid") {
      setCookie(e.valeur);
    }
  }
  if (login) return answered(list);
  if (!viewAdmitted(list)) return 0;

  // Every argument that names a handler runs it, in list order. Handlers
  // get a copy of the arguments, since some of them add to it. The page of
  // a request stays proportional to what it asks: a trigger repeated with
  // the same value runs once, at most kMaxHandlers run, and only the first
  // command that changes data is carried out (later ones are traced).
  bool print = false;
  const bool hasCmd = getArg(list, "CMD") != " ";
  const tArgList args = list;
  std::set<std::pair<std::string, std::string>> seen;
  int handlers = 0;
  bool changed = false;
  for (const tElement& e : args) {
    const bool command = e.nom == "CMD";
    if (!command && !(e.nom == "find" || e.nom == "Numero" || (e.nom == "Num" && !hasCmd)))
      continue;
    if (!seen.insert({e.nom, e.valeur}).second) continue;
    if (handlers == kMaxHandlers) {
      request().page.comment("more handlers than " + std::to_string(kMaxHandlers) + ": " + e.nom +
                             "=" + e.valeur + " ignored");
      continue;
    }
    if (command && changesData(e.valeur, list)) {
      if (changed) {
        request().page.comment("one change per request: CMD=" + e.valeur + " ignored");
        continue;
      }
      changed = true;
    }
    ++handlers;
    if (!command)
      findbug(list);
    else if (!runCommand(e.valeur, list))
      print = true;
  }
  if (print) printDump(list);
  return answered(list);
}

}  // namespace

namespace {

// Writes what the page holds beyond its first `from` bytes, the header
// first unless it went out already (`headerSent`); the number of body bytes
// written. A page that was empty when first sent (an empty download, a data
// page refused) gets its header once, not again with the effects' comments.
size_t sendPage(size_t from, bool* headerSent) {
  tPage& page = request().page;
  if (!*headerSent) {
    if (!page.hasHeader() && !page.empty()) page.setHeader();
    writeAll(STDOUT_FILENO, page.header());
    *headerSent = page.hasHeader();
  }
  writeAll(STDOUT_FILENO, std::string_view(page.body()).substr(from));
  return page.body().size();
}

// ---------------------------------------------------------------------------
// The work queued for after the page
// ---------------------------------------------------------------------------
//
// The upkeep that dispatch queues (the folders, the daily pass, the site
// exchange, removing the request's upload spool) is short: it runs in the request's own process right after the
// page, and its trace comments still end the page. Every other effect (the
// notification mail, the synchronisation mail, folding the index journal,
// and whatever the upkeep queues for a long task) must neither delay the
// page nor die with the request: the response is completed first (standard
// output closed, which ends it for lighttpd, Apache and fcgiwrap alike), and
// the work runs in a process detached from the request (two forks, a
// session of its own, so that a server that kills the CGI's process once
// the response is complete, as Apache's mod_cgi does, does not reach it).
// Its standard streams and its trace comments go to the trace log
// "tmp/trace.log" of the data directory, one block per request, written
// whole when the work is done:
//   #<time> <process> <query string, at most 200 bytes>
//   the trace comments
//   #done <process>

constexpr const char* kTraceLog = "tmp/trace.log";
constexpr off_t kTraceLogMax = 1 << 20;  // then it becomes "trace.log.old"

bool isUpkeep(const std::function<void()>& effect) {
  const auto* fn = effect.target<void (*)()>();
  return fn && (*fn == upgrade || *fn == checkStatsDate || *fn == setupSynch || *fn == removeUpload);
}

// The trace log, opened for appending (standard streams of the detached
// work); /dev/null when it cannot be opened.
int openTraceLog() {
  const std::string& dir = getDataDir();
  if (!dir.empty()) {
    const std::string path = dir + (dir.back() == '/' ? "" : "/") + kTraceLog;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > kTraceLogMax)
      ::rename(path.c_str(), (path + ".old").c_str());
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 && makeDirs(path.substr(0, path.rfind('/')), 0755))
      fd = ::open(path.c_str(), flags, 0600);
    if (fd >= 0) return fd;
  }
  return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}

// Runs the work, then writes its block to the trace log (standard output).
void runWork(std::vector<std::function<void()>>& work, size_t traced) {
  for (size_t i = 0; i < work.size(); ++i) {
    work[i]();
    // What the work queues in turn runs too.
    for (auto& more : request().takeEffects()) work.push_back(std::move(more));
  }
  std::string head = getQueryString().substr(0, 200);
  for (char& c : head)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  const std::string pid = std::to_string(static_cast<int>(getpid()));
  const std::string& traces = request().page.body();
  std::string block = "#" + time2char(static_cast<long>(::time(nullptr))) + " " + pid + " " + head;
  block += '\n';
  block.append(traces, std::min(traced, traces.size()));
  if (!block.empty() && block.back() != '\n') block += '\n';
  block += "#done " + pid + "\n";
  fflush(stdout);
  writeAll(STDOUT_FILENO, block);
}

// Completes the response and runs `work` in a detached process; `traced`
// is the length of the page already sent.
void runDetached(std::vector<std::function<void()>>& work, size_t traced) {
  fflush(stdout);
  fflush(stderr);
  const int log = openTraceLog();
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t child = ::fork();
  if (child > 0) {
    // The response ends when this process closes its standard output.
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    ::close(log);
    ::close(null);
    ::waitpid(child, nullptr, 0);
    return;
  }
  // The detached process (or, when no process could be made, the request's
  // own one after its response). Its standard streams leave the response's
  // first, so that the response ends as soon as the request's process
  // closes its own.
  if (null >= 0) ::dup2(null, STDIN_FILENO);
  if (log >= 0) {
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
  }
  if (null > STDERR_FILENO) ::close(null);
  if (log > STDERR_FILENO) ::close(log);
  if (child == 0) {
    ::setsid();
    if (::fork() > 0) _exit(0);  // a failed second fork leaves the work to this process
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  runWork(work, traced);
  if (child == 0) {
    fflush(stderr);
    _exit(0);
  }
}

}  // namespace

int velkoMain(int argc, char** argv) {
  int rc;
  // A web server may hand a query string without "=" to the program as its
  // command-line arguments ("?--reindex"): the administration commands run
  // only from a shell, never for a request that carries a query string.
  const char* qs = getenv("QUERY_STRING");
  if (argc > 1 && strncmp(argv[1], "--", 2) == 0 && !(qs && *qs))
    return runAdminCommand(argc, argv);
  rc = dispatch(argc, argv);
  // The page goes out first; the queued effects run after it, outside every
  // lock (the handlers' locks were released when they returned): the upkeep
  // here, its trace comments following an HTML page (a download ends with
  // its own bytes), the rest detached.
  bool headerSent = false;
  size_t sent = sendPage(0, &headerSent);
  auto html = [] {
    const tPage& page = request().page;
    return !page.hasHeader() || page.header().find("text/html") != std::string::npos;
  };
  std::vector<std::function<void()>> work;
  for (auto& effect : request().takeEffects()) {
    if (isUpkeep(effect)) {
      effect();
      if (html()) sent = sendPage(sent, &headerSent);
    } else {
      work.push_back(std::move(effect));
    }
  }
  for (auto& more : request().takeEffects()) work.push_back(std::move(more));
  if (work.empty()) return rc;
  // VELKO_DETACH=0 keeps the work in the request's process, its traces
  // following the page: for an administrator following one request, and
  // for tests of what the work does rather than of when it runs.
  const char* detach = getenv("VELKO_DETACH");
  if (detach && strcmp(detach, "0") == 0) {
    for (size_t i = 0; i < work.size(); ++i) {
      work[i]();
      for (auto& more : request().takeEffects()) work.push_back(std::move(more));
    }
    if (html()) sendPage(sent, &headerSent);
  } else {
    runDetached(work, sent);
  }
  return rc;
}
