#include "help.h"
#include "display.h"

void displayHelp(tArgList& list) {
  (void)list;
  printNotAvailable("displayHelp");
}
