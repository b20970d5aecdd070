#include "help.h"

#include "config.h"
#include "frame.h"

void displayHelp(tArgList& list) {
  tPage& page = request().page;
  printHead(page, "HELP", nullptr, &list);
  page.markup("<H1>VELKO ").text(langue(3006)).markup("</H1>\n");
  printErr(506);
}
