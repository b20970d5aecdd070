// bdisplay.cpp: the entry point of the test book, its table of operations,
// and the book page.
#include "bdisplay.h"

#include <cstdlib>

#include "args.h"
#include "bcreate.h"
#include "bprint.h"
#include "config.h"
#include "frame.h"
#include "display.h"
#include "stats.h"
#include "tdisplay.h"
#include "text.h"
#include "tstats.h"
#include "tutils.h"

namespace {

constexpr int kTextNoBook = 1042;  // no configured project, group and phase

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// ---------------------------------------------------------------------------
// The operations by book code
// ---------------------------------------------------------------------------

using tOp = void (*)(tArgList&);

// The operations that take a level or a format: the book side prints
// descriptions (0), the test side the campaign's results (1).
void campaignPage(tArgList& list) { doTestDisplay(list); }
void campaignModule(tArgList& list) { testViewModule(list, 1); }
void campaignStep(tArgList& list) { testViewStep(list, 1); }
void printModuleBook(tArgList& list) { bookPrintModule(list, 0); }
void printModuleSheet(tArgList& list) { bookPrintModule(list, 1); }
void printStepBook(tArgList& list) { bookPrintStep(list, 0); }
void printStepSheet(tArgList& list) { bookPrintStep(list, 1); }
void printBookBook(tArgList& list) { bookPrint(list, 0); }
void printBookSheet(tArgList& list) { bookPrint(list, 1); }

// The deletions show the book page once the file is gone: in the same
// phase (which that page reads as a letter), without the level deleted,
// and with project choices that lead to the book page, not to another
// deletion.
void bookPageAfter(tArgList& list, const char* deleted) {
  const int phase = getArgInt(list, "phase");
  addArg(list, "phase", std::string(1, static_cast<char>('a' + phase)));
  addArg(list, deleted, " ");
  addArg(list, "book", "0");
  doBookDisplay(list);
}
void delModule(tArgList& list) {
  if (bookDelModule(list)) bookPageAfter(list, "mod");
}
void delStep(tArgList& list) {
  if (bookDelStep(list)) bookPageAfter(list, "step");
}
void delTest(tArgList& list) {
  if (bookDelTest(list)) bookPageAfter(list, "test");
}

void viewModule(tArgList& list) { bookViewModule(list, 1); }
void viewStep(tArgList& list) { bookViewStep(list, 1); }
void viewBook(tArgList& list) { bookView(list, 1); }

// What a code does on each side. A null operation is the side's main page.
// `writes`: the book-side operation changes files (a session is needed
// with security on, and a configured group).
struct tBookOp {
  int code;
  tOp book;
  bool writes;
  tOp tests;
  bool testsWrites;
};

const tBookOp kBookOps[] = {
    {3, bookNewModule, false, nullptr, false},
    {4, doBookNewModule, true, nullptr, false},
    {5, bookNewStep, false, nullptr, false},
    {6, doBookNewStep, true, nullptr, false},
    {7, bookNewTest, false, nullptr, false},
    {8, doBookNewTest, true, nullptr, false},
    {9, bookEditModule, false, nullptr, false},
    {10, doBookNewModule, true, nullptr, false},
    {11, bookEditStep, false, nullptr, false},
    {12, doBookNewStep, true, nullptr, false},
    {13, bookEditTest, false, nullptr, false},
    {14, doBookNewTest, true, nullptr, false},
    {15, viewModule, false, campaignModule, false},
    {16, printModuleBook, false, printModuleSheet, false},
    {17, delModule, true, nullptr, false},
    {18, viewStep, false, campaignStep, false},
    {19, printStepBook, false, printStepSheet, false},
    {20, delStep, true, nullptr, false},
    {21, bookViewTest, false, nullptr, false},
    {22, bookPrintTest, false, nullptr, false},
    {23, delTest, true, nullptr, false},
    {24, viewBook, false, testViewBook, false},
    {25, printBookBook, false, printBookSheet, false},
    {26, nullptr, false, testNewCampaign, false},
    {27, nullptr, false, doTestNewCampaign, true},
    {28, nullptr, false, testStats, false},
    {29, nullptr, false, passTest, false},
    {30, nullptr, false, doPassTest, true},
};

const tBookOp* findOp(int code) {
  for (const tBookOp& op : kBookOps)
    if (op.code == code) return &op;
  return nullptr;
}

// True when the request names a book the operation can work in: a
// configured project and phase and, for a change, a configured group of
// the project. Otherwise the page says what to choose.
bool bookUsable(const tArgList& list, bool writes) {
  const std::string project = getArg(list, "project");
  const std::string group = getArg(list, "group");
  if (given(project) && !isConfiguredProject(project)) {
    printErr1(kTextUnknownProject, project);
    return false;
  }
  bool ok = bookDirOk(project, group, getArgInt(list, "phase"));
  if (ok && writes) {
    ok = false;
    for (const std::string& g : getSubProjects(project, " ")) ok = ok || g == group;
  }
  if (!ok) printErr(kTextNoBook);
  return ok;
}

// ---------------------------------------------------------------------------
// The book page
// ---------------------------------------------------------------------------

// One row of the contents: its label, then the list and the buttons.
template <class List, class Buttons>
void contentsRow(tPage& page, const tPiece& label, List list, Buttons buttons) {
  page.markup("<TR><TD><UL><LI> ");
  label(page);
  page.markup(" : </LI></UL></TD><TD>\n");
  list();
  page.markup("</TD><TD>\n");
  buttons();
  page.markup("</TD></TR>\n");
}

}  // namespace

void testBook(tArgList& list) {
  tPage& page = request().page;
  const int code = getArgInt(list, "book");
  const bool bookSide = getArg(list, "CMD") == "book";
  const tBookOp* op = findOp(code);
  const tOp run = op ? (bookSide ? op->book : op->tests) : nullptr;
  const bool writes = op && (bookSide ? op->writes : op->testsWrites);
  printHead(page, langue(bookSide ? 1036 : 1040), nullptr, &list);
  if (!run) {
    if (bookSide)
      doBookDisplay(list);
    else
      campaignPage(list);
    return;
  }
  if (writes && !requireSession(list)) return;
  if (!bookUsable(list, writes)) return;
  run(list);
}

void doBookDisplay(tArgList& list) {
  tPage& page = request().page;
  std::string project = getArg(list, "project");
  std::string group = getArg(list, "group");
  const std::string mod = getArg(list, "mod");
  const std::string step = getArg(list, "step");
  const std::string test = getArg(list, "test");
  const int phase = mainPagePhase(list);

  jsChangePage();
  page.markup("<P ALIGN=CENTER><FONT SIZE=+4><B>").text(langue(1036)).markup("</B></FONT>\n");
  if (isAbsent(project) && given(getUserProject())) {
    project = getUserProject();
    addArg(list, "project", project);
  }
  if (isAbsent(group) && given(getUserGroup())) {
    group = getUserGroup();
    addArg(list, "group", group);
  }
  const tPiece base = [&](tPage& p) {
    p.urlPath(envOrEmpty("SCRIPT_NAME")).markup("?CMD=book&project=").urlArg(project);
    p.markup("&group=").urlArg(group);
    addUidTo(p).markup("&phase=");
  };
  jsChangePage2(base, phase, mod, step, test, "");

  if (!bookNavigation(list, "book", project, &group, phase)) return;
  page.markup("</TABLE>\n");

  if (phase >= 0) {
    page.markup("<P><B>").text(langue(1038)).markup("</B>\n<TABLE BORDER=0>\n");
    const bool modChosen = chosen(mod);
    const bool stepChosen = modChosen && chosen(step);
    contentsRow(
        page, [](tPage& p) { p.text(langue(1000)); },
        [&] { bookSelectModule(project, group, phase, mod); },
        [&] {
          displayButton(project, group, phase, mod, step, test, 3, New_BT);
          if (!modChosen) return;
          displayButton(project, group, phase, mod, step, test, 9, Edit_BT);
          displayButton(project, group, phase, mod, step, test, 15, View_BT);
          displayButton(project, group, phase, mod, step, test, 16, Print_BT);
          displayButton(project, group, phase, mod, step, test, 17, Del_BT);
        });
    if (modChosen)
      contentsRow(
          page, [](tPage& p) { p.text(langue(1001)); },
          [&] { bookSelectStep(project, group, phase, mod, step); },
          [&] {
            displayButton(project, group, phase, mod, step, test, 5, New_BT);
            if (!stepChosen) return;
            displayButton(project, group, phase, mod, step, test, 11, Edit_BT);
            displayButton(project, group, phase, mod, step, test, 18, View_BT);
            displayButton(project, group, phase, mod, step, test, 19, Print_BT);
            displayButton(project, group, phase, mod, step, test, 20, Del_BT);
          });
    if (stepChosen)
      contentsRow(
          page, [](tPage& p) { p.markup("Test"); },
          [&] { bookSelectTest(project, group, phase, mod, step, test); },
          [&] {
            displayButton(project, group, phase, mod, step, test, 7, New_BT);
            if (!chosen(test)) return;
            displayButton(project, group, phase, mod, step, test, 13, Edit_BT);
            displayButton(project, group, phase, mod, step, test, 21, View_BT);
            displayButton(project, group, phase, mod, step, test, 22, Print_BT);
            displayButton(project, group, phase, mod, step, test, 23, Del_BT);
          });
    contentsRow(
        page, [](tPage& p) { p.text(langue(1039)); }, [] {},
        [&] {
          displayButton(project, group, phase, mod, step, test, 24, View_BT);
          displayButton(project, group, phase, mod, step, test, 25, Print_BT);
        });
    page.markup("</TABLE>\n");
  }
  page.markup("</TD></TR></TABLE>\n</FORM>\n</DIR></DIR>\n");
}
