#include "help.h"

void displayHelp(tArgList& list) {
  (void)list;
  printNotAvailable("displayHelp");
}
