// display.h: the report page and its printout.
//
// The functions render into a tPage: the request's page, or the page that
// becomes a mail body (`absolute`: links with the host, no session), so
// mails and pages share one rendering.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "names.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Scripts and the action bar's button
// ---------------------------------------------------------------------------

// Script blocks used by other pages: changePage(page,menu) loads `page`;
// checkChange() copies the state of box ALL of document.forms[1] to the
// eleven status boxes.
void jsChangePage();
void jsCheckChange();

// "http://HOSTNAME" when SERVER_PORT is "80" (or unset), else
// "http://HOSTNAME:PORT", at most 299 characters: the start of the links of
// a mail body. Built once per request (again when the configuration file or
// the port changed since).
const std::string& absoluteBase();

// ---------------------------------------------------------------------------
// Text helpers of the report page and its printout
// ---------------------------------------------------------------------------

// Free text as HTML: a line feed becomes "<BR>\n", "<" "&lt;\n" and a blank
// "&nbsp;\n"; every other byte is copied.
void printData(tPage& page, std::string_view data);

// The printout grid: 8 rows of 4 cells, cell 4r+c; an empty string is an
// empty cell. After padding, widths[0..3] are the column widths and the
// other entries 0.
constexpr int kGridRows = 8;
constexpr int kGridColumns = 4;
constexpr int kGridCells = kGridRows * kGridColumns;
using tGrid = std::array<std::string, kGridCells>;
using tGridWidths = std::array<int, kGridCells>;

// Lays the grid out in place. A non-empty cell widens its column only when
// it is in the last column or the cell to its right is not empty (otherwise
// it spans into the empty cells that follow). Columns are then widened in
// turn (0, 1, 2, 3, 0, ...) until their sum reaches 78, and each non-empty
// cell is padded with blanks to the width of the columns it spans. Returns
// the sum of the four widths plus 3.
int padding(tGrid& table, tGridWidths& max);
// A separator line: "+", then for each of the first `arg` columns max[i]
// dashes and "+", then "\n".
std::string line(const tGridWidths& max, int arg);

// ---------------------------------------------------------------------------
// Report page and printout
// ---------------------------------------------------------------------------

// The body of a report already read: field table, entries, history. With
// `absolute` (a mail body) the links are absolute; otherwise, with security
// on, the entries' links carry the session.
void displayBugCore(tPage& page, const tHeader& bug, bool absolute = false);
// The printout page of report `num` (CMD=Print): the text grid is written to
// "<DATADIR>/tmp/velko.<pid>.prt", shown in the page, handed to the PRINT
// command and deleted.
void printBug(const std::string& num);

// The text of the printout of `bug` named `num` (what printBug writes into
// its file and shows).
std::string formatPrintout(const tHeader& bug, const std::string& num);

