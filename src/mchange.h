// mchange.h: the status workflow: the forms of a report's actions and the
// functions that apply them.
//
// Every workflow action is a pair, named in the action table (actions.h):
// a form function that shows the action's fields and an apply function
// that applies the submitted form to the report. The table's page reads the
// report, writes the page around them and sends the notification.
#pragma once

#include <string>

#include "html.h"
#include "names.h"
#include "request.h"

// ---------------------------------------------------------------------------
// The forms: each shows the fields of its action (the page writes the FORM
// element and the hidden CMD, Num and QS around them). `num` is the report's
// name.
// ---------------------------------------------------------------------------

void displayObserved(tPage& page, const tHeader& bug, const std::string& num);
void displayAssigned(tPage& page, const tHeader& bug, const std::string& num);
void displayOpened(tPage& page, const tHeader& bug, const std::string& num);
void displayNotABug(tPage& page, const tHeader& bug, const std::string& num);
void displayNotRep(tPage& page, const tHeader& bug, const std::string& num);
void displayDuplicate(tPage& page, const tHeader& bug, const std::string& num);
void displayPostpone(tPage& page, const tHeader& bug, const std::string& num);
void displayAnalyse(tPage& page, const tHeader& bug, const std::string& num);
void displayCorrected(tPage& page, const tHeader& bug, const std::string& num);
void display4Verif(tPage& page, const tHeader& bug, const std::string& num);
void displayVerified(tPage& page, const tHeader& bug, const std::string& num);
void displayRejected(tPage& page, const tHeader& bug, const std::string& num);
void displayAbandoned(tPage& page, const tHeader& bug, const std::string& num);

// ---------------------------------------------------------------------------
// Applying a submitted form. Each checks its fields first: a refused form
// shows its error box and changes nothing. An accepted one sets the status
// and fields, adds the history line (and the analysis), rewrites the report
// and its index line and remembers the acting user. `bug` becomes the
// report as stored. True when the change was stored.
// ---------------------------------------------------------------------------

bool doObserved(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doAssigned(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doOpened(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doNotABug(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doNotRep(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doDuplicate(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doPostpone(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doAnalyse(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doCorrected(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool do4Verif(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doVerified(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doRejected(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doAbandoned(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);

// ---------------------------------------------------------------------------
// Helpers, exposed for the tests
// ---------------------------------------------------------------------------

// The postponement date of the text "day/month/year" (read as "%d/%d/%d"
// reads it): the local date and time `now` with the day, the month (1 to 12)
// and the full year replaced. False when the text does not hold three such
// integers or the date cannot be converted.
bool postponeDateOf(const std::string& text, long now, long* when);
