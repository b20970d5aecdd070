// display.h: The page frame, the start page, the report page and its printout.
#pragma once

#include <string>

#include "velko.h"

void maindisp(tArgList& list);
void printBug(const std::string& num);
