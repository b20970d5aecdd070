// create.h: Report creation: the creation form and the creation of a report.
#pragma once

#include <string>

#include "velko.h"

void displayCreate(tArgList& list);
void createNewBug(tArgList& list);
