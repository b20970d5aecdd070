// bdisplay.h: The test book pages.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void testBook(tArgList& list);
