// edit.h: changes to a report outside the status workflow, each a row of
// the action table (actions.h) whose page shows the form or applies it:
//   Change_Header  the header fields; a new group or phase may give the
//                  report a new prefix, and so a new name and number
//   Edit           the title and text of one entry (argument Edit: its
//                  position in the report's whole entry list, from 0)
//   Copy           a second report, in another project, group or module
// The store numbers a renamed report and a copy under its numbering lock;
// their history lines name the numbers they were stored under.
#pragma once

#include <string>

#include "html.h"
#include "names.h"
#include "request.h"

// The form of action `act` (E_Change_Header, E_Edit or E_Copy) for report
// `bug` named `num` (the page writes the FORM element and the hidden CMD,
// Num and QS around it).
void editForm(tPage& page, tAction act, const tHeader& bug, const std::string& num,
              const tArgList& list);

// Applying the forms: checks first (a refusal shows its error box and
// changes nothing), then the change is stored; `bug` becomes the report
// the page shows below (after a rename or a copy, the new report). True
// when the change was stored.
bool doEditHead(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doEditAnalyse(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
bool doCopy(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);

// The refusal of a change the store could not save (`rc` the negative
// result of writeBug or storeNumberedBug, `num` the report): text 520 with
// the reason.
void saveRefused(tPage& page, int rc, const std::string& num);

// The text of an entry as the entry form shows it: every line feed that
// ends a carriage return and line feed pair left out (the browser sends the
// pairs back), a line feed alone kept, so that no line is joined.
std::string entryFormText(const std::string& text);
