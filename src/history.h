// history.h: the history page, the installation's "history.dat" shown day
// by day in a frame set (a title frame, the list of days on the left, the
// lines of the chosen day on the right).
#pragma once

#include <string>
#include <string_view>

#include "html.h"
#include "names.h"
#include "request.h"

// The command "history": by the argument `text`, the frame set (absent),
// the title frame ("TOP"), the list of days ("LEFT"), or the lines of the
// day it names (anything else; a text that is not a day "%Y/%m/%d" shows a
// day without lines).
void displayHistory(tArgList& list);

// Writes `text` escaped, its first keyword in colour: the keywords are
// language texts 2600 to 2608 (attachment, new, submitted, rejected,
// verified, corrected, not a bug, "(OK)", "(NOK)"), tried in that order;
// the first that occurs is coloured at its first occurrence. Only one
// keyword is coloured per text.
void emphasize(tPage& page, std::string_view text);
