// setup.h: the setup pages (CMD=setup), the installation wizard and the
// upgrade of the data folders.
//
// A fresh installation has no main configuration file: the main page then
// shows the wizard's first page (checkCfg), whose form runs the
// installation (doMainSetup: the directories, the default configuration
// files, the main file written twice and replaced by a symbolic link to its
// copy in the configuration directory); then the wizard leads through the
// editor of every configuration file (cfgedit.h), each step saving the
// form of the step before. Wizard steps travel as "CMD" setup, "Edit" 12
// and "Wizzard" 1 to 11.
//
// Who may use the setup: before the installation (no main file) the
// wizard alone, without a session; afterwards, with security on, every
// setup page needs a session with the configuration right, and a save (a
// wizard step too) needs a session that the request itself carries. A
// fresh installation that asks for authentication runs its wizard with
// authentication off (nobody has a password yet): the users step makes the
// first user able to configure and, then, requires its password, and the
// last step switches authentication on once some user has a password and
// the configuration right.
#pragma once

#include <string>

#include "names.h"
#include "request.h"

// CMD=setup: the menu, an editor, a save, or a step of the wizard ("Edit").
void setup(tArgList& list);
// 0 when the main configuration file exists and opens; 1 when its path is
// empty, 2 when it cannot be opened: the wizard's first page has then been
// printed.
int checkCfg(tArgList& list);
// The wizard step named by "Wizzard".
void wizzard(tArgList& list);
// Step 1, the installation, from the fields of the first form.
void doMainSetup(tArgList& list);
// Creates the data folders that are missing: Tests/, tmp/, Synchro/ and its
// in/ and out/ folders.
void upgrade();

// Parts of the installation, each printing its table row or message.
// Creates `dir` and its missing parents, one row per directory, parents
// first; 0 on success (an existing directory counts).
int createDir(const std::string& dir);
// Creates "<dir>/<fil>.cfg" empty (a file that held something is kept as
// "<name>.bak"); 0 on success, 1 on failure.
int createFile(const std::string& dir, const std::string& fil);
// Appends `txt` and a line feed to the file of number `fil` in `dir`; 0 on
// success. addf2 appends txt1 and txt2 joined.
int addf(const std::string& dir, int fil, const std::string& txt);
int addf2(const std::string& dir, int fil, const std::string& txt1, const std::string& txt2);
// `dir` with a final "/".
void checkLastDirChar(std::string* dir);
// Moves the default file of number `fil` to the first project's name (the
// cell V0_0 of the submitted project table); an existing file of that name
// is kept as "<name>.bak".
void renameDefaultFile(tArgList& list, int fil);
