#include "history.h"
#include "display.h"

void displayHistory(tArgList& list) {
  (void)list;
  printNotAvailable("displayHistory");
}
