#include "bdisplay.h"

void testBook(tArgList& list) {
  (void)list;
  printNotAvailable("testBook");
}
