// tdisplay.h: the test side of the test book: test campaigns and the
// recording of results.
//
// A campaign is one named run of a book's tests (a folder of the book,
// tutils.h). Its page (CMD=tests) chooses project, group, phase and
// campaign, then a module and a step; the views show each test of a step
// with its result in the campaign, its tester, day and linked reports with
// their statuses; the pass form records a result, which adds a line to the
// result's history and one to "history.dat".
//
// Every page here is an operation of testBook (bdisplay.h), chosen by the
// numeric argument "book"; the arguments are those of the book pages
// (bcreate.h) and "camp", the campaign's name.
#pragma once

#include <string>
#include <string_view>

#include "bcreate.h"
#include "request.h"

// A text as a value of the test side's links: a blank is "+", ASCII
// letters and digits stay, every other byte is "%" and two lower-case
// hexadecimal digits.
std::string argFormat(std::string_view src);
// Writes argFormat(src) into the page.
tPage& formatArg(tPage& page, std::string_view src);

// The phase of a main page (book or campaign page): the letter of "phase"
// ("a" for the first phase); a blank, a digit or a letter beyond the phases
// gives the user's phase (-1 when none).
int mainPagePhase(const tArgList& list);

// The campaign that a page works in: `camp` when the book has it,
// otherwise the last of the book's campaigns in name order (the latest when
// names are dates); "" when the book has none.
std::string currentCampaign(const tCharList& campaigns, const std::string& camp);
// The selection "CMENU" of the book's campaigns; `*camp` becomes the
// current campaign. False (nothing printed) when the book has none.
bool printCampaignList(const std::string& proj, const std::string& sproj, int phase,
                       std::string* camp);

// The start of a link to the test side: SCRIPT_NAME "?CMD=tests",
// "&project=" and "&group=" (encoded); further arguments follow.
void testLinkStart(const std::string& proj, const std::string& sproj);
// An image link to the test side with book=`arg` and the campaign.
void displayButton(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& camp, const std::string& mod, const std::string& step,
                   const std::string& test, int arg, tButton button);

// The campaign page (any book code the test side has no operation for).
void doTestDisplay(tArgList& list);
void testNewCampaign(tArgList& list);    // 26
void doTestNewCampaign(tArgList& list);  // 27
// Views of the campaign's results: level 1 with the page's header, 2
// inside a larger view.
void testViewBook(tArgList& list);               // 24
void testViewModule(tArgList& list, int level);  // 15
void testViewStep(tArgList& list, int level);    // 18
void passTest(tArgList& list);                   // 29
void doPassTest(tArgList& list);                 // 30

// The linked reports typed into the pass form: tokens separated by commas,
// blanks, tabs and line ends; tokens of 7 characters or more, in the
// reverse of the typed order.
tCharList parseLinkedReports(std::string_view field);
