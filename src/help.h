// help.h: the help command. The real help pages are static files linked
// from the start page; this page only says so.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

// Page head titled "HELP", the heading "VELKO" and language text 3006, and
// the box of language text 506.
void displayHelp(tArgList& list);
