// help.h: The help page.
#pragma once

#include <string>

#include "velko.h"

void displayHelp(tArgList& list);
