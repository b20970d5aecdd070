// history.h: The history page.
#pragma once

#include <string>

#include "velko.h"

void displayHistory(tArgList& list);
