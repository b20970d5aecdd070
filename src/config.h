// config.h: the configuration of an installation.
//
// The main file "velko.cfg" (found in "<base>/config/", base being $PWD or
// the directory of the executable) holds the directories and settings; the
// configuration directory (CONFIGDIR) holds the list files of the projects,
// phases, groups and users, the language tables and the users' remembered
// choices. Values are read on first use and kept for the request (in slots
// of the request context, so resetRequest() forgets them all).
#pragma once

#include <string>
#include <vector>

#include "names.h"
#include "request.h"

struct tHeader;

// ---------------------------------------------------------------------------
// Main configuration file and directories
// ---------------------------------------------------------------------------

// "<base>/config": base is $PWD when set, else the directory part of
// $SCRIPT_FILENAME (empty when it has no '/' or '\').
std::string getMainCfgDir();
// The main configuration file, getMainCfgDir() + "/velko.cfg".
std::string getCfgFile();
// The value of `key` in the main configuration file, "" when absent or when
// the file cannot be read (a failure sets the page's header unless one is
// set, and writes diagnostic comments into the page). The last occurrence
// wins.
std::string getCfgKey(const std::string& key);

// DATADIR, CONFIGDIR, IMGDIR: read once per request, also when empty.
const std::string& getDataDir();
const std::string& getCfgDir();
const std::string& getImgDir();
// getDataDir() + "/Stats/" and getDataDir() + "/Synchro/".
const std::string& getStatsDir();
const std::string& getSynchDir();
// 1 when SECURITY is exactly "YES", else 0; read once.
int useSecurity();

// ---------------------------------------------------------------------------
// Projects, phases, groups and users (list files of CONFIGDIR)
// ---------------------------------------------------------------------------

// Project names of "project.cfg" (every line holding a ':'), in reverse
// file order; only `proj` when it is neither empty nor " ".
tCharList getProjects(const std::string& proj);
// True when `proj` is a project of "project.cfg" (a line holding a ':').
bool isConfiguredProject(const std::string& proj);
// "<CONFIGDIR>/<project>_<cfgname>.cfg" for every project of getProjects(proj)
// that is configured.
tCharList getCfgFileNames(const std::string& proj, const std::string& cfgname);
// Fields 1 to 4 of the project's line of "project.cfg", "" when none.
std::string getProjectPrefix(const std::string& project);
std::string getBugManager(const std::string& project);
std::string getValidManager(const std::string& project);
std::string getProjectSynchro(const std::string& project);

// Phases of "phase.cfg" (name ':' letter), numbered from 0.
std::string getPhaseName(int phase);
char getPhasePrefix(int phase);
int getPhaseCount();
// The first phase with letter `pref`, the number of phases when none.
int getPrefixPhasePrefix(char pref);

// Groups of "<project>_subproject.cfg" (name ':' prefix); "_" when none.
std::string getGroupPrefix(const std::string& proj, const std::string& group);
std::string getPrefixGroup(const std::string& proj, const std::string& prefix);
tCharList getSubProjects(const std::string& proj, const std::string& group);

// Report prefix: project prefix, phase letter, group prefix. Report name:
// prefix "." five-digit number.
std::string getBugPrefix(const std::string& project, const std::string& group, int phase);
std::string getBugPrefix2(const tHeader& bug);
std::string getBugName(const tHeader& bug);

// One line of a project's users file. Both forms occur:
// "name :e-mail:password:flag:...:flag" and "name:e-mail:password:...".
// The name ends at the first blank, tab or ':'; the e-mail address runs
// from the first ':' to the next ':', blank or line end; the password
// follows the next ':'; then the seven flag columns ("YES" or blank), one
// per right in the order of tAccess (flags[0] is C_View).
struct tUserEntry {
  std::string name;
  std::string email;
  std::string password;
  std::string flags[7];
};
bool parseUserLine(const std::string& line, tUserEntry* user);
// The users of `proj` (of every project when empty or " "), in file order.
std::vector<tUserEntry> getUsers(const std::string& proj);

// The machine's remembered choices ("userinfo.dat", one line per REMOTE_ADDR).
struct tUserInfo {
  std::string name;
  std::string project;
  std::string group;
  int phase = -1;
};
std::string getUserHost();
const tUserInfo* getUserInfo();  // null when the machine has no line
std::string getUser();           // the remembered name, else REMOTE_USER
std::string getUserProject();    // " " when none
std::string getUserGroup();      // "" when none
int getUserPhase();              // -1 when none
// Records the machine's choices (read-modify-rename under a lock); false
// when the file could not be rewritten.
bool setUserInfo(const std::string& name, const std::string& project, const std::string& group,
                 int phase);
bool setUserName(const std::string& name);

// ---------------------------------------------------------------------------
// Language table and names
// ---------------------------------------------------------------------------

// Text `num` of "<CONFIGDIR>/langue.<code>", "" when there is none.
const std::string& langue(int num);
// Texts named where several modules use them.
constexpr int kTextNotRemembered = 527;  // the action saved, the choices not remembered
constexpr int kTextUnknownProject = 529;  // "%s" is no configured project
// Loads the language table (langue does so on first use); false, after a
// diagnostic comment, when the file cannot be read: langue then tries again
// at its next call. The code is the first word of LANGUAGE, "FR" when empty.
bool initLangue();
const std::string& getStatusName(int st);
const std::string& getSeverityName(int st);
const std::string& getTypeName(int st);
const char* getStatusShort(int st);
const std::string& getImpactName(int impact);
// The error box with text `num`, into the request's page; printErr1 uses
// text `num` as a format for `arg`. Texts and argument are escaped.
void printErr(int num);
void printErr1(int num, const std::string& arg);

// ---------------------------------------------------------------------------
// Selection lists: OPTION lines into the request's page, their texts
// escaped; the caller writes the SELECT element.
// ---------------------------------------------------------------------------

void optionList(const std::string& filename, const std::string& match);
void optionListProject(const std::string& match);
void optionListSubProject(const std::string& proj, const std::string& match);
void optionListProgram(const std::string& proj, const std::string& match);
void optionListVersion(const std::string& proj, const std::string& match);
void optionListDeadline(const std::string& proj, const std::string& match);
void optionNumList(const std::string& fileName, int match);
void optionListPhase(int match);
void optionListImpact(int match);
void optionListSeverity(int match);
void optionListProblemType(int match);
void optionListUsers(const std::string& proj, const std::string& match);
void optionListExclDeadline(const std::string& proj);
