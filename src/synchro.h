// synchro.h: site synchronisation by mail: the messages to the other
// installations of a project and their numbering.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

// The kinds of synchronisation message; in an encoded block each is one
// letter, 'a' for S_UNKNOWN.
enum tSychType {
  S_UNKNOWN = 0,  // no type line was found; never sent
  S_FFT = 1,      // a report file
  S_CONFIG = 2,   // a configuration file
  S_ATTACH = 3,   // an attached file
  S_ACK = 4,      // acknowledges a received message
  S_REQUEST = 5,  // asks again for a missing message
};

// Sends the file `name` (a path) of kind `synch` to the other installations
// of `project`. Queuing is not part of this build yet: nothing is sent.
void SendSynchFile(const std::string& name, const std::string& project, tSychType synch);

void setupSynch();

// ---------------------------------------------------------------------------
// Message numbers
// ---------------------------------------------------------------------------

// The next number of the outgoing synchronisation messages of `project`
// ("<synch dir>/out/<project>/sent.txt", under the lock of that directory
// with a waiting time of 10 seconds); 1 for the first message. -1 when the
// lock could not be had (the counter is then unchanged).
int getNewNumber(const std::string& project);
