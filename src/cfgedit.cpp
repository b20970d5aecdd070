// cfgedit.cpp: the setup menu, the configuration editors, their save
// handlers and result pages.
#include "cfgedit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "args.h"
#include "fileio.h"
#include "frame.h"
#include "html.h"
#include "mails.h"
#include "session.h"
#include "synchro.h"
#include "text.h"

const char* const setupName[kSetupFileCount] = {"",       "velko",   "project",  "subproject",
                                                "program", "phase",   "version",  "deadline",
                                                "impacts", "users",   "sendmail", ""};

namespace {

// Columns of the table files. cols_ gives the columns per file number; the
// columns of all table files are numbered globally in the order of the file
// numbers (project 0 to 4, subproject 5 and 6, phase 7 and 8, users 9 to
// 18). colType_ is 1 for a text field and 2 for a check box, colSize_ the
// SIZE of each text field. The heading of global column g is text 2700 + g.
const int cols_[kSetupFileCount] = {0, 0, 5, 2, 0, 2, 0, 0, 0, 10, 0, 0};
const int colType_[19] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2};
const int colSize_[12] = {12, 14, 11, 18, 15, 15, 6, 20, 6, 12, 35, 12};

constexpr int kProjectFile = 2, kPhaseFile = 5, kImpactsFile = 8, kUsersFile = 9;
constexpr int kSendmailFile = 10;
// Columns of the users file: the password, and the flag of the
// configuration right (the flags follow in the order of tAccess).
constexpr int kPasswordColumn = 2;
constexpr int kConfigColumn = 3 + (C_Config - 1);
// What an unticked rights box is written as: a value the rights check
// refuses (a blank would grant).
constexpr const char* kUnticked = "NO";
constexpr int kRuleCount = 18;  // one mail rule per action, E_New to E_Attach
// A table form never has more rows than this.
constexpr int kMaxRows = 10000;

// Language texts of the setup pages.
constexpr int kTextFileError = 501;  // "%s": a file that cannot be opened or written
constexpr int kTextMissingField = 502;
constexpr int kTextNoConfigRight = 516;
constexpr int kTextBusy = 560;          // another save in the same folder
constexpr int kTextBadValue = 561;      // "%s": a key whose value cannot be written
constexpr int kTextFirstPassword = 564; // the wizard's first user without password
constexpr int kTextNext = 2453;
constexpr int kTextWizardLink = 2720;
constexpr int kTextPasswordSet = 2721;
constexpr int kTextPasswordNone = 2722;

// Menu labels, by file number.
const char* const kMenuLabels[kSetupFileCount] = {"",        "Velko",   "Project", "SubProject",
                                                  "Program", "Phase",   "Version", "Deadline",
                                                  "Impacts", "Users",   "Send Mail", ""};

const char* scriptName() {
  const char* s = getenv("SCRIPT_NAME");
  return s ? s : "";
}

bool mainFileReadable() {
  tFd fd(::open(getCfgFile().c_str(), O_RDONLY | O_CLOEXEC));
  return fd.ok();
}

// Text `num`, or `fallback` when it is empty. Before the installation no
// language file can be found: the built-in text, without asking for it
// (every failed lookup leaves a diagnostic comment).
const std::string& textOr(int num, const std::string& fallback) {
  if (!mainFileReadable()) return fallback;
  const std::string& t = langue(num);
  return t.empty() ? fallback : t;
}

bool inWizard(const tArgList& list) { return getArg(list, "Wizzard") != " "; }
bool hasArg(const tArgList& list, const char* name) {
  for (const tElement& e : list)
    if (e.nom == name) return true;
  return false;
}

// Global files take no project, whatever the request says.
bool isGlobalFile(int file) {
  return file == 1 || file == kProjectFile || file == kPhaseFile || file == kImpactsFile ||
         file == kSendmailFile;
}

std::string globalPath(int file) {
  return strprintf("%s/%s.cfg", getCfgDir().c_str(), setupName[file]);
}

std::string projectPath(const std::string& proj, int file) {
  return strprintf("%s/%s_%s.cfg", getCfgDir().c_str(), proj.c_str(), setupName[file]);
}

int globalColumn(int file, int c) {
  int g = c;
  for (int f = 0; f < file; ++f) g += cols_[f];
  return g;
}

const std::string& columnHeading(int file, int c) { return langue(2700 + globalColumn(file, c)); }

// <INPUT TYPE=hidden NAME="name" VALUE="value">
void hiddenField(tPage& page, const std::string& name, const std::string& value) {
  page.markup("<INPUT TYPE=hidden NAME=\"").attr(name).markup("\" VALUE=\"").attr(value);
  page.markup("\">\n");
}

void formStart(tPage& page) {
  page.markup("<FORM METHOD=POST ACTION=\"").attr(scriptName()).markup("\">\n");
}

void submitButton(tPage& page, int wizz) {
  static const std::string kNext = "Next";
  page.markup("<INPUT TYPE=submit VALUE=\"");
  if (wizz)
    page.attr(textOr(kTextNext, kNext));
  else
    page.markup("OK");
  page.markup("\">\n");
}

// "<SCRIPT>?Uid=<id>" or "<SCRIPT>?" for the home link.
void homeHref(tPage& page) {
  page.attr(scriptName()).markup("?");
  if (useSecurity() && given(getCookie())) page.markup("Uid=").urlArg(getCookie());
}

// The heading of a result page outside the wizard: a link back to the
// file's editor, the title ("<title>.cfg Setup"), a link home.
void resultHeading(tPage& page, int file, const std::string& title) {
  page.markup("<TABLE WIDTH=100%><TR><TD ALIGN=LEFT><A HREF=\"").attr(scriptName());
  page.markup("?CMD=setup&Edit=").num(file);
  addUidTo(page).markup("\">").image(getImgDir(), "larrow.gif", "Back").markup("</A></TD>\n");
  page.markup("<TD ALIGN=CENTER><Font size=7>").text(title);
  page.markup(".cfg Setup</font></TD>\n<TD ALIGN=RIGHT><A HREF=\"");
  homeHref(page);
  page.markup("\">").image(getImgDir(), "home.gif", "Home").markup("</A></TD></TR></TABLE>\n");
}

void editorHeading(tPage& page, const std::string& project, const std::string& name) {
  page.markup("<P><H1><Font size=7>").text(project).markup(" ").text(name);
  page.markup(".cfg Setup</font></H1>\n<P>");
}

// A save that did not happen: the error box saying why. True when `r`
// is a success.
bool reportWrite(tPage& page, tCfgWrite r, const std::string& path, bool heading, int file,
                 const std::string& project) {
  switch (r) {
    case kCfgWritten:
      return true;
    case kCfgBusy:
      printErr(kTextBusy);
      return false;
    case kCfgRefused:
      return false;
    case kCfgNotCreated:
      printErr1(kTextFileError, path);
      return false;
    case kCfgNotWritten: {
      const int err = errno;
      if (heading) resultHeading(page, file, project + " " + setupName[file]);
      page.markup("<P><H1><Font size=7>").text(langue(500)).markup(" ").num(err);
      page.markup("</font></H1>\n<P>");
      return false;
    }
  }
  return false;
}

// The lines of a file: each without its line feed (a carriage return
// before it stays); a last piece without line feed is a line too.
std::vector<std::string> fileLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

std::string stripCR(std::string s) {
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

// The cells of a table line as the editor shows them: each field runs to
// the next ':' or tab; blanks and tabs after it are skipped, then one ':'.
// Missing fields are empty.
std::vector<std::string> scanCells(const std::string& rawLine, int cols) {
  const std::string line = stripCR(rawLine);
  std::vector<std::string> cells;
  size_t i = 0;
  for (int c = 0; c < cols; ++c) {
    const size_t start = i;
    while (i < line.size() && line[i] != ':' && line[i] != '\t') ++i;
    cells.push_back(line.substr(start, i - start));
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] == ':') ++i;
  }
  return cells;
}

// The stored password of the user of row `row` named `name` (the first word
// of the row's name cell): the same line when it holds that user, else the
// user's line elsewhere, else the same line (a user renamed in place).
std::string keptPassword(const std::vector<std::string>& stored, int row,
                         const std::string& name) {
  tUserEntry u;
  const bool sameRow = row < static_cast<int>(stored.size()) && parseUserLine(stored[row], &u);
  if (sameRow && u.name == name) return u.password;
  for (const std::string& line : stored) {
    tUserEntry other;
    if (parseUserLine(line, &other) && other.name == name) return other.password;
  }
  return sameRow ? u.password : std::string();
}

std::string firstWord(const std::string& s) {
  const size_t end = s.find_first_of(" \t");
  return s.substr(0, end);
}

// ---------------------------------------------------------------------------
// Mail rules
// ---------------------------------------------------------------------------

// "sendmail.cfg" read by action name: the role letters ticked per action
// (bit c for kMailRoles[c]), the other words of the action's lines (lists
// of user names), and the lines that name no action, kept as they are.
struct tRules {
  unsigned roles[kRuleCount] = {};
  std::vector<std::string> others[kRuleCount];
  std::vector<std::string> foreign;
};

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isspace(static_cast<unsigned char>(line[i]))) ++i;
    const size_t start = i;
    while (i < line.size() && !isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

int actionIndex(const std::string& name) {
  for (int a = 0; a < kRuleCount; ++a)
    if (name == getAction(a)) return a;
  return -1;
}

tRules parseRules(const std::string& text) {
  tRules rules;
  for (const std::string& line : fileLines(text)) {
    const std::vector<std::string> w = words(line);
    if (w.empty()) continue;
    const int a = actionIndex(w[0]);
    if (a < 0) {
      rules.foreign.push_back(stripCR(line));
      continue;
    }
    for (size_t i = 1; i < w.size(); ++i) {
      // A word of one character is a role letter; any other word names users.
      const char* role = w[i].size() == 1 ? strchr(kMailRoles, w[i][0]) : nullptr;
      if (role && *role != ' ')
        rules.roles[a] |= 1u << (role - kMailRoles);
      else
        rules.others[a].push_back(w[i]);
    }
  }
  return rules;
}

void ruleHeadings(tPage& page) {
  page.markup("<TR><TH>").text(langue(2460)).markup("</TH>\n");
  for (int c = 0; c < 6; ++c) page.markup("<TH>").text(langue(2454 + c)).markup("</TH>\n");
  page.markup("</TR>\n");
}

// The result heading of the mail rules and of the main file in the wizard.
void bigHeading(tPage& page, const char* name) {
  page.markup("<P><H1><Font size=7>").text(name).markup(".cfg Setup</font></H1>\n<P>");
}

// Creates a per-project file that is missing, empty, so that its editor
// has something to show.
void touchFile(const std::string& path) {
  tFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

// The configured projects, in the order of getProjects.
tCharList configuredProjects() {
  tCharList out;
  for (const std::string& p : getProjects(""))
    if (isConfiguredProject(p)) out.push_back(p);
  return out;
}

}  // namespace

// ===========================================================================
// Menu and small parts
// ===========================================================================

void setupFormFields(int file, int wizz) {
  tPage& page = request().page;
  hiddenField(page, "CMD", "setup");
  if (useSecurity() && given(getCookie())) hiddenField(page, "Uid", getCookie());
  if (wizz > 0) {
    hiddenField(page, "Wizzard", std::to_string(wizz));
    hiddenField(page, "Edit", std::to_string(kWizardEdit));
  } else {
    hiddenField(page, "Edit", std::to_string(file));
  }
}

void makeLink(const std::string& disp, int file) {
  tPage& page = request().page;
  page.markup("<TR><TD ALIGN=CENTER><A HREF=\"").attr(scriptName()).markup("?CMD=setup");
  addUidTo(page).markup("&Edit=").num(file).markup("\">").text(disp).markup("</A></TD>\n");
  page.markup("<TD><UL>\n").text(langue(2441 + file)).markup("</TD></TR>\n");
}

void setupDisplay(tArgList& list) {
  tPage& page = request().page;
  if (!configRight(list)) {
    printErr(kTextNoConfigRight);
    return;
  }
  page.markup("<CENTER><TABLE BORDER=1 WIDTH=70%>\n<TR><TD COLSPAN=2 ALIGN=CENTER>"
              "<TABLE WIDTH=100%><TR><TD ALIGN=LEFT>");
  page.image(getImgDir(), "bugL.gif", "").markup("</TD>\n");
  page.markup("<TD><BR><H1><Font size=7>VELKO&nbsp;SETUP</font></H1>\n");
  page.markup("</TD><TD ALIGN=RIGHT>").image(getImgDir(), "bugR.gif", "");
  page.markup("</TD></TR></TABLE></TD></TR>\n");
  page.markup("<TR><TH>").text(langue(2440)).markup("</TH><TH>").text(langue(2441));
  page.markup("</TH></TR>\n");
  for (int f = 1; f <= kSendmailFile; ++f) makeLink(kMenuLabels[f], f);
  page.markup("</TABLE>\n");
  // The wizard leads through every file again, from the main file.
  static const std::string kWizard = "Setup Wizzard";
  page.markup("<P><A HREF=\"").attr(scriptName()).markup("?CMD=setup");
  addUidTo(page).markup("&Edit=").num(kWizardEdit).markup("\">");
  page.text(textOr(kTextWizardLink, kWizard)).markup("</A>\n</CENTER>\n");
}

void resetSubmit(const std::string& ok) {
  tPage& page = request().page;
  page.markup("<TR><TD ALIGN=RIGHT>\n<inPUT TYPE=reset VALUE=Reset>\n</TD><TD ALIGN=LEFT>\n");
  page.markup("<inPUT TYPE=submit VALUE=").attr(ok).markup(">\n</TD></TR>\n");
}

void printItem(int lang, const std::string& name) {
  const std::string& label = textOr(lang, name);
  request().page.markup("<TR><TD ALIGN=RIGHT><B>").text(label);
  request().page.markup("</B></TD>\n");
}

int countLines(const std::string& fileName) {
  std::string text;
  if (!readWholeFile(fileName, &text)) return 0;
  int n = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  if (!text.empty() && text.back() != '\n') ++n;
  return n + 1;
}

int makeDir(const std::string& dir, int* err) {
  const int r = ::mkdir(dir.c_str(), 0777);
  *err = r == 0 ? 0 : errno;
  // Only a folder made here gets its mode: an existing one keeps the mode
  // its administrator gave it.
  if (r == 0) ::chmod(dir.c_str(), 0755);
  return r;
}

std::string wizardSecurityMarker() { return getCfgDir() + "/.wizard"; }

bool wizardSecurityPending() {
  struct stat st;
  return !getCfgDir().empty() && ::stat(wizardSecurityMarker().c_str(), &st) == 0;
}

bool userFlagGrants(const std::string& flag) {
  const size_t b = flag.find_first_not_of(" \t\r");
  return b == std::string::npos || flag[b] == 'Y';
}

// ===========================================================================
// Main file
// ===========================================================================

namespace {

// The value of a field of the main file's form, cut at nothing: what the
// request holds ("" for an empty field, " " for an absent one).
std::string field(const tArgList& list, const char* name) { return getArg(list, name); }

std::string hostName() {
  char buf[256];
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  buf[sizeof buf - 1] = '\0';
  return buf;
}

// The mail domain proposed: the domain part of the host name, else
// "localhost".
std::string proposedDomain(const std::string& host) {
  const size_t dot = host.find('.');
  return dot == std::string::npos || dot + 1 >= host.size() ? "localhost" : host.substr(dot + 1);
}

void textInput(tPage& page, const char* name, int size, const std::string& value) {
  page.markup("<INPUT TYPE=text NAME=").attr(name).markup(" SIZE=").num(size);
  page.markup(" VALUE=\"").attr(value).markup("\">");
}

}  // namespace

tVelkoCfg velkoCfgFromArgs(const tArgList& list) {
  tVelkoCfg v;
  v.data = field(list, "data");
  v.cfg = field(list, "cfg");
  v.img = field(list, "img");
  v.prt = field(list, "prt");
  v.mel = field(list, "mel");
  v.hst = field(list, "hst");
  v.dom = field(list, "dom");
  v.sec = field(list, "sec");
  v.lang = field(list, "lang");
  v.pop = field(list, "pop");
  v.popU = field(list, "popU");
  v.popP = field(list, "popP");
  v.www = field(list, "www");
  v.persist = getArgInt(list, "PERSIST");
  if (v.popP.empty() || v.popP == " ") {
    // The form never shows the password: an empty field keeps it.
    std::string stored;
    if (readWholeFile(getCfgFile(), &stored))
      v.popP = getCfgKey("POP3PASS");
    else
      v.popP = "*";
  }
  return v;
}

void editVelkoFile(int init, tArgList& list) {
  tPage& page = request().page;
  std::string probe;
  const bool installed = readWholeFile(getCfgFile(), &probe);
  tVelkoCfg v;
  std::string storedPass;
  if (init && !installed) {
    // The proposals of a new installation.
    v.data = "/usr/local/velko/data/";
    v.cfg = "/usr/local/velko/config/";
    v.img = "/velko/images/";
    v.prt = "lp -o2 %%s";
    v.mel = "localhost";
    v.pop = "localhost";
    v.popU = "#";
    v.www = "www";
    v.hst = hostName();
    v.dom = proposedDomain(v.hst);
  } else {
    // The current values (the wizard run again keeps them as proposals).
    v.data = getDataDir();
    v.cfg = getCfgDir();
    v.img = getImgDir();
    v.dom = getCfgKey("DOMAIN");
    v.prt = getCfgKey("PRINT");
    v.mel = getCfgKey("MAILSERV");
    v.hst = getCfgKey("HOSTNAME");
    v.pop = getCfgKey("POP3");
    v.popU = getCfgKey("POP3USER");
    storedPass = getCfgKey("POP3PASS");
    v.www = getCfgKey("WWW");
    if (v.www.empty()) v.www = "www";
  }
  if (!init) page.markup("<P><H1><Font size=7>VELKO.cfg Setup</font></H1>\n<P>");
  formStart(page);
  if (init) {
    setupFormFields(kWizardEdit, 1);
  } else {
    setupFormFields(1, 0);
    hiddenField(page, "text", "xxx");
  }
  page.markup("<TABLE>\n");
  struct Row {
    int lang;
    const char* label;
    const char* name;
    const std::string* value;
  };
  const Row rows[] = {{2550, "Data Directory", "data", &v.data},
                      {2551, "Configuration Directory", "cfg", &v.cfg},
                      {2552, "Image Directory", "img", &v.img},
                      {2553, "Print Command", "prt", &v.prt},
                      {2554, "SMTP Server", "mel", &v.mel},
                      {2557, "POP3 Server", "pop", &v.pop}};
  for (const Row& r : rows) {
    printItem(r.lang, r.label);
    page.markup("<TD>");
    textInput(page, r.name, 40, *r.value);
    page.markup("</TD></TR>\n");
  }
  // The POP3 account: the password field never holds the stored password.
  static const std::string kLogin = "Login : ", kPassword = "Password : ";
  const std::string login = textOr(2709, std::string()), password = textOr(2711, std::string());
  page.markup("<TR><TD ALIGN=RIGHT COLSPAN=2>");
  page.text(login.empty() ? kLogin : login + " : ");
  textInput(page, "popU", 20, v.popU);
  page.markup(" ").text(password.empty() ? kPassword : password + " : ");
  page.markup("<INPUT TYPE=password NAME=popP SIZE=20 AUTOCOMPLETE=new-password");
  if (init && !installed) page.markup(" VALUE=\"*\"");
  page.markup(">");
  if (installed) {
    static const std::string kSet = "(set)", kNone = "(none)";
    page.markup(" <FONT SIZE=-1>");
    page.text(storedPass.empty() ? textOr(kTextPasswordNone, kNone)
                                 : textOr(kTextPasswordSet, kSet));
    page.markup("</FONT>");
  }
  page.markup("</TD></TR>\n");
  printItem(2555, "My Hostname");
  page.markup("<TD>");
  textInput(page, "hst", 40, v.hst);
  page.markup("</TD></TR>\n");
  printItem(2559, "My Adress");
  page.markup("<TD>");
  textInput(page, "www", 9, v.www);
  page.markup("@");
  textInput(page, "dom", 24, v.dom);
  page.markup("</TD></TR>\n");
  // Authentication and the persistence of a login.
  printItem(2558, "Authentication");
  page.markup("<TD><INPUT TYPE=checkbox NAME=sec VALUE=\"YES\"");
  if (installed && useSecurity()) page.markup(" CHECKED");
  page.markup("> ");
  static const std::string kPersist = "Persistent";
  static const char* const kPersistNames[4] = {"session", "day", "week", "year"};
  page.text(textOr(2116, kPersist)).markup(" <SELECT NAME=PERSIST>\n");
  int persist = 0;
  if (getArg(list, "PERSIST") != " ")
    persist = getArgInt(list, "PERSIST");
  else if (installed)
    persist = atoi(getCfgKey("PERSIST").c_str());
  for (int p = 0; p < 4; ++p) {
    const std::string label = textOr(2117 + p, kPersistNames[p]);
    page.markup("<OPTION VALUE=").num(p);
    if (p == persist) page.markup(" SELECTED");
    page.markup(">").text(label).markup("\n");
  }
  page.markup("</SELECT></TD></TR>\n");
  // The language, preselecting the one in use.
  printItem(2556, "Display language");
  page.markup("<TD><SELECT NAME=lang>\n");
  const std::string inUse = textOr(1, std::string());
  for (const char* code : {"EN", "FR"}) {
    page.markup("<OPTION VALUE=\"").attr(code).markup("\"");
    if (inUse == code) page.markup(" SELECTED");
    page.markup(">").text(code).markup("\n");
  }
  page.markup("</SELECT></TD></TR>\n");
  resetSubmit("Next");
  page.markup("</TABLE></FORM>");
}

bool doVelkoFile(tArgList& list) {
  tPage& page = request().page;
  const tVelkoCfg v = velkoCfgFromArgs(list);
  const std::string bad = badCfgValue(v);
  if (!bad.empty()) {
    printErr1(kTextBadValue, bad);
    return false;
  }
  // The copy in the configuration directory first, then the main file (one
  // file when the main file is the installation's link to the copy).
  std::string mainDir = getCfgFile();
  mainDir = mainDir.substr(0, mainDir.find_last_of("/\\"));
  const std::string cfgDir = getCfgDir();
  if (!cfgDir.empty() && !createVelkoCfg(cfgDir, v)) {
    printErr1(kTextFileError, cfgDir + "/velko.cfg");
    return false;
  }
  if (!createVelkoCfg(mainDir, v)) {
    printErr1(kTextFileError, getCfgFile());
    return false;
  }
  if (inWizard(list)) {
    bigHeading(page, "VELKO");
  } else {
    resultHeading(page, 1, "VELKO");
    printFile(getCfgFile());
  }
  return true;
}

void printFile(const std::string& name) {
  tPage& page = request().page;
  std::string text;
  if (!readWholeFile(name, &text)) {
    printErr1(kTextFileError, name);
    return;
  }
  page.markup("<TABLE BORDER=1><TR><TD>\n<PRE>");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    const bool lf = nl != std::string::npos;
    if (!lf) nl = text.size();
    const std::string line = text.substr(pos, nl - pos);
    if (line.compare(0, 8, "POP3PASS") == 0)
      page.markup("POP3PASS *\n");
    else
      page.text(line).text(lf ? "\n" : "");
    pos = nl + 1;
  }
  page.markup("</PRE>\n</TD></TR></TABLE>\n");
}

// ===========================================================================
// Text-area files
// ===========================================================================

void editFile(int file, int wizz) {
  if (isGlobalFile(file)) {
    editSimpleFile(file, wizz, setupName[file], globalPath(file), "");
    return;
  }
  // One form per project. The project names come from the project file
  // itself, not from the file names (a name may hold a '_').
  for (const std::string& p : configuredProjects()) {
    const std::string path = projectPath(p, file);
    touchFile(path);
    editSimpleFile(file, wizz, setupName[file], path, p);
  }
}

void editSimpleFile(int file, int wizz, const std::string& name, const std::string& fileName,
                    const std::string& proj) {
  tPage& page = request().page;
  std::string text;
  if (!readWholeFile(fileName, &text)) {
    printErr1(kTextFileError, fileName);
    return;
  }
  editorHeading(page, proj, name);
  formStart(page);
  setupFormFields(file, wizz);
  hiddenField(page, "project", proj);
  page.markup("<TEXTAREA NAME=text ROWS=").num(countLines(fileName) + 1);
  page.markup(" COLS=70>\n");
  // One entry per line, whatever the file's line ends.
  for (const std::string& line : fileLines(text)) page.text(line).markup("\n");
  page.markup("</TEXTAREA>\n");
  submitButton(page, wizz);
  page.markup("</FORM>\n");
}

bool doFile(int file, tArgList& list) {
  tPage& page = request().page;
  const bool wizard = inWizard(list);
  // Inside the wizard, a step reached without its form saves nothing.
  if (wizard && !hasArg(list, "text")) return true;
  const std::string proj = getArg(list, "project");
  const bool global = isGlobalFile(file) || isAbsent(proj);
  if (!global && !isConfiguredProject(proj)) {
    printErr1(kTextUnknownProject, proj);
    return false;
  }
  const std::string target = global ? globalPath(file) : projectPath(proj, file);
  const std::string shownProject = global ? std::string() : proj;
  // The text as the browser sent it, its line ends included.
  const tCfgWrite r = writeCfgFile(target, getArg(list, "text"));
  if (!reportWrite(page, r, target, !wizard, file, shownProject)) return false;
  if (!wizard) resultHeading(page, file, shownProject + " " + setupName[file]);
  const int code = proj.empty() ? 0 : static_cast<unsigned char>(proj[0]);
  page.comment(" " + std::to_string(code) + " " + target + " ").markup("\n");
  if (!global)
    request().after([target, proj] { SendSynchFile(target, proj, S_CONFIG); });
  if (!wizard) printFile(target);
  return true;
}

// ===========================================================================
// Table files
// ===========================================================================

void editTableFile(int file, int wizz) {
  if (isGlobalFile(file)) {
    request().page.comment(" CFGFILE:" + getCfgFile()).markup("\n");
    editSimpleTableFile(file, wizz, setupName[file], globalPath(file), "");
    return;
  }
  for (const std::string& p : configuredProjects()) {
    const std::string path = projectPath(p, file);
    touchFile(path);
    editSimpleTableFile(file, wizz, setupName[file], path, p);
  }
}

void editSimpleTableFile(int file, int wizz, const std::string& name,
                         const std::string& fileName, const std::string& proj) {
  tPage& page = request().page;
  std::string text;
  if (!readWholeFile(fileName, &text)) {
    printErr1(kTextFileError, fileName);
    page.comment(fileName).markup("\n");
    return;
  }
  const int cols = cols_[file];
  editorHeading(page, proj, name);
  formStart(page);
  setupFormFields(file, wizz);
  hiddenField(page, "project", proj);
  hiddenField(page, "text", "xxx");
  page.markup("<TABLE BORDER=0 CELLSPACING=5 CELLPADDING=0>\n<TR>");
  for (int c = 0; c < cols; ++c)
    page.markup("<TH><FONT SIZE=-1>").text(columnHeading(file, c)).markup("</FONT></TH>\n");
  page.markup("</TR>\n");
  // One row per line, and an empty one to add an entry.
  std::vector<std::string> lines = fileLines(text);
  lines.emplace_back();
  static const std::string kSet = "(set)", kNone = "(none)";
  int row = 0;
  for (const std::string& line : lines) {
    const std::vector<std::string> cells = scanCells(line, cols);
    page.markup("<TR>\n");
    for (int c = 0; c < cols; ++c) {
      const int g = globalColumn(file, c);
      const std::string& cell = cells[c];
      if (file == kUsersFile && c == kPasswordColumn) {
        // Whether a password is set, never the password.
        page.markup("<TD><INPUT TYPE=Password SIZE=").num(colSize_[g]);
        page.markup(" AUTOCOMPLETE=new-password NAME=V").num(c).markup("_").num(row);
        page.markup("><FONT SIZE=-1> ");
        page.text(cell.empty() ? textOr(kTextPasswordNone, kNone) : textOr(kTextPasswordSet, kSet));
        page.markup("</FONT></TD>\n");
      } else if (colType_[g] == 1) {
        page.markup("<TD><INPUT TYPE=Text SIZE=").num(colSize_[g]).markup(" ");
        if (!cell.empty()) page.markup("VALUE=\"").attr(cell).markup("\" ");
        page.markup("NAME=V").num(c).markup("_").num(row).markup("></TD>\n");
      } else {
        // Ticked when the flag grants the right: empty, blank or "Y...".
        page.markup("<TD ALIGN=CENTER><INPUT TYPE=Checkbox ");
        if (userFlagGrants(cell)) page.markup(" CHECKED ");
        page.markup("VALUE=\"YES\" NAME=V").num(c).markup("_").num(row).markup("></TD>\n");
      }
    }
    page.markup("</TR>\n");
    ++row;
  }
  page.markup("</TABLE>\n");
  submitButton(page, wizz);
  hiddenField(page, "LINES", std::to_string(row));
  page.markup("</FORM>\n");
}

bool doTableFile(int file, tArgList& list) {
  tPage& page = request().page;
  const bool wizard = inWizard(list);
  if (!hasArg(list, "LINES")) {
    // No table was submitted: nothing to save (the wizard goes on).
    if (wizard) return true;
    printErr(kTextMissingField);
    return false;
  }
  const std::string proj = getArg(list, "project");
  const bool global = isGlobalFile(file) || isAbsent(proj);
  if (!global && !isConfiguredProject(proj)) {
    printErr1(kTextUnknownProject, proj);
    return false;
  }
  const std::string target = global ? globalPath(file) : projectPath(proj, file);
  const std::string shownProject = global ? std::string() : proj;
  const int cols = cols_[file];
  const int lines = std::min(std::max(getArgInt(list, "LINES"), 0), kMaxRows);
  // The wizard makes sure that its first user can configure, and, when
  // authentication is (or will be) on, log in.
  const bool firstUserRule = wizard && file == kUsersFile;
  const bool needPassword = firstUserRule && (useSecurity() || wizardSecurityPending());
  bool passwordMissing = false;
  std::vector<std::string> projects;
  const auto make = [&](const std::string* old, std::string* out) {
    const std::vector<std::string> stored = old ? fileLines(*old) : std::vector<std::string>();
    bool first = true;
    for (int r = 0; r < lines; ++r) {
      const std::string rs = std::to_string(r);
      if (isAbsent(getArg(list, "V0_" + rs))) continue;
      std::vector<std::string> cells;
      for (int c = 0; c < cols; ++c) {
        const std::string name = "V" + std::to_string(c) + "_" + rs;
        const std::string value = getArg(list, name);
        if (colType_[globalColumn(file, c)] == 2) {
          cells.push_back(hasArg(list, name.c_str()) ? "YES" : kUnticked);
        } else if (file == kUsersFile && c == kPasswordColumn) {
          std::string stored1;
          if (!value.empty() && value != " ") {
            stored1 = cryptPassword(value);
            if (stored1.empty()) return false;
          } else {
            stored1 = keptPassword(stored, r, firstWord(cfgCell(getArg(list, "V0_" + rs))));
          }
          cells.push_back(stored1);
        } else {
          cells.push_back(cfgCell(value));
        }
      }
      if (firstUserRule && first) {
        cells[kConfigColumn] = "YES";
        if (needPassword && cells[kPasswordColumn].empty()) {
          passwordMissing = true;
          return false;
        }
      }
      first = false;
      if (file == kProjectFile) projects.push_back(cells[0]);
      std::string line;
      for (int c = 0; c < cols; ++c) {
        if (c) line += ':';
        line += cells[c];
      }
      *out += line + "\n";
    }
    return true;
  };
  const tCfgWrite r = updateCfgFile(target, make, file == kUsersFile ? 0640 : 0644);
  if (r == kCfgRefused) {
    if (passwordMissing)
      printErr(kTextFirstPassword);
    else
      printErr1(kTextFileError, target);  // no hash could be made
    return false;
  }
  if (!reportWrite(page, r, target, !wizard, file, shownProject)) return false;
  if (file == kProjectFile && !getDataDir().empty()) {
    // Each project gets its synchronisation folders.
    int err;
    const std::string synch = getSynchDir();
    makeDir(synch, &err);
    makeDir(synch + "in", &err);
    makeDir(synch + "out", &err);
    for (const std::string& p : projects) {
      if (p.empty() || p.find('/') != std::string::npos || p == "." || p == "..") continue;
      makeDir(synch + "in/" + p, &err);
      makeDir(synch + "out/" + p, &err);
    }
  }
  if (!global && file != kProjectFile)
    request().after([target, proj] { SendSynchFile(target, proj, S_CONFIG); });
  if (!wizard) {
    resultHeading(page, file, shownProject + " " + setupName[file]);
    printTableFile(file, target);
  }
  return true;
}

void printTableFile(int file, const std::string& name) {
  tPage& page = request().page;
  std::string text;
  if (!readWholeFile(name, &text)) {
    printErr1(kTextFileError, name);
    return;
  }
  static const std::string kSet = "(set)", kNone = "(none)";
  page.markup("<TABLE BORDER=1>\n<TR>");
  for (int c = 0; c < cols_[file]; ++c)
    page.markup("<TH><FONT SIZE=-1>").text(columnHeading(file, c)).markup("</FONT></TH>\n");
  page.markup("</TR>\n");
  for (const std::string& raw : fileLines(text)) {
    const std::string line = stripCR(raw);
    if (line.empty()) continue;
    page.markup("<TR><TD>");
    size_t start = 0;
    for (int c = 0;; ++c) {
      const size_t colon = line.find(':', start);
      const std::string cell = line.substr(start, colon == std::string::npos ? std::string::npos
                                                                              : colon - start);
      if (file == kUsersFile && c == kPasswordColumn)
        page.text(cell.empty() ? textOr(kTextPasswordNone, kNone) : textOr(kTextPasswordSet, kSet));
      else
        page.text(cell);
      if (colon == std::string::npos) break;
      page.markup("&nbsp;</TD><TD>\n");
      start = colon + 1;
    }
    page.markup("&nbsp;</TD></TR>\n");
  }
  page.markup("</TABLE>\n");
}

// ===========================================================================
// Mail rules
// ===========================================================================

void editSendmailFile(int wizz) {
  tPage& page = request().page;
  const std::string path = globalPath(kSendmailFile);
  std::string text;
  if (!readWholeFile(path, &text)) {
    printErr1(kTextFileError, path);
    return;
  }
  const tRules rules = parseRules(text);
  bigHeading(page, "sendmail");
  formStart(page);
  setupFormFields(kSendmailFile, wizz);
  hiddenField(page, "text", "xxx");
  page.markup("<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=0 WIDTH=100%>\n");
  ruleHeadings(page);
  // One row per action, its rule found by the action's name wherever its
  // line stands.
  for (int a = 0; a < kRuleCount; ++a) {
    page.markup("<TR><TD>").text(getAction(a)).markup("</TD>\n");
    for (int c = 0; c < 6; ++c) {
      page.markup("<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX NAME=V").num(c).markup("_").num(a);
      page.markup(" ");
      if (rules.roles[a] & (1u << c)) page.markup(" CHECKED ");
      page.markup("></TD>\n");
    }
    page.markup("</TR>\n");
  }
  page.markup("</TABLE>\n<inPUT TYPE=\"submit\" VALUE=\"OK\">\n</FORM>\n");
}

bool doSendmailFile(int file, tArgList& list) {
  tPage& page = request().page;
  const bool wizard = inWizard(list);
  if (wizard && !hasArg(list, "text")) return true;
  const std::string target = globalPath(file);
  // One line per action in the order of the actions: its name, the role
  // letters ticked, then the user names its rule held. Lines that name no
  // action stay after them.
  const auto make = [&](const std::string* old, std::string* out) {
    const tRules rules = parseRules(old ? *old : std::string());
    for (int a = 0; a < kRuleCount; ++a) {
      *out += getAction(a);
      *out += ' ';
      for (int c = 0; c < 6; ++c) {
        if (!hasArg(list, ("V" + std::to_string(c) + "_" + std::to_string(a)).c_str())) continue;
        *out += kMailRoles[c];
        *out += ' ';
      }
      for (const std::string& w : rules.others[a]) *out += w + " ";
      *out += '\n';
    }
    for (const std::string& line : rules.foreign) *out += line + "\n";
    return true;
  };
  const tCfgWrite r = updateCfgFile(target, make);
  if (!reportWrite(page, r, target, false, file, "")) return false;
  if (!wizard) {
    bigHeading(page, "sendmail");
    printSendmailFile(file, target);
  }
  return true;
}

void printSendmailFile(int file, const std::string& name) {
  (void)file;
  tPage& page = request().page;
  std::string text;
  if (!readWholeFile(name, &text)) {
    printErr1(kTextFileError, name);
    return;
  }
  const tRules rules = parseRules(text);
  page.markup("<TABLE BORDER=1>\n");
  ruleHeadings(page);
  for (int a = 0; a < kRuleCount; ++a) {
    page.markup("<TR><TD>").text(getAction(a)).markup("</TD>\n");
    for (int c = 0; c < 6; ++c) {
      if (rules.roles[a] & (1u << c))
        page.markup("<TD>&nbsp;X</TD>\n");
      else
        page.markup("<TD>&nbsp;</TD>\n");
    }
    page.markup("</TR>\n");
  }
  page.markup("</TABLE>\n");
}
