// edit.h: Editing and copying of reports.
#pragma once

#include <string>

#include "velko.h"

void editBug(tAction act, tArgList& list);
