// bdisplay.h: The test book pages.
#pragma once

#include <string>

#include "velko.h"

void testBook(tArgList& list);
