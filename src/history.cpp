#include "history.h"
#include "frame.h"

void displayHistory(tArgList& list) {
  (void)list;
  printNotAvailable("displayHistory");
}
