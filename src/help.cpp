#include "help.h"
#include "frame.h"

void displayHelp(tArgList& list) {
  (void)list;
  printNotAvailable("displayHelp");
}
