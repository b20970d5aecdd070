#include "stats.h"
#include "frame.h"

void statistics(tArgList& list) {
  (void)list;
  printNotAvailable("statistics");
}

void checkStatsDate() {}
