#include "create.h"

void displayCreate(tArgList& list) {
  (void)list;
  printNotAvailable("displayCreate");
}

void createNewBug(tArgList& list) {
  (void)list;
  printNotAvailable("createNewBug");
}
