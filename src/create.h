// create.h: report creation. CMD=create shows the creation form
// (displayCreate); the form posts CMD=new, which checks the mandatory
// fields, has the store number and write the new report, and shows it
// (createNewBug; the action table's page adds the action bar, the report
// and the notification), then remembers the submitter's choices for the
// next form (rememberSubmitter).
//
// The front end starts both pages and checks the session and the create
// right before they run (the action table's policy); with security on the
// submitter is the session's user, the only name the form offers.
#pragma once

#include <string>

#include "html.h"
#include "names.h"
#include "request.h"

// The creation form for the request's project (else the remembered one),
// after the page head.
void displayCreate(tArgList& list);

// A report just created: its name and the record as shown (before the
// store completed its entries' final line feeds).
struct tNewReport {
  std::string name;
  tHeader shown;
};
// The creation applied: checks, number, history line, first analysis,
// store, and the heading of the new report's page. False, after the page
// says why, when nothing was stored.
bool createNewBug(tPage& page, tArgList& list, tNewReport* made);
// Remembers the submitter's project, group and phase for the next form; a
// red line when they could not be kept.
void rememberSubmitter(tPage& page, const tHeader& bug);

// 1 when argument `fld` is present (neither empty nor beginning with a
// blank), else the error box of text 503 with the label `name` and 0.
int checkParam(const tArgList& list, const std::string& fld, const std::string& name);
// 1 when every mandatory field is present and the letters and numbers of
// the phase, impact and severity are in range; else 0 after the message of
// the first field refused (only that one).
int checkParams(const tArgList& list);
// Fills `head` from the form's arguments (all but the number, the history
// and the entries). Texts are cut to their field widths and kept free of
// '|' and line ends, so that the report shown is the report stored.
void decodeHead(const tArgList& list, tHeader& head);
