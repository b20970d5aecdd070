// setup.h: installation, configuration editors and upgrade.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

void setup(tArgList& list);
// 0 when the main configuration file exists and opens; 1 when its path is
// empty, 2 when it cannot be opened (a page saying so has been printed).
int checkCfg(tArgList& list);
// Creates the data folders that are missing: Tests/, tmp/, Synchro/ and its
// in/ and out/ folders.
void upgrade();
// mkdir with mode 0755; true when the folder exists afterwards.
bool makeDir(const std::string& path);
