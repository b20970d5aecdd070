// bcreate.h: the book tree pages (modules, steps and tests: new, edit,
// save, view, delete) and the page pieces that every test book page shares
// (the project header, a test's table, the navigation script, selection
// lists and image buttons).
//
// Every page here is an operation of the entry point testBook (bdisplay.h),
// chosen by the numeric argument "book"; each form posts back to it with
// the code of its save operation. The common arguments are "project",
// "group", "phase" (the phase's index; the main book page reads a letter),
// "mod" and "step" (keys), "test" (a test number) and "Num" (the number of
// the test being edited). Files are the store's (tutils.h).
#pragma once

#include <functional>
#include <string>

#include "html.h"
#include "request.h"
#include "tutils.h"

// ---------------------------------------------------------------------------
// Shared page pieces
// ---------------------------------------------------------------------------

// Writes a piece of a page (a title holding markup and texts).
using tPiece = std::function<void(tPage&)>;

// The arguments that name a book and a place in it, as the sub-pages get
// them: the phase as a number.
struct tBookPlace {
  std::string project, group;
  int phase = -1;
  std::string mod, step, test;  // " " when absent
};
tBookPlace bookPlace(const tArgList& list);
// A key or number argument chosen: neither blank nor empty.
bool chosen(const std::string& arg);

// The borderless header: the title on the left; project, group and phase
// name on the right (language texts 100, 101, 102).
void dispProjectHeader(const tPiece& title, const std::string& proj, const std::string& sproj,
                       int phase);
// One test as a bordered table: number, title, author, impact, reference,
// then one row per text that is not empty.
void displayTest(const tTest& test);
// One text row of displayTest; nothing for an empty text.
void displayTestEntry(const std::string& label, const std::string& text);
// A free text: its HTML escaped, each line feed shown as a line break.
void printBookText(const std::string& text);

// The script of changePage2(page, menu): `base` writes the address of the
// side's main page, ending with "phase="; menus 0 phase, 1 module, 2 step,
// 3 test, 4 campaign keep the choices above them.
void jsChangePage2(const tPiece& base, int phase, const std::string& mod,
                   const std::string& step, const std::string& test, const std::string& camp);
// Selection lists of the modules of a book, the steps of a module, the
// tests of a step, the current one selected; nothing when there are none.
void bookSelectModule(const std::string& proj, const std::string& sproj, int phase,
                      const std::string& mod);
void bookSelectStep(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& mod, const std::string& step);
void bookSelectTest(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& mod, const std::string& step, const std::string& test);
// The group selection "SPMENU" for the command `menu` ("book" or "tests");
// true when `sproj` is among `slist`.
bool printSubProjectList(const std::string& proj, const std::string& sproj,
                         const tCharList& slist, const std::string& menu);
// The navigation form of the book page and of the campaign page (`side`
// "book" or "tests"): the project, group and phase lists, the phase row
// left open. A group that the project does not have becomes " "; without a
// project and a group the form is closed and the result is false.
bool bookNavigation(tArgList& list, const std::string& side, const std::string& project,
                    std::string* group, int phase);
// A test number argument: digits only, at most nine.
bool numberArg(const std::string& v);

enum tButton { Edit_BT = 0, View_BT, Print_BT, Del_BT, New_BT, Stat_BT, Arrow_BT };
const char* getButtonName(tButton button);
// The image of a button: SRC, ALT and TITLE (language text 1100 + button).
void buttonImage(tButton button, bool withTitle);
// An image link to the book side with book=`arg`.
void displayButton(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& mod, const std::string& step, const std::string& test,
                   int arg, tButton button);
// The start of a link to this program: SCRIPT_NAME "?CMD=" cmd, then
// "&project=", "&group=" and further arguments.
void bookLinkStart(const std::string& cmd, const std::string& proj, const std::string& sproj);
// The hidden fields of a form: CMD, project, group, phase, and the session.
void bookHiddenFields(const std::string& cmd, const std::string& proj, const std::string& sproj,
                      int phase);

// ---------------------------------------------------------------------------
// Operations (book codes)
// ---------------------------------------------------------------------------

void bookNewModule(tArgList& list);    // 3
void doBookNewModule(tArgList& list);  // 4 new, 10 edit
void bookEditModule(tArgList& list);   // 9
void bookNewStep(tArgList& list);      // 5
void doBookNewStep(tArgList& list);    // 6 new, 12 edit
void bookEditStep(tArgList& list);     // 11
void bookNewTest(tArgList& list);      // 7
void doBookNewTest(tArgList& list);    // 8 new, 14 edit
void bookEditTest(tArgList& list);     // 13
void bookViewTest(tArgList& list);     // 21
// Views: level 0 the entry alone, 1 with its contents and the page's
// header, 2 with its contents inside a larger view.
void bookViewModule(tArgList& list, int level);  // 15
void bookViewStep(tArgList& list, int level);    // 18
void bookView(tArgList& list, int level);        // 24
// Deletions (17, 20, 23): true when the file was removed (the caller then
// shows the book page); otherwise the page says what must go first.
bool bookDelModule(tArgList& list);
bool bookDelStep(tArgList& list);
bool bookDelTest(tArgList& list);
