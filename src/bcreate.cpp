// bcreate.cpp: the book tree pages and the shared pieces of the test book
// pages (bcreate.h).
#include "bcreate.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "args.h"
#include "config.h"
#include "frame.h"
#include "session.h"
#include "stats.h"
#include "text.h"
#include "tutils.h"

namespace {

// Language texts of the book pages that the configuration has no older
// number for.
constexpr int kTextBadKey = 1041;   // "%s" cannot be a key
constexpr int kTextNoTest = 1043;   // there is no test "%s"

// The fields of the seven texts in the test form, in file order, and the
// rows of their text areas.
const char* const kTextFields[kTestTexts] = {"obj", "env", "pre", "steps", "exp", "post", "notes"};
const int kTextRows[kTestTexts] = {5, 10, 5, 15, 10, 5, 5};

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

tPage& page() { return request().page; }

// A free text of a form, as typed: the value when the form sent it (a text
// may begin with blanks), "" otherwise. The text areas show a text followed
// by a line end, which the browser sends back: that one line end is not
// part of the text, so saving an unchanged form never makes it grow.
std::string formText(const tArgList& list, std::string_view name) {
  if (!hasArg(list, name)) return std::string();
  std::string v = getArg(list, name);
  if (v.size() >= 2 && v.compare(v.size() - 2, 2, "\r\n") == 0)
    v.resize(v.size() - 2);
  else if (!v.empty() && v.back() == '\n')
    v.pop_back();
  return v;
}

// A one-line field of a form: "" when absent (empty or beginning with a
// blank, as the blank option of a selection sends it).
std::string formField(const tArgList& list, std::string_view name) {
  std::string v = getArg(list, name);
  return isAbsent(v) ? std::string() : v;
}

// The number of impacts of impacts.cfg.
int impactCount() {
  int n = 0;
  while (n < 26 && !getImpactName(n).empty()) ++n;
  return n;
}

// The letter of `phase` in the addresses of the main book page.
std::string phaseArgLetter(int phase) {
  return phase >= 0 && phase < 26 ? std::string(1, static_cast<char>('a' + phase)) : " ";
}

// "<key> : <title>" pieces of the headers.
void keyAndTitle(tPage& pg, const std::string& key, const std::string& title) {
  pg.text(key).markup(" : ").text(title);
}

// The back arrow of the save pages: a link to the book page, the phase
// written as the letter that page reads, so the way back keeps it.
void backArrowStart(const tBookPlace& p, const std::string& mod, const std::string* step,
                    const std::string* test) {
  tPage& pg = page();
  pg.markup("<A HREF=\"");
  bookLinkStart("book", p.project, p.group);
  pg.markup("&phase=").urlArg(phaseArgLetter(p.phase)).markup("&mod=").urlArg(mod);
  if (step) pg.markup("&step=").urlArg(*step);
  if (test) pg.markup("&test=").urlArg(*test);
  addUidTo(pg).markup("\">");
}

void backArrowImage() {
  page().markup("<IMG BORDER=0 SRC=").escaped(unquotedUrl(getImgDir())).markup("/larrow.gif>");
}

// The title of a module, step or test name in the headers.
std::string testName(const std::string& mod, const std::string& step, int num) {
  return mod + "." + step + "." + strprintf("%03d", num);
}

}  // namespace

bool numberArg(const std::string& v) {
  if (v.empty() || v.size() > 9) return false;
  for (const char c : v)
    if (c < '0' || c > '9') return false;
  return true;
}

// ---------------------------------------------------------------------------
// Shared page pieces
// ---------------------------------------------------------------------------

tBookPlace bookPlace(const tArgList& list) {
  tBookPlace p;
  p.project = getArg(list, "project");
  p.group = getArg(list, "group");
  p.phase = getArgInt(list, "phase");
  p.mod = getArg(list, "mod");
  p.step = getArg(list, "step");
  p.test = getArg(list, "test");
  return p;
}

bool chosen(const std::string& arg) { return given(arg); }

void dispProjectHeader(const tPiece& title, const std::string& proj, const std::string& sproj,
                       int phase) {
  tPage& pg = page();
  pg.markup("<TABLE BORDER=0 WIDTH=100%>\n<TR><TD ROWSPAN=3><H2><FONT COLOR=BLACK> ");
  if (title) title(pg);
  pg.markup(" </FONT></H2></TD>\n");
  pg.markup("<TD ALIGN=RIGHT><FONT COLOR=BLACK>").text(langue(100));
  pg.markup(" :&nbsp;</FONT></TD><TD WIDTH=10%><FONT COLOR=RED>").text(proj);
  pg.markup("</FONT></TD></TR>\n");
  pg.markup("<TR><TD ALIGN=RIGHT><FONT COLOR=BLACK>").text(langue(101));
  pg.markup(" :&nbsp;</FONT></TD><TD><FONT COLOR=RED>").text(sproj).markup("</FONT></TD></TR>\n");
  pg.markup("<TR><TD ALIGN=RIGHT><FONT COLOR=BLACK>").text(langue(102));
  pg.markup(" :&nbsp;</FONT></TD><TD><FONT COLOR=RED>").text(getPhaseName(phase));
  pg.markup("</FONT></TD></TR>\n</TABLE>\n");
}

void printBookText(const std::string& text) {
  tPage& pg = page();
  size_t start = 0;
  for (;;) {
    const size_t lf = text.find('\n', start);
    pg.text(std::string_view(text).substr(start, lf == std::string::npos ? lf : lf - start));
    if (lf == std::string::npos) break;
    pg.markup("<BR>\n");
    start = lf + 1;
  }
}

void displayTestEntry(const std::string& label, const std::string& text) {
  if (text.empty()) return;
  tPage& pg = page();
  pg.markup("<TR><TD COLSPAN=3><DIR><I>").text(label).markup(":</I><BR>\n");
  printBookText(text);
  pg.markup("</TD></TR>\n");
}

void displayTest(const tTest& test) {
  tPage& pg = page();
  pg.markup("<DIV STYLE=\"margin-left:40px\"><TABLE BORDER=1 CELLPADDING=4 WIDTH=95%>\n");
  pg.markup("<TR><TD><B>").num0(test.number, 3).markup("</B></TD><TD COLSPAN=2>");
  pg.text(langue(106)).markup(" : <FONT COLOR=DarkBlue SIZE=+1><B>").text(test.title);
  pg.markup("</B></FONT></TD></TR>\n");
  pg.markup("<TR><TD ALIGN=CENTER>").text(langue(103)).markup(" : <B>").text(test.author);
  pg.markup("</B></TD>\n<TD ALIGN=CENTER>").text(langue(104)).markup(" : <B>");
  pg.text(getImpactName(test.impact)).markup("</B></TD>\n<TD ALIGN=CENTER>").text(langue(105));
  pg.markup(" : <B>").text(test.reference).markup("</B></TD></TR>\n");
  for (int i = 0; i < kTestTexts; ++i) displayTestEntry(langue(1002 + i), testText(test, i));
  pg.markup("</TABLE></DIV>\n");
}

void jsChangePage2(const tPiece& base, int phase, const std::string& mod,
                   const std::string& step, const std::string& test, const std::string& camp) {
  (void)test;
  (void)camp;  // the campaign page's address carries it already
  tPage& pg = page();
  // A blank (an absent argument) stays a blank; a key is written as a value
  // of the address.
  auto value = [&](const std::string& v) {
    if (isAbsent(v))
      pg.text(v);
    else
      pg.urlArg(v);
  };
  const std::string letter(1, static_cast<char>('a' + phase));
  pg.markup("<SCRIPT LANGUAGE=\"JavaScript\">function changePage2(page,menu)\n{\n");
  pg.markup("   if (menu == 0) \n   {\n      page = \"");
  base(pg);
  pg.markup("\" + page \n   } else if (menu == 1)  \n   {\n      page = \"");
  base(pg);
  pg.text(letter).markup("&mod=\" + page \n   } else if (menu == 2)  \n   {\n      page = \"");
  base(pg);
  pg.text(letter).markup("&mod=");
  value(mod);
  pg.markup("&step=\" + page \n   } else if (menu == 3)  \n   {\n      page = \"");
  base(pg);
  pg.text(letter).markup("&mod=");
  value(mod);
  pg.markup("&step=");
  value(step);
  pg.markup("&test=\" + page \n   } else if (menu == 4)  \n   {\n      page = \"");
  base(pg);
  pg.text(letter).markup("&camp=\" + page \n   }\n   document.location = page\n}\n</SCRIPT>\n");
}

namespace {

// A selection list of book entries that calls changePage2 with `menu`.
void selectEntries(const tCharList& entries, const std::string& current, int menu) {
  if (entries.empty()) return;
  tPage& pg = page();
  pg.markup("<SELECT  onChange=");
  pg.markup(" \"changePage2(this.options[this.selectedIndex].value,").num(menu).markup(")\" >\n");
  pg.markup("<OPTION >&nbsp\n");
  for (const std::string& e : entries) {
    pg.markup("<OPTION ");
    if (e == current) pg.markup("SELECTED ");
    pg.markup("Value=").urlPath(e).markup(">").text(e).markup("\n");
  }
  pg.markup("</SELECT>\n");
}

}  // namespace

void bookSelectModule(const std::string& proj, const std::string& sproj, int phase,
                      const std::string& mod) {
  selectEntries(getModules(proj, sproj, phase), mod, 1);
}

void bookSelectStep(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& mod, const std::string& step) {
  selectEntries(getSteps(proj, sproj, phase, mod), step, 2);
}

void bookSelectTest(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& mod, const std::string& step, const std::string& test) {
  selectEntries(getTests(proj, sproj, phase, mod, step), test, 3);
}

bool printSubProjectList(const std::string& proj, const std::string& sproj,
                         const tCharList& slist, const std::string& menu) {
  tPage& pg = page();
  bool found = false;
  pg.markup("<SELECT NAME=\"SPMENU\" onChange=");
  pg.markup(" \"changePage(this.options[this.selectedIndex].value,SPMENU)\" >\n");
  pg.markup("<OPTION VALUE=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("?CMD=").urlArg(menu);
  pg.markup("&project=").urlArg(proj);
  addUidTo(pg).markup("\">&nbsp\n");
  for (const std::string& s : slist) {
    pg.markup("<OPTION VALUE=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("?CMD=").urlArg(menu);
    pg.markup("&project=").urlArg(proj).markup("&group=").urlArg(s);
    addUidTo(pg).markup("\" ");
    if (s == sproj) {
      pg.markup("SELECTED ");
      found = true;
    }
    pg.markup("> ").text(s).markup(" \n");
  }
  pg.markup("</SELECT>\n");
  return found;
}

bool bookNavigation(tArgList& list, const std::string& side, const std::string& project,
                    std::string* group, int phase) {
  tPage& pg = page();
  pg.markup("<DIR><DIR>\n<FORM METHOD=GET ACTION=\"").attr(envOrEmpty("SCRIPT_NAME"));
  pg.markup("\">\n<TABLE border=1 WIDTH=80%><TR><TD><B>").text(langue(1037));
  pg.markup("</B><P>\n<TABLE BORDER=0 WIDTH=100%><TR><TD ALIGN=CENTER>").text(langue(100));
  pg.markup(" : ");
  printProjectList(list, side, {}, {});
  pg.markup("</TD>\n<TD ALIGN=CENTER>").text(langue(101)).markup(" : ");
  const bool known = printSubProjectList(project, *group, getSubProjects(project, " "), side);
  pg.markup("</TD>\n");
  if (!known) *group = " ";
  if (isAbsent(project) || isAbsent(*group)) {
    pg.markup("</TR></TABLE>\n</TD></TR></TABLE>\n</FORM>\n</DIR></DIR>\n");
    return false;
  }
  pg.markup("\n").comment("Proj:" + project + ",Sproj:" + *group).markup("\n");
  pg.markup("<TD ALIGN=CENTER>").text(langue(102)).markup(" : ");
  pg.markup("<SELECT NAME=\"PHMENU\" onChange=");
  pg.markup(" \"changePage2(this.options[this.selectedIndex].value,0)\" >\n");
  pg.markup("<OPTION >&nbsp\n");
  optionListPhase(phase);
  pg.markup("</SELECT></LI>\n</TD></TR>\n");
  return true;
}

const char* getButtonName(tButton button) {
  static const char* const names[] = {"editbt", "viewbt", "printbt", "delbt",
                                      "newbt",  "statbt", "larrow"};
  return button >= Edit_BT && button <= Arrow_BT ? names[button] : names[View_BT];
}

void buttonImage(tButton button, bool withTitle) {
  tPage& pg = page();
  const std::string& label = langue(1100 + button);
  pg.markup("<IMG BORDER=0 SRC=").escaped(unquotedUrl(getImgDir())).markup("/");
  pg.escaped(identifier(getButtonName(button))).markup(".gif ALT=\"").attr(label).markup("\"");
  if (withTitle) pg.markup(" TITLE=\"").attr(label).markup("\"");
  pg.markup("></A> \n");
}

void bookLinkStart(const std::string& cmd, const std::string& proj, const std::string& sproj) {
  tPage& pg = page();
  pg.attr(envOrEmpty("SCRIPT_NAME")).markup("?CMD=").urlArg(cmd);
  pg.markup("&project=").urlArg(proj).markup("&group=").urlArg(sproj);
}

void displayButton(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& mod, const std::string& step, const std::string& test,
                   int arg, tButton button) {
  tPage& pg = page();
  pg.markup("<A HREF=\"");
  bookLinkStart("book", proj, sproj);
  pg.markup("&phase=").num(phase).markup("&mod=").urlArg(mod).markup("&step=").urlArg(step);
  pg.markup("&test=").urlArg(test).markup("&book=").num(arg);
  addUidTo(pg).markup("\"> \n");
  buttonImage(button, true);
}

void bookHiddenFields(const std::string& cmd, const std::string& proj, const std::string& sproj,
                      int phase) {
  tPage& pg = page();
  pg.hidden("CMD", cmd).hidden("project", proj).hidden("group", sproj);
  pg.hidden("phase", std::to_string(phase));
  if (useSecurity() && given(getCookie())) pg.hidden("Uid", getCookie());
}


// ---------------------------------------------------------------------------
// Views
// ---------------------------------------------------------------------------

namespace {

// The step p.step of module p.mod: level 0 alone, 1 with its tests and
// the header, 2 with its tests inside a module.
void viewStep(const tBookPlace& p, int level) {
  tPage& pg = page();
  if (level <= 1) {
    const std::string modTitle = getModuleName(p.project, p.group, p.phase, p.mod);
    dispProjectHeader(
        [&](tPage& t) {
          t.markup("<FONT COLOR=DarkSlateBlue >").text(langue(1020)).markup(" : ");
          keyAndTitle(t, p.mod, modTitle);
          t.markup("</FONT>");
        },
        p.project, p.group, p.phase);
  }
  std::string title, desc;
  if (readBookEntry(getStepFileName(p.project, p.group, p.phase, p.mod, p.step), &title, &desc)) {
    pg.markup("<TABLE BORDER=0 WIDTH=100%><TR><TD WIDTH=20>&nbsp;</TD><TD>\n");
    pg.markup("<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><FONT COLOR=DarkOliveGreen SIZE=4><B>");
    pg.text(p.step).markup("</B></FONT></TD>\n<TD WIDTH=90%><FONT COLOR=DarkOliveGreen SIZE=4><B>");
    pg.text(title).markup("</B></FONT></TD></TR>\n <TR><TD COLSPAN=2><DIR>").text(langue(107));
    pg.markup(":<BR>\n");
    printBookText(desc);
    pg.markup("</TD></TR></TABLE>\n</TD></TR></TABLE>\n");
  }
  if (level <= 0) return;
  for (const std::string& num : getTests(p.project, p.group, p.phase, p.mod, p.step)) {
    // A fresh record per test: a short file never shows another's fields.
    tTest test;
    initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, atoi(num.c_str()));
    testFileRead(&test, getTestFileName(test, test.number));
    displayTest(test);
  }
}

// The module p.mod: levels as for steps; its steps in list order.
void viewModule(const tBookPlace& p, int level) {
  tPage& pg = page();
  if (level <= 1) dispProjectHeader(nullptr, p.project, p.group, p.phase);
  std::string title, desc;
  if (readBookEntry(getModuleFileName(p.project, p.group, p.phase, p.mod), &title, &desc)) {
    pg.markup("<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><FONT COLOR=DarkSlateBlue SIZE=5>").text(p.mod);
    pg.markup("</FONT></TD>\n<TD WIDTH=90%><FONT COLOR=DarkSlateBlue SIZE=5>").text(title);
    pg.markup("</FONT></TD></TR>\n<TR><TD colspan=2><DIR>").text(langue(107)).markup(":<BR>\n");
    printBookText(desc);
    pg.markup("</TD></TR></TABLE>\n");
  }
  if (level <= 0) return;
  for (const std::string& step : getSteps(p.project, p.group, p.phase, p.mod)) {
    tBookPlace at = p;
    at.step = step;
    viewStep(at, 2);
  }
}

}  // namespace

void bookViewModule(tArgList& list, int level) { viewModule(bookPlace(list), level); }

void bookViewStep(tArgList& list, int level) { viewStep(bookPlace(list), level); }

void bookView(tArgList& list, int level) {
  const tBookPlace p = bookPlace(list);
  if (level <= 1)
    dispProjectHeader(
        [](tPage& t) {
          t.markup("<FONT COLOR=DarkViolet SIZE=6>").text(langue(1035)).markup("</FONT>");
        },
        p.project, p.group, p.phase);
  if (level <= 0) return;
  for (const std::string& mod : getModules(p.project, p.group, p.phase)) {
    tBookPlace at = p;
    at.mod = mod;
    viewModule(at, 2);
  }
}

void bookViewTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  tTest test;
  initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, atoi(p.test.c_str()));
  if (testRead(&test))
    displayTest(test);
  else
    printErr1(kTextNoTest, testName(p.mod, p.step, test.number));
}

// ---------------------------------------------------------------------------
// Modules and steps: forms and saving
// ---------------------------------------------------------------------------

namespace {

// The form of a module (code 4 new, 10 edit) or of a step (6 new, 12 edit).
void entryForm(const tArgList& list, bool isStep, int code, const std::string& title,
               const std::string& acro, const std::string& desc) {
  const tBookPlace p = bookPlace(list);
  const bool isNew = code == 4 || code == 6;
  tPage& pg = page();
  dispProjectHeader(
      [&](tPage& t) {
        if (!isStep && code == 4) t.text(langue(1019));
        if (!isStep && code == 10) t.text(langue(1020));
        if (isStep && code == 6) t.text(langue(1027));
        if (isStep && code == 12) t.text(langue(1028));
        if (isStep && code != 6 && code != 12) t.num(code);
      },
      p.project, p.group, p.phase);
  if (isStep) {
    pg.markup("<H2>Module : <FONT COLOR=DarkSlateBlue SIZE=5>");
    keyAndTitle(pg, p.mod, getModuleName(p.project, p.group, p.phase, p.mod));
    pg.markup("</FONT></H2>\n");
  }
  pg.markup("<FORM METHOD=POST ACTION=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("\">\n");
  bookHiddenFields(getArg(list, "CMD"), p.project, p.group, p.phase);
  pg.hidden("book", std::to_string(code));
  if (isStep) pg.hidden("mod", p.mod);
  pg.markup("<TABLE BORDER=1>\n<TR>");
  if (isStep)
    pg.markup("<TD>Title <INPUT SIZE=50 NAME=\"title\" VALUE=\"");
  else
    pg.markup("<TD>").text(langue(106)).markup(" <INPUT SIZE=50 NAME=\"title\" VALUE=\"");
  pg.attr(title).markup("\" ></TD>\n");
  if (isStep)
    pg.markup("<TD>Acronym ");
  else
    pg.markup("<TD>").text(langue(1021)).markup(" ");
  const char* keyName = isStep ? "step" : "mod";
  if (isNew) {
    pg.markup("<INPUT SIZE=5 NAME=\"").attr(keyName).markup("\" >");
  } else {
    pg.hidden(keyName, acro).markup(": <B>").text(acro).markup("</B>");
  }
  pg.markup("</TD>\n<TD><INPUT TYPE=SUBMIT VALUE=\"OK\"></TD></TR>\n");
  if (isStep)
    pg.markup("<TR><TD COLSPAN=3>Description:<BR>\n");
  else
    pg.markup("<TR><TD COLSPAN=3>").text(langue(107)).markup(":<BR>\n");
  pg.markup("<TEXTAREA NAME=\"text\" ROWS=15 COLS=70>\n").text(desc);
  pg.markup("\n</TEXTAREA></TD></TR>\n</TABLE></FORM>\n");
}

// Saving a module or a step (new or edited), then showing it.
void saveEntry(tArgList& list, bool isStep) {
  tBookPlace p = bookPlace(list);
  const int code = getArgInt(list, "book");
  const bool isNew = isStep ? code != 12 : code != 10;
  const std::string key = isStep ? p.step : p.mod;
  const std::string title = getArg(list, "title");
  const std::string desc = formText(list, "text");
  tPage& pg = page();
  if (isAbsent(key) || isAbsent(title) || (isStep && isAbsent(p.mod))) {
    printErr(502);
    return;
  }
  if (!validBookKey(key) || (isStep && !validBookKey(p.mod))) {
    printErr1(kTextBadKey, isStep && !validBookKey(p.mod) ? p.mod : key);
    return;
  }
  pg.markup("<TABLE BORDER=0 WIDTH=100%>\n");
  if (isNew) {
    pg.markup("<TR><TD><H1>").text(langue(isStep ? 1032 : 1024)).markup("</H1></TD>\n");
  } else if (isStep) {
    pg.markup("<TR><TD ALIGN=LEFT><H1>").text(langue(1033)).markup(" ").text(key);
    pg.markup("</H1></TD>\n");
  } else {
    pg.markup("<TR><TD><H1>").text(langue(1025)).markup(" ").text(key).markup("</H1></TD>\n");
  }
  pg.markup("<TD ALIGN=RIGHT>");
  backArrowStart(p, p.mod, isStep ? &p.step : nullptr, nullptr);
  backArrowImage();
  pg.markup("</A></TD></TR></TABLE>\n");
  const std::string path = isStep ? getStepFileName(p.project, p.group, p.phase, p.mod, key)
                                  : getModuleFileName(p.project, p.group, p.phase, key);
  const bool ok = isNew ? createBookEntry(path, title, desc) : writeBookEntry(path, title, desc);
  if (!ok && isNew && errno == EEXIST) {
    printErr1(isStep ? 1034 : 1026, key);
    return;
  }
  if (!ok) {
    printErr1(501, path);
    return;
  }
  if (isStep)
    viewStep(p, 0);
  else
    viewModule(p, 0);
}

void editEntry(tArgList& list, bool isStep) {
  const tBookPlace p = bookPlace(list);
  std::string title, desc;
  const std::string path = isStep ? getStepFileName(p.project, p.group, p.phase, p.mod, p.step)
                                  : getModuleFileName(p.project, p.group, p.phase, p.mod);
  // A module or step without file gives the form with empty fields.
  readBookEntry(path, &title, &desc);
  entryForm(list, isStep, isStep ? 12 : 10, title, isStep ? p.step : p.mod, desc);
}

}  // namespace

void bookNewModule(tArgList& list) { entryForm(list, false, 4, "", "", ""); }
void doBookNewModule(tArgList& list) { saveEntry(list, false); }
void bookEditModule(tArgList& list) { editEntry(list, false); }
void bookNewStep(tArgList& list) { entryForm(list, true, 6, "", "", ""); }
void doBookNewStep(tArgList& list) { saveEntry(list, true); }
void bookEditStep(tArgList& list) { editEntry(list, true); }

// ---------------------------------------------------------------------------
// Tests: form and saving
// ---------------------------------------------------------------------------

namespace {

// The header of the test pages: module and step with their titles.
void testPlaceTitle(tPage& t, const tBookPlace& p) {
  t.text(langue(1000)).markup(" : <FONT COLOR=DarkSlateBlue> ");
  keyAndTitle(t, p.mod, getModuleName(p.project, p.group, p.phase, p.mod));
  t.markup(" </FONT>, <FONT COLOR=DarkOliveGreen>").text(langue(1001)).markup(" : ");
  keyAndTitle(t, p.step, getStepName(p.project, p.group, p.phase, p.mod, p.step));
  t.markup("</FONT>");
}

// The test form (code 8 new, 14 edit).
void editTest(const tArgList& list, const tTest& test, int code, int heading) {
  const tBookPlace p = bookPlace(list);
  tPage& pg = page();
  pg.markup("<H1>").text(langue(heading)).markup("</H1>\n");
  dispProjectHeader([&](tPage& t) { testPlaceTitle(t, p); }, p.project, p.group, p.phase);
  pg.markup("<FORM METHOD=POST ACTION=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("\">\n");
  bookHiddenFields("book", p.project, p.group, p.phase);
  pg.hidden("mod", p.mod).hidden("step", p.step).hidden("book", std::to_string(code));
  if (code != 8) pg.hidden("Num", std::to_string(test.number));
  pg.markup("<TABLE BORDER=1>\n<TR><TD COLSPAN=2>").text(langue(106));
  pg.markup(" : <INPUT SIZE=60 NAME=\"title\" VALUE=\"").attr(test.title);
  pg.markup("\"></TD><TD><INPUT TYPE=SUBMIT VALUE=\"OK\"></TD></TR>\n");
  pg.markup("<TR><TD ALIGN=CENTER>").text(langue(103));
  pg.markup(" : <SELECT NAME=\"submitter\">\n<OPTION >&nbsp\n");
  optionListUsers(p.project, test.author);
  pg.markup("</SELECT></TD>\n<TD ALIGN=CENTER>").text(langue(104));
  pg.markup(" : <SELECT NAME=\"impact\">\n<OPTION >&nbsp\n");
  optionListImpact(test.impact);
  pg.markup("</SELECT></TD>\n<TD ALIGN=CENTER>").text(langue(105));
  pg.markup(" : <INPUT SIZE=35 NAME=\"ref\" VALUE=\"").attr(test.reference);
  pg.markup("\"></TD></TR>\n");
  for (int i = 0; i < kTestTexts; ++i) {
    pg.markup("<TR><TD COLSPAN=3>").text(langue(1002 + i)).markup(":<BR>\n");
    pg.markup("<TEXTAREA NAME=").attr(kTextFields[i]).markup(" ROWS=").num(kTextRows[i]);
    pg.markup(" COLS=70>\n").text(testText(test, i)).markup("\n</TEXTAREA>\n</TD></TR>\n");
  }
  pg.markup("</TABLE></FORM>\n");
}

}  // namespace

void bookNewTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  tTest test;
  initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, atoi(p.test.c_str()));
  test.author = getUser();
  editTest(list, test, 8, 1009);
}

void bookEditTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  tTest test;
  initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, atoi(p.test.c_str()));
  testRead(&test);
  editTest(list, test, 14, 1010);
}

void doBookNewTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  const int code = getArgInt(list, "book");
  tPage& pg = page();
  if (!validBookKey(p.mod) || !validBookKey(p.step)) {
    printErr1(kTextBadKey, validBookKey(p.mod) ? p.step : p.mod);
    return;
  }
  tTest test;
  initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, 0);
  const long now = static_cast<long>(time(nullptr));
  if (code == 14) {
    // The stored test keeps its number and creation date.
    const int num = getArgInt(list, "Num");
    test.number = num;
    if (!testRead(&test)) test.creationDate = now;
    initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, num);
  } else {
    test.creationDate = now;
  }
  test.title = getArg(list, "title");
  if (isAbsent(test.title)) test.title.clear();
  test.author = formField(list, "submitter");
  for (int i = 0; i < kTestTexts; ++i) *testText(test, i) = formText(list, kTextFields[i]);
  // A blank impact option, or one beyond the configured impacts, is none.
  const std::string impact = getArg(list, "impact");
  const int value = impact.empty() ? -1 : static_cast<unsigned char>(impact[0]) - 'a';
  test.impact = value >= 0 && value < impactCount() ? value : -1;
  test.reference = hasArg(list, "ref") ? getArg(list, "ref") : std::string();
  const bool ok = code == 14 ? testWrite(test) : testCreate(&test);
  if (!ok) {
    printErr1(501, getTestFileName(test, test.number));
    return;
  }
  tTest stored;
  initTestArgs(&stored, p.project, p.group, p.phase, p.mod, p.step, test.number);
  testRead(&stored);
  const std::string num = strprintf("%03d", test.number);
  backArrowStart(p, p.mod, &p.step, &num);
  backArrowImage();
  pg.markup("</A><BR> \n");
  dispProjectHeader([](tPage& t) { t.text(langue(1009)); }, p.project, p.group, p.phase);
  pg.markup("<H2>");
  testPlaceTitle(pg, p);
  pg.markup(" </H2>\n");
  displayTest(stored);
}

// ---------------------------------------------------------------------------
// Deletion
// ---------------------------------------------------------------------------

namespace {

// Removes a book file: true when it is gone (also when it was not there);
// otherwise the error box names it.
bool removeOrSay(const std::string& path) {
  if (path.empty() || removeBookFile(path) || errno == ENOENT) return true;
  printErr1(501, path);
  return false;
}

}  // namespace

bool bookDelModule(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  if (!getSteps(p.project, p.group, p.phase, p.mod).empty()) {
    tPage& pg = page();
    pg.markup("<Font COLOR=RED><H1>").text(langue(500)).markup("</H1>\n");
    pg.markup("<P>").text(langue(1000)).markup(" <B>").text(p.mod).markup("</B> ");
    pg.text(langue(1022)).markup(".").text(langue(1023)).markup(".\n</Font>\n");
    return false;
  }
  return removeOrSay(getModuleFileName(p.project, p.group, p.phase, p.mod));
}

bool bookDelStep(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  if (!getTests(p.project, p.group, p.phase, p.mod, p.step).empty()) {
    tPage& pg = page();
    pg.markup("<Font COLOR=RED><H1>").text(langue(500)).markup("</H1>\n");
    pg.markup("<P>").text(langue(1029)).markup(" <B>").text(p.mod).markup(".").text(p.step);
    pg.markup("</B> ").text(langue(1030)).text(langue(1031)).markup("\n</Font>\n");
    return false;
  }
  return removeOrSay(getStepFileName(p.project, p.group, p.phase, p.mod, p.step));
}

bool bookDelTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  // Only a test number names a test: "abc" must not delete test 000.
  if (!numberArg(p.test)) return true;
  tTest test;
  initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step, atoi(p.test.c_str()));
  tCharList held;
  for (const std::string& camp : getCampaigns(p.project, p.group, p.phase))
    if (testHasResult(test, camp)) held.push_back(camp);
  if (!held.empty()) {
    tPage& pg = page();
    pg.markup("<Font COLOR=RED><H1>").text(langue(500)).markup("</H1>\n");
    pg.markup("<P>").text(langue(1011)).markup("<B>");
    pg.text(testName(p.mod, p.step, test.number)).markup("</B> ");
    pg.text(langue(1012)).markup("<UL>\n");
    for (const std::string& camp : held) pg.markup("<LI>").text(camp).markup("</LI> \n");
    pg.markup("</UL>\n<P>").text(langue(1013)).markup(" ").text(langue(1014)).markup("\n");
    pg.markup("<BR>").text(langue(1015)).markup("\n<BR>").text(langue(1016)).markup(" : \n");
    pg.markup("<BR>").text(getBookDir(p.project, p.group, p.phase)).markup("test/C.<i>&lt;");
    pg.text(langue(1017)).markup("&gt;</i>\n<P>").text(langue(1018)).markup("\n</Font>\n");
    return false;
  }
  return removeOrSay(getTestFileName(test, test.number));
}
