// mchange.h: The status workflow and attachments.
#pragma once

#include <string>

#include "velko.h"

void modeBug(tAction act, tArgList& list);
void getDataFile(tArgList& list);
