// create.cpp: the creation form and the creation of a report.
//
// The store numbers and writes a new report (storeNewBug): two creations
// never share a number and no reader sees a half-written report. When the
// write fails, nothing is left and the page says why instead of showing the
// report.
#include "create.h"

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

// A text argument as stored: "" when absent (empty or beginning with a
// blank).
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


// The first letter of a value minus 'a' (phase and impact), -1 when absent.
int letterValue(const std::string& v) {
  if (v.empty()) return -1;
  return static_cast<unsigned char>(v[0]) - 'a';
}

// A language text with one "%s" filled in (the text is not given to printf).
std::string format1(const std::string& text, const std::string& arg) {
  return applyHistoryFormat(text, arg, std::string(), std::string());
}

// The session of a link, "&Uid=<identifier>" (without the '&' when
// `first`), with security on and a session; nothing otherwise.
void sessionArg(tPage& page, bool first = false) {
  if (!useSecurity() || isAbsent(getCookie())) return;
  if (first)
    page.markup("Uid=");
  else
    page.markup("&Uid=");
  page.urlArg(getCookie());
}

// A selection of the form, in its table cell: the label, the SELECT
// element, its blank first option, then the options that `options` writes.
template <size_t N, class Options>
void selection(tPage& page, int label, const char (&name)[N], bool blankSelected,
               Options options) {
  page.text(langue(label)).markup(" : <SELECT NAME=\"").markup(name).markup("\">\n");
  if (blankSelected)
    page.markup("<OPTION SELECTED>&nbsp\n");
  else
    page.markup("<OPTION >&nbsp\n");
  options();
  page.markup("</SELECT></TD>\n");
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation form
// ---------------------------------------------------------------------------

void displayCreate(tArgList& list) {
  tPage& page = request().page;
  std::string project = getArg(list, "project");
  if (isAbsent(project)) project = getUserProject();
  const char* scriptEnv = getenv("SCRIPT_NAME");
  const std::string script = escapeAttr(scriptEnv ? scriptEnv : "");

  jsChangePage();
  page.markup("<H1>").text(langue(2001)).markup("</H1>\n");
  page.markup("<FORM METHOD=POST ACTION=\"").escaped(script).markup("\">\n");
  page.markup("<INPUT TYPE=hidden NAME=\"CMD\" VALUE=\"new\">\n");
  page.markup("<INPUT TYPE=hidden NAME=\"QS\" VALUE=\"").attr(getArg(list, "QS")).markup("\">\n");
  // With security on the session travels with the form and the project
  // reloads, else the request that follows would have no right.
  if (useSecurity() && !isAbsent(getCookie()))
    page.markup("<INPUT TYPE=hidden NAME=\"Uid\" VALUE=\"").attr(getCookie()).markup("\">\n");
  page.markup("<TABLE BORDER=0 WIDTH=100%>\n");
  page.markup("<TR><TD COLSPAN=4><B>").text(langue(106));
  page.markup("</B> : <INPUT TYPE=text NAME=\"title\" SIZE=73></TD></TR>\n");

  // The project: choosing one reloads the form for it.
  page.markup("<TR><TD><INPUT TYPE=hidden NAME=\"project\" VALUE=\"").attr(project);
  page.markup("\">\n<FONT SIZE=+1><B>").text(langue(100));
  page.markup("</B></FONT> : <SELECT NAME=\"Deroulant\" onChange=");
  page.markup(" \"changePage(this.options[this.selectedIndex].value,Deroulant)\" >\n");
  page.markup("<OPTION VALUE=\"").escaped(script).markup("?CMD=create");
  sessionArg(page);
  page.markup("\">&nbsp\n");
  for (const std::string& p : getProjects(" ")) {
    if (p == project)
      page.markup("<OPTION SELECTED VALUE=\"");
    else
      page.markup("<OPTION VALUE=\"");
    page.escaped(script).markup("?CMD=create&project=").urlArg(p);
    sessionArg(page);
    page.markup("\">").text(p).markup("\n");
  }
  page.markup("</SELECT></TD>\n");

  std::string group = getUserGroup();
  if (group.empty()) group = " ";  // no remembered group selects none
  page.markup("<TD>");
  selection(page, 101, "group", false, [&] { optionListSubProject(project, group); });
  page.markup("<TD>");
  selection(page, 108, "prog", true, [&] { optionListProgram(project, " "); });
  page.markup("<TD>");
  selection(page, 109, "sev", true, [] { optionListSeverity(0); });
  page.markup("</TR>\n");

  page.markup("<TR><TD>");
  selection(page, 104, "impact", true, [] { optionListImpact(-1); });
  page.markup("<TD>");
  selection(page, 102, "phase", false, [] { optionListPhase(getUserPhase()); });
  page.markup("<TD>");
  selection(page, 110, "version", true, [&] { optionListVersion(project, " "); });
  page.markup("<TD>");
  selection(page, 111, "exp", false, [&] { optionListExclDeadline(project); });
  page.markup("</TR>\n");

  page.markup("<TR><TD>");
  selection(page, 112, "type", true, [] { optionListProblemType(0); });
  page.markup("<TD>");
  // The author: within a session (security on) the session's user alone.
  const std::string self = currentSessionUser();
  if (self.empty()) {
    selection(page, 113, "submitter", false, [&] { optionListUsers(project, getUser()); });
  } else {
    page.text(langue(113)).markup(" : <SELECT NAME=\"submitter\">\n").option(self, true);
    page.markup("</SELECT></TD>\n");
  }

  page.markup("<TD>").text(langue(114)).markup(" : <INPUT TYPE=text NAME=\"test\"></TD>\n");
  page.markup("<TD><INPUT TYPE=submit VALUE=\"").attr(langue(3001));
  page.markup("\"> ");
  resetButton(page);
  page.markup("</TD></TR>\n");

  page.markup("<TR><TD COLSPAN=2>").text(langue(115));
  page.markup(" : <INPUT TYPE=text NAME=\"mdapda\" SIZE=40></TD>\n");
  page.markup("<TD COLSPAN=2>").text(langue(116));
  page.markup(" : <INPUT TYPE=text NAME=\"Load\" SIZE=4 VALUE=1></TD></TR>\n");
  page.markup("<TR><TD COLSPAN=4><TEXTAREA NAME=\"text\" ROWS=15 COLS=80>").text(langue(107));
  page.markup(" :\n</TEXTAREA></TD></TR>\n");
  page.markup("</TABLE>\n</FORM>\n");
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
  // The project names the files of its users, groups and versions: only a
  // configured one is taken.
  const std::string project = getArg(list, "project");
  if (!isConfiguredProject(project)) {
    printErr1(kTextUnknownProject, project);
    return 0;
  }
  return 1;
}

void decodeHead(const tArgList& list, tHeader& head) {
  const std::string project = textArg(list, "project");
  const std::string group = textArg(list, "group");
  head.prefix = storedField(getGroupPrefix(project, group), kPrefixSize);
  head.date = static_cast<long>(time(nullptr));
  head.submitter = storedField(textArg(list, "submitter"), kUserSize);
  head.severity = static_cast<int>(numberArg(list, "sev", 0, 25));
  head.project = storedField(project, kProjectSize);
  head.subProject = storedField(group, kProjectSize);
  const int phase = letterValue(textArg(list, "phase"));
  head.phase = static_cast<tPhase>(phase >= 0 && phase <= 15 ? phase : 0);
  head.module = storedField(textArg(list, "prog"), kModuleSize);
  head.version = storedField(textArg(list, "version"), kVersionSize);
  head.title = storedField(textArg(list, "title"), kTitleSize);
  head.expvers = storedField(textArg(list, "exp"), kVersionSize);
  head.testref = storedField(textArg(list, "test"), kTestrefSize);
  head.status = NEW;
  const long type = numberArg(list, "type", -1, 3);
  head.fileType = static_cast<tBugType>(type >= FAIT_TECHNIQUE && type <= ANOMALIE ? type : 0);
  const int impact = letterValue(textArg(list, "impact"));
  head.impact = static_cast<tImpact>(impact >= 0 && impact <= PERFORMANCE ? impact : 0);
  head.mdaPda = storedField(textArg(list, "mdapda"), kMdaPdaSize);
  head.timeEstimate = numberArg(list, "Load", INT_MIN, INT_MAX);
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

bool createNewBug(tPage& page, tArgList& list, tNewReport* made) {
  if (!checkParams(list)) return false;

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
  const int rc = storeNewBug(bug, "%s %s", langue(113), bug.submitter, &made->shown);
  made->name = getBugName(bug);
  if (rc < 0) {
    std::string reason;
    if (rc == kStoreBusy)
      reason = langue(521);
    else
      reason = format1(langue(501), failedFile(rc, made->name));
    page.redLine(format1(langue(520), reason));
    return false;
  }

  page.markup("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  page.markup("<TR><TD ALIGN=LEFT><H1>").text(made->name);
  page.markup("</H1></TD><TD ALIGN=RIGHT>");
  page.markup("<A HREF=\"?");
  sessionArg(page, true);
  page.markup("\">\n");
  page.markup("<IMG SRC=\"").attr(getImgDir()).markup("/home.gif\" BORDER=0 VALIGN=CENTER></A>\n");
  page.markup("</A></TD></TR></Table>\n");
  return true;
}

void rememberSubmitter(tPage& page, const tHeader& bug) {
  if (!setUserInfo(bug.submitter, bug.project, bug.subProject, bug.phase))
    page.redLine(langue(kTextNotRemembered));
}
