// mchange.cpp: the status workflow.
//
// The table of an action: the status it leaves, the fields it sets, its
// history line and analysis, the user remembered and the mail; see the do
// handlers below. No handler looks at the current status: every action may
// be taken from every status. No access right is checked here either; with
// security on, an applying request needs a valid session (requireSession).
#include "mchange.h"

#include "velko.h"

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "config.h"
#include "frame.h"
#include "session.h"
#include "display.h"
#include "html.h"
#include "args.h"
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

// A value cut to the width of its report field.
std::string cut(const std::string& s, size_t width) {
  return s.size() < width ? s : s.substr(0, width - 1);
}

// ---------------------------------------------------------------------------
// Page pieces
// ---------------------------------------------------------------------------

// Language text `num` used as a format for values that go into the page:
// the values are escaped, the text is printed as configured. A text with a
// conversion other than %s and %% is printed as it stands.
std::string pageText(int num, const std::string& a, const std::string& b = std::string()) {
  return applyHistoryFormat(langue(num), escapeHtml(a), escapeHtml(b), std::string());
}

// The heading of a single-heading form and the opening of its table.
void formHeading(int num, const std::string& name) {
  emitf("<H1>%s</H1>\n<TABLE BORDER=0 WIDTH=100%%><TR><TD>\n<P>", pageText(num, name).c_str());
}

// The heading "<H1>%s %s </H1>\n" of the forms with a text area, and their
// table.
void formHeadingWithName(int num, const std::string& name) {
  emitf("<H1>%s %s </H1>\n", langue(num).c_str(), escapeHtml(name).c_str());
  emit("<TABLE BORDER=0 WIDTH=100%><TR><TD>\n");
}

void userSelect(const char* field, const tHeader& bug, const std::string& preselect) {
  emitf("<SELECT NAME=\"%s\">\n", field);
  emit("<OPTION >&nbsp\n");
  optionListUsers(bug.project, preselect);
  emit("</SELECT>\n");
}

void actedBy() { emitf("%s \n", langue(2083).c_str()); }
void submitButton() { emit("<inPUT TYPE=\"submit\" VALUE=\"OK\">\n"); }
void closeTable() { emit("</TD></TR></TABLE>\n"); }

void textInput(const char* field, int size, const std::string& value) {
  emitf("<INPUT TYPE=\"text\" NAME=\"%s\" SIZE=%d VALUE=\"%s\">\n", field, size,
        escapeAttr(value).c_str());
}

void textArea(int rows, const std::string& preset) {
  emitf("<TEXTAREA NAME=\"text\" ROWS=%d COLS=70>%s</TEXTAREA>\n", rows, preset.c_str());
}

// The "acted by" selection and the button that end most forms.
void userAndSubmit(const tHeader& bug) {
  userSelect("User", bug, getUser());
  submitButton();
}


// A line of the page in red.
void redLine(const std::string& text) {
  emitf("<FONT COLOR=RED>%s <BR></FONT>\n", text.c_str());
}

// ---------------------------------------------------------------------------
// Storing a change
// ---------------------------------------------------------------------------

// Why writeBug failed, for text 520.
std::string saveFailure(int rc, const std::string& num) {
  const std::string& f = langue(501);
  const std::string file = rc == -1 ? num : std::string("index");
  if (f.empty()) return "the file " + file + " cannot be opened or written.";
  return applyHistoryFormat(f, file, std::string(), std::string());
}

enum tRemember { kRememberName, kRememberInfo };

// Writes `next`, the changed report; once it is stored, `bug` becomes it,
// the acting user is remembered and the action's mail sent. A failed write
// is reported in the page; `bug` stays the report as it was read (the store
// leaves the old file whole).
bool store(tHeader& bug, tHeader& next, const std::string& num, tAction act,
           const std::string& user, tRemember remember) {
  const int rc = writeBug(next);
  if (rc < 0) {
    emitComment("writeBug: " + std::to_string(rc));
    printErr1(520, saveFailure(rc, num));
    return false;
  }
  bug = std::move(next);
  const bool remembered = remember == kRememberInfo
                              ? setUserInfo(user, bug.project, bug.subProject, bug.phase)
                              : setUserName(user);
  if (!remembered) {
    const std::string& t = langue(kTextNotRemembered);
    redLine(t.empty() ? "The action was saved, but your choices could not be remembered."
                      : t);
  }
  sendMailBug(num, act, user);
  return true;
}

// Adds the history line, at the action's time, to the record (and to the
// global history).
void historyLine(tHeader& h, long now, int text, const std::string& a,
                 const std::string& b = std::string()) {
  historyAt(&h, now, langue(text), a, b, std::string());
}

// The three actions that put someone in charge of the report.
bool doEntrust(tHeader& bug, const std::string& num, const tArgList& list, tStatus status,
               int text, tAction act) {
  const std::string user = getArg(list, "User");
  const std::string submitter = getArg(list, "submitter");
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  next.status = status;
  next.assignedTo = cut(submitter, kUserSize);
  historyLine(next, now, text, submitter, user);
  return store(bug, next, num, act, user, kRememberName);
}

// The actions that only set a status and say who did it.
bool doClassify(tHeader& bug, const std::string& num, const tArgList& list, tStatus status,
                int text, tAction act) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr(502);
    return false;
  }
  tHeader next = bug;
  next.status = status;
  historyLine(next, static_cast<long>(time(nullptr)), text, user);
  return store(bug, next, num, act, user, kRememberName);
}

// The actions that close or reopen a report with a reason as analysis.
bool doWithReason(tHeader& bug, const std::string& num, const tArgList& list, tStatus status,
                  int text, int title, tAction act) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr(502);
    return false;
  }
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  next.status = status;
  historyLine(next, now, text, user);
  addAnalyse(&next, cut(langue(title), kTitleSize), cut(user, kUserSize), now,
             argText(list, "text"));
  return store(bug, next, num, act, user, kRememberName);
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

// ---------------------------------------------------------------------------
// The actions of modeBug
// ---------------------------------------------------------------------------

struct tActionPage {
  tAction act;
  const char* method;
  void (*display)(const tHeader&, const std::string&);
  bool (*apply)(tHeader&, const std::string&, const tArgList&);
};

const tActionPage kActions[] = {
    {E_Observed, "GET", displayObserved, doObserved},
    {E_Assign, "GET", displayAssigned, doAssigned},
    {E_Open, "GET", displayOpened, doOpened},
    {E_Not_a_Bug, "GET", displayNotABug, doNotABug},
    {E_Not_Reproducible, "GET", displayNotRep, doNotRep},
    {E_Duplicate, "GET", displayDuplicate, doDuplicate},
    {E_Postpone, "GET", displayPostpone, doPostpone},
    {E_Analyse, "POST", displayAnalyse, doAnalyse},
    {E_Corrected, "POST", displayCorrected, doCorrected},
    {E_For_Verification, "GET", display4Verif, do4Verif},
    {E_Verified, "POST", displayVerified, doVerified},
    {E_Rejected, "POST", displayRejected, doRejected},
    {E_Abandoned, "POST", displayAbandoned, doAbandoned},
};

const tActionPage* findAction(tAction act) {
  for (const tActionPage& a : kActions)
    if (a.act == act) return &a;
  return nullptr;
}

// The heading of the page that applies action `act`.
std::string submissionHeading(tAction act, const std::string& num, const tArgList& list) {
  const std::string name = escapeHtml(num);
  switch (act) {
    case E_Analyse: return langue(2087) + " " + name;
    case E_Attach: return langue(2084) + " " + name;
    case E_Corrected: return langue(2089) + " " + name;
    case E_Verified: return langue(2097) + " " + name;
    case E_Observed: return pageText(2038, num);
    case E_Assign: return pageText(2043, num);
    case E_Open: return pageText(2047, num);
    case E_Not_a_Bug: return pageText(2051, num);
    case E_Not_Reproducible: return pageText(2053, num);
    case E_For_Verification: return pageText(2071, num);
    case E_Rejected: return pageText(2062, num);
    case E_Abandoned: return pageText(2056, num);
    case E_Duplicate: return pageText(2075, num, getArg(list, "text"));
    case E_Postpone: return pageText(2079, num, getArg(list, "text"));
    default: return name;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry point
// ---------------------------------------------------------------------------

void modeBug(tAction act, tArgList& list) {
  const std::string num = getArg(list, "Num");
  const std::string user = getArg(list, "User");
  // A form sent back carries User; an empty User is a submission that the
  // handler refuses, a blank one (the selection's blank option) asks for
  // the form again.
  const bool submitted = hasArg(list, "User") && (user.empty() || given(user));
  if (submitted && !requireSession(list)) return;  // nothing changed

  const std::string cmd = getArg(list, "CMD");
  const std::string qs = getArg(list, "QS");
  printHead(request().page, cmd, nullptr, &list);

  const tActionPage* page = findAction(act);
  if (!page) {  // attachments are not part of this installation
    printErr(519);
    return;
  }
  // Only a name of the report-name form is looked up: no request reaches a
  // file outside the data directory.
  std::unique_ptr<tHeader> bug = isReportName(num) ? readBug(num) : nullptr;
  if (!bug) {
    emitf("<FONT COLOR=RED>%s %s <BR></FONT>\n", langue(504).c_str(), escapeHtml(num).c_str());
    return;
  }

  if (!submitted) {
    emitf("<FORM METHOD=%s ACTION=\"%s\">\n", page->method,
          escapeAttr(getenv("SCRIPT_NAME") ? getenv("SCRIPT_NAME") : "").c_str());
    emitf("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", "CMD", escapeAttr(cmd).c_str());
    emitf("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", "Num", escapeAttr(num).c_str());
    emitf("<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"%s\">\n", quotedQuery(qs).c_str());
    // With security on the session travels with the form: the submission
    // is refused without it.
    if (useSecurity() && given(getCookie()))
      emitf("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", "Uid",
            escapeAttr(getCookie()).c_str());
    page->display(*bug, num);
    emit("</FORM><HR>\n");
    displayBugCore(request().page, *bug);
    return;
  }

  emit("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n<TR><TD ALIGN=LEFT><H1>");
  emit(submissionHeading(act, num, list));
  emit("</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
  emitf("<A HREF=\"?%s\">\n", quotedQuery(qs).c_str());
  emitf("<IMG SRC=\"%s/larrow.gif\" BORDER=0 VALIGN=CENTER></A>\n", escapeAttr(getImgDir()).c_str());
  emit("</A></TD></TR></Table>\n");
  page->apply(*bug, num, list);
  displayBugMenu(request().page, num, urlEncode(qs));
  displayBugCore(request().page, *bug);
}

void getDataFile(tArgList& list) {
  (void)list;
  printNotAvailable("getDataFile");
}

// ---------------------------------------------------------------------------
// Forms
// ---------------------------------------------------------------------------

void displayObserved(const tHeader& bug, const std::string& num) {
  emitf("<H1>%s</H1>\n<TABLE BORDER=0 WIDTH=100%%<TR><TD>\n<P>", pageText(2038, num).c_str());
  emit(pageText(2039, num));
  userSelect("submitter", bug, bug.submitter);
  actedBy();
  userAndSubmit(bug);
  closeTable();
}

void displayAssigned(const tHeader& bug, const std::string& num) {
  emitf("<H1>%s %s</H1>\n", langue(2041).c_str(), escapeHtml(num).c_str());
  emit("<TABLE BORDER=0 WIDTH=100%><TR><TD><P>\n");
  emit(pageText(2042, num));
  userSelect("submitter", bug, bug.submitter);
  actedBy();
  userAndSubmit(bug);
  closeTable();
}

void displayOpened(const tHeader& bug, const std::string& num) {
  formHeading(2045, num);
  emit(pageText(2046, num));
  userSelect("submitter", bug, bug.submitter);
  actedBy();
  userAndSubmit(bug);
  closeTable();
}

void displayNotABug(const tHeader& bug, const std::string& num) {
  formHeading(2049, num);
  emit(pageText(2050, num));
  userAndSubmit(bug);
  closeTable();
}

void displayNotRep(const tHeader& bug, const std::string& num) {
  formHeading(2053, num);
  emit(pageText(2054, num));
  userAndSubmit(bug);
  closeTable();
}

void displayDuplicate(const tHeader& bug, const std::string& num) {
  formHeading(2073, num);
  emit(pageText(2074, num));
  textInput("text", 20, "");
  actedBy();
  userAndSubmit(bug);
  closeTable();
}

void displayPostpone(const tHeader& bug, const std::string& num) {
  formHeading(2077, num);
  emit(pageText(2078, num));
  const time_t tomorrow = time(nullptr) + 86400;
  struct tm tm {};
  char date[64] = "";
  if (localtime_r(&tomorrow, &tm)) strftime(date, sizeof date, "%d/%m/%Y", &tm);
  textInput("text", 20, date);
  actedBy();
  userAndSubmit(bug);
  closeTable();
}

void displayAnalyse(const tHeader& bug, const std::string& num) {
  formHeadingWithName(2087, num);
  emitf("<P>%s \n", langue(106).c_str());
  // Entries of every kind count, so that each proposed title is new.
  textInput("title", 20, "Analyse_" + std::to_string(bug.data.size()));
  actedBy();
  userAndSubmit(bug);
  textArea(15, "");
  closeTable();
}

void displayCorrected(const tHeader& bug, const std::string& num) {
  formHeadingWithName(2089, num);
  emit("<P>");
  emit(pageText(2090, num));
  emit("<SELECT NAME=\"version\">\n<OPTION >&nbsp\n");
  optionListExclDeadline(bug.project);
  emit("</SELECT>\n");
  actedBy();
  userAndSubmit(bug);
  emitf("<P>%s : \n", langue(2091).c_str());
  textInput("Load", 4, std::to_string(timeDiffDay(bug.date, static_cast<long>(time(nullptr)))));
  textArea(15, strprintf("%s\n\n\n%s:\n\n\n%s:\n", langue(2092).c_str(), langue(2093).c_str(),
                         langue(2094).c_str()));
  closeTable();
}

void display4Verif(const tHeader& bug, const std::string& num) {
  if (bug.status != CORRECTED) {
    printErr(508);
    return;
  }
  formHeading(2068, num);
  emit(pageText(2069, num));
  userSelect("User", bug, bug.submitter);
  emitf("%s \n", langue(2070).c_str());
  userSelect("submitter", bug, getUser());
  submitButton();
  closeTable();
}

void displayVerified(const tHeader& bug, const std::string& num) {
  formHeadingWithName(2097, num);
  emit("<P>");
  emit(pageText(2115, num));
  emit("<SELECT NAME=\"version\">\n<OPTION SELECTED>&nbsp\n");
  optionListVersion(bug.project, "");
  emit("</SELECT>\n");
  actedBy();
  userAndSubmit(bug);
  emit(langue(2098));
  textInput("test", 20, bug.testref);
  emitf("<BR>%s :<BR>\n", langue(2099).c_str());
  textArea(15, "");
  closeTable();
}

void displayRejected(const tHeader& bug, const std::string& num) {
  formHeading(2062, num);
  emit(pageText(2063, num));
  userSelect("User", bug, getUser());
  emitf("%s : <BR>\n", langue(2058).c_str());
  textArea(6, "");
  submitButton();
  closeTable();
}

void displayAbandoned(const tHeader& bug, const std::string& num) {
  formHeading(2056, num);
  emit(pageText(2057, num));
  userSelect("User", bug, getUser());
  emitf("%s : <BR>\n", langue(2058).c_str());
  textArea(5, "");
  submitButton();
  closeTable();
}

// ---------------------------------------------------------------------------
// Applying the forms
// ---------------------------------------------------------------------------

bool doObserved(tHeader& bug, const std::string& num, const tArgList& list) {
  if (!given(getArg(list, "User")) || !given(getArg(list, "submitter"))) {
    printErr(502);
    return false;
  }
  return doEntrust(bug, num, list, OBSERVATION, 2040, E_Observed);
}

bool doAssigned(tHeader& bug, const std::string& num, const tArgList& list) {
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
    emitf("<!%s,%s>\n", escapeHtml(user).c_str(), escapeHtml(managers).c_str());
    return false;
  }
  return doEntrust(bug, num, list, ANALYSIS, 2044, E_Assign);
}

bool doOpened(tHeader& bug, const std::string& num, const tArgList& list) {
  if (!given(getArg(list, "submitter")) || !given(getArg(list, "User"))) {
    printErr(502);
    return false;
  }
  return doEntrust(bug, num, list, OPEN, 2048, E_Open);
}

bool doNotABug(tHeader& bug, const std::string& num, const tArgList& list) {
  return doClassify(bug, num, list, NOT_A_BUG, 2052, E_Not_a_Bug);
}

bool doNotRep(tHeader& bug, const std::string& num, const tArgList& list) {
  return doClassify(bug, num, list, NOT_REPRODUCTIBLE, 2055, E_Not_Reproducible);
}

bool doDuplicate(tHeader& bug, const std::string& num, const tArgList& list) {
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
  return store(bug, next, num, E_Duplicate, user, kRememberName);
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

bool doPostpone(tHeader& bug, const std::string& num, const tArgList& list) {
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
  return store(bug, next, num, E_Postpone, user, kRememberName);
}

bool doAnalyse(tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string title = getArg(list, "title");
  if (!given(user) || !given(title)) {
    printErr(502);
    return false;
  }
  const long now = static_cast<long>(time(nullptr));
  tHeader next = bug;
  historyLine(next, now, 2088, title, user);
  addAnalyse(&next, cut(title, kTitleSize), cut(user, kUserSize), now, argText(list, "text"));
  return store(bug, next, num, E_Analyse, user, kRememberInfo);
}

bool doCorrected(tHeader& bug, const std::string& num, const tArgList& list) {
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
  next.correctVersion = cut(version, kVersionSize);
  historyLine(next, now, 2095, user, version);
  addAnalyse(&next, cut(langue(2096), kTitleSize), cut(user, kUserSize), now,
             argText(list, "text"));
  return store(bug, next, num, E_Corrected, user, kRememberInfo);
}

bool do4Verif(tHeader& bug, const std::string& num, const tArgList& list) {
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
  next.verifiedBy = cut(submitter, kUserSize);
  historyLine(next, static_cast<long>(time(nullptr)), 2072, submitter, user);
  return store(bug, next, num, E_For_Verification, user, kRememberName);
}

bool doVerified(tHeader& bug, const std::string& num, const tArgList& list) {
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
  next.verifyVersion = cut(version, kVersionSize);
  historyLine(next, now, 2100, user, version);
  addAnalyse(&next, cut(langue(2101), kTitleSize), cut(user, kUserSize), now,
             blankText(text) ? test : text);
  return store(bug, next, num, E_Verified, user, kRememberInfo);
}

bool doRejected(tHeader& bug, const std::string& num, const tArgList& list) {
  // The correction and verification fields stay: they tell what was
  // rejected.
  return doWithReason(bug, num, list, NEW, 2066, 2067, E_Rejected);
}

bool doAbandoned(tHeader& bug, const std::string& num, const tArgList& list) {
  return doWithReason(bug, num, list, ABANDONED, 2060, 2061, E_Abandoned);
}
