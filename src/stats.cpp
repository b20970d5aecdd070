#include "stats.h"

void statistics(tArgList& list) {
  (void)list;
  printNotAvailable("statistics");
}

void checkStatsDate() {}
