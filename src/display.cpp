#include "display.h"

void maindisp(tArgList& list) {
  (void)list;
  printNotAvailable("maindisp");
}

void printBug(const std::string& num) {
  (void)num;
  printNotAvailable("printBug");
}
