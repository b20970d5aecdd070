#include "history.h"

void displayHistory(tArgList& list) {
  (void)list;
  printNotAvailable("displayHistory");
}
