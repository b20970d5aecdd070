// search.h: The report list and search.
#pragma once

#include <string>

#include "velko.h"

void listdisp(tArgList& list);
void findbug(tArgList& list);
