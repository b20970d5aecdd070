// bdisplay.h: the entry point of the test book and its main page.
//
// CMD=book (writing the book) and CMD=tests (campaigns and results) both
// come to testBook, which starts the page and runs the operation that the
// numeric argument "book" names on that side (the table in bdisplay.cpp);
// without a known code it shows the side's main page: the book page
// (doBookDisplay) or the campaign page. Operations that change files need a
// session when security is on.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void testBook(tArgList& list);
// The book page: project, group and phase choices, then the modules, steps
// and tests of the book with their buttons.
void doBookDisplay(tArgList& list);
