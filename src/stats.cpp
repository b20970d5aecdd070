#include "stats.h"
#include "display.h"

void statistics(tArgList& list) {
  (void)list;
  printNotAvailable("statistics");
}

void checkStatsDate() {}
