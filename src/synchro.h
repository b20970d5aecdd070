// synchro.h: site synchronisation by mail.
//
// Every changed report, new attachment and saved per-project configuration
// file of a synchronised project goes to the other installations of the
// project (the addresses of the fourth field of "project.cfg"), one
// encoded block (uucode.h) per mail, numbered per project. The main page's
// pass (setupSynch, after the page) fetches the mailbox, imports what came,
// acknowledges it, asks again for what is missing and clears old files.
//
// Folders under the synchronisation directory:
//   out/<project>/s<n>.txt   the outgoing message n (5 digits or more),
//                            kept until every destination acknowledged it
//                            or 30 days; sent again every SYNCHRETRY seconds
//                            while unacknowledged (acknowledgements and
//                            requests are never sent again unasked)
//   out/<project>/s<n>.ack   the hosts that acknowledged message n; its
//                            time is that of the last sending
//   out/<project>/sent.txt   the counter of the messages sent (never reset,
//                            so that a peer never takes a new message for an
//                            old one)
//   in/<project>/<host>/     the messages of one sending host: s<n>.txt
//                            received, s<n>.dat processed (removed after a
//                            day), and "state": the last number seen and the
//                            numbers missing, each with how often and when it
//                            was last asked for
//   in/<project>/s<n>.txt    a message whose sending host could not be read
//   in/                      the lock directory of the receiving work
//
// Acknowledgements and requests name the message meant as "<host>:s<n>.txt"
// with the host of its sender, as that site's type lines give it (the plain
// "s<n>.txt" of older peers means a message of the receiver).
#pragma once

#include <string>

#include "names.h"
#include "request.h"
#include "uucode.h"

// Sends the file `name` (a path; for S_ACK and S_REQUEST the argument) of
// kind `synch` to the other installations of `project`.
void SendSynchFile(const std::string& name, const std::string& project, tSychType synch);

// The receiving and cleaning pass of the main page (see above).
void setupSynch();

// This site's host name in type lines: HOSTNAME, else the machine's name.
std::string synchHostName();

// The names of "<synch dir>/<inout>/<project>/" that do not begin with ".",
// in byte order.
tCharList getSynchFileList(const std::string& inout, const std::string& project);

// Splits the argument of an acknowledgement or a request: "s<digits>.txt",
// with or without "<host>:" in front. False for anything else (".." or a
// '/' in the host included).
bool parseSynchArgument(const std::string& arg, std::string* host, int* number);

// ---------------------------------------------------------------------------
// Message numbers
// ---------------------------------------------------------------------------

// The next number of the outgoing synchronisation messages of `project`
// ("<synch dir>/out/<project>/sent.txt", under the lock of that directory
// with a waiting time of 10 seconds); 1 for the first message. -1 when the
// lock could not be had (the counter is then unchanged).
int getNewNumber(const std::string& project);
