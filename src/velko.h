// velko.h: the front end, and the map of the whole program.
//
// One process serves one web request: the front end decodes the request
// into an argument list, runs the handlers that the arguments ask for, each
// rendering into the request's page, sends the page, and only then carries
// out the effects queued meanwhile (notification mail, synchronisation,
// the daily pass, the mailbox fetch), outside every lock.
//
// Layers. A module calls only modules of a lower layer (or of its own layer
// listed before it); no circles. tests/check_source.sh keeps this true.
//
//   0  text, html, fileio, timeutil, sha256   strings, the page object and
//                                             escaping, file replacement and
//                                             locks, dates, HMAC
//   1  request, names, config, args          request context, vocabulary,
//                                             configuration and language,
//                                             request decoding
//   2  utils (store), admin                  report files, index, history,
//                                             numbering; --check, --reindex
//   3  session                               identifier, signature, rights
//   4  mails, synchro                        recipients, SMTP and POP3,
//                                             site exchange
//   5  frame, display, mchange, create,      pages, rendered into tPage;
//      edit, actions, search, the others     actions: the one action table
//   6  velko                                 main, dispatch, sending
#pragma once

#include "args.h"
#include "names.h"

// The whole life of one request (or of an administration command).
int velkoMain(int argc, char** argv);
