// velko.cpp: the front end. Decodes the request, runs the handlers that
// its arguments ask for, sends the page, then carries out the queued
// effects.

#include "velko.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include "config.h"
#include "frame.h"
#include "session.h"
#include "create.h"
#include "display.h"
#include "edit.h"
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

// The CMD values and their handlers.
struct Command {
  const char* name;
  void (*handler)(tArgList& list);
};

void runSetup(tArgList& l) { setup(l); }
void runStatistics(tArgList& l) { statistics(l); }
void runCreate(tArgList& l) { displayCreate(l); }
void runSearch(tArgList& l) { listdisp(l); }
void runBook(tArgList& l) { testBook(l); }
void runHistory(tArgList& l) { displayHistory(l); }
void runHelp(tArgList& l) { displayHelp(l); }
void runFind(tArgList& l) { findbug(l); }
void runNew(tArgList& l) { createNewBug(l); }
void runFile(tArgList& l) { getDataFile(l); }
void runPrint(tArgList& l) { printBug(getArg(l, "Num")); }

const Command kCommands[] = {
    {"setup", runSetup},   {"statS", runStatistics}, {"create", runCreate},
    {"search", runSearch}, {"book", runBook},         {"tests", runBook},
    {"history", runHistory}, {"help", runHelp},       {"find", runFind},
    {"new", runNew},       {"FILE", runFile},         {"Print", runPrint},
};

// The workflow actions handled by modeBug and the editing ones by editBug.
const tAction kModeActions[] = {
    E_Observed,  E_Assign,   E_Open,         E_Not_a_Bug,        E_Not_Reproducible,
    E_Duplicate, E_Postpone, E_For_Verification, E_Rejected,     E_Abandoned,
    E_Analyse,   E_Attach,   E_Corrected,    E_Verified};
const tAction kEditActions[] = {E_Edit, E_Change_Header, E_Copy};

// An action that applies a form (User present) reads, changes and rewrites
// its report: it runs holding the report's lock, so that two requests on one
// report at the same moment are applied one after the other instead of the
// later write losing the earlier change. False, after a page saying so, when
// the lock cannot be had in time; nothing is changed then.
bool lockForAction(const std::string& cmd, const tArgList& list, tFileLock* lock) {
  const std::string num = getArg(list, "Num");
  if (getArg(list, "User")[0] == ' ' || !isReportName(num)) return true;
  if (lockReport(lock, num)) return true;
  printHead(request().page, cmd, nullptr, &list);
  std::string reason = langue(521);
  if (reason.empty()) reason = "the reports are in use by another request; try again in a moment";
  printErr1(520, reason);
  return false;
}

// Runs the handler of one CMD value; false when the value is unknown.
bool runCommand(const std::string& cmd, tArgList& list) {
  for (const Command& c : kCommands) {
    if (cmd == c.name) {
      c.handler(list);
      return true;
    }
  }
  for (tAction a : kModeActions) {
    if (cmd == actionName[a]) {
      tFileLock lock;
      if (lockForAction(cmd, list, &lock)) modeBug(a, list);
      return true;
    }
  }
  for (tAction a : kEditActions) {
    if (cmd == actionName[a]) {
      tFileLock lock;
      if (lockForAction(cmd, list, &lock)) editBug(a, list);
      return true;
    }
  }
  return false;
}

void printDump(const tArgList& list) {
  sendHeader();  // unless an earlier page of this response sent it
  emit("<PRE>");
  for (const tElement& e : list)
    emitf("%s : '%s'\n", escapeHtml(e.nom).c_str(), escapeHtml(e.valeur).c_str());
}

int dispatch(int argc, char** argv) {
  tArgList list = getQuery(argc > 1 ? argv[1] : nullptr);

  // The main page: no argument, or only the session identifier.
  if (list.empty() || (list.size() == 1 && list[0].nom == "Uid")) {
    if (checkCfg(list) != 0) return 0;
    maindisp(list);
    upgrade();
    checkStatsDate();
    setupSynch();
    return 0;
  }

  checkStatsDate();
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
  // lock (the handlers' locks were released when they returned). Their
  // trace comments follow the page.
  size_t sent = sendPage(0);
  for (auto& effect : request().takeEffects()) effect();
  sendPage(sent);
  return rc;
}
