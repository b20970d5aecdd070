// synchro.h: Site synchronisation by mail.
#pragma once

#include <string>

#include "velko.h"

void setupSynch();
