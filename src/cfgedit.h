// cfgedit.h: the configuration editors: the setup menu, one editor page per
// configuration file, the save handlers that write the files back and the
// result pages that show what was saved. The installation wizard (setup.h)
// drives the same editors and save handlers one file after the other.
//
// Files are numbered by setupName (the request argument "Edit"):
//   1 velko.cfg (named fields)      6 PROJ_version.cfg (text area)
//   2 project.cfg (table, 5 cols)   7 PROJ_deadline.cfg (text area)
//   3 PROJ_subproject.cfg (table)   8 impacts.cfg (text area)
//   4 PROJ_program.cfg (text area)  9 PROJ_users.cfg (table, 10 cols)
//   5 phase.cfg (table, 2 cols)    10 sendmail.cfg (check-box grid)
// Per-project files (3, 4, 6, 7, 9) show one form per project; a saved one
// is queued for the other installations of its project (SendSynchFile).
//
// An editor form carries "CMD" setup, "Edit" (12 and "Wizzard" inside the
// wizard, whose next step saves it), "project" and a field "text" of two
// characters or more, which makes its submission a save. Table cells are
// "V<column>_<row>" with the number of rows in "LINES".
//
// Every save goes through the configuration writers of config.h (a unique
// temporary name renamed over the file, under the folder's lock); values
// cannot add lines or keys to a file. The users table shows whether a user
// has a password, never the password: one typed there is stored as a
// crypt(3) hash, and a row saved without one keeps the stored password. A
// rights box left unticked is written "NO", which the rights check refuses
// (a blank flag grants). The POP3 password is never printed back.
#pragma once

#include <string>

#include "config.h"
#include "request.h"

// The file names by number; entries 0 and 11 are empty.
constexpr int kSetupFileCount = 12;
extern const char* const setupName[kSetupFileCount];
// The "Edit" value that runs the installation wizard.
constexpr int kWizardEdit = 12;

// The setup menu (configuration right needed, text 516 otherwise).
void setupDisplay(tArgList& list);
// One menu row: the label `disp` linking to the editor of file `file`, and
// the file's description.
void makeLink(const std::string& disp, int file);
// A row with a reset button and a submit button labelled `ok`.
void resetSubmit(const std::string& ok);
// The label cell of a named field: language text `lang`, or `name` when
// that text is empty.
void printItem(int lang, const std::string& name);

// Editors. `wizz` is 0 outside the wizard, otherwise the wizard step that
// the form leads to. `init` (the wizard's first form) proposes values for
// an installation that has no main file yet.
void editVelkoFile(int init, tArgList& list);
void editFile(int file, int wizz);
void editTableFile(int file, int wizz);
void editSimpleFile(int file, int wizz, const std::string& name, const std::string& fileName,
                    const std::string& proj);
void editSimpleTableFile(int file, int wizz, const std::string& name,
                         const std::string& fileName, const std::string& proj);
void editSendmailFile(int wizz);

// Save handlers: true when the file was written (or, inside the wizard,
// when the request carries no form to save). Outside the wizard they show
// the result; a refusal is an error box and nothing changes.
bool doVelkoFile(tArgList& list);
bool doFile(int file, tArgList& list);
bool doTableFile(int file, tArgList& list);
bool doSendmailFile(int file, tArgList& list);

// Result pages, given the path of the saved file.
void printFile(const std::string& name);
void printTableFile(int file, const std::string& name);
void printSendmailFile(int file, const std::string& name);

// The number of line reads until the end of the file: n + 1 for n lines,
// 0 for a missing file.
int countLines(const std::string& fileName);
// Creates directory `dir` with mode 0755; `*err` receives errno (0 on
// success). 0 on success, as mkdir.
int makeDir(const std::string& dir, int* err);

// The main file's values from the fields of its form ("data", "cfg",
// "img", "prt", "mel", "hst", "lang", "sec", "PERSIST", "pop", "popU",
// "popP", "dom", "www"); an empty POP3 password keeps the stored one (the
// placeholder "*" when there is none).
tVelkoCfg velkoCfgFromArgs(const tArgList& list);
// The hidden fields of a setup form: CMD, the session identifier (security
// on), and Wizzard and Edit 12 (wizz > 0) or Edit `file`.
void setupFormFields(int file, int wizz);

// A fresh installation that asked for authentication runs the wizard with
// authentication off; this marker in the configuration directory holds the
// request until the wizard's last step switches it on.
std::string wizardSecurityMarker();
bool wizardSecurityPending();
// True when a flag of a users file grants its right: empty, blank, or
// beginning with "Y".
bool userFlagGrants(const std::string& flag);
