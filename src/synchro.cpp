#include "synchro.h"

void setupSynch() {}
