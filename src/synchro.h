// synchro.h: Site synchronisation by mail, and the locks and numbering that
// report creation and synchronisation share.
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
// Lock directories
// ---------------------------------------------------------------------------


// The next number of the outgoing synchronisation messages of `project`
// ("<synch dir>/out/<project>/sent.txt", under the lock of that directory
// with a waiting time of 10 seconds); 1 for the first message. -1 when the
// lock could not be had (the counter is then unchanged).
int getNewNumber(const std::string& project);

// ---------------------------------------------------------------------------
// Report numbers
// ---------------------------------------------------------------------------

// The lowest number n >= 1 for which the data directory holds no report file
// "<debut>.<n on 5 digits>". The number is reserved by creating that file
// (empty, exclusively), so two requests never get the same number; the
// report written later replaces the empty file.
int findNextNum(const std::string& debut);
// The same, from `from` on (for a report that changes its prefix).
int reserveBugNumber(const std::string& debut, int from);
