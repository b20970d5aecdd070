#include "edit.h"
#include "display.h"

void editBug(tAction act, tArgList& list) {
  (void)act;
  (void)list;
  printNotAvailable("editBug");
}
