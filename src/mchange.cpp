#include "mchange.h"

void modeBug(tAction act, tArgList& list) {
  (void)act;
  (void)list;
  printNotAvailable("modeBug");
}

void getDataFile(tArgList& list) {
  (void)list;
  printNotAvailable("getDataFile");
}
