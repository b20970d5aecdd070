// stats.h: Statistics: the daily update and the statistics pages.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void statistics(tArgList& list);
void checkStatsDate();
