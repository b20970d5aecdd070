// create.h: report creation. CMD=create shows the creation form
// (displayCreate); the form posts CMD=new, which checks the mandatory
// fields, numbers the new report, stores it, shows it and remembers the
// submitter's choices for the next form (createNewBug).
#pragma once

#include <string>

#include "names.h"
#include "request.h"

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

// Stores `bug` as a new report: under the numbering lock of the data
// directory it gets the lowest free number of its report prefix, the
// history line history2(format, arg1, arg2) (the creation line) and is
// written with its index line (writeBug). `shown`, when given, receives the
// record as it was just before the write. The result of writeBug (1), or a
// negative value with nothing stored: kStoreBusy when the numbering or the
// index lock was not had within a few seconds, -3 when the index could not
// be written, -1 otherwise. Every writer of new reports should come here,
// so that two of them never take one number.
constexpr int kStoreBusy = -2;
int storeNewBug(tHeader& bug, const std::string& format, const std::string& arg1,
                const std::string& arg2, tHeader* shown = nullptr);
