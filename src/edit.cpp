#include "edit.h"
#include "frame.h"

void editBug(tAction act, tArgList& list) {
  (void)act;
  (void)list;
  printNotAvailable("editBug");
}
