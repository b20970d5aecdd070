// edit.h: Editing and copying of reports.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void editBug(tAction act, tArgList& list);
