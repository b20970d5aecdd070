#include "search.h"

void listdisp(tArgList& list) {
  (void)list;
  printNotAvailable("listdisp");
}

void findbug(tArgList& list) {
  (void)list;
  printNotAvailable("findbug");
}
