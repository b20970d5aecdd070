// mchange.h: the status workflow (the actions of a report's action bar) and
// attachments.
//
// Every workflow action is a pair: a display handler that prints the
// action's small form and a do handler that applies the submitted form to
// the report. modeBug reads the report, prints the page and picks one of the
// two by the presence of the argument "User" (every form has a User
// selection, so its presence tells a submission from a request for a form).
#pragma once

#include <string>

#include "names.h"
#include "request.h"

// The page of action `act` on the report named by "Num": the form, or, when
// "User" is given, the action applied and the report as now stored.
void modeBug(tAction act, tArgList& list);
void getDataFile(tArgList& list);

// ---------------------------------------------------------------------------
// The forms: each prints the fields of its action (modeBug prints the FORM
// element and the hidden CMD, Num and QS around them). `num` is the report's
// name.
// ---------------------------------------------------------------------------

void displayObserved(const tHeader& bug, const std::string& num);
void displayAssigned(const tHeader& bug, const std::string& num);
void displayOpened(const tHeader& bug, const std::string& num);
void displayNotABug(const tHeader& bug, const std::string& num);
void displayNotRep(const tHeader& bug, const std::string& num);
void displayDuplicate(const tHeader& bug, const std::string& num);
void displayPostpone(const tHeader& bug, const std::string& num);
void displayAnalyse(const tHeader& bug, const std::string& num);
void displayCorrected(const tHeader& bug, const std::string& num);
void display4Verif(const tHeader& bug, const std::string& num);
void displayVerified(const tHeader& bug, const std::string& num);
void displayRejected(const tHeader& bug, const std::string& num);
void displayAbandoned(const tHeader& bug, const std::string& num);

// ---------------------------------------------------------------------------
// Applying a submitted form. Each checks its fields first: a refused form
// prints its error box and changes nothing. An accepted one sets the status
// and fields, adds the history line (and the analysis), rewrites the report
// and its index line, remembers the acting user and sends the notification.
// `bug` becomes the report as stored. True when the change was stored.
// ---------------------------------------------------------------------------

bool doObserved(tHeader& bug, const std::string& num, const tArgList& list);
bool doAssigned(tHeader& bug, const std::string& num, const tArgList& list);
bool doOpened(tHeader& bug, const std::string& num, const tArgList& list);
bool doNotABug(tHeader& bug, const std::string& num, const tArgList& list);
bool doNotRep(tHeader& bug, const std::string& num, const tArgList& list);
bool doDuplicate(tHeader& bug, const std::string& num, const tArgList& list);
bool doPostpone(tHeader& bug, const std::string& num, const tArgList& list);
bool doAnalyse(tHeader& bug, const std::string& num, const tArgList& list);
bool doCorrected(tHeader& bug, const std::string& num, const tArgList& list);
bool do4Verif(tHeader& bug, const std::string& num, const tArgList& list);
bool doVerified(tHeader& bug, const std::string& num, const tArgList& list);
bool doRejected(tHeader& bug, const std::string& num, const tArgList& list);
bool doAbandoned(tHeader& bug, const std::string& num, const tArgList& list);

// ---------------------------------------------------------------------------
// Helpers, exposed for the tests
// ---------------------------------------------------------------------------

// The postponement date of the text "day/month/year" (read as "%d/%d/%d"
// reads it): the local date and time `now` with the day, the month (1 to 12)
// and the full year replaced. False when the text does not hold three such
// integers or the date cannot be converted.
bool postponeDateOf(const std::string& text, long now, long* when);

// Language text added by this module: shown when the acting user could not
// be remembered in "userinfo.dat" (the action itself was stored).
constexpr int kTextNotRemembered = 527;
