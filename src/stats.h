// stats.h: Statistics: the daily update and the statistics pages.
#pragma once

#include <string>

#include "velko.h"

void statistics(tArgList& list);
void checkStatsDate();
