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

// The report lock of a submitted form could not be had in time: a page
// saying so, and nothing changed.
void reportBusy(const std::string& cmd, const tArgList& list) {
  printHead(request().page, cmd, nullptr, &list);
  printErr1(520, langue(521));
}

// Applies the row's policy before its handler runs (actions.h, tPolicy):
// false, after a page saying why, when the handler must not run. `lock`
// receives the report lock when the row takes it.
bool admit(const tActionRow& row, tArgList& list, tFileLock* lock) {
  tPage& page = request().page;
  if (row.title) printHead(page, langue(row.title), nullptr, &list);
  const bool applying = submitsForm(list);
  if ((row.policy & kLockToApply) && applying) {
    // Two requests on one report at the same moment are applied one after
    // the other instead of the later write losing the earlier change.
    const std::string num = getArg(list, "Num");
    if (isReportName(num) && !lockReport(lock, num)) {
      reportBusy(row.cmd, list);
      return false;
    }
  }
  // Nothing changes for a request without a session (security on), nor
  // without the right, which a form alone would not enforce.
  if ((row.policy & kSessionToApply) && applying && !requireSession(list)) return false;
  if ((row.policy & kSession) && !requireSession(list)) return false;
  if ((row.policy & kCreateRight) && !createRight(list)) {
    printErr(515);
    return false;
  }
  return true;
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

// The arguments of a request that names no handler.
void printDump(const tArgList& list) {
  tPage& page = request().page;
  page.setHeader();  // unless an earlier page of this response set it
  page.markup("<PRE>");
  for (const tElement& e : list) page.text(e.nom).markup(" : '").text(e.valeur).markup("'\n");
}

int dispatch(int argc, char** argv) {
  tArgList list = getQuery(argc > 1 ? argv[1] : nullptr);

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
    if (e.nom == "Login") {
      velkoLogin(list, e.valeur);
      login = true;
    } else if (e.nom == "Uid") {
      setCookie(e.valeur);
    }
  }
  if (login) return 0;

  // Every argument that names a handler runs it, in list order. Handlers
  // get a copy of the arguments, since some of them add to it.
  bool print = false;
  const bool hasCmd = getArg(list, "CMD") != " ";
  const tArgList args = list;
  for (const tElement& e : args) {
    if (e.nom == "CMD") {
      if (!runCommand(e.valeur, list)) print = true;
    } else if (e.nom == "find" || e.nom == "Numero" || (e.nom == "Num" && !hasCmd)) {
      findbug(list);
    }
  }
  if (print) printDump(list);
  return 0;
}

}  // namespace

namespace {

// Writes what the page holds beyond its first `from` bytes (all of it, the
// header first, when `from` is 0); the number of body bytes written.
size_t sendPage(size_t from) {
  tPage& page = request().page;
  if (from == 0) {
    if (!page.hasHeader() && !page.empty()) page.setHeader();
    writeAll(STDOUT_FILENO, page.header());
  }
  writeAll(STDOUT_FILENO, std::string_view(page.body()).substr(from));
  return page.body().size();
}

// ---------------------------------------------------------------------------
// The work queued for after the page
// ---------------------------------------------------------------------------
//
// The upkeep that dispatch queues (the folders, the daily pass, the site
// exchange) is short: it runs in the request's own process right after the
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
  return fn && (*fn == upgrade || *fn == checkStatsDate || *fn == setupSynch);
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
  // here, its trace comments following the page, the rest detached.
  size_t sent = sendPage(0);
  std::vector<std::function<void()>> work;
  for (auto& effect : request().takeEffects()) {
    if (isUpkeep(effect)) {
      effect();
      sent = sendPage(sent);
    } else {
      work.push_back(std::move(effect));
    }
  }
  for (auto& more : request().takeEffects()) work.push_back(std::move(more));
  if (!work.empty()) runDetached(work, sent);
  return rc;
}
