// mchange.cpp: the status workflow.
//
// The table of an action: the status it leaves, the fields it sets, its
// history line and analysis and the user remembered; see the apply
// functions below. No function looks at the current status: every action
// may be taken from every status. No access right is checked here either;
// with security on, an applying request needs a valid session, which the
// front end checks (the action table's policy).
#include "mchange.h"

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "config.h"
#include "display.h"
#include "frame.h"
#include "html.h"
#include "args.h"
#include "session.h"
#include "text.h"
#include "utils.h"

namespace {

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// A free text of the form: "" when the request has no such argument.
std::string argText(const tArgList& list, const std::string& name) {
  return hasArg(list, name) ? getArg(list, name) : std::string();
}

// True when a text holds nothing but blanks and line ends.
bool blankText(const std::string& s) {
  for (char c : s)
    if (!isspace(static_cast<unsigned char>(c))) return false;
  return true;
}


// ---------------------------------------------------------------------------
// Page pieces
// ---------------------------------------------------------------------------

// Language text `num` used as a format ("%s") for values, as page text.
void pageText(tPage& page, int num, const std::string& a, const std::string& b = std::string()) {
  page.text(applyHistoryFormat(langue(num), a, b, std::string()));
}

// The heading of a single-heading form and the opening of its table.
void formHeading(tPage& page, int num, const std::string& name) {
  page.markup("<H1>");
  pageText(page, num, name);
  page.markup("</H1>\n<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>");
}

// The heading "text name" of the forms with a text area, and their table.
void formHeadingWithName(tPage& page, int num, const std::string& name) {
  page.markup("<H1>").text(langue(num)).markup(" ").text(name).markup(" </H1>\n");
  page.markup("<TABLE BORDER=0 WIDTH=100%><TR><TD>\n");
}

template <size_t N>
void userSelect(tPage& page, const char (&field)[N], const tHeader& bug,
                const std::string& preselect) {
  page.markup("<SELECT NAME=\"").markup(field).markup("\">\n");
  page.markup("<OPTION >&nbsp\n");
  optionListUsers(bug.project, preselect);
  page.markup("</SELECT>\n");
}

// The selection "User" of the acting user: within a session (security on)
// the session's user alone, else a blank option and the project's users.
void actorSelect(tPage& page, const tHeader& bug, const std::string& preselect) {
  const std::string self = currentSessionUser();
  if (self.empty()) {
    userSelect(page, "User", bug, preselect);
    return;
  }
  page.markup("<SELECT NAME=\"User\">\n").option(self, true).markup("</SELECT>\n");
}

void actedBy(tPage& page) { page.text(langue(2083)).markup(" \n"); }
void submitButton(tPage& page) { page.markup("<inPUT TYPE=\"submit\" VALUE=\"OK\">\n"); }
void closeTable(tPage& page) { page.markup("</TD></TR></TABLE>\n"); }

template <size_t N>
void textInput(tPage& page, const char (&field)[N], int size, const std::string& value) {
  page.markup("<INPUT TYPE=\"text\" NAME=\"").markup(field).markup("\" SIZE=").num(size);
  page.markup(" VALUE=\"").attr(value).markup("\">\n");
}

void textArea(tPage& page, int rows, const std::string& preset) {
  page.markup("<TEXTAREA NAME=\"text\" ROWS=").num(rows).markup(" COLS=70>").text(preset);
  page.markup("</TEXTAREA>\n");
}

// The "acted by" selection and the button that end most forms.
void userAndSubmit(tPage& page, const tHeader& bug) {
  actorSelect(page, bug, getUser());
  submitButton(page);
}

// ---------------------------------------------------------------------------
// Storing a change
// ---------------------------------------------------------------------------

// Why writeBug failed, for text 520.
std::string saveFailure(int rc, const std::string& num) { return saveFailureReason(rc, num); }

enum tRemember { kRememberName, kRememberInfo };

// Writes `next`, the changed report; once it is stored, `bug` becomes it
// and the acting user is remembered. A failed write is reported in the
// page; `bug` stays the report as it was read (the store leaves the old
// file whole).
bool store(tPage& page, tHeader& bug, tHeader& next, const std::string& num,
           const std::string& user, tRemember remember) {
  const int rc = writeBug(next);
  if (rc < 0) {
    page.comment("writeBug: " + std::to_string(rc));
    printErr1(520, saveFailure(rc, num));
    return false;
  }
  bug = std::move(next);
  const bool remembered = remember == kRememberInfo
                              ? setUserInfo(user, bug.project, bug.subProject, bug.phase)
                              : setUserName(user);
  if (!remembered) page.redLine(langue(kTextNotRemembered));
  return true;
}

// Adds the history line, at the action's time, to the record (and to the
// global history).
void historyLine(tHeader& h, long now, int text, const std::string& a,
                 const std::string& b = std::string()) {
  historyAt(&h, now, langue(text), a, b, std::string());
}

// The three actions that put someone in charge of the report.
bool doEntrust(tPage& page, tHeader& bug, const std::string& num, const tArgList& list,
               tStatus status, int text) {
  const std::string user = getArg(list, "User");
  const std::string submitter = getArg(list, "submitter");
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  next.status = status;
  next.assignedTo = storedField(submitter, kUserSize);
  historyLine(next, now, text, submitter, user);
  return store(page, bug, next, num, user, kRememberName);
}

// The actions that only set a status and say who did it.
bool doClassify(tPage& page, tHeader& bug, const std::string& num, const tArgList& list,
                tStatus status, int text) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr(502);
    return false;
  }
  tHeader next = bug;
  next.status = status;
  historyLine(next, static_cast<long>(time(nullptr)), text, user);
  return store(page, bug, next, num, user, kRememberName);
}

// The actions that close or reopen a report with a reason as analysis.
bool doWithReason(tPage& page, tHeader& bug, const std::string& num, const tArgList& list,
                  tStatus status, int text, int title) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr(502);
    return false;
  }
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  next.status = status;
  historyLine(next, now, text, user);
  addAnalyse(&next, storedField(langue(title), kTitleSize), storedField(user, kUserSize), now,
             argText(list, "text"));
  return store(page, bug, next, num, user, kRememberName);
}

// Reads one integer as "%d" does: blanks, an optional sign, digits.
bool readInt(const char*& p, int* out) {
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  const char* start = p;
  if (*p == '+' || *p == '-') ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  errno = 0;
  char* end = nullptr;
  const long v = strtol(start, &end, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  p = end;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Forms
// ---------------------------------------------------------------------------

void displayObserved(tPage& page, const tHeader& bug, const std::string& num) {
  // This form's table tag has always lacked its '>'; browsers mend it.
  page.markup("<H1>");
  pageText(page, 2038, num);
  page.markup("</H1>\n<TABLE BORDER=0 WIDTH=100%<TR><TD>\n<P>");
  pageText(page, 2039, num);
  userSelect(page, "submitter", bug, bug.submitter);
  actedBy(page);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayAssigned(tPage& page, const tHeader& bug, const std::string& num) {
  page.markup("<H1>").text(langue(2041)).markup(" ").text(num).markup("</H1>\n");
  page.markup("<TABLE BORDER=0 WIDTH=100%><TR><TD><P>\n");
  pageText(page, 2042, num);
  userSelect(page, "submitter", bug, bug.submitter);
  actedBy(page);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayOpened(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2045, num);
  pageText(page, 2046, num);
  userSelect(page, "submitter", bug, bug.submitter);
  actedBy(page);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayNotABug(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2049, num);
  pageText(page, 2050, num);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayNotRep(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2053, num);
  pageText(page, 2054, num);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayDuplicate(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2073, num);
  pageText(page, 2074, num);
  textInput(page, "text", 20, "");
  actedBy(page);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayPostpone(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2077, num);
  pageText(page, 2078, num);
  const time_t tomorrow = time(nullptr) + 86400;
  struct tm tm {};
  char date[64] = "";
  if (localtime_r(&tomorrow, &tm)) strftime(date, sizeof date, "%d/%m/%Y", &tm);
  textInput(page, "text", 20, date);
  actedBy(page);
  userAndSubmit(page, bug);
  closeTable(page);
}

void displayAnalyse(tPage& page, const tHeader& bug, const std::string& num) {
  formHeadingWithName(page, 2087, num);
  page.markup("<P>").text(langue(106)).markup(" \n");
  // Entries of every kind count, so that each proposed title is new.
  textInput(page, "title", 20, "Analyse_" + std::to_string(bug.data.size()));
  actedBy(page);
  userAndSubmit(page, bug);
  textArea(page, 15, "");
  closeTable(page);
}

void displayCorrected(tPage& page, const tHeader& bug, const std::string& num) {
  formHeadingWithName(page, 2089, num);
  page.markup("<P>");
  pageText(page, 2090, num);
  page.markup("<SELECT NAME=\"version\">\n<OPTION >&nbsp\n");
  optionListExclDeadline(bug.project);
  page.markup("</SELECT>\n");
  actedBy(page);
  userAndSubmit(page, bug);
  page.markup("<P>").text(langue(2091)).markup(" : \n");
  textInput(page, "Load", 4,
            std::to_string(timeDiffDay(bug.date, static_cast<long>(time(nullptr)))));
  textArea(page, 15,
           langue(2092) + "\n\n\n" + langue(2093) + ":\n\n\n" + langue(2094) + ":\n");
  closeTable(page);
}

void display4Verif(tPage& page, const tHeader& bug, const std::string& num) {
  if (bug.status != CORRECTED) {
    printErr(508);
    return;
  }
  formHeading(page, 2068, num);
  pageText(page, 2069, num);
  actorSelect(page, bug, bug.submitter);
  page.text(langue(2070)).markup(" \n");
  userSelect(page, "submitter", bug, getUser());
  submitButton(page);
  closeTable(page);
}

void displayVerified(tPage& page, const tHeader& bug, const std::string& num) {
  formHeadingWithName(page, 2097, num);
  page.markup("<P>");
  pageText(page, 2115, num);
  page.markup("<SELECT NAME=\"version\">\n<OPTION SELECTED>&nbsp\n");
  optionListVersion(bug.project, "");
  page.markup("</SELECT>\n");
  actedBy(page);
  userAndSubmit(page, bug);
  page.text(langue(2098));
  textInput(page, "test", 20, bug.testref);
  page.markup("<BR>").text(langue(2099)).markup(" :<BR>\n");
  textArea(page, 15, "");
  closeTable(page);
}

void displayRejected(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2062, num);
  pageText(page, 2063, num);
  actorSelect(page, bug, getUser());
  page.text(langue(2058)).markup(" : <BR>\n");
  textArea(page, 6, "");
  submitButton(page);
  closeTable(page);
}

void displayAbandoned(tPage& page, const tHeader& bug, const std::string& num) {
  formHeading(page, 2056, num);
  pageText(page, 2057, num);
  actorSelect(page, bug, getUser());
  page.text(langue(2058)).markup(" : <BR>\n");
  textArea(page, 5, "");
  submitButton(page);
  closeTable(page);
}

// ---------------------------------------------------------------------------
// Applying the forms
// ---------------------------------------------------------------------------

bool doObserved(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  if (!given(getArg(list, "User")) || !given(getArg(list, "submitter"))) {
    printErr(502);
    return false;
  }
  return doEntrust(page, bug, num, list, OBSERVATION, 2040);
}

bool doAssigned(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  // An empty User would pass the manager test below: it is refused as a
  // missing field.
  if (!given(getArg(list, "submitter")) || !given(user)) {
    printErr(502);
    return false;
  }
  const std::string managers = getBugManager(bug.project);
  // The managers' field is a list of names; a name is accepted when it
  // occurs anywhere in it.
  if (managers.find(user) == std::string::npos) {
    printErr(507);
    page.comment(user + "," + managers).markup("\n");
    return false;
  }
  return doEntrust(page, bug, num, list, ANALYSIS, 2044);
}

bool doOpened(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  if (!given(getArg(list, "submitter")) || !given(getArg(list, "User"))) {
    printErr(502);
    return false;
  }
  return doEntrust(page, bug, num, list, OPEN, 2048);
}

bool doNotABug(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  return doClassify(page, bug, num, list, NOT_A_BUG, 2052);
}

bool doNotRep(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  return doClassify(page, bug, num, list, NOT_REPRODUCTIBLE, 2055);
}

bool doDuplicate(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string text = getArg(list, "text");
  if (!given(user)) {
    printErr(502);
    return false;
  }
  // The duplicated report must exist; only a report name is looked up.
  if (!isReportName(text) || !readBug(text)) {
    printErr1(509, text);
    return false;
  }
  tHeader next = bug;
  next.status = DUPLICATE;
  historyLine(next, static_cast<long>(time(nullptr)), 76, text, user);
  return store(page, bug, next, num, user, kRememberName);
}

bool postponeDateOf(const std::string& text, long now, long* when) {
  int day = 0, month = 0, year = 0;
  const char* p = text.c_str();
  if (!readInt(p, &day) || *p++ != '/' || !readInt(p, &month) || *p++ != '/' ||
      !readInt(p, &year))
    return false;
  const time_t t = static_cast<time_t>(now);
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return false;
  const long tmYear = static_cast<long>(year) - 1900;
  if (tmYear < INT_MIN || tmYear > INT_MAX) return false;
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = static_cast<int>(tmYear);
  tm.tm_isdst = -1;  // the time of day stays that of the request
  errno = 0;
  const time_t r = mktime(&tm);
  if (r == static_cast<time_t>(-1) && errno != 0) return false;
  *when = static_cast<long>(r);
  return true;
}

bool doPostpone(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string text = getArg(list, "text");
  const long now = static_cast<long>(time(nullptr));
  long when = 0;
  if (!given(user) || !postponeDateOf(text, now, &when)) {
    printErr(510);
    return false;
  }
  tHeader next = bug;
  next.status = POSTPONE;
  next.postponeDate = when;
  historyLine(next, now, 2080, text, user);
  return store(page, bug, next, num, user, kRememberName);
}

bool doAnalyse(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string title = getArg(list, "title");
  if (!given(user) || !given(title)) {
    printErr(502);
    return false;
  }
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  historyLine(next, now, 2088, title, user);
  addAnalyse(&next, storedField(title, kTitleSize), storedField(user, kUserSize), now, argText(list, "text"));
  return store(page, bug, next, num, user, kRememberInfo);
}

bool doCorrected(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string version = getArg(list, "version");
  if (!given(user) || !given(version)) {
    printErr(502);
    return false;
  }
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  next.status = CORRECTED;
  next.timeSpent = strtol(getArg(list, "Load").c_str(), nullptr, 10);
  next.correctDate = now;
  next.correctVersion = storedField(version, kVersionSize);
  historyLine(next, now, 2095, user, version);
  addAnalyse(&next, storedField(langue(2096), kTitleSize), storedField(user, kUserSize), now,
             argText(list, "text"));
  return store(page, bug, next, num, user, kRememberInfo);
}

bool do4Verif(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string submitter = getArg(list, "submitter");
  if (!given(submitter) || !given(user)) {
    printErr(502);
    return false;
  }
  if (getBugManager(bug.project).find(user) == std::string::npos &&
      getValidManager(bug.project).find(user) == std::string::npos) {
    printErr(507);
    return false;
  }
  tHeader next = bug;
  next.verifiedBy = storedField(submitter, kUserSize);
  historyLine(next, static_cast<long>(time(nullptr)), 2072, submitter, user);
  return store(page, bug, next, num, user, kRememberName);
}

bool doVerified(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string version = getArg(list, "version");
  const std::string test = getArg(list, "test");
  const std::string text = argText(list, "text");
  if (!given(user) || !given(version) || (!given(test) && blankText(text))) {
    printErr(502);
    return false;
  }
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  next.status = VERIFIED;
  next.verifyDate = now;
  next.verifyVersion = storedField(version, kVersionSize);
  historyLine(next, now, 2100, user, version);
  addAnalyse(&next, storedField(langue(2101), kTitleSize), storedField(user, kUserSize), now,
             blankText(text) ? test : text);
  return store(page, bug, next, num, user, kRememberInfo);
}

bool doRejected(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  // The correction and verification fields stay: they tell what was
  // rejected.
  return doWithReason(page, bug, num, list, NEW, 2066, 2067);
}

bool doAbandoned(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  return doWithReason(page, bug, num, list, ABANDONED, 2060, 2061);
}
