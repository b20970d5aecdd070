// create.cpp: the creation form and the creation of a report.
//
// A new report gets the lowest free number of its report prefix. Creations
// are serialised by a kernel lock on "<DATADIR>/number.lock" (a file that
// stays in place; the kernel releases the lock of a killed request): under
// it the number is found by probing the data directory and the report is
// written whole (temporary file and rename, with its index line). So two
// creations never share a number, and no reader ever sees a reserved or
// half-written report file. When the write fails, nothing is left and the
// page says why instead of showing the report.
#include "create.h"

#include "velko.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "config.h"
#include "frame.h"
#include "session.h"
#include "display.h"
#include "html.h"
#include "args.h"
#include "text.h"
#include "utils.h"

namespace {

// Texts that the language files may not have yet.
constexpr int kTxtIndexBusy = 521;
constexpr int kTxtChoicesNotKept = 527;

const std::string& textOrBuiltIn(int num, const char* english, const char* french) {
  static std::string fallback;
  const std::string& t = langue(num);
  if (!t.empty()) return t;
  fallback = langue(1) == "FR" ? french : english;
  return fallback;
}

// A value the user did not give: absent, empty, or beginning with a blank.

// A text argument as stored: "" when absent.
std::string textArg(const tArgList& list, const std::string& name) {
  std::string v = getArg(list, name);
  return isAbsent(v) ? std::string() : v;
}

// An integer argument read like atoi, kept within the range of int.
long numberArg(const tArgList& list, const std::string& name, long lo, long hi) {
  const std::string v = getArg(list, name);
  long n = strtol(v.c_str(), nullptr, 10);
  if (n < lo) n = lo;
  if (n > hi) n = hi;
  return n;
}

// A field value as stored: at most width - 1 bytes (never half a UTF-8
// character), '|' replaced by the store's stand-in and line ends by blanks,
// as the store itself would write it.
std::string fieldValue(std::string v, size_t width) {
  if (v.size() > width - 1) {
    size_t n = width - 1;
    while (n > 0 && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) --n;
    v.resize(n);
  }
  for (char& c : v) {
    if (c == '|')
      c = kBarStandIn;
    else if (c == '\n' || c == '\r' || c == '\0')
      c = ' ';
  }
  return v;
}

// The first letter of a value minus 'a' (phase and impact), -1 when absent.
int letterValue(const std::string& v) {
  if (v.empty()) return -1;
  return static_cast<unsigned char>(v[0]) - 'a';
}

// A language text with one "%s" filled in (the text is not given to printf).
std::string format1(const std::string& text, const std::string& arg) {
  return applyHistoryFormat(text, arg, std::string(), std::string());
}

void redLine(const std::string& html) { emitf("<FONT COLOR=RED>%s <BR></FONT>\n", html.c_str()); }

std::string reportPath(const std::string& name) {
  const std::string& dir = getDataDir();
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// An exclusive kernel lock on a file that stays in place, released when the
// object goes (or the process dies).
class tNumberLock {
 public:
  explicit tNumberLock(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {}
  ~tNumberLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  tNumberLock(const tNumberLock&) = delete;
  tNumberLock& operator=(const tNumberLock&) = delete;
  // False when the lock is not had within `seconds`.
  bool acquire(int seconds) {
    if (fd_ < 0) return false;
    for (int waited = 0;; waited += 10) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) return false;
      if (waited >= seconds * 1000) return false;
      const struct timespec ts = {0, 10 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
  }

 private:
  int fd_;
};

constexpr int kNumberLockWait = 5;  // seconds

// The lowest n >= 1 for which "<DATADIR>/<prefix>.<n on 5 digits>" does not
// exist. Any file there counts, an empty one too (a number another writer
// has reserved).
int lowestFreeNumber(const std::string& prefix) {
  for (int n = 1; n < INT_MAX; ++n) {
    struct stat st;
    if (::stat(reportPath(strprintf("%s.%05d", prefix.c_str(), n)).c_str(), &st) != 0) return n;
  }
  return INT_MAX;
}

// The blank first option of a selection list.
void blankOption(bool selected) { emit(selected ? "<OPTION SELECTED>&nbsp\n" : "<OPTION >&nbsp\n"); }

void selectOpen(const char* name) { emitf("<SELECT NAME=\"%s\">\n", name); }
void selectClose() { emit("</SELECT></TD>\n"); }

}  // namespace

// ---------------------------------------------------------------------------
// Creation form
// ---------------------------------------------------------------------------

void displayCreate(tArgList& list) {
  std::string project = getArg(list, "project");
  if (isAbsent(project)) project = getUserProject();
  printHead(request().page, langue(2000), nullptr, &list);
  if (!createRight(list)) {
    printErr(515);
    return;
  }
  const char* scriptEnv = getenv("SCRIPT_NAME");
  const std::string script = escapeAttr(scriptEnv ? scriptEnv : "");
  // With security on the session travels with the form and the project
  // reloads, else the request that follows would have no right.
  const std::string uid = addUid();
  const std::string& cookie = getCookie();
  const bool carryUid = useSecurity() && !isAbsent(cookie);

  jsChangePage();
  emitf("<H1>%s</H1>\n", langue(2001).c_str());
  emitf("<FORM METHOD=POST ACTION=\"%s\">\n", script.c_str());
  emit("<INPUT TYPE=hidden NAME=\"CMD\" VALUE=\"new\">\n");
  emitf("<INPUT TYPE=hidden NAME=\"QS\" VALUE=\"%s\">\n", escapeAttr(getArg(list, "QS")).c_str());
  if (carryUid) emitf("<INPUT TYPE=hidden NAME=\"Uid\" VALUE=\"%s\">\n", escapeAttr(cookie).c_str());
  emit("<TABLE BORDER=0 WIDTH=100%>\n");
  emitf("<TR><TD COLSPAN=4><B>%s</B> : <INPUT TYPE=text NAME=\"title\" SIZE=73></TD></TR>\n",
        langue(106).c_str());

  // The project: choosing one reloads the form for it.
  emitf("<TR><TD><INPUT TYPE=hidden NAME=\"project\" VALUE=\"%s\">\n",
        escapeAttr(project).c_str());
  emitf("<FONT SIZE=+1><B>%s</B></FONT> : <SELECT NAME=\"Deroulant\" onChange=", langue(100).c_str());
  emitf(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "Deroulant");
  emitf("<OPTION VALUE=\"%s?%s=%s%s\">&nbsp\n", script.c_str(), "CMD", "create", uid.c_str());
  for (const std::string& p : getProjects(" ")) {
    emitf("<OPTION %sVALUE=\"%s?%s=%s&%s=%s%s\">%s\n", p == project ? "SELECTED " : "",
          script.c_str(), "CMD", "create", "project", escapeAttr(urlArg(p)).c_str(), uid.c_str(),
          escapeHtml(p).c_str());
  }
  selectClose();

  std::string group = getUserGroup();
  if (group.empty()) group = " ";  // no remembered group selects none
  emitf("<TD>%s : ", langue(101).c_str());
  selectOpen("group");
  blankOption(false);
  optionListSubProject(project, group);
  selectClose();

  emitf("<TD>%s : ", langue(108).c_str());
  selectOpen("prog");
  blankOption(true);
  optionListProgram(project, " ");
  selectClose();

  emitf("<TD>%s : ", langue(109).c_str());
  selectOpen("sev");
  blankOption(true);
  optionListSeverity(0);
  selectClose();
  emit("</TR>\n");

  emitf("<TR><TD>%s : ", langue(104).c_str());
  selectOpen("impact");
  blankOption(true);
  optionListImpact(-1);
  selectClose();

  emitf("<TD>%s : ", langue(102).c_str());
  selectOpen("phase");
  blankOption(false);
  optionListPhase(getUserPhase());
  selectClose();

  emitf("<TD>%s : ", langue(110).c_str());
  selectOpen("version");
  blankOption(true);
  optionListVersion(project, " ");
  selectClose();

  emitf("<TD>%s : ", langue(111).c_str());
  selectOpen("exp");
  blankOption(false);
  optionListExclDeadline(project);
  selectClose();
  emit("</TR>\n");

  emitf("<TR><TD>%s : ", langue(112).c_str());
  selectOpen("type");
  blankOption(true);
  optionListProblemType(0);
  selectClose();

  emitf("<TD>%s : ", langue(113).c_str());
  selectOpen("submitter");
  blankOption(false);
  optionListUsers(project, getUser());
  selectClose();

  emitf("<TD>%s : <INPUT TYPE=text NAME=\"test\"></TD>\n", langue(114).c_str());
  emitf("<TD><INPUT TYPE=submit VALUE=\"%s\"> <INPUT TYPE=reset VALUE=\"Reset\"></TD></TR>\n",
        escapeAttr(langue(3001)).c_str());

  emitf("<TR><TD COLSPAN=2>%s : <INPUT TYPE=text NAME=\"mdapda\" SIZE=40></TD>\n",
        langue(115).c_str());
  emitf("<TD COLSPAN=2>%s : <INPUT TYPE=text NAME=\"Load\" SIZE=4 VALUE=1></TD></TR>\n",
        langue(116).c_str());
  emitf("<TR><TD COLSPAN=4><TEXTAREA NAME=\"text\" ROWS=15 COLS=80>%s :\n</TEXTAREA></TD></TR>\n",
        langue(107).c_str());
  emit("</TABLE>\n</FORM>\n");
}

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------

int checkParam(const tArgList& list, const std::string& fld, const std::string& name) {
  if (!isAbsent(getArg(list, fld))) return 1;
  printErr1(503, name);
  return 0;
}

int checkParams(const tArgList& list) {
  // Each check runs only while all earlier ones passed: one message at most.
  // Phase and impact are letters from 'a' and severity a number 1 to 4; a
  // value outside what the report file can hold is refused like a missing
  // one, so that the report stored reads back as it was created.
  struct Check {
    const char* field;
    int label;  // language text; 0 for the argument's own name
    bool (*valid)(const std::string& v);
  };
  static const Check kChecks[] = {
      {"title", 0, nullptr},
      {"project", 100, nullptr},
      {"group", 101, nullptr},
      {"prog", 108, nullptr},
      {"sev", 109, [](const std::string& v) { long n = atol(v.c_str()); return n >= 1 && n <= 4; }},
      {"impact", 104, [](const std::string& v) { int n = letterValue(v); return n >= 0 && n <= 3; }},
      {"phase", 102, [](const std::string& v) { int n = letterValue(v); return n >= 0 && n <= 15; }},
      {"version", 110, nullptr},
      {"submitter", 113, nullptr},
  };
  for (const Check& c : kChecks) {
    const std::string label = c.label ? langue(c.label) : std::string(c.field);
    if (!checkParam(list, c.field, label)) return 0;
    if (c.valid && !c.valid(getArg(list, c.field))) {
      printErr1(503, label);
      return 0;
    }
  }
  return 1;
}

void decodeHead(const tArgList& list, tHeader& head) {
  const std::string project = textArg(list, "project");
  const std::string group = textArg(list, "group");
  head.prefix = fieldValue(getGroupPrefix(project, group), kPrefixSize);
  head.date = static_cast<long>(time(nullptr));
  head.submitter = fieldValue(textArg(list, "submitter"), kUserSize);
  head.severity = static_cast<int>(numberArg(list, "sev", 0, 25));
  head.project = fieldValue(project, kProjectSize);
  head.subProject = fieldValue(group, kProjectSize);
  const int phase = letterValue(textArg(list, "phase"));
  head.phase = static_cast<tPhase>(phase >= 0 && phase <= 15 ? phase : 0);
  head.module = fieldValue(textArg(list, "prog"), kModuleSize);
  head.version = fieldValue(textArg(list, "version"), kVersionSize);
  head.title = fieldValue(textArg(list, "title"), kTitleSize);
  head.expvers = fieldValue(textArg(list, "exp"), kVersionSize);
  head.testref = fieldValue(textArg(list, "test"), kTestrefSize);
  head.status = NEW;
  const long type = numberArg(list, "type", -1, 3);
  head.fileType = static_cast<tBugType>(type >= FAIT_TECHNIQUE && type <= ANOMALIE ? type : 0);
  const int impact = letterValue(textArg(list, "impact"));
  head.impact = static_cast<tImpact>(impact >= 0 && impact <= PERFORMANCE ? impact : 0);
  head.mdaPda = fieldValue(textArg(list, "mdapda"), kMdaPdaSize);
  head.timeEstimate = numberArg(list, "Load", INT_MIN, INT_MAX);
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

int storeNewBug(tHeader& bug, const std::string& format, const std::string& arg1,
                const std::string& arg2, tHeader* shown) {
  tNumberLock lock(reportPath("number.lock"));
  if (!lock.acquire(kNumberLockWait)) return kStoreBusy;
  const std::string prefix = getBugPrefix2(bug);
  bug.number = lowestFreeNumber(prefix);
  history2(&bug, format, arg1, arg2);
  if (shown) *shown = bug;
  const int rc = writeBug(bug);
  if (rc < 0) {
    // The index could not follow a report file already in place: the
    // file goes too, so that the failed creation leaves nothing.
    struct stat st;
    const std::string path = reportPath(getBugName(bug));
    if (rc == -3 && ::stat(path.c_str(), &st) == 0 && st.st_size > 0) ::unlink(path.c_str());
    return rc == -2 ? kStoreBusy : rc;
  }
  return rc;
}

void createNewBug(tArgList& list) {
  printHead(request().page, langue(2002), nullptr, &list);
  // Nothing changes for a request without a session (security on) or
  // without the create right, which the form alone would not enforce.
  if (!requireSession(list)) return;
  if (!createRight(list)) {
    printErr(515);
    return;
  }
  if (!checkParams(list)) return;

  tHeader bug;
  decodeHead(list, bug);
  // The first analysis: the text as typed (a value beginning with a blank
  // is kept; only an argument the form did not send is no text).
  std::string text;
  for (const tElement& e : list) {
    if (e.nom == "text") {
      text = e.valeur;
      break;
    }
  }
  addAnalyse(&bug, langue(107), bug.submitter, bug.date, text);

  // The page shows the report as it was before the store completed its
  // entries' final line feeds, and only once it is stored.
  tHeader shown;
  const int rc = storeNewBug(bug, "%s %s", langue(113), bug.submitter, &shown);
  const std::string name = getBugName(bug);
  if (rc < 0) {
    std::string reason;
    if (rc == kStoreBusy)
      reason = textOrBuiltIn(kTxtIndexBusy,
                             "the report index is in use by another request; try again in a moment",
                             "l'index des fiches est utilis\xC3\xA9 par une autre requ\xC3\xAAte ; "
                             "r\xC3\xA9" "essayez dans un instant");
    else
      reason = format1(langue(501), rc == -3 ? "index" : name);
    redLine(format1(langue(520), escapeHtml(reason)));
    return;
  }

  const std::string img = escapeAttr(getImgDir());
  std::string home = "?";
  const std::string uid = addUid();
  if (!uid.empty()) home += uid.substr(1);  // the session, without its leading '&'
  emit("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  emitf("<TR><TD ALIGN=LEFT><H1>%s", escapeHtml(name).c_str());
  emit("</H1></TD><TD ALIGN=RIGHT>");
  emitf("<A HREF=\"%s\">\n", escapeAttr(home).c_str());
  emitf("<IMG SRC=\"%s/home.gif\" BORDER=0 VALIGN=CENTER></A>\n", img.c_str());
  emit("</A></TD></TR></Table>\n");
  displayBugMenu(request().page, name, "");
  displayBugCore(request().page, shown);

  sendMailBug(name, E_New, bug.submitter);
  if (!setUserInfo(bug.submitter, bug.project, bug.subProject, bug.phase))
    redLine(textOrBuiltIn(
        kTxtChoicesNotKept, "The action was saved, but your choices could not be remembered.",
        "L'action est enregistr\xC3\xA9" "e, mais vos choix n'ont pas pu \xC3\xAA" "tre retenus."));
}
