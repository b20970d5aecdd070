// help.h: The help page.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void displayHelp(tArgList& list);
