// velko.h: the front end, and the map of the whole program.
//
// One process serves one web request: the front end decodes the request
// into an argument list, runs the handlers that the arguments ask for, each
// rendering into the request's page, sends the page, and only then carries
// out the effects queued meanwhile (notification mail, synchronisation,
// the daily pass, the mailbox fetch), outside every lock.
//
// Layers. A module calls only modules below it: of a lower layer, or of its
// own layer listed before it. No circles. tests/check_source.sh holds the
// same order and checks it on the object files of every build.
//
//   0  text      strprintf, the "absent" rule, UTF-8-safe cutting
//      html      tPage, the page in memory; one escaping function per context
//      svgchart  a line chart as inline SVG (the statistics graphs)
//      fileio    tFd, replaceFile, tFileLock, lock directories, print command
//      sha256    digests and HMAC of the session identifier
//      timeutil  dates of the forms and of the stored formats
//      uucode    the encoded block of a file sent to another site
//   1  request   the request context: arguments, page, queued effects, the
//                modules' per-request state
//      names     enumerations, the report record, report names
//      config    main file, directories, list files, users, language table,
//                selection lists
//      args      request decoding (query, form body, multipart)
//   2  utils     the store: report files, index codec and iterator, numbering,
//                report locks, history.dat; the only code that opens them
//      statsfile the statistics files, the daily count of the index, the
//                marker of the daily pass
//      tutils    the test book store: modules, steps, tests, campaigns and
//                results; the only code that opens the book's files
//      admin     velko --check and --reindex
//   3  session   identifier, signature, rights; no page output
//   4  mails     recipients, SMTP and POP3 clients, notification delivery
//      synchro   exchange between sites
//   5  frame     page head, start page, login page, cookie scripts
//      display   report body and printout
//      mchange, create, edit    forms and their application
//      attach    attached files: the form, the upload put in place, the
//                download
//      actions   the one action table, the action bar, the report page,
//                running an action (lock, apply, queue the mail)
//      search    the report lists
//      cfgedit   the configuration editors, their saves and result pages
//      setup     the setup pages' entry, the installation wizard, the upgrade
//                of the data folders
//      stats     the statistics pages and graphs; the daily pass with the
//                wake-up of postponed reports and their mail
//      history, help   the other pages
//      bcreate   the book tree pages (modules, steps, tests) and the pieces
//                every test book page shares
//      tdisplay  test campaigns: the campaign page, campaign creation, the
//                campaign views, the pass form and the recording of results
//      tstats    the statistics of a campaign
//      bprint    the printouts of the book and of a campaign's results
//      bdisplay  the test book's entry point, its table of operations and
//                the book page
//   6  velko     main: dispatch from the action table, sending the page,
//                then the queued effects outside every lock
#pragma once

#include "args.h"
#include "names.h"

// The whole life of one request (or of an administration command).
int velkoMain(int argc, char** argv);
