// tdisplay.cpp: test campaigns and the recording of results (tdisplay.h).
#include "tdisplay.h"

#include <cstdlib>
#include <ctime>

#include "args.h"
#include "config.h"
#include "display.h"
#include "frame.h"
#include "session.h"
#include "stats.h"
#include "text.h"
#include "timeutil.h"
#include "tutils.h"
#include "utils.h"

namespace {

// Language texts of the campaign pages that the configuration has no
// older number for.
constexpr int kTextBadCampaign = 2518;  // "%s" cannot name a campaign
constexpr int kTextNoCampaign = 2519;   // there is no campaign "%s"
constexpr int kTextResultBusy = 2520;   // another recording holds the result
constexpr int kTextNoTest = 1043;       // there is no test "%s"

// Seconds a recording waits for another one of the same result.
constexpr int kResultLockWait = 5;

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

tPage& page() { return request().page; }

// The letter of `phase` in the addresses of the main pages.
std::string phaseLetterArg(int phase) {
  return phase >= 0 && phase < 26 ? std::string(1, static_cast<char>('a' + phase)) : " ";
}


// The comment of the pass form as typed: its text area shows the comment
// followed by a line end, which the browser sends back and which is not
// part of it (so that an unchanged form never makes the comment grow).
std::string formComment(const tArgList& list) {
  if (!hasArg(list, "text")) return std::string();
  std::string v = getArg(list, "text");
  if (v.size() >= 2 && v.compare(v.size() - 2, 2, "\r\n") == 0)
    v.resize(v.size() - 2);
  else if (!v.empty() && v.back() == '\n')
    v.pop_back();
  return v;
}

// A one-line value of a form for a stored line: control bytes as blanks.
std::string oneLine(std::string v) {
  for (char& c : v)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return v;
}

// A value read from a result that may be the blank of a test never passed.
void resultCell(tPage& pg, const tPassTest& r, const std::string& value) {
  if (r.recorded)
    pg.text(value);
  else
    pg.markup("&nbsp;");
}

// "<TR><TD><UL><LI> label : </LI></UL></TD><TD>" list "</TD><TD>" buttons:
// one row of the campaign page's contents.
template <class Label, class List, class Buttons>
void contentsRow(Label label, List list, Buttons buttons) {
  tPage& pg = page();
  pg.markup("<TR><TD><UL><LI> ");
  label(pg);
  pg.markup(" : </LI></UL></TD><TD>\n");
  list();
  pg.markup("</TD><TD>\n");
  buttons();
  pg.markup("</TD></TR>\n");
}

// The test side's link to book=`arg`, the phase written by `phase`.
template <class Phase>
void testButtonLink(const std::string& proj, const std::string& sproj, Phase phase,
                    const std::string& camp, const std::string& mod, const std::string& step,
                    const std::string& test, int arg) {
  tPage& pg = page();
  pg.markup("<A HREF=\"");
  testLinkStart(proj, sproj);
  addUidTo(pg).markup("&phase=");
  phase(pg);
  pg.markup("&camp=");
  formatArg(pg, camp).markup("&mod=");
  formatArg(pg, mod).markup("&step=");
  formatArg(pg, step).markup("&test=");
  formatArg(pg, test);
  addUidTo(pg).markup("&book=").num(arg).markup("\"> \n");
}

// The status of a linked report, "" when it names no readable report.
std::string reportStatus(const std::string& name) {
  tHeader head;
  if (!readReportHead(name, &head)) return std::string();
  return getStatusShort(head.status);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------

std::string argFormat(std::string_view src) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(src.size());
  for (const char c : src) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == ' ') {
      out += '+';
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

tPage& formatArg(tPage& pg, std::string_view src) {
  // argFormat leaves only letters, digits, '+' and '%': the same text in
  // an attribute, a query string and a script's string.
  return pg.attr(argFormat(src));
}

int mainPagePhase(const tArgList& list) {
  const std::string v = getArg(list, "phase");
  const int phase = v.empty() ? -1 : static_cast<unsigned char>(v[0]) - 'a';
  return phase >= 0 && phase < getPhaseCount() ? phase : getUserPhase();
}

std::string currentCampaign(const tCharList& campaigns, const std::string& camp) {
  for (const std::string& c : campaigns)
    if (c == camp) return c;
  return campaigns.empty() ? std::string() : campaigns.back();
}

bool printCampaignList(const std::string& proj, const std::string& sproj, int phase,
                       std::string* camp) {
  const tCharList campaigns = getCampaigns(proj, sproj, phase);
  if (campaigns.empty()) return false;
  *camp = currentCampaign(campaigns, *camp);
  tPage& pg = page();
  pg.markup("\n<SELECT NAME=CMENU onChange=");
  pg.markup(" \"changePage2(this.options[this.selectedIndex].value,4)\" >\n");
  for (const std::string& c : campaigns) {
    pg.markup("<OPTION ");
    if (c == *camp) pg.markup("SELECTED ");
    pg.markup("VALUE=\"");
    formatArg(pg, c).markup("\">").text(c).markup("\n");
  }
  pg.markup("</SELECT>\n");
  return true;
}

void testLinkStart(const std::string& proj, const std::string& sproj) {
  tPage& pg = page();
  pg.attr(envOrEmpty("SCRIPT_NAME")).markup("?CMD=tests&project=");
  formatArg(pg, proj).markup("&group=");
  formatArg(pg, sproj);
}

void displayButton(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& camp, const std::string& mod, const std::string& step,
                   const std::string& test, int arg, tButton button) {
  testButtonLink(
      proj, sproj, [&](tPage& pg) { pg.num(phase); }, camp, mod, step, test, arg);
  buttonImage(button, false);
}

tCharList parseLinkedReports(std::string_view field) {
  tCharList names;
  size_t i = 0;
  while (i < field.size()) {
    const size_t start = field.find_first_not_of(", \t\r\n", i);
    if (start == std::string_view::npos) break;
    size_t end = field.find_first_of(", \t\r\n", start);
    if (end == std::string_view::npos) end = field.size();
    if (end - start >= 7) names.insert(names.begin(), std::string(field.substr(start, end - start)));
    i = end;
  }
  return names;
}

// ---------------------------------------------------------------------------
// The campaign page
// ---------------------------------------------------------------------------

void doTestDisplay(tArgList& list) {
  tPage& pg = page();
  std::string project = getArg(list, "project");
  std::string group = getArg(list, "group");
  const std::string mod = getArg(list, "mod");
  const std::string step = getArg(list, "step");
  const std::string test = getArg(list, "test");
  std::string camp = getArg(list, "camp");
  const int phase = mainPagePhase(list);

  jsChangePage();
  pg.markup("<P ALIGN=CENTER><FONT SIZE=+4><B>").text(langue(2490)).markup("</B></FONT>\n");
  if (isAbsent(project) && given(getUserProject())) {
    project = getUserProject();
    addArg(list, "project", project);
  }
  if (isAbsent(group) && given(getUserGroup())) {
    group = getUserGroup();
    addArg(list, "group", group);
  }
  bool known = false;
  for (const std::string& g : getSubProjects(project, " ")) known = known || g == group;
  // The campaign of the page is chosen before its script is written, so
  // that choosing a module or a step keeps the campaign shown.
  if (known && phase >= 0) camp = currentCampaign(getCampaigns(project, group, phase), camp);
  const tPiece base = [&](tPage& p) {
    p.urlPath(envOrEmpty("SCRIPT_NAME")).markup("?CMD=tests&project=").urlArg(project);
    p.markup("&group=").urlArg(group).markup("&camp=");
    formatArg(p, camp);
    addUidTo(p).markup("&phase=");
  };
  jsChangePage2(base, phase, mod, step, test, camp);

  if (!bookNavigation(list, "tests", project, &group, phase)) return;

  bool hasCampaign = false;
  if (phase >= 0) {
    pg.markup("<TR><TD ALIGN=CENTER COLSPAN=3>").text(langue(2491)).markup(" : ");
    hasCampaign = printCampaignList(project, group, phase, &camp);
    displayButton(project, group, phase, camp, mod, step, test, 26, New_BT);
    pg.markup("</TD></TR>\n");
  }
  pg.markup("</TABLE>\n");

  if (hasCampaign) {
    const bool modChosen = chosen(mod);
    const bool stepChosen = modChosen && chosen(step);
    auto button = [&](int code, tButton b) {
      displayButton(project, group, phase, camp, mod, step, test, code, b);
    };
    pg.markup("<P><B>").text(langue(1038)).markup("</B>\n<TABLE BORDER=0>\n");
    contentsRow([](tPage& p) { p.text(langue(1039)); }, [] {},
                [&] {
                  button(24, View_BT);
                  button(25, Print_BT);
                  button(28, Stat_BT);
                });
    contentsRow([](tPage& p) { p.text(langue(1000)); },
                [&] { bookSelectModule(project, group, phase, mod); },
                [&] {
                  if (!modChosen) return;
                  button(15, View_BT);
                  button(16, Print_BT);
                });
    contentsRow([](tPage& p) { p.text(langue(1001)); },
                [&] {
                  if (modChosen) bookSelectStep(project, group, phase, mod, step);
                },
                [&] {
                  if (!stepChosen) return;
                  button(18, View_BT);
                  button(19, Print_BT);
                });
    pg.markup("</TABLE>\n");
  }
  pg.markup("</TD></TR></TABLE>\n</FORM>\n</DIR></DIR>\n");
}

// ---------------------------------------------------------------------------
// Campaign creation
// ---------------------------------------------------------------------------

void testNewCampaign(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  tPage& pg = page();
  // The proposed name is the time of day with every character but the
  // digits a dot, so that such names sort by date.
  std::string proposed = time2char(static_cast<long>(time(nullptr)));
  for (char& c : proposed)
    if (c < '0' || c > '9') c = '.';
  dispProjectHeader([](tPage& t) { t.text(langue(2492)); }, p.project, p.group, p.phase);
  pg.markup("<FORM METHOD=GET ACTION=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("\">\n");
  bookHiddenFields(getArg(list, "CMD"), p.project, p.group, p.phase);
  pg.hidden("book", "27");
  pg.markup("<TABLE BORDER=1>\n<TR><TD>").text(langue(2493));
  pg.markup(" : <INPUT SIZE=50 NAME=\"camp\" VALUE=\"").attr(proposed).markup("\" ></TD>\n");
  pg.markup("<TD><INPUT TYPE=SUBMIT VALUE=\"OK\"></TD></TR>\n</TABLE></FORM>\n");
}

void doTestNewCampaign(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  std::string camp = getArg(list, "camp");
  if (isAbsent(camp)) {
    printErr(502);
    return;
  }
  for (char& c : camp)
    if (c == '/') c = '-';
  if (!validCampaignName(camp)) {
    printErr1(kTextBadCampaign, camp);
    return;
  }
  const std::string dir = getCampaignDir(p.project, p.group, p.phase, camp);
  if (!createCampaign(p.project, p.group, p.phase, camp)) {
    printErr1(501, dir);
    return;
  }
  // The campaign page follows in the same phase (which it reads as a
  // letter), the new campaign current.
  addArg(list, "camp", camp);
  addArg(list, "phase", phaseLetterArg(p.phase));
  doTestDisplay(list);
  page().comment(" In theory, created " + dir).markup("\n");
}

// ---------------------------------------------------------------------------
// Views of a campaign
// ---------------------------------------------------------------------------

namespace {

// One row of the results of a step.
void resultRow(const tBookPlace& p, const std::string& camp, const tTest& test,
               const tPassTest& r) {
  tPage& pg = page();
  pg.markup("<TR><TD><A HREF=\"");
  bookLinkStart("book", p.project, p.group);
  pg.markup("&phase=").num(p.phase).markup("&mod=").urlArg(p.mod).markup("&step=").urlArg(p.step);
  pg.markup("&test=").num0(test.number, 3).markup("&book=21");
  addUidTo(pg).markup("\"> \n").num0(test.number, 3).markup("</A></TD>\n");
  pg.markup("<TD>").text(test.title).markup("</TD>\n<TD ALIGN=CENTER><A HREF=\"");
  testLinkStart(p.project, p.group);
  pg.markup("&phase=").num(p.phase).markup("&mod=");
  formatArg(pg, p.mod).markup("&step=");
  formatArg(pg, p.step).markup("&camp=");
  formatArg(pg, camp).markup("&test=").num0(test.number, 3).markup("&book=29");
  addUidTo(pg).markup("\"> \n").text(getTestResultName(r.result)).markup("</A></TD>\n");
  pg.markup("<TD ALIGN=CENTER>");
  resultCell(pg, r, r.tester);
  pg.markup("</TD>\n<TD ALIGN=CENTER>");
  resultCell(pg, r, r.day);
  pg.markup("</TD>\n<TD>");
  bool first = true;
  for (const std::string& name : r.fft) {
    if (!first) pg.markup("<BR>\n");
    first = false;
    pg.markup("<A HREF=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("?Num=").urlValue(name);
    addUidTo(pg).markup("\">").text(name).markup("</A>");
  }
  pg.markup("&nbsp;</TD>\n<TD ALIGN=CENTER>");
  first = true;
  for (const std::string& name : r.fft) {
    if (!first) pg.markup("<BR>\n");
    first = false;
    pg.text(reportStatus(name));
  }
  pg.markup("&nbsp;</TD></TR>\n");
}

// The step p.step of module p.mod with the results of `tests` (its test
// numbers; listed here when null).
void viewStep(const tBookPlace& p, const std::string& camp, int level,
              const tCharList* tests = nullptr) {
  tPage& pg = page();
  if (level <= 1) {
    const std::string modTitle = getModuleName(p.project, p.group, p.phase, p.mod);
    dispProjectHeader(
        [&](tPage& t) {
          t.markup("<FONT COLOR=DarkSlateBlue>").text(langue(1000)).markup(" : ").text(p.mod);
          t.markup(": ").text(modTitle).markup("</FONT>");
        },
        p.project, p.group, p.phase);
  }
  pg.markup("<FONT COLOR=DarkOliveGreen SIZE=+3><B>").text(langue(1001)).markup(" : ");
  pg.text(p.step).markup(" </B>: ");
  pg.text(getStepName(p.project, p.group, p.phase, p.mod, p.step)).markup("</FONT><P>\n");
  pg.markup("<TABLE BORDER=1 WIDTH=100%>\n<TR><TH>Tst#</TH>\n<TH WIDTH=80%>").text(langue(106));
  pg.markup("</TH>\n");
  for (const int t : {2495, 2496, 2511, 2497}) pg.markup("<TH>").text(langue(t)).markup("</TH>\n");
  pg.markup("<TH>").text(langue(119)).markup("</TH><TR>\n");
  tPassTest result;
  const tCharList listed =
      tests ? tCharList() : getTests(p.project, p.group, p.phase, p.mod, p.step);
  for (const std::string& num : tests ? *tests : listed) {
    tTest test;
    initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, atoi(num.c_str()));
    testFileRead(&test, getTestFileName(test, test.number));
    testResultRead(test, camp, &result);
    resultRow(p, camp, test, result);
  }
  pg.markup("</TABLE><BR><BR>\n");
}

// The module p.mod with `steps`, its steps and their tests.
void viewModule(const tBookPlace& p, const std::string& camp, int level,
                const std::vector<tBookStep>& steps) {
  tPage& pg = page();
  if (level <= 1) dispProjectHeader(nullptr, p.project, p.group, p.phase);
  pg.markup("<FONT COLOR=DarkSlateBlue SIZE=+3><B>").text(langue(1000)).markup(" : ");
  pg.text(p.mod).markup("</B>: ");
  pg.text(getModuleName(p.project, p.group, p.phase, p.mod)).markup("</FONT><P>\n");
  if (level <= 0) return;
  for (const tBookStep& step : steps) {
    tBookPlace at = p;
    at.step = step.key;
    viewStep(at, camp, 2, &step.tests);
  }
}

}  // namespace

void testViewStep(tArgList& list, int level) {
  viewStep(bookPlace(list), getArg(list, "camp"), level);
}

void testViewModule(tArgList& list, int level) {
  const tBookPlace p = bookPlace(list);
  viewModule(p, getArg(list, "camp"), level,
             getModuleTree(p.project, p.group, p.phase, p.mod));
}

void testViewBook(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  const std::string camp = getArg(list, "camp");
  dispProjectHeader(
      [](tPage& t) { t.markup("<FONT COLOR=DarkViolet>").text(langue(2494)).markup("</FONT>"); },
      p.project, p.group, p.phase);
  for (const tBookModule& m : getBookTree(p.project, p.group, p.phase)) {
    tBookPlace at = p;
    at.mod = m.key;
    viewModule(at, camp, 2, m.steps);
  }
}

// ---------------------------------------------------------------------------
// Recording a result
// ---------------------------------------------------------------------------

namespace {

// The test and campaign that a pass request names; false, after a page
// saying what is missing, when there is no such campaign or test.
bool passedTest(const tBookPlace& p, const std::string& camp, tTest* test) {
  initTestArgs(test, p.project, p.group, p.phase, p.mod, p.step,
               numberArg(p.test) ? atoi(p.test.c_str()) : -1);
  if (!campaignExists(p.project, p.group, p.phase, camp)) {
    printErr1(kTextNoCampaign, camp);
    return false;
  }
  if (test->number < 0 || !testRead(test)) {
    printErr1(kTextNoTest, p.mod + "." + p.step + "." + p.test);
    return false;
  }
  return true;
}

// The user a pass form proposes: the session's with security on, the
// remembered one otherwise.
std::string proposedTester(const tArgList& list) {
  if (useSecurity()) {
    const std::string user = sessionUser(list);
    if (!user.empty()) return user;
  }
  return getUser();
}

}  // namespace

void passTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  const std::string camp = getArg(list, "camp");
  tPage& pg = page();
  tTest test;
  if (!passedTest(p, camp, &test)) return;
  tPassTest r;
  testResultRead(test, camp, &r);
  if (!r.recorded) {
    r.tester = proposedTester(list);
    r.result = E_NA;
    r.date = static_cast<long>(time(nullptr));
    r.resText.clear();
    r.version = " ";
  }
  pg.markup("<FORM METHOD=POST ACTION=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("\">\n");
  bookHiddenFields("tests", p.project, p.group, p.phase);
  pg.hidden("mod", p.mod).hidden("step", p.step).hidden("test", p.test).hidden("camp", camp);
  pg.hidden("book", "30");
  dispProjectHeader(
      [&](tPage& t) {
        t.text(langue(1000)).markup(" : ").text(p.mod).markup(", ").text(langue(1001));
        t.markup(" : ").text(p.step);
      },
      p.project, p.group, p.phase);
  pg.markup("<TABLE BORDER=1>\n<TR><TD WIDTH=5><B>").num0(test.number, 3).markup("</B></TD>\n");
  pg.markup("<TD COLSPAN=2><FONT COLOR=DarkBlue SIZE=+1><B>").text(test.title);
  pg.markup("</B></FONT></TD></TR>\n<TR><TD ALIGN=CENTER>").text(langue(2499));
  pg.markup(" : <SELECT NAME=\"submitter\">\n<OPTION >&nbsp\n");
  optionListUsers(p.project, r.tester);
  pg.markup("</SELECT></TD>\n<TD ALIGN=CENTER>").text(langue(110));
  pg.markup(" : <SELECT NAME=\"version\">\n<OPTION>&nbsp\n");
  optionListVersion(p.project, r.version);
  pg.markup("</SELECT></TD>\n<TD ALIGN=CENTER>").text(langue(2495));
  pg.markup(" : <SELECT NAME=\"res\">\n");
  for (int v = 0; *getTestResultName(v); ++v) {
    pg.markup("<OPTION ");
    if (v == r.result) pg.markup("SELECTED ");
    pg.markup("VALUE=").num(v).markup("> ").text(getTestResultName(v)).markup("\n");
  }
  pg.markup("</SELECT></TD></TR>\n<TR><TD ALIGN=CENTER COLSPAN=2> ").text(langue(2511));
  pg.markup(": ").text(time2char(r.date));
  pg.markup("\n</TD><TD><INPUT TYPE=SUBMIT VALUE=\"OK\"></TD></TR>\n");
  pg.markup("<TR><TD COLSPAN=3>").text(langue(2500)).markup(":<BR>\n");
  pg.markup("<TEXTAREA NAME=\"text\" ROWS=5 COLS=70>\n").text(r.resText);
  pg.markup("\n</TEXTAREA></TD></TR>\n");
  pg.markup("<TR><TD COLSPAN=3>").text(langue(2501)).markup(":\n<TABLE BORDER=0><TR><TD>");
  pg.markup("<A HREF=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("?CMD=create&project=");
  formatArg(pg, p.project).markup("&group=");
  formatArg(pg, p.group).markup("&phase=").num(p.phase);
  addUidTo(pg).markup("\"><IMG BORDER=0 SRC=").escaped(unquotedUrl(getImgDir()));
  pg.markup("/newbt.gif ALT=\"").attr(langue(1104)).markup("\"></A></TD>\n");
  pg.markup("<TD><TEXTAREA NAME=\"fft\" ROWS=2 COLS=60>\n");
  // In the order typed, which the recording reverses: a form sent back
  // unchanged keeps the stored order.
  for (auto it = r.fft.rbegin(); it != r.fft.rend(); ++it) pg.text(*it).markup(" ");
  pg.markup("</TEXTAREA></TD></TR></TABLE>\n</TD></TR>\n");
  if (!r.history.empty())
    pg.markup("<TR><TD COLSPAN=3><PRE>").text(r.history).markup("</PRE></TD></TR>\n");
  pg.markup("</TABLE></FORM>\n");
  displayTest(test);
}

void doPassTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  const std::string camp = getArg(list, "camp");
  const std::string submitter = getArg(list, "submitter");
  const std::string version = getArg(list, "version");
  const std::string resArg = getArg(list, "res");
  const int res = numberArg(resArg) ? atoi(resArg.c_str()) : -1;
  tPage& pg = page();
  // A tester always; a version for a test passed OK or failed, which says
  // what was tested. A result beyond the four is no result.
  if (isAbsent(submitter) || res < E_NOK || res > E_NA ||
      (isAbsent(version) && res != E_NT && res != E_NA)) {
    pg.markup("<Font color=red><H1>Error</H1>\n<P>Please fill in the blanks<P></font>\n");
    return;
  }
  if (!requireOwnName(list, "submitter")) return;
  tTest test;
  if (!passedTest(p, camp, &test)) return;
  // Two testers recording the same test at once: the second waits for the
  // first, then reads its result, so no history line is lost.
  tFileLock lock;
  if (!lockTestResult(&lock, test, camp, kResultLockWait)) {
    printErr(kTextResultBusy);
    return;
  }
  tPassTest r;
  testResultRead(test, camp, &r);
  const long now = static_cast<long>(time(nullptr));
  const char* action = r.history.empty() ? "Created" : "Changed";
  r.tester = cutUtf8(oneLine(submitter), kTestUserSize - 1);
  r.date = now;
  r.version = isAbsent(version) ? std::string(" ") : cutUtf8(oneLine(version), kTestVersionSize - 1);
  r.resText = formComment(list);
  r.result = res;
  const std::string what =
      strprintf("Test %s by %s (%s)\n", action, r.tester.c_str(), getTestResultName(res));
  const std::string when = time2char(now);
  if (!r.history.empty() && r.history.back() != '\n') r.history += '\n';
  r.history += when + " " + what;
  r.fft = parseLinkedReports(getArg(list, "fft"));
  if (!testResultWrite(test, camp, r)) {
    printErr1(501, getPassFileName(test, camp));
    return;
  }
  lock.release();
  // The global history is optional: a file that cannot be written is
  // skipped.
  appendHistoryLine(when + " " + testSubject(test) + " " + what);

  testButtonLink(
      p.project, p.group, [&](tPage& t) { t.text(phaseLetterArg(p.phase)); }, camp, p.mod, p.step,
      " ", -1);
  buttonImage(Arrow_BT, false);
  viewStep(p, camp, 1);
}
