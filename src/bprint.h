// bprint.h: the printouts of the test book: one test, a step, a module or
// the whole book, as plain text of 80 columns drawn with "+", "-", "=",
// "*" and "|".
//
// On the book side a printout holds the full descriptions of the tests; on
// the test side (a result sheet) one table row per test with its result in
// the campaign "camp", its tester, its day and its linked reports with their
// statuses. The text goes to "<DATADIR>/tmp/velko.<pid>.prt", is handed to
// the PRINT command of velko.cfg, shown in the page and removed.
//
// Widths count characters: a UTF-8 character is one column, every other
// byte of 128 and above and every control character is printed as a blank.
// No line is ever longer than 80 columns: boxes and tables are exactly 80,
// texts are cut (or, for the long texts of a test, continued on further
// rows), and the columns of the result table and the boxes' headings widen
// to the language's labels, the title's column giving the room.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "request.h"
#include "tutils.h"

constexpr size_t kPrintWidth = 80;

// ---------------------------------------------------------------------------
// Line primitives, appending to a printout held in memory
// ---------------------------------------------------------------------------

// The columns `text` takes (see the head of this file).
size_t printColumns(std::string_view text);
// 80 characters and a line end: `c1` in columns 1 and 80 and, when not 0,
// in columns x1 and x2; `c2` everywhere else.
void printLine(std::string* out, size_t x1, size_t x2, char c1, char c2);
// `text` in exactly `width` columns (cut, or filled with blanks; "&nbsp;"
// counts as empty; control characters as blanks), without frame.
std::string gauche(std::string_view text, size_t width);
// gauche(text, width) followed by "|".
void paddedPrint(std::string* out, std::string_view text, size_t width);
// A text as framed rows of 78 columns: one row per line (a carriage
// return before the line feed dropped), a line longer than 78 continued on
// the next rows. An empty text writes nothing.
void longPaddedPrint(std::string* out, std::string_view text);
// paddedPrint of "tag : val" in `width` columns.
void paddedTagValPrint(std::string* out, std::string_view tag, std::string_view val,
                       size_t width);
// "|", "tag : " in 78 columns, "|", a line end, the text (longPaddedPrint),
// then a rule of "+" and "-".
void paddedTagValLongPrint(std::string* out, std::string_view tag, std::string_view val);

// The seven columns of the result table of a step: number, title, result,
// tester, day, report, status. Their widths are 3, 41, 3, 6, 5, 12 and 2
// characters unless a label (language texts 2507 to 2513) or the step's
// largest test number needs more; the title's column gives the room and
// keeps at least 20. With the separators, 80 columns.
struct tStepColumns {
  size_t width[7];
};
tStepColumns stepColumns(int largestNumber);
void printTestStepLine(std::string* out, const tStepColumns& columns);
void printTestStepHeader(std::string* out, const tStepColumns& columns);

// ---------------------------------------------------------------------------
// Printouts
// ---------------------------------------------------------------------------

// One test description, ended by a form feed (each test starts a page).
void printTestFile(std::string* out, const tTest& test);
// One row of the result table: the test's result `r`; `status(name)` is
// the short status of a linked report.
void printTestResult(std::string* out, const tStepColumns& columns, const tTest& test,
                     const tPassTest& r, std::string (*status)(const std::string& name));

// What a printout covers: the book, and the campaign of a result sheet.
struct tPrintPlace {
  std::string project, group;
  int phase = 0;
  bool sheet = false;  // a result sheet of campaign `camp`
  std::string camp;
};
// A step with its tests (their numbers, as getTests lists them), a module
// with its steps, the book with its modules (the book's folder listed
// once).
void printStep(std::string* out, const tPrintPlace& at, const std::string& mod,
               const std::string& step, const tCharList& tests);
void printModule(std::string* out, const tPrintPlace& at, const std::string& mod,
                 const std::vector<tBookStep>& steps);
void printBook(std::string* out, const tPrintPlace& at);

// ---------------------------------------------------------------------------
// Page operations (book codes 22, 19, 16, 25; `format` 1 on the test side)
// ---------------------------------------------------------------------------

void bookPrintTest(tArgList& list);
void bookPrintStep(tArgList& list, int format);
void bookPrintModule(tArgList& list, int format);
void bookPrint(tArgList& list, int format);
