// search.h: the report list and search.
//
// The search page (CMD=search) offers a quick search by report name and a
// form of criteria; both lead to findbug (CMD=find, or a request whose
// argument is find, Numero or Num), which selects the reports from the
// index, sorts them and shows them as an index table followed by every
// report in full, as a plain-text printout, or as the tab-separated
// download "bugs.dat".
//
// Arguments of findbug (a value beginning with a blank counts as absent;
// a check box counts as set when its value begins with "X"):
//   find, Num, Numero   report names: a report is selected when its name
//                       occurs in the value (first find, then Num, then
//                       Numero); nothing else is tested
//   project group prog version exp corrVers verifier verVers submitter
//                       equal to the report's field
//   resp                "all", or equal to the assignee
//   sev type            first character "0" + severity / type
//   phase impact        first character "a" + phase / impact
//   statN statS statA statO statC statV statD statB statR statP statT
//                       the statuses to list
//   ival between and    1 creation, 2 correction, 3 verification date within
//                       [between, and] ("dd/mm/yyyy:hh.mm.ss", local time)
//   adType              1 with an MDA/PDA reference, 2 without
//   intitle intext      the title / the report file contains the text
//   sort                0 status, 2 assignee, 3 impact, 4 title, else name
//   aff_vers aff_versSel aff_mdapda aff_crit excel Print   display options
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "names.h"
#include "request.h"

void listdisp(tArgList& list);
void findbug(tArgList& list);

// One selected report: what the list shows of it.
struct tBug {
  std::string nom;      // report name
  char severity = 0;    // the severity value (1 to 4)
  tStatus status = NEW;
  tImpact impact = FONCTIONAL;
  std::string mdapda;
  std::string version;  // the version chosen by aff_versSel, "" otherwise
  std::string resp;     // assignee
  std::string title;
};
using tBugList = std::vector<tBug>;

// The reports of the index that match the request, in the reverse order of
// the index file. Reads the index once, testing the criteria on the fields of
// each line; report files are opened only for "intext", after every other
// test passed.
tBugList getBugList(const tArgList& args);

// Sorting: a stable ascending sort, so rows that compare equal keep their
// list order.
using CompareFct_t = int (*)(const tBug&, const tBug&);
int cmpStatSevNum(const tBug& a, const tBug& b);  // status, severity, name
int cmpNumber(const tBug& a, const tBug& b);      // name
int cmpResp(const tBug& a, const tBug& b);        // assignee, name
int cmpImpSevNum(const tBug& a, const tBug& b);   // impact, severity, name
int cmpTitle(const tBug& a, const tBug& b);       // title only
void bugSort(tBugList& list, CompareFct_t cmp);
// The comparator of a "sort" value (its first character).
CompareFct_t sortComparator(const std::string& sort);

// Parts of the result page.
void displayCriteria(tPage& page, const tArgList& args);
void displayIndex(tPage& page, const tBugList& list, const tArgList& args);
void displayBugList(tPage& page, const tBugList& list);
// The plain-text printout: on the page, and to the PRINT command.
void printIndex(tPage& page, const tBugList& list, const tArgList& args);
// The tab-separated download: a title line, then the index line of each
// report file, readable.
void downloadIndex(tPage& page, const tBugList& list);
// Appends `str`, then blanks up to `width` (a longer text is not cut).
void pad(std::string& out, int width, std::string_view str);
