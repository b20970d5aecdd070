// setup.cpp: the entry point of the setup pages, the installation wizard,
// the installation itself and the upgrade of the data folders.
#include "setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "args.h"
#include "cfgedit.h"
#include "config.h"
#include "fileio.h"
#include "frame.h"
#include "html.h"
#include "mails.h"
#include "session.h"
#include "text.h"

namespace {

constexpr const char* kGrey = "#C0C0C0";

// Language texts of the installation.
constexpr int kTextFileError = 501;
constexpr int kTextNoConfigRight = 516;
constexpr int kTextBadValue = 561;       // "%s": a key whose value cannot be written
constexpr int kTextNotAbsolute = 562;    // "%s": a directory that is no absolute path
constexpr int kTextSelfLink = 563;       // "%s": the configuration directory
constexpr int kTextSecurityLater = 2723;
constexpr int kTextSecurityOn = 2724;
constexpr int kTextSecurityOff = 2725;

// The default mail rules of an installation, by action (getAction order):
// each role letter preceded by one blank.
const char* const kDefaultRoles[18] = {" M V", " M",   " s",     " M a", "",     " a",
                                       " a",   " M s", " M s",   " s",   " s",   " M V",
                                       " v",   " M V c", " M V", " M s", " M a", " M a"};

const std::string& textOrFallback(int num, const std::string& fallback) {
  const std::string& t = langue(num);
  return t.empty() ? fallback : t;
}

const char* scriptName() {
  const char* s = getenv("SCRIPT_NAME");
  return s ? s : "";
}

bool mainCfgReadable() {
  const std::string path = getCfgFile();
  tFd fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.ok();
}

// An error box of the installation with text `num` filled with `arg`.
// Before the main file exists no language file can be read: the built-in
// text is shown then.
void installError(int num, const char* builtIn, const std::string& arg) {
  if (mainCfgReadable() && !langue(num).empty()) {
    printErr1(num, arg);
    return;
  }
  std::string message = builtIn;
  const size_t at = message.find("%s");
  if (at != std::string::npos) message.replace(at, 2, arg);
  request().page.errorBox("Error", message);
}

void hiddenField(tPage& page, const char* name, const std::string& value) {
  page.markup("<INPUT TYPE=hidden NAME=\"").attr(name).markup("\" VALUE=\"").attr(value);
  page.markup("\">\n");
}

// The welcome and the main file's form: the wizard's first page.
void firstPage(tPage& page, tArgList& list, bool fresh) {
  page.markup("<UL><UL><UL><UL>\n");
  if (fresh) page.markup("<P>This is your first installation of VELKO.\n");
  page.markup("<P>Welcome to the VELKO Setup Wizzard !\n"
              "<P>Please give a few basic information on where do\n"
              "you want to install the software files and then we\n"
              "will go over all the configuration files to see if\n"
              "You want to change them.\n"
              "<P>You are free to leave the dafault values, you\n"
              "will always have the chance to change them later.\n"
              "<P>\n"
              "</UL></UL>\n");
  page.markup("<TABLE BORDER=1 WIDTH=80%><TR><TD ALIGN=CENTER>\n");
  editVelkoFile(1, list);
  page.markup("</TD></TR></TABLE>\n</UL></UL>\n");
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameFolder(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool sameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when linking `mainFile` to `target` would make the main file a link
// to itself, or replace the only copy of its text: the target is the main
// file, or leads to it through links.
bool linksToItself(const std::string& mainFile, const std::string& target) {
  struct stat m, t;
  if (::lstat(mainFile.c_str(), &m) != 0) return false;
  if (!S_ISLNK(m.st_mode)) return ::stat(target.c_str(), &t) == 0 && sameEntry(m, t);
  std::string p = target;
  for (int hops = 0; hops < 16; ++hops) {
    struct stat l;
    if (::lstat(p.c_str(), &l) != 0) return false;
    if (sameEntry(l, m)) return true;
    if (!S_ISLNK(l.st_mode)) return false;
    const std::string next = cfgWriteTarget(p);
    if (next == p) return true;  // a circle of links
    p = next;
  }
  return true;
}

// A mail domain usable in the default user's address.
std::string defaultDomain(const std::string& dom) {
  if (dom.empty() || dom.size() > 64) return "localhost";
  for (char c : dom)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return "localhost";
  return dom;
}

// Appends lines to the file of number `fil` in `dir` in one replacement;
// 0 on success, after the red line that says why otherwise.
int appendLines(const std::string& dir, int fil, const std::vector<std::string>& lines) {
  const std::string path = strprintf("%s/%s.cfg", dir.c_str(), setupName[fil]);
  const tCfgWrite r = updateCfgFile(path, [&](const std::string* old, std::string* text) {
    if (old) *text = *old;
    for (const std::string& l : lines) *text += l + "\n";
    return true;
  });
  if (r == kCfgWritten) return 0;
  tPage& page = request().page;
  if (r == kCfgNotWritten)
    page.markup("<P><Font COLOR=Red>Problem closing ").text(path).markup("</Font>\n");
  else
    page.markup("<P><Font COLOR=Red>Problem Writing data to ").text(path).markup("</Font>\n");
  return 1;
}

// The users line of `user` in project `project`, as a users file holds it;
// "" when there is none.
std::string userLine(const std::string& user, const std::string& project) {
  for (const tUserEntry& u : getUsers(project)) {
    if (u.name != user) continue;
    std::string line = u.name + " :" + u.email + ":" + u.password;
    for (const std::string& f : u.flags) line += ":" + f;
    return line;
  }
  return std::string();
}

// The default configuration, file by file; true when all was written. The
// default user is "admin", or `keep` (the line of the user who runs the
// installation again, so that a session can still be had afterwards).
bool writeDefaults(const std::string& cfg, const std::string& dom, const std::string& keep) {
  const std::string admin = keep.empty() ? "admin" : keep.substr(0, keep.find(' '));
  const std::vector<std::pair<int, std::vector<std::string>>> files = {
      {2, {"TEST:T:" + admin + ":" + admin}},
      {3, {"phase 1:10"}},
      {4, {"general", "install", "unknown"}},
      {5,
       {"specification:S", "developpement:D", "integration_usine:i", "integration_site:t",
        "validation_usine:u", "validation_site:v", "recette_usine:r", "recette_site:s", "VABF:F",
        "VSR:f", "test_unitaire:U"}},
      {6, {"v1", "v2"}},
      {7, {"v1", "v2"}},
      {8, {"Usability", "Functional", "Robustness", "Performance"}},
      {9, {keep.empty() ? admin + " :" + admin + "@" + defaultDomain(dom) : keep}},
  };
  for (const auto& f : files)
    if (appendLines(cfg, f.first, f.second)) return false;
  std::vector<std::string> rules;
  for (int i = 0; i < 18; ++i) rules.push_back(std::string(getAction(i)) + kDefaultRoles[i]);
  return appendLines(cfg, 10, rules) == 0;
}

// The language files that came with the installation (in the main
// configuration directory) are copied into a configuration directory that
// has none.
void copyLanguageFiles(const std::string& mainDir, const std::string& cfg) {
  for (const char* code : {"EN", "FR"}) {
    const std::string to = cfg + "langue." + code;
    std::string text;
    struct stat st;
    if (::stat(to.c_str(), &st) == 0 || !readWholeFile(mainDir + "/langue." + code, &text))
      continue;
    if (writeCfgFile(to, text) == kCfgWritten)
      request().page.comment(std::string(" langue.") + code + " copied ").markup("\n");
  }
}

// The main file with SECURITY set to YES (a line added when it has none).
bool switchSecurityOn(const std::string& path) {
  return updateCfgFile(path, [](const std::string* old, std::string* text) {
           if (!old) return false;
           bool done = false;
           size_t pos = 0;
           while (pos < old->size()) {
             size_t nl = old->find('\n', pos);
             if (nl == std::string::npos) nl = old->size();
             const std::string line = old->substr(pos, nl - pos);
             const size_t b = line.find_first_not_of(" \t");
             const bool key = b != std::string::npos && line.compare(b, 8, "SECURITY") == 0 &&
                              (line.size() == b + 8 || isspace(static_cast<unsigned char>(line[b + 8])));
             *text += key ? std::string("SECURITY YES") : line;
             if (key) done = true;
             if (nl < old->size()) *text += '\n';
             pos = nl + 1;
           }
           if (!done) *text += "SECURITY YES\n";
           return true;
         }) == kCfgWritten;
}

// The end of a fresh installation that asked for authentication: switched
// on when some user can log in and configure.
void applyPendingSecurity() {
  if (!wizardSecurityPending()) return;
  tPage& page = request().page;
  bool someone = false;
  for (const std::string& p : getProjects(""))
    for (const tUserEntry& u : getUsers(p))
      if (!u.password.empty() && userFlagGrants(u.flags[C_Config - 1])) someone = true;
  static const std::string kOn = "Authentication is now on.";
  static const std::string kOff = "Authentication stays off: no user has a password and the "
                                  "configuration right.";
  if (!someone) {
    page.markup("<P><Font COLOR=Red>").text(textOrFallback(kTextSecurityOff, kOff));
    page.markup("</Font>\n");
    ::unlink(wizardSecurityMarker().c_str());
    return;
  }
  const std::string mainTarget = cfgWriteTarget(getCfgFile());
  const std::string copy = getCfgDir() + "/velko.cfg";
  bool ok = switchSecurityOn(getCfgFile());
  if (ok && cfgWriteTarget(copy) != mainTarget && ::access(copy.c_str(), F_OK) == 0)
    ok = switchSecurityOn(copy);
  if (!ok) {
    printErr1(kTextFileError, getCfgFile());
    return;
  }
  ::unlink(wizardSecurityMarker().c_str());
  page.markup("<P><Font COLOR=GREEN>").text(textOrFallback(kTextSecurityOn, kOn));
  page.markup("</Font>\n");
}

}  // namespace

// ===========================================================================
// Entry point
// ===========================================================================

void setup(tArgList& list) {
  tPage& page = request().page;
  const int edit = getArgInt(list, "Edit");
  const bool wizard = edit == kWizardEdit;
  // Before the installation only the wizard's installation step runs; any
  // other setup request gets the wizard's first page.
  if (!mainCfgReadable() && !(wizard && getArgInt(list, "Wizzard") == 1)) {
    checkCfg(list);
    return;
  }
  const bool show = !wizard && getArg(list, "text").size() < 2;
  if (mainCfgReadable() && useSecurity()) {
    // Seeing a setup page needs a session with the configuration right; a
    // save, or a wizard step, one that the request carries itself.
    if (!requireSession(list, show ? kToView : kToChange)) return;
    if (!configRight(list)) {
      printHead(page, "Setup", wizard ? kGrey : nullptr, &list);
      printErr(kTextNoConfigRight);
      return;
    }
  }
  if (wizard) {
    printHead(page, "Setup", kGrey, &list);
    wizzard(list);
    return;
  }
  printHead(page, "Setup", nullptr, &list);
  if (getCfgDir().empty() && edit >= 2 && edit <= 10) {
    // Without CONFIGDIR the list files have no folder.
    printErr1(kTextFileError, getCfgFile());
    return;
  }
  if (show) {
    checkBypass(list);
    switch (edit) {
      case 1: editVelkoFile(0, list); break;
      case 2: case 3: case 5: case 9: editTableFile(edit, 0); break;
      case 4: case 6: case 7: case 8: editFile(edit, 0); break;
      case 10: editSendmailFile(0); break;
      default: setupDisplay(list); break;
    }
    return;
  }
  switch (edit) {
    case 1: doVelkoFile(list); break;
    case 2: case 3: case 5: case 9: doTableFile(edit, list); break;
    case 4: case 6: case 7: case 8: doFile(edit, list); break;
    case 10: doSendmailFile(edit, list); break;
    default:
      checkBypass(list);
      setupDisplay(list);
      break;
  }
}

int checkCfg(tArgList& list) {
  tPage& page = request().page;
  const std::string path = getCfgFile();
  int result = 0;
  std::string trace;
  if (path.empty()) {
    result = 1;
    trace = " cfgfile empty";
  } else if (!mainCfgReadable()) {
    result = 2;
    trace = " can't open cfgfile :" + path;
  }
  if (result == 0) return 0;
  page.comment(trace).markup("\n");
  printHead(page, "Setup", kGrey, &list);
  page.comment(trace).markup("\n");
  page.markup("<BODY BGCOLOR=#C0C0C0>\n<Font size=7>VELKO Setup Wizzard</font>\n");
  firstPage(page, list, true);
  return result;
}

// ===========================================================================
// The wizard
// ===========================================================================

void wizzard(tArgList& list) {
  tPage& page = request().page;
  int s = getArgInt(list, "Wizzard");
  page.markup("<Font size=7><B>VELKO Setup Wizzard</B></font>\n");
  if (s < 1 || s > 11) {
    // The wizard from its start: the main file's form with the current
    // values.
    firstPage(page, list, false);
    return;
  }
  page.markup("<UL><UL><UL><UL>\n");
  // The form of the step before is saved first.
  bool saved = true;
  switch (s) {
    case 3:
      saved = doTableFile(2, list);
      if (saved)
        for (int f : {3, 6, 7, 4, 9}) renameDefaultFile(list, f);
      break;
    case 4: case 6: case 10: saved = doTableFile(s - 1, list); break;
    case 5: case 7: case 8: case 9: saved = doFile(s - 1, list); break;
    case 11: saved = doSendmailFile(10, list); break;
    default: break;
  }
  // A refused save shows the form of the step before again.
  if (!saved) --s;
  auto t = [](int n) -> const std::string& { return langue(n); };
  switch (s) {
    case 1: page.markup("Wizzard will try to create Installation Directories .\n"); break;
    case 2: page.text(t(2461)).markup("\n<P>").text(t(2462)).markup("\n"); break;
    case 10: page.text(t(2470)).markup("<BR>").text(t(2471)).markup(".\n"); break;
    case 11:
      applyPendingSecurity();
      page.text(t(2472)).markup(".\n<FORM METHOD=GET ACTION=\"").attr(scriptName());
      page.markup("\">\n");
      if (useSecurity() && given(getCookie())) hiddenField(page, "Uid", getCookie());
      page.markup("<inPUT TYPE=submit VALUE=Next>\n</FORM>\n");
      break;
    default: {
      static const int kTexts[] = {0, 0, 0, 2463, 2466, 2465, 2467, 2468, 2469, 2464};
      page.text(t(kTexts[s])).markup(".\n");
      break;
    }
  }
  page.markup("</UL></UL><P>\n<TABLE BORDER=1 WIDTH=80%><TR><TD ALIGN=CENTER>\n");
  switch (s) {
    case 1: doMainSetup(list); break;
    case 2: case 3: case 5: case 9: editTableFile(s, s + 1); break;
    case 4: case 6: case 7: case 8: editFile(s, s + 1); break;
    case 10: editSendmailFile(11); break;
    default: break;
  }
  page.markup("</TD></TR></TABLE>\n</UL></UL>\n");
}

// ===========================================================================
// The installation
// ===========================================================================

void checkLastDirChar(std::string* dir) {
  if (dir->empty() || dir->back() != '/') *dir += '/';
}

int createDir(const std::string& dir) {
  tPage& page = request().page;
  std::string parent = dir;
  while (!parent.empty() && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? std::string() : parent.substr(0, slash);
  struct stat st;
  const int r = ::stat(parent.c_str(), &st);
  const int err = r == 0 ? 0 : errno;
  page.comment(strprintf(" %s,%d,%d", parent.c_str(), r, err)).markup("\n");
  if (r != 0 && err == ENOENT && parent.size() > 1) createDir(parent);
  page.markup("<TR><TD> Creating Directory : ").text(dir).markup(" </TD>\n");
  int e = 0;
  if (makeDir(dir, &e) != 0 && e == EEXIST) e = isDirectory(dir) ? 0 : ENOTDIR;
  if (e == 0) {
    page.markup("<TD><Font COLOR=GREEN>OK</Font></TD></TR>\n");
    return 0;
  }
  page.comment(strprintf(" errno:%d ", e));
  page.markup("<TD><Font COLOR=RED>NOK, ").text(strerror(e)).markup("</Font></TD></TR>\n");
  return 1;
}

int createFile(const std::string& dir, const std::string& fil) {
  tPage& page = request().page;
  const std::string path = strprintf("%s%c%s.cfg", dir.c_str(), '/', fil.c_str());
  page.markup("<TR><TD> Creating Default File : ").text(fil).markup(".cfg </TD>\n");
  // What the file held stays beside it: an installation run again over a
  // configuration loses nothing.
  struct stat st;
  int err = 0;
  if (::lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || st.st_size > 0) &&
      ::rename(path.c_str(), (path + ".bak").c_str()) != 0)
    err = errno;
  if (err == 0 && writeCfgFile(path, "", fil == "users" ? 0640 : 0644) != kCfgWritten)
    err = errno ? errno : EIO;
  if (err == 0) {
    page.markup("<TD><Font COLOR=GREEN>OK</Font></TD></TR>\n");
    return 0;
  }
  page.comment(strprintf(" errno:%d ", err));
  page.markup("<TD><Font COLOR=RED>NOK, ").text(strerror(err)).markup("</Font></TD></TR>\n");
  return 1;
}

int addf(const std::string& dir, int fil, const std::string& txt) {
  return appendLines(dir, fil, {txt});
}

int addf2(const std::string& dir, int fil, const std::string& txt1, const std::string& txt2) {
  return appendLines(dir, fil, {txt1 + txt2});
}

void renameDefaultFile(tArgList& list, int fil) {
  // The first project's name as the project file's readers see it.
  std::string first = cfgCell(getArg(list, "V0_0"));
  first = first.substr(0, first.find_first_of(" \t"));
  if (first.empty() || first.find('/') != std::string::npos || first == "." || first == "..")
    return;
  const std::string from = strprintf("%s/%s.cfg", getCfgDir().c_str(), setupName[fil]);
  const std::string to =
      strprintf("%s/%s_%s.cfg", getCfgDir().c_str(), first.c_str(), setupName[fil]);
  tFileLock lock;
  if (!lock.acquireMs(getCfgDir() + "/config.lock", kCfgLockWaitMs)) return;
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return;
  if (::lstat(to.c_str(), &st) == 0) ::rename(to.c_str(), (to + ".bak").c_str());
  if (::rename(from.c_str(), to.c_str()) != 0)
    request().page.comment(" cannot move " + from + ": " + strerror(errno) + " ").markup("\n");
}

void doMainSetup(tArgList& list) {
  tPage& page = request().page;
  const bool installedBefore = mainCfgReadable();
  // Run again with security on, the installation keeps its user's line in
  // the default users file (read before the files are emptied).
  std::string keep, user, project;
  if (installedBefore && useSecurity() && validSession(list, &user, &project))
    keep = userLine(user, project);
  std::string cfg = getArg(list, "cfg"), data = getArg(list, "data"), img = getArg(list, "img");
  checkLastDirChar(&cfg);
  checkLastDirChar(&data);
  checkLastDirChar(&img);
  tVelkoCfg v = velkoCfgFromArgs(list);
  v.cfg = cfg;
  v.data = data;
  v.img = img;
  const std::string mainDir = getMainCfgDir();
  bool failed = false;
  // What cannot be installed is refused before anything is made.
  const std::string bad = badCfgValue(v);
  if (!bad.empty()) {
    installError(kTextBadValue,
                 "The value of %s cannot be written into the main configuration file (a line "
                 "end, a key name such as DATADIR as a word, more than 98 characters, a language "
                 "code that is not made of letters, or a persistence other than 0 to 3). Nothing "
                 "was changed.",
                 bad);
    failed = true;
  } else if (cfg[0] != '/' || data[0] != '/') {
    installError(kTextNotAbsolute,
                 "The directory %s is not an absolute path (beginning with /). Nothing was changed.",
                 cfg[0] != '/' ? cfg : data);
    failed = true;
  }
  bool selfLink = false;
  if (!failed) {
    page.markup("<TABLE>");
    const int r = createDir(mainDir);
    page.markup("\n\n").comment(strprintf(" main config dir : %s , %d", mainDir.c_str(), r));
    page.markup(" \n\n\n");
    failed = r != 0;
    for (const std::string& d : {cfg, data, data + "Stats/", data + "Tests/", data + "tmp/"})
      if (createDir(d) != 0) failed = true;
    // The main file is to become a link to the copy in the configuration
    // directory: the same folder would make it a link to itself.
    if (!failed && sameFolder(mainDir, cfg)) selfLink = failed = true;
    for (int f = 1; !failed && f <= 10; ++f)
      if (createFile(cfg, setupName[f])) failed = true;
    page.markup("</TABLE>");
    if (selfLink)
      installError(kTextSelfLink,
                   "The configuration directory %s is the folder of the main configuration file, "
                   "which would become a link to itself: choose another configuration directory.",
                   cfg);
  }
  if (!failed) failed = !writeDefaults(cfg, v.dom, keep);
  if (!failed) {
    // A fresh installation that asks for authentication gets it at the end
    // of the wizard, once someone can log in.
    const bool pending = !installedBefore && v.sec == "YES";
    tVelkoCfg written = v;
    if (pending) written.sec = " ";
    if (!createVelkoCfg(mainDir, written) || !createVelkoCfg(cfg, written)) {
      installError(kTextFileError, "The file %s cannot be opened or written.",
                   mainDir + "/velko.cfg");
      failed = true;
    } else if (pending) {
      writeCfgFile(cfg + ".wizard", "SECURITY YES\n", 0600);
    } else {
      ::unlink((cfg + ".wizard").c_str());
    }
    forgetCfgValues();
  }
  if (!failed) {
    copyLanguageFiles(mainDir, cfg);
    std::string code = v.lang.substr(0, v.lang.find_first_of(" \t"));
    if (code.empty()) code = "FR";
    const std::string langFile = strprintf("%s/langue.%s", cfg.c_str(), code.c_str());
    if (::access(langFile.c_str(), R_OK) != 0) {
      page.markup("<P><Font COLOR=Red>Language file missing.<BR>\n<I>Copy 'langue.");
      page.text(code).markup("' to ").text(langFile).markup("</i>\n");
      failed = true;
    }
  }
  if (failed) {
    page.markup("<P><Font COLOR=Red>Please remedy to the indicated problems and reload this "
                "page.\n");
    return;
  }
  // The main file becomes a link to the copy: made beside it under a
  // temporary name, then renamed over it, so that the main file is never
  // missing and never a link to itself.
  const std::string mainFile = mainDir + "/velko.cfg";
  const std::string target = cfg + "velko.cfg";
  const std::string tmp = strprintf("%s/.velko.cfg.%d.lnk", mainDir.c_str(), getpid());
  int err = 0;
  if (linksToItself(mainFile, target)) {
    err = ELOOP;
  } else {
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), mainFile.c_str()) != 0)
      err = errno;
    ::unlink(tmp.c_str());
  }
  if (err) {
    page.markup("<P><Font COLOR=Red>Problem creating link '\n<I>ln -sf ").text(mainDir);
    page.markup(" ").text(target).markup(" </I>\n', errno: ").num(err).markup("</Font>");
    return;
  }
  page.markup("<P><Font COLOR=GREEN>Default Setup Completed</Font>");
  if (!installedBefore && v.sec == "YES") {
    static const std::string kLater = "Authentication will be switched on at the end of the "
                                      "wizard.";
    page.markup("\n<P>").text(textOrFallback(kTextSecurityLater, kLater)).markup("\n");
  }
  page.markup("<FORM METHOD=GET ACTION=\"").attr(scriptName()).markup("\">\n");
  hiddenField(page, "Wizzard", "2");
  hiddenField(page, "CMD", "setup");
  hiddenField(page, "Edit", "12");
  if (useSecurity() && given(getCookie())) hiddenField(page, "Uid", getCookie());
  page.markup("<TABLE WIDTH=100%>");
  resetSubmit("Next");
  page.markup("</TABLE></FORM>\n");
}

// ===========================================================================
// Upgrade
// ===========================================================================

void upgrade() {
  request().page.markup("<! Upgrade >\n");
  const std::string& data = getDataDir();
  if (data.empty()) return;
  int err;
  makeDir(data + "/Tests/", &err);
  makeDir(data + "/tmp/", &err);
  makeDir(getSynchDir(), &err);
  makeDir(getSynchDir() + "in", &err);
  makeDir(getSynchDir() + "out", &err);
}
