#include "synchro.h"

#include <cstdio>

#include "config.h"
#include "fileio.h"

void SendSynchFile(const std::string& name, const std::string& project, tSychType synch) {
  (void)name;
  (void)project;
  (void)synch;
}

void setupSynch() {}

int getNewNumber(const std::string& project) {
  const std::string dir = getSynchDir() + "/out/" + project + "/";
  if (!lockDir(dir, 10)) return -1;
  const std::string file = dir + "sent.txt";
  int counter = 0;
  if (FILE* f = fopen(file.c_str(), "rb")) {
    if (fscanf(f, "%d", &counter) != 1) counter = 0;
    fclose(f);
  }
  ++counter;
  // Replaced through a temporary name (not beginning with "lock"), so that
  // a crash never leaves the counter empty.
  replaceFile(file, std::to_string(counter));
  unlockDir(dir);
  return counter;
}
