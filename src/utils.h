// utils.h: the report store (report files, the index, the global history)
// and the time and URL helpers.
#pragma once

#include "velko.h"

// Administration from the command line: "velko --reindex", "velko --check".
int runAdminCommand(int argc, char** argv);
