#include "bdisplay.h"

#include "display.h"

void testBook(tArgList& list) {
  (void)list;
  printNotAvailable("testBook");
}
