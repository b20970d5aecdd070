#include "stats.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <unordered_map>

#include "actions.h"
#include "args.h"
#include "config.h"
#include "display.h"
#include "fileio.h"
#include "frame.h"
#include "mails.h"
#include "session.h"
#include "statsfile.h"
#include "svgchart.h"
#include "text.h"
#include "timeutil.h"
#include "utils.h"

namespace {

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

std::string scriptName() { return envOrEmpty("SCRIPT_NAME"); }

constexpr long kDay = 86400;
constexpr long kWeek = 604800;
// The longest window of a graph: ten years of days.
constexpr long kMaxWeeks = 520;

// Severity colours of the distribution page and of the severity graph.
const char* const kSeverityColour[5] = {"#CFCFCF", "#FF0000", "#FFAA33", "#FFFF33", "#33FF33"};
// The curves of the graphs: the data lines' four columns.
const std::array<std::string, kChartCurves> kCurveColour = {"#FF0000", "#FFAA33", "#FFFF33",
                                                            "#008000"};  // RED .. GREEN

// The start of a link to this program: SCRIPT_NAME, "?CMD=", `cmd`.
void linkStart(tPage& page, std::string_view cmd) {
  page.attr(scriptName()).markup("?CMD=").urlArg(cmd);
}

// "&name=value" for each argument.
void urlArgs(tPage& page, const tUrlArgs& args) {
  for (const auto& [name, value] : args) page.markup("&").urlArg(name).markup("=").urlArg(value);
}

// A link to statistics page `st` with project, group (when given) and
// further arguments, then the session.
void statsLink(tPage& page, int st, const tUrlArgs& args = {}) {
  linkStart(page, "statS");
  page.markup("&statS=").num(st);
  urlArgs(page, args);
  addUidTo(page);
}

// <SELECT NAME="name" onChange= "changePage(...,name)" >: choosing an option
// loads the address that is its value.
void selectStart(tPage& page, const char* name) {
  page.markup("<SELECT NAME=\"").attr(name).markup("\" onChange=");
  page.markup(" \"changePage(this.options[this.selectedIndex].value,").attr(name);
  page.markup(")\" >\n");
}

void optionStart(tPage& page, bool selected) {
  if (selected)
    page.markup("<OPTION SELECTED VALUE=\"");
  else
    page.markup("<OPTION VALUE=\"");
}

// A month of the response page, for sorting and printing.
struct tYearMonth {
  int year = 0, month = 0;
};
tYearMonth monthOf(long t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return {};
  return {tm.tm_year + 1900, tm.tm_mon + 1};
}

// ---------------------------------------------------------------------------
// Navigation menus
// ---------------------------------------------------------------------------

// The files of the statistics directory, in alphabetical order.
std::vector<std::string> statsFiles() {
  std::vector<std::string> names;
  const std::string dir = getStatsDir();
  DIR* d = opendir(dir.c_str());
  if (!d) {
    perror(("scandir(" + dir + ")").c_str());
    return names;
  }
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The options of the group list: the statistics units of project `proj`
// (every unit when no project is chosen), last file first; the option of
// group `sproj` ("TOTAL" when none) is selected. `args` follow the group.
void printListGroup(const tArgList& list, const std::string& proj, const std::string& sproj,
                    const tUrlArgs& args) {
  tPage& page = request().page;
  const int st = getArgInt(list, "statS");
  const std::string current = given(sproj) ? sproj : "TOTAL";
  const std::vector<std::string> files = statsFiles();
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    // The units of a project begin with its name and a point: a project
    // whose name ends another's does not list that one's units.
    size_t dot;
    if (given(proj)) {
      if (it->size() <= proj.size() || it->compare(0, proj.size(), proj) != 0 ||
          (*it)[proj.size()] != '.')
        continue;
      dot = proj.size();
    } else {
      dot = it->find('.');
      if (dot == std::string::npos) continue;
    }
    const std::string group = it->substr(dot + 1);
    optionStart(page, group == current);
    tUrlArgs a = {{"project", proj}, {"group", group}};
    a.insert(a.end(), args.begin(), args.end());
    statsLink(page, st, a);
    page.markup("\">").text(group).markup("\n");
  }
}

// The heading and the navigation form of pages 1 to 4, up to the group
// list (left open: the caller ends the row, the table and the form).
void formHead(const tArgList& list, int st, int title) {
  tPage& page = request().page;
  const std::string project = getArg(list, "project");
  page.markup("<H1>").text(langue(title)).markup(" ").text(project).markup("</H1>\n");
  if (st == S_RESPONSE)
    page.markup("<FORM NAME=\"NavForm\" METHOD=GET ACTION=\"");
  else
    page.markup("<FORM METHOD=GET ACTION=\"");
  page.attr(scriptName()).markup("\">\n");
  if (st != S_RESPONSE) {
    page.hidden("CMD", getArg(list, "CMD"));
    page.hidden("statS", std::to_string(st));
  }
  page.markup("<TABLE WIDTH=100%><TR><TD ALIGN=RIGHT>").text(langue(100)).markup(":");
  const tUrlArgs arg2 =
      st == S_STATUS ? tUrlArgs{{"group", "TOTAL"}} : tUrlArgs{};
  printProjectList(list, "statS", {}, arg2, st == S_DISTRIB ? "MENU" : "PMENU");
  if (st == S_DISTRIB) return;
  page.markup(" ").text(langue(101)).markup(":");
  selectStart(page, "SPMENU");
  page.markup("<OPTION VALUE=\"");
  statsLink(page, st, st == S_STATUS ? tUrlArgs{} : tUrlArgs{{"project", project}});
  page.markup("\">\n");
}

void formEnd() { request().page.markup("</TD></TR></TABLE>\n</FORM>\n"); }

// ---------------------------------------------------------------------------
// Menu page
// ---------------------------------------------------------------------------

void displayStatsTitle(int title, int st) {
  tPage& page = request().page;
  page.markup("<TR><TD ALIGN=CENTER><A HREF=\"");
  statsLink(page, st);
  page.markup("\">").text(langue(title)).markup("&nbsp;</A></TD></TR>\n");
}

void doMainDisplay(tArgList& list) {
  (void)list;
  tPage& page = request().page;
  page.markup("<CENTER>\n<TABLE WIDTH=70% BORDER=1 CELLSPACING=0 CELLPADDING=8><TR>\n");
  page.markup("<TD ALIGN=LEFT><IMG SRC=\"").attr(getImgDir()).markup("/bugL.gif\" ALT=\"\"></TD>\n");
  page.markup("<TD ALIGN=CENTER><FONT SIZE=+3><B>VELKO&nbsp;").text(langue(3005));
  page.markup("</B></FONT></TD>\n");
  page.markup("<TD ALIGN=RIGHT><IMG SRC=\"").attr(getImgDir()).markup("/bugR.gif\" ALT=\"\"></TD>\n");
  page.markup("</TR></TABLE>\n<BR>\n<TABLE BORDER=0 CELLPADDING=4>\n");
  static const int kPages[][2] = {{2487, S_DISTRIB}, {2488, S_STATUS},  {2480, S_MODULES},
                                  {2486, S_RESPONSE}, {2560, S_FLOWG1}, {2570, S_TODOG1},
                                  {2580, S_SEVERITYG1}};
  for (const auto& p : kPages) displayStatsTitle(p[0], p[1]);
  page.markup("</TABLE>\n</CENTER>\n");
}

// ---------------------------------------------------------------------------
// Distribution of the reports to be handled
// ---------------------------------------------------------------------------

struct tDistrib {
  std::string name;
  long sev[5] = {};
};

// The assignees of the reports in observation, analysis or open of `proj`
// (every project when none is chosen), in the order first met; `max` gets
// the largest count of severities 1 to 4 of one assignee.
std::vector<tDistrib> getOpenDisptrib(const std::string& proj, long* max) {
  std::vector<tDistrib> rows;
  std::unordered_map<std::string, size_t> at;
  *max = 0;
  tIndexLines lines;
  if (!lines.open()) return rows;
  std::string_view line;
  tIndexFields f;
  while (lines.next(&line, &f, IX_ASSIGNED)) {
    const int status = f.letter(IX_STATUS);
    if (line.empty() || status < OBSERVATION || status > OPEN) continue;
    if (given(proj) && f.text(IX_PROJECT) != proj) continue;
    const std::string name(f.text(IX_ASSIGNED));
    auto it = at.find(name);
    if (it == at.end()) {
      rows.push_back(tDistrib{name});
      it = at.emplace(name, rows.size() - 1).first;
    }
    const int sev = f.letter(IX_SEVERITY);
    ++rows[it->second].sev[sev >= 1 && sev <= 4 ? sev : 0];
  }
  for (const tDistrib& d : rows) *max = std::max(*max, d.sev[1] + d.sev[2] + d.sev[3] + d.sev[4]);
  return rows;
}

void doDistribDisplay(tArgList& list) {
  tPage& page = request().page;
  const std::string project = getArg(list, "project");
  formHead(list, S_DISTRIB, 2489);
  formEnd();
  long max = 0;
  const std::vector<tDistrib> rows = getOpenDisptrib(project, &max);
  if (max == 0) return;
  page.markup("<TABLE WIDTH=100% BORDER=0 CELLSPACING=1 CELLPADDING=2>\n<TR><TD WIDTH=10%></TD>"
              "<TD WIDTH=5%></TD>");
  for (long i = 0; i < max; ++i) page.markup("<TD WIDTH=").num(85 / max).markup("%></TD>");
  page.markup("</TR>\n<TR><TD COLSPAN=2 ALIGN=CENTER BGCOLOR=#CFCFCF>").text(langue(2474));
  page.markup("</TD><TD COLSPAN=").num(max).markup(" ALIGN=CENTER BGCOLOR=#CFCFCF>");
  page.text(langue(2475)).markup("</TD></TR>\n");
  for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
    page.markup("<TR><TD BGCOLOR=#CFCFCF><A HREF=\"");
    linkStart(page, "find");
    page.markup("&project=");
    if (given(project))
      page.urlArg(project);
    else
      page.markup("%A0");
    page.markup("&resp=").urlArg(r->name).markup("&statA=X&statO=X&statS=X&sort=0");
    addUidTo(page);
    page.markup("\">").text(r->name).markup("</A></TD><TD ALIGN=CENTER BGCOLOR=#CFCFCF>");
    page.num(r->sev[0] + r->sev[1] + r->sev[2] + r->sev[3] + r->sev[4]).markup("</TD>");
    for (int s = 1; s <= 4; ++s) {
      if (r->sev[s] == 0) continue;
      page.markup("<TD COLSPAN=").num(r->sev[s]).markup(" BGCOLOR=");
      page.attr(kSeverityColour[s]).markup(">&nbsp;</TD>");
    }
    page.markup("</TR>\n");
  }
  page.markup("</TABLE>\n<BR>").text(langue(2473)).markup(":\n<TABLE BORDER=0 CELLSPACING=2><TR>");
  for (int s = 1; s <= 4; ++s) {
    page.markup("<TD WIDTH=30 BGCOLOR=").attr(kSeverityColour[s]).markup(">&nbsp;</TD><TD>");
    page.text(getSeverityName(s)).markup("</TD>");
  }
  page.markup("</TR></TABLE>\n");
}

// ---------------------------------------------------------------------------
// Status table
// ---------------------------------------------------------------------------

// A change since the previous line: "=" in black for none; with `color` 1
// (reports to be handled) a drop is green and a rise red, with 0 (closed
// reports) the other way round.
void printColoredCell(long value, int color) {
  tPage& page = request().page;
  page.markup("<TD ALIGN=RIGHT>");
  if (value == 0) {
    page.markup("<FONT SIZE=2 COLOR=#000000>=</FONT></TD>");
    return;
  }
  const bool good = color == 1 ? value < 0 : value > 0;
  page.markup(good ? "<FONT SIZE=2 COLOR=#00A000>" : "<FONT SIZE=2 COLOR=#A00000>");
  if (value > 0) page.markup("+");
  page.num(value).markup("</FONT></TD>");
}

// A count and its change since `old`.
void printStatusTableCell(long nouv, long old, int color) {
  request().page.markup("<TD ALIGN=RIGHT>").num(nouv).markup("</TD>");
  printColoredCell(nouv - old, color);
}

// The eleven status counters of a line, in file order.
std::array<long, 11> statusCounts(const tStats& s) {
  return {s.nouv,      s.observed, s.analysed, s.open,      s.corrected, s.verified,
          s.notabug,   s.notrep,   s.postponed, s.duplicate, s.abandonned};
}

void printStatusDisplay(const std::vector<tStats>& lines, const std::string& name) {
  tPage& page = request().page;
  page.markup("<TABLE WIDTH=100% BORDER=1 CELLSPACING=0 CELLPADDING=1>\n");
  page.markup("<TR><TD COLSPAN=25 ALIGN=CENTER><B>").text(name).markup("</B></TD></TR>\n");
  page.markup("<TR><TD WIDTH=100>Date</TD>");
  for (const char* h : {"N", "Obs", "A", "O", "C", "V", "NB", "NR", "P", "D", "Ab"}) {
    page.markup("<TD WIDTH=40 COLSPAN=2 ALIGN=CENTER >").text(h).markup("</TD>");
  }
  page.markup("<TD WIDTH=40 COLSPAN=2 ALIGN=CENTER ><FONT FACE=Symbol>&aring;</FONT></TD></TR>\n");
  std::array<long, 11> old{};
  long oldSum = 0, oldClosed = 0;
  for (const tStats& l : lines) {
    const std::array<long, 11> c = statusCounts(l);
    page.markup("<TR><TD><FONT SIZE=2 COLOR=#000000>").text(time2char(l.date));
    page.markup("</FONT></TD>");
    for (int i = 0; i < 11; ++i) printStatusTableCell(c[i], old[i], i < 4 ? 1 : 0);
    long sum = 0, closed = 0;
    for (int i = 0; i < 11; ++i) sum += c[i];
    for (int i = 4; i < 11; ++i) closed += c[i];
    printColoredCell(sum - oldSum, 1);
    printColoredCell(closed - oldClosed, 0);
    page.markup("</TR>\n");
    old = c;
    oldSum = sum;
    oldClosed = closed;
  }
  page.markup("<TR><TD>Total</TD>");
  for (const long v : old) page.markup("<TD COLSPAN=2 ALIGN=CENTER>").num(v).markup("</TD>");
  page.markup("<TD COLSPAN=2 ALIGN=CENTER>").num(oldSum).markup("</TD></TR>\n</TABLE>\n");
}

void doStatusDisplay(tArgList& list) {
  const std::string project = getArg(list, "project");
  const std::string group = getArg(list, "group");
  formHead(list, S_STATUS, 2476);
  printListGroup(list, project, group, {});
  request().page.markup("</SELECT>\n");
  formEnd();
  const std::string unit = project + "." + group;
  bool exists = false;
  const std::vector<tStats> lines = readStatsFile(unit, &exists);
  if (exists) printStatusDisplay(lines, unit);
}

// ---------------------------------------------------------------------------
// Reports per module
// ---------------------------------------------------------------------------

struct tModules {
  std::string name;
  long num = 0;
};

void printModulesDisplay(const std::string& proj, const std::string& sproj) {
  std::vector<tModules> rows;
  std::unordered_map<std::string, size_t> at;
  tIndexLines lines;
  std::string_view line;
  tIndexFields f;
  if (lines.open()) {
    while (lines.next(&line, &f, IX_MODULE)) {
      if (line.empty()) continue;
      if (given(proj) && f.text(IX_PROJECT) != proj) continue;
      if (given(sproj) && f.text(IX_GROUP) != sproj) continue;
      const std::string name(f.text(IX_MODULE));
      auto it = at.find(name);
      if (it == at.end()) {
        rows.push_back(tModules{name});
        it = at.emplace(name, rows.size() - 1).first;
      }
      ++rows[it->second].num;
    }
  }
  tPage& page = request().page;
  page.markup("<CENTER><TABLE WIDTH=50% BORDER=1 CELLSPACING=0 CELLPADDING=2>\n<TR><TH>");
  page.text(langue(108)).markup("</TH><TH>").text(langue(2478)).markup("</TH></TR>\n");
  long total = 0;
  for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
    page.markup("<TR><TD>").text(r->name).markup("</TD><TD ALIGN=CENTER>").num(r->num);
    page.markup("</TD></TR>\n");
    total += r->num;
  }
  page.markup("<TR><TH>").text(langue(2479)).markup("</TH><TH>").num(total);
  page.markup("</TH></TR>\n</TABLE></CENTER>\n");
}

void doModulesDisplay(tArgList& list) {
  tPage& page = request().page;
  const std::string project = getArg(list, "project");
  const std::string group = getArg(list, "group");
  formHead(list, S_MODULES, 2480);
  // The groups here are the project's sub-projects.
  for (const std::string& sub : getSubProjects(project, " ")) {
    optionStart(page, sub == group);
    statsLink(page, S_MODULES, {{"project", project}, {"group", sub}});
    page.markup("\">").text(sub).markup("\n");
  }
  page.markup("</SELECT>\n");
  formEnd();
  printModulesDisplay(project, group);
}

// ---------------------------------------------------------------------------
// Response times
// ---------------------------------------------------------------------------

// Delays in working days and how many reports took each, in the order met.
using tHistogram = std::vector<std::pair<int, long>>;

struct tMonthly {
  int year = 0, month = 0;
  long submit = 0, notabug = 0, corrected = 0, closed = 0;
  tHistogram corrections, verifications;
};

tMonthly& getNewMonthly(std::vector<tMonthly>& lst, long date) {
  const tYearMonth m = monthOf(date);
  for (tMonthly& e : lst)
    if (e.year == m.year && e.month == m.month) return e;
  lst.emplace_back();
  lst.back().year = m.year;
  lst.back().month = m.month;
  return lst.back();
}

// Counts the delay from t1 to t2 into the correction (c 1) or the
// verification (c 0) histogram of `st`.
void addTimeDiff(tMonthly& st, int c, long t1, long t2) {
  tHistogram& h = c ? st.corrections : st.verifications;
  const int days = workdays(t1, t2);
  for (auto& e : h) {
    if (e.first == days) {
      ++e.second;
      return;
    }
  }
  h.emplace_back(days, 1);
}

// Calls `fn` with every report of project `proj` and statistics group
// `sproj` ("TOTAL": every group) read from the index.
template <class Fn>
void forEachUnitReport(const std::string& proj, const std::string& sproj, Fn fn) {
  tIndexLines lines;
  if (!lines.open()) return;
  const bool total = sproj == "TOTAL";
  std::unordered_map<std::string, bool> groupMatches;  // group and phase -> in the unit
  tHeader h;
  tIndexFields f;
  std::string key;
  std::string_view line;
  while (lines.next(&line, &f, IX_GROUP)) {
    if (line.empty() || f.text(IX_PROJECT) != proj) continue;
    if (!total) {
      key.assign(f.text(IX_GROUP)).append(1, '\n').append(1, static_cast<char>(f.letter(IX_PHASE)));
      auto it = groupMatches.find(key);
      if (it == groupMatches.end()) {
        resetHeader(&h);
        h.project = proj;
        h.subProject.assign(f.text(IX_GROUP));
        h.phase = static_cast<tPhase>(f.letter(IX_PHASE));
        it = groupMatches.emplace(key, statsUnit(h) == proj + "." + sproj).first;
      }
      if (!it->second) continue;
    }
    resetHeader(&h);
    strToIndex(line, &h);
    fn(h);
  }
}

std::vector<tMonthly> getMonthlyList(const std::string& proj, const std::string& sproj) {
  std::vector<tMonthly> months;
  forEachUnitReport(proj, sproj, [&](const tHeader& h) {
    tMonthly& created = getNewMonthly(months, h.date);
    ++created.submit;
    if (h.status == DUPLICATE || h.status == NOT_A_BUG || h.status == NOT_REPRODUCTIBLE ||
        h.status == POSTPONE || h.status == ABANDONED)
      ++created.notabug;
    // A date that was never set counts in no month.
    if (h.status == VERIFIED && h.verifyDate > 0) {
      tMonthly& v = getNewMonthly(months, h.verifyDate);
      ++v.closed;
      addTimeDiff(v, 0, h.date, h.verifyDate);
      const long corrected = h.correctDate > 0 ? h.correctDate : h.verifyDate;
      tMonthly& c = getNewMonthly(months, corrected);
      ++c.corrected;
      addTimeDiff(c, 1, h.date, corrected);
    } else if (h.status == CORRECTED && h.correctDate > 0) {
      tMonthly& c = getNewMonthly(months, h.correctDate);
      ++c.corrected;
      addTimeDiff(c, 1, h.date, h.correctDate);
    }
  });
  std::sort(months.begin(), months.end(), [](const tMonthly& a, const tMonthly& b) {
    return a.year != b.year ? a.year < b.year : a.month < b.month;
  });
  return months;
}

void printHistogramCells(long count, const tHistogram& h) {
  tPage& page = request().page;
  if (count == 0) {
    page.markup("<TD COLSPAN=2 ALIGN=CENTER>0</TD>");
    return;
  }
  page.markup("<TD ALIGN=CENTER>").num(count).markup("</TD><TD>");
  for (const auto& [days, num] : h) page.num(num).markup(" in ").num(days).markup(" days<BR>");
  page.markup("</TD>");
}

void responseDisplay(const std::string& proj, const std::string& sproj) {
  tPage& page = request().page;
  page.markup("<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=2>\n<TR><TH>").text(langue(2481));
  page.markup("</TH><TH>").text(langue(2482)).markup("</TH><TH>").text(langue(2483));
  page.markup("</TH><TH COLSPAN=2>").text(langue(204)).markup("</TH><TH COLSPAN=2>");
  page.text(langue(2485)).markup("</TH></TR>\n");
  for (const tMonthly& m : getMonthlyList(proj, sproj)) {
    page.markup("<TR><TD>").text(strprintf("%2d/%4d", m.month, m.year));
    page.markup("</TD><TD ALIGN=CENTER>").num(m.submit).markup("</TD><TD ALIGN=CENTER>");
    page.num(m.notabug).markup("</TD>");
    printHistogramCells(m.corrected, m.corrections);
    printHistogramCells(m.closed, m.verifications);
    page.markup("</TR>\n");
  }
  page.markup("</TABLE>\n");
}

struct tDetails {
  std::string name;
  long date = 0;
  int status = NEW, severity = 0;
  int corrdays = 0, verifdays = 0;
};

std::vector<tDetails> getStatusList(const std::string& proj, const std::string& sproj) {
  std::vector<tDetails> rows;
  const long now = static_cast<long>(time(nullptr));
  tReportNames names;
  forEachUnitReport(proj, sproj, [&](const tHeader& h) {
    tDetails d;
    d.name = names.of(h);
    d.date = h.date;
    d.status = h.status >= 0 && h.status < kStatusCount ? h.status : NEW;
    d.severity = h.severity;
    if (d.status == VERIFIED) {
      d.verifdays = workdays(h.date, h.verifyDate);
      d.corrdays = workdays(h.date, h.correctDate ? h.correctDate : h.verifyDate);
    } else if (d.status == CORRECTED) {
      d.corrdays = workdays(h.date, h.correctDate);
    } else if (d.status <= OPEN) {
      d.corrdays = workdays(h.date, now);
    }
    rows.push_back(std::move(d));
  });
  std::sort(rows.begin(), rows.end(),
            [](const tDetails& a, const tDetails& b) { return a.name < b.name; });
  return rows;
}

void responseDisplayDetail(const std::string& proj, const std::string& sproj) {
  tPage& page = request().page;
  page.markup("<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=2>\n<TR><TH>Bug</TH>");
  for (const int t : {119, 2477, 211, 204, 2485}) page.markup("<TH>").text(langue(t)).markup("</TH>");
  page.markup("</TR>\n");
  for (const tDetails& d : getStatusList(proj, sproj)) {
    page.markup("<TR><TD><A HREF=\"").attr(scriptName()).markup("?Num=").urlValue(d.name);
    addUidTo(page);
    page.markup("\">").text(d.name).markup("</A></TD><TD>").text(getStatusName(d.status));
    page.markup("</TD><TD>").text(getSeverityName(d.severity)).markup("</TD><TD>");
    page.text(time2char(d.date).substr(0, 10)).markup("</TD><TD ALIGN=RIGHT>");
    if (d.status <= OPEN) page.markup("+");
    page.num(d.corrdays).markup("</TD><TD ALIGN=RIGHT>");
    if (d.status == VERIFIED) page.num(d.verifdays);
    page.markup("</TD></TR>\n");
  }
  page.markup("</TABLE>\n");
}

void doResponseDisplay(tArgList& list) {
  tPage& page = request().page;
  const std::string project = getArg(list, "project");
  const std::string group = getArg(list, "group");
  const bool detail = hasArg(list, "text");
  formHead(list, S_RESPONSE, 2486);
  printListGroup(list, project, group, {});
  page.markup("</SELECT>\n ").text(langue(2112)).markup(":");
  selectStart(page, "DET");
  const tUrlArgs here = {{"project", project}, {"group", group}};
  page.markup("<OPTION VALUE=\"");
  statsLink(page, S_RESPONSE, here);
  if (detail)
    page.markup("\">OFF\n<OPTION VALUE=\"");
  else
    page.markup("\" SELECTED >OFF\n<OPTION VALUE=\"");
  linkStart(page, "statS");
  page.markup("&statS=").num(S_RESPONSE);
  urlArgs(page, here);
  page.markup("&text=ON");
  addUidTo(page);
  if (detail)
    page.markup("\" SELECTED >ON\n");
  else
    page.markup("\">ON\n");
  page.markup("</SELECT>\n");
  formEnd();
  if (!given(project) || !given(group)) return;
  if (detail)
    responseDisplayDetail(project, group);
  else
    responseDisplay(project, group);
}

// ---------------------------------------------------------------------------
// Graphs
// ---------------------------------------------------------------------------

enum tGraph { G_FLOW, G_TODO, G_SEVERITY };

using tGraphRow = std::array<long, kChartCurves>;

// The lines of a graph's data page: one per day from `now` minus `weeks`
// weeks up to now, computed from the unit's statistics lines. A line
// dated after now adds no day.
std::vector<tGraphRow> graphRows(tGraph g, const std::vector<tStats>& lines, long weeks,
                                 long now) {
  std::vector<tGraphRow> rows;
  long s = now - std::min(weeks, kMaxWeeks) * kWeek;
  auto addDay = [&](const tGraphRow& r) {
    rows.push_back(r);
    s += kDay;
  };
  if (lines.empty()) {
    while (s <= now) addDay({0, 0, 0, 0});
    return rows;
  }
  auto severities = [](const tStats& l) {
    return tGraphRow{l.severityTodo[1], l.severityTodo[2], l.severityTodo[3], l.severityTodo[4]};
  };
  switch (g) {
    case G_FLOW: {
      // Each change between two lines shows once, on the first day printed
      // after the later line's date; changes before the window do not show.
      long in = statsTodo(lines[0]), out = statsClosed(lines[0]);
      long pin = in, pout = out;
      bool printed = false;
      auto day = [&] {
        addDay({in - pin, 0, 0, out - pout});
        pin = in;
        pout = out;
        printed = true;
      };
      for (size_t i = 1; i < lines.size(); ++i) {
        while (s < lines[i].date && s <= now) day();
        in = statsTodo(lines[i]);
        out = statsClosed(lines[i]);
        if (!printed) {
          pin = in;
          pout = out;
        }
      }
      while (s <= now) day();
      break;
    }
    case G_TODO: {
      long in = statsTodo(lines[0]), out = lines[0].corrected;
      for (size_t i = 1; i < lines.size(); ++i) {
        while (s < lines[i].date && s <= now) addDay({in, 0, 0, out});
        in = statsTodo(lines[i]);
        out = lines[i].corrected;
      }
      while (s <= now) addDay({in, 0, 0, out});
      break;
    }
    case G_SEVERITY: {
      // The days before a line's date show that line's counts.
      for (size_t i = 1; i < lines.size(); ++i)
        while (s < lines[i].date && s <= now) addDay(severities(lines[i]));
      while (s <= now) addDay(severities(lines.back()));
      break;
    }
  }
  return rows;
}

tGraph graphOf(int st) {
  return st <= S_FLOWG2 ? G_FLOW : st <= S_TODOG2 ? G_TODO : G_SEVERITY;
}

// The data page: the lines of the unit's window, nothing else.
void printGraphData(tArgList& list, tGraph g) {
  const std::string unit = getArg(list, "project") + "." + getArg(list, "group");
  bool exists = false;
  const std::vector<tStats> lines = readStatsFile(unit, &exists);
  tPage& page = request().page;
  const long now = static_cast<long>(time(nullptr));
  for (const tGraphRow& r : graphRows(g, lines, getArgInt(list, "Week"), now)) {
    if (g == G_SEVERITY) {
      for (const long v : r) page.num(v).markup(" ");
      page.markup("\n");
    } else {
      page.num(r[0]).markup(" 0 0 ").num(r[3]).markup("\n");
    }
  }
}

void printFlowDisplay(tArgList& list) { printGraphData(list, G_FLOW); }
void printTodoDisplay(tArgList& list) { printGraphData(list, G_TODO); }
void printSeverity(tArgList& list) { printGraphData(list, G_SEVERITY); }

// The chart drawn inside the applet element: the series of the data page,
// the severity graph's curves stacked as the applet's CUMUL draws them.
void printChart(tGraph g, const std::vector<tStats>& lines, long weeks, const std::string& title) {
  const long now = static_cast<long>(time(nullptr));
  tChart chart;
  chart.title = title;
  chart.colours = kCurveColour;
  chart.rows = graphRows(g, lines, weeks, now);
  long day = now - std::min(weeks, kMaxWeeks) * kWeek;
  for (tGraphRow& r : chart.rows) {
    if (g == G_SEVERITY)
      for (int c = 1; c < kChartCurves; ++c) r[c] += r[c - 1];
    const time_t t = static_cast<time_t>(day);
    struct tm tm;
    char label[16] = "";
    if (localtime_r(&t, &tm)) strftime(label, sizeof label, "%d/%m", &tm);
    chart.labels.emplace_back(label);
    day += kDay;
  }
  svgChart(request().page, chart);
}

// The page of a graph: its menus, then the applet, which loads data page
// `graph` of the same unit and window, with the chart drawn inside it.
void doFlowDisplay(tArgList& list, int titre, int graph) {
  tPage& page = request().page;
  const std::string project = getArg(list, "project");
  const std::string group = getArg(list, "group");
  long weeks = getArgInt(list, "Week");
  if (weeks <= 0) weeks = 2;
  weeks = std::min(weeks, kMaxWeeks);
  const int st = getArgInt(list, "statS");
  const std::string unit = project + "." + group;
  bool exists = false;
  const std::vector<tStats> lines = readStatsFile(unit, &exists);
  if (!exists) page.markup("<H1>").text(langue(titre)).markup("</H1>\n");

  page.markup("<FORM METHOD=GET ACTION=\"").attr(scriptName()).markup("\">\n");
  page.hidden("CMD", getArg(list, "CMD"));
  page.hidden("statS", "2");
  page.markup("<TABLE WIDTH=100%><TR><TD ALIGN=RIGHT>").text(langue(100)).markup(":");
  const tUrlArgs week = {{"Week", std::to_string(weeks)}};
  printProjectList(list, "statS", {}, {{"group", "TOTAL"}, week[0]});
  page.markup(" ").text(langue(101)).markup(":");
  selectStart(page, "SPMENU");
  page.markup("<OPTION VALUE=\"");
  statsLink(page, st, week);
  page.markup("\">\n");
  printListGroup(list, project, group, week);
  page.markup("</SELECT>\n</TD><TD ALIGN=RIGHT>").text(langue(2563)).markup(":");
  selectStart(page, "SPMENU");
  for (int w = 1; w <= 14; ++w) {
    page.markup("<OPTION VALUE=\"");
    statsLink(page, st, {{"project", project}, {"group", group}, {"Week", std::to_string(w)}});
    if (w == weeks)
      page.markup("\" SELECTED >");
    else
      page.markup("\">");
    page.num(w).markup("\n");
  }
  page.markup("</SELECT> ").text(langue(2564)).markup("\n</TD></TR></TABLE>\n</FORM>\n");
  if (!exists) return;

  page.markup("<CENTER><FONT Size=+3>").text(langue(titre)).markup(" ").text(unit);
  page.markup("</FONT></CENTER>\n");
  if (graph == S_SEVERITYG2)
    page.markup("<P ALIGN=RIGHT>").text(langue(2585)).markup("</P>\n");
  page.markup("<CENTER>\n<APPLET code=VovoVavo.class ");
  page.markup("codebase=\"").attr(getJavaDir()).markup("\" width=600 height=400>\n");
  page.markup("<param name=Base value=\"http://").attr(envOrEmpty("HTTP_HOST"));
  page.attr(scriptName()).markup("?CMD=statS&statS=").num(graph);
  urlArgs(page, {{"project", project}, {"group", group}, week[0]});
  page.markup("\">\n");
  if (graph == S_SEVERITYG2) page.markup("<param name=CUMUL value=\"TRUE\" >\n");
  printChart(graphOf(graph), lines, weeks, langue(titre) + " " + unit);
  page.markup("</APPLET>\n<BR>\n");
  // The legend: the colours of the first and last curves (flow and to-do
  // graphs) or of all four (severities 1 to 4).
  const std::vector<int> curves =
      graph == S_SEVERITYG2 ? std::vector<int>{0, 1, 2, 3} : std::vector<int>{0, 3};
  for (size_t i = 0; i < curves.size(); ++i) {
    switch (curves[i]) {
      case 0: page.markup("<FONT COLOR=RED>--</FONT> "); break;
      case 1: page.markup("<FONT COLOR=#FFAA33>--</FONT> "); break;
      case 2: page.markup("<FONT COLOR=#FFFF33>--</FONT> "); break;
      default: page.markup("<FONT COLOR=GREEN>--</FONT> "); break;
    }
    page.text(langue(titre + 1 + static_cast<int>(i))).markup(" &nbsp; ");
  }
  page.markup("\n</CENTER>\n");
}

// ---------------------------------------------------------------------------
// The wake-up of postponed reports
// ---------------------------------------------------------------------------

// Puts report `name` back to new when it is still postponed to a date
// before `now` (it may have changed since the index was read), under its
// lock; then queues its mail, which goes once every lock is released.
void wakeUp(const std::string& name, long now) {
  std::unique_ptr<tHeader> bug;
  {
    tFileLock lock;
    if (!lockReport(&lock, name)) {
      traceComment("statistics: " + name + " is busy, left postponed until the next pass");
      return;
    }
    bug = readBug(name);
    if (!bug || bug->status != POSTPONE || bug->postponeDate >= now) return;
    bug->status = NEW;
    const int rc = writeBug(*bug);
    if (rc != 1) {
      traceComment("statistics: " + name + " not woken up, " + failedFile(rc, name) +
                   " not written");
      return;
    }
  }
  tPage body;
  displayBugMenu(body, name, std::string_view(), true);
  displayBugCore(body, *bug, true);
  const int row = findAction("new");
  const std::string subject = row >= 0 ? langue(kActionRows[row].mail) : std::string();
  // The bug managers of the project act: a single manager is not mailed
  // about his own wake-up, a list of managers is.
  request().after([bug = *bug, name, subject, managers = getBugManager(bug->project),
                   html = body.body()] { sendMailBug(bug, name, E_New, subject, managers, html); });
}

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------

namespace {

// The local weekday of many times, for the delays of the response pages:
// the offset from UTC of each UTC day, looked up once per request (a day
// within which the offset changes is converted time by time).
struct tWeekdays {
  std::unordered_map<long, long> offsets;  // UTC day -> offset, or kVaries
  static constexpr long kVaries = LONG_MIN;

  static long offsetAt(long t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm;
    return localtime_r(&tt, &tm) ? tm.tm_gmtoff : 0;
  }
  int of(long t) {
    const long day = t >= 0 ? t / kDay : -((-t + kDay - 1) / kDay);
    auto it = offsets.find(day);
    if (it == offsets.end()) {
      const long a = offsetAt(day * kDay), b = offsetAt(day * kDay + kDay - 1);
      it = offsets.emplace(day, a == b ? a : kVaries).first;
    }
    const long local = t + (it->second == kVaries ? offsetAt(t) : it->second);
    const long days = local >= 0 ? local / kDay : -((-local + kDay - 1) / kDay);
    return static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  }
};

}  // namespace

int workdays(long t1, long t2) {
  // The count of timeDiffDay (timeutil.h), without a local time conversion
  // per step: the per-report page counts one delay per report.
  if (t1 >= t2) return 0;
  const unsigned long steps =
      (static_cast<unsigned long>(t2) - static_cast<unsigned long>(t1) - 1) / kDay + 1;
  const time_t tt = static_cast<time_t>(t1);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return timeDiffDay(t1, t2);
  unsigned long count = 0;
  if (tm.tm_hour >= 3 && tm.tm_hour < 21) {
    // From a start between 03:00 and 21:00 every step lands on the next
    // calendar day, whatever offset change (of at most three hours) lies
    // between: the weekdays of the steps follow each other.
    count = steps / 7 * 5;
    for (unsigned long k = 0; k < steps % 7; ++k) {
      const unsigned long wday = (static_cast<unsigned long>(tm.tm_wday) + k) % 7;
      if (wday >= 1 && wday <= 5) ++count;
    }
  } else if (steps <= 20 * 366) {
    // Near midnight an offset change may move a step to another day: each
    // step is looked at, through the offsets of its day.
    tWeekdays& w = request().slot<tWeekdays>();
    long t = t1;
    for (unsigned long k = 0; k < steps; ++k, t += kDay) {
      const int wday = w.of(t);
      if (wday >= 1 && wday <= 5) ++count;
    }
  } else {
    return timeDiffDay(t1, t2);
  }
  return static_cast<int>(std::min<unsigned long>(count, INT_MAX));
}

std::string getJavaDir() {
  std::string dir = getImgDir();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  const size_t slash = dir.rfind('/');
  return (slash == std::string::npos ? std::string("/") : dir.substr(0, slash + 1)) + "java/";
}

void printProjectList(const tArgList& list, const std::string& menu, const tUrlArgs& arg1,
                      const tUrlArgs& arg2, const char* name) {
  tPage& page = request().page;
  const int value = getArgInt(list, menu);
  const std::string current = getArg(list, "project");
  selectStart(page, name);
  page.markup("<OPTION VALUE=\"");
  linkStart(page, menu);
  page.markup("&").urlArg(menu).markup("=").num(value);
  urlArgs(page, arg1);
  addUidTo(page);
  page.markup("\">\n");
  for (const std::string& p : getProjects(" ")) {
    optionStart(page, p == current);
    linkStart(page, menu);
    page.markup("&").urlArg(menu).markup("=").num(value).markup("&project=").urlArg(p);
    urlArgs(page, arg2);
    addUidTo(page);
    page.markup("\">").text(p).markup("\n");
  }
  page.markup("</SELECT>\n");
}

void statistics(tArgList& list) {
  tPage& page = request().page;
  const int st = getArgInt(list, "statS");
  if (st == S_FLOWG2 || st == S_TODOG2 || st == S_SEVERITYG2) {
    // A data page holds its lines only: the right is checked without the
    // diagnostic comments, and a refusal gives no line.
    page.setHeader();
    tArgList quiet = list;
    quiet.insert(quiet.begin(), tElement{"excel", "X"});
    if (!statsRight(quiet)) return;
    if (st == S_FLOWG2) printFlowDisplay(list);
    if (st == S_TODOG2) printTodoDisplay(list);
    if (st == S_SEVERITYG2) printSeverity(list);
    return;
  }
  printHead(page, "Statistics", nullptr, &list);
  if (!statsRight(list)) {
    printErr(517);
    return;
  }
  if (st != S_MAIN) jsChangePage();
  switch (st) {
    case S_MAIN: doMainDisplay(list); break;
    case S_DISTRIB: doDistribDisplay(list); break;
    case S_STATUS: doStatusDisplay(list); break;
    case S_MODULES: doModulesDisplay(list); break;
    case S_RESPONSE: doResponseDisplay(list); break;
    case S_FLOWG1: doFlowDisplay(list, 2560, S_FLOWG2); break;
    case S_TODOG1: doFlowDisplay(list, 2570, S_TODOG2); break;
    case S_SEVERITYG1: doFlowDisplay(list, 2580, S_SEVERITYG2); break;
    default: break;
  }
}

void checkStatsDate() {
  // A download's bytes are not followed by the diagnostics of the pass (the
  // mails of woken reports trace their steps): the next page runs it.
  const tPage& page = request().page;
  if (page.hasHeader() && page.header() != kHtmlHeader) return;
  long stamp = 0;
  if (statsPassDue(static_cast<long>(time(nullptr)), &stamp)) createStatFiles(stamp);
}

void createStatFiles(long yesterday) {
  const long now = static_cast<long>(time(nullptr));
  tStatsList list;
  std::vector<std::string> postponed;
  countIndex(yesterday, now, &list, &postponed);
  // Most recently noted first.
  for (auto it = postponed.rbegin(); it != postponed.rend(); ++it) wakeUp(*it, now);
  appendStatsLines(list);
}

bool isStatsDataPage(const tArgList& list) {
  const int st = getArgInt(list, "statS");
  return st == S_FLOWG2 || st == S_TODOG2 || st == S_SEVERITYG2;
}
