// create.h: report creation. CMD=create shows the creation form
// (displayCreate); the form posts CMD=new, which checks the mandatory
// fields, numbers the new report, stores it, shows it and remembers the
// submitter's choices for the next form (createNewBug).
#pragma once

#include <string>

#include "velko.h"

// The creation form for the request's project (else the remembered one).
void displayCreate(tArgList& list);
// The whole creation: checks, number, history line, first analysis, store,
// page, notification, remembered choices.
void createNewBug(tArgList& list);

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
