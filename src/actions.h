// actions.h: the action table, one row per CMD value, and the pages that
// the table drives: the action bar of a report, the report with its bar,
// and the page of a report action (its form, or the form applied).
//
// A row says everything about its CMD value: the report action it is (if
// any), its form and the function that applies the submitted form, or the
// page that serves it, the form's method, its button on the action bar
// (image and label text), the subject text of its notification mail, the
// heading of its page, and the policy that the front end applies before the
// handler runs.
//
// The table is written once, as the list VELKO_ACTIONS below, and expanded
// twice: this module keeps every column but the handler (so it calls no
// page module above it: the report lists of the search pages show reports
// with their action bars, so they call this module), and the front end,
// which sees every module, keeps the handlers in the same order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "fileio.h"
#include "names.h"
#include "request.h"

// What the front end checks and takes before a row's handler runs, in this
// order (a refusal is a complete page; the handler does not run then):
// with security on, a valid session to view, unless the row has
// kViewWithoutSession (from the request's "Uid", or from the browser's
// cookie when the request has none); then the page is started when the row
// has a title; then the bits below.
enum tPolicy : unsigned {
  kOpen = 0,
  // A submitted form (argument "User" present, not blank) on a report name
  // holds the report's lock (tFileLock, the store's lockReport) over the
  // read-change-write of the report and its index line; the handler
  // releases it once the change is stored, before the rest of the page and
  // the mail. Refused with text 520 when the lock is not had in time.
  kLockToApply = 1u << 0,
  // A submitted form needs a valid session that the request itself carries
  // (security on: the cookie alone never changes anything), and its "User",
  // the acting user, must be the session's user (text 542 otherwise).
  kSessionToApply = 1u << 1,
  // Every request needs a valid session that the request itself carries:
  // it changes something.
  kSession = 1u << 2,
  // The create right (error box 515 otherwise).
  kCreateRight = 1u << 3,
  // With security on, the page is shown without a session too.
  kViewWithoutSession = 1u << 4,
  // With security on, the "submitter" of the request (the author of a
  // creation) must be the session's user (text 542 otherwise).
  kOwnSubmitter = 1u << 5,
};

// How the page of an applied report action states what was done.
enum tHeadingStyle {
  kNoHeading,
  kTextAndName,      // the text, a blank, the report's name
  kFormatName,       // the text as a format ("%s") for the report's name
  kFormatNameText,   // the same for the name and the argument "text"
};

// The form's method; kPostMultipart sends a file with the fields.
enum tMethod { kGet, kPost, kPostMultipart };

// Showing the fields of a report action's form (the page writes the FORM
// element and the hidden CMD, Num and QS around them). `num` is the name.
using tFormFn = void (*)(tPage& page, const tHeader& bug, const std::string& num);
// Applying a submitted form: checks, then changes and stores `bug`; true
// when the change was stored (`bug` is then the report as stored).
using tApplyFn = bool (*)(tPage& page, tHeader& bug, const std::string& num,
                          const tArgList& list);

struct tActionRow {
  const char* cmd;       // the CMD value (case counts)
  tAction act;           // the report action; E_END for the other pages
  tFormFn form;          // report actions: the form's fields
  tApplyFn apply;        // report actions: applying the submitted form
  tMethod method;        // report actions: the form's method
  const char* image;     // the button on the action bar ("<image>.gif"), in
                         // table order; null when not on the bar
  int label;             // language text of the button (its ALT)
  int mail;              // language text of the notification's subject
  int title;             // language text of the page title when the front
                         // end starts the page before its checks; 0 when the
                         // handler starts it (report actions: the CMD value)
  int heading;           // language text of an applied action's heading
  tHeadingStyle style;
  unsigned policy;       // tPolicy bits
};

// What a handler of this module gets: its row, the request's arguments, and
// the report lock the front end took for it (not held when the row's policy
// or the request did not ask for it).
struct tActionCall {
  const tActionRow& row;
  tArgList& list;
  tFileLock& lock;
};

// The handlers of this module.
void actionPage(tActionCall& call);     // a report action: form or applied
void editPage(tActionCall& call);       // editing and copying
void filePage(tActionCall& call);       // CMD=FILE: an attached file
void newReportPage(tActionCall& call);  // CMD=new: the creation applied
void printPage(tActionCall& call);      // CMD=Print: the printout

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------
//
// ROW(cmd, act, form, apply, method, image, label, mail, title, heading,
//     style, policy, handler)
// Rows of the action bar first, in the bar's order. A handler is a page of
// the form void(tArgList&) or a handler of this module, void(tActionCall&).
// Report actions that change a report take its lock and need a session to
// apply. The rows of editing and copying (editPage) have no form function
// here: their forms read more of the request than the report. With
// security on, every page but the help needs a session even to be seen.
#define VELKO_ACTIONS(ROW)                                                                         \
  ROW("Change_Header", E_Change_Header, nullptr, doEditHead, kPost, "header", 140, 140, 0, 2030,   \
      kTextAndName, kLockToApply | kSessionToApply, editPage)                                      \
  ROW("Observed", E_Observed, displayObserved, doObserved, kGet, "observe", 141, 141, 0, 2038,     \
      kFormatName, kLockToApply | kSessionToApply, actionPage)                                     \
  ROW("Analyse", E_Analyse, displayAnalyse, doAnalyse, kPost, "analyse", 142, 142, 0, 2087,        \
      kTextAndName, kLockToApply | kSessionToApply, actionPage)                                    \
  ROW("Attach", E_Attach, displayAttach, doAttach, kPostMultipart, "attach", 143, 142, 0, 2084,    \
      kTextAndName, kLockToApply | kSessionToApply, actionPage)                                    \
  ROW("Copy", E_Copy, nullptr, doCopy, kPost, "copy", 144, 144, 0, 2033, kTextAndName,             \
      kLockToApply | kSessionToApply, editPage)                                                    \
  ROW("Assign", E_Assign, displayAssigned, doAssigned, kGet, "assign", 145, 145, 0, 2043,          \
      kFormatName, kLockToApply | kSessionToApply, actionPage)                                     \
  ROW("Open", E_Open, displayOpened, doOpened, kGet, "open", 146, 146, 0, 2047, kFormatName,       \
      kLockToApply | kSessionToApply, actionPage)                                                  \
  ROW("Not_a_Bug", E_Not_a_Bug, displayNotABug, doNotABug, kGet, "notabug", 147, 147, 0, 2051,     \
      kFormatName, kLockToApply | kSessionToApply, actionPage)                                     \
  ROW("Not_Reproducible", E_Not_Reproducible, displayNotRep, doNotRep, kGet, "notRep", 148, 148,   \
      0, 2053, kFormatName, kLockToApply | kSessionToApply, actionPage)                            \
  ROW("Duplicate", E_Duplicate, displayDuplicate, doDuplicate, kGet, "duplicate", 149, 149, 0,     \
      2075, kFormatNameText, kLockToApply | kSessionToApply, actionPage)                           \
  ROW("Postpone", E_Postpone, displayPostpone, doPostpone, kGet, "postpone", 150, 150, 0, 2079,    \
      kFormatNameText, kLockToApply | kSessionToApply, actionPage)                                 \
  ROW("Corrected", E_Corrected, displayCorrected, doCorrected, kPost, "correct", 151, 151, 0,      \
      2089, kTextAndName, kLockToApply | kSessionToApply, actionPage)                              \
  ROW("For_Verification", E_For_Verification, display4Verif, do4Verif, kGet, "forverif", 152,      \
      152, 0, 2071, kFormatName, kLockToApply | kSessionToApply, actionPage)                       \
  ROW("Verified", E_Verified, displayVerified, doVerified, kPost, "verify", 153, 153, 0, 2097,     \
      kTextAndName, kLockToApply | kSessionToApply, actionPage)                                    \
  ROW("Rejected", E_Rejected, displayRejected, doRejected, kPost, "reject", 154, 154, 0, 2062,     \
      kFormatName, kLockToApply | kSessionToApply, actionPage)                                     \
  ROW("Abandoned", E_Abandoned, displayAbandoned, doAbandoned, kPost, "abandon", 155, 155, 0,      \
      2056, kFormatName, kLockToApply | kSessionToApply, actionPage)                               \
  ROW("Print", E_END, nullptr, nullptr, kGet, "print", 156, 0, 0, 0, kNoHeading, kOpen,            \
      printPage)                                                                                   \
  ROW("Edit", E_Edit, nullptr, doEditAnalyse, kPost, nullptr, 0, 2024, 0, 2026, kTextAndName,     \
      kLockToApply | kSessionToApply, editPage)                                                    \
  ROW("new", E_New, nullptr, nullptr, kGet, nullptr, 0, 200, 2002, 0, kNoHeading,                  \
      kSession | kCreateRight | kOwnSubmitter, newReportPage)                                      \
  ROW("create", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 2000, 0, kNoHeading,                 \
      kCreateRight, displayCreate)                                                                 \
  ROW("setup", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen, setup)       \
  ROW("statS", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen,              \
      statistics)                                                                                  \
  ROW("search", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen, listdisp)   \
  ROW("book", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen, testBook)     \
  ROW("tests", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen, testBook)    \
  ROW("history", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen,            \
      displayHistory)                                                                              \
  ROW("help", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kViewWithoutSession, \
      displayHelp)                                                                                 \
  ROW("find", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen, findbug)      \
  ROW("FILE", E_END, nullptr, nullptr, kGet, nullptr, 0, 0, 0, 0, kNoHeading, kOpen, filePage)

#define VELKO_COUNT_ROW(...) +1
constexpr size_t kActionCount = 0 VELKO_ACTIONS(VELKO_COUNT_ROW);
#undef VELKO_COUNT_ROW

// The rows, in table order.
extern const tActionRow kActionRows[kActionCount];
// The index of the row of CMD value `cmd`, or -1 when there is none.
int findAction(std::string_view cmd);

// True when the request submits a form: it has the argument "User", empty
// or not blank (every action form has a User selection; its blank option
// asks for the form again).
bool submitsForm(const tArgList& list);

// ---------------------------------------------------------------------------
// The action bar and the report page
// ---------------------------------------------------------------------------

// The action bar of report `num`: an anchor numbered per request, then one
// button per row that has an image: the image linking to CMD=<cmd> for the
// report, with QS=`qs` passed on. With `absolute` (a mail body) the links
// carry http://HOSTNAME[:SERVER_PORT] and never the session; on a page with
// security on they carry the session.
void displayBugMenu(tPage& page, const std::string& num, std::string_view qs,
                    bool absolute = false);
// Reads report `bugNum` and shows its action bar and body; the red "not
// found" line (text 504) when it cannot be read. `qs` is passed on by the
// action bar as QS.
void displayBug(tPage& page, const std::string& bugNum, std::string_view qs);
