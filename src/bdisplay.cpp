#include "bdisplay.h"

#include "frame.h"

void testBook(tArgList& list) {
  (void)list;
  printNotAvailable("testBook");
}
