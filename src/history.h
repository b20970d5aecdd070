// history.h: The history page.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void displayHistory(tArgList& list);
