#include "display.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config.h"
#include "cookies.h"
#include "html.h"
#include "args.h"
#include "text.h"
#include "utils.h"

namespace {

bool& headPrinted() {
  static bool printed = false;
  return printed;
}

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}




// "http://HOSTNAME" when SERVER_PORT is "80" (or unset), else
// "http://HOSTNAME:PORT", at most 299 characters. Built on first use; the
// host and port do not change within a run (a test that changes them gets
// the address rebuilt).
const std::string& absoluteBase() {
  static std::string builtFor, base;
  const std::string port = envOrEmpty("SERVER_PORT");
  const std::string key = getCfgFile() + "\n" + port;
  if (base.empty() || builtFor != key) {
    const std::string host = getCfgKey("HOSTNAME");
    base = port.empty() || port == "80" ? "http://" + host : "http://" + host + ":" + port;
    if (base.size() > 299) base.resize(299);
    builtFor = key;
  }
  return base;
}

// The help pages lie beside the image directory: /x/images/ gives /x/help/.
std::string helpDir() {
  std::string dir = getImgDir();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string() : dir.substr(0, slash);
  return dir + "/help/";
}

// One entry of the start page menu.
struct MenuEntry {
  int label;          // language text
  const char* image;  // in the image directory
  const char* cmd;    // CMD value; null for the help directory
  bool large;         // drawn 64 by 64
};

void menuEntry(const MenuEntry& m, const std::string& script, const std::string& uid,
               const std::string& img) {
  const std::string& label = langue(m.label);
  emit("<TD ALIGN=CENTER WIDTH=20%>");
  if (m.cmd)
    emitf("<A HREF=\"%s?CMD=%s%s\">\n", script.c_str(), m.cmd, uid.c_str());
  else
    emitf("<A HREF=\"%s\">\n", escapeAttr(helpDir()).c_str());
  // The large entries quote their ALT; the others write it bare, which is
  // safe only for a single word: any other label is quoted too.
  const bool bare = !m.large && !label.empty() &&
                    label.find_first_of(" \t\"'=<>&`") == std::string::npos;
  const std::string alt = bare ? label : "\"" + escapeAttr(label) + "\"";
  emitf("<IMG SRC=\"%s/%s\"%s BORDER=0 ALT=%s><BR>%s</A></TD>\n", img.c_str(), m.image,
        m.large ? " WIDTH=64 HEIGHT=64" : "", alt.c_str(), label.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Output to a file or to the page
// ---------------------------------------------------------------------------

namespace {

void writeOut(tPage& page, std::string_view text) { page.unsafeRaw(text); }

void writeOutf(tPage& page, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void writeOutf(tPage& page, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  writeOut(page, s);
}

}  // namespace

// ---------------------------------------------------------------------------
// Page frame
// ---------------------------------------------------------------------------

void printHead(tPage& page, const std::string& title, const char* bg, const tArgList* list) {
  const bool defaultColour = bg == nullptr;
  const std::string colour = escapeAttr(defaultColour ? "#FFFFFF" : bg);
  const std::string safeTitle = escapeHtml(title);
  (void)page;
  langue(1);  // loads the language table; a failure comment follows the header
  sendHeader();
  emit("<HTML>\n<HEAD>\n");
  // The language files and the texts typed into the forms are UTF-8.
  emit("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n");
  const bool secure = useSecurity() != 0;
  if (secure) {
    cookieTools();
    cookieCheck(title, list);
  }
  emitf("<TITLE>%s</TITLE>\n</HEAD>\n", safeTitle.c_str());
  if (defaultColour)
    emitf("<BODY BACKGROUND=%s/fond.gif BGCOLOR=\"%s\" ", unquotedUrl(getImgDir()).c_str(),
          colour.c_str());
  else
    emitf("<BODY BGCOLOR=\"%s\" ", colour.c_str());
  emit("TEXT=\"#000000\" ");
  if (secure) emit("onLoad=\"CookieCheck()\"");
  emit(">\n");
  headPrinted() = true;
}

// A head printed before the output was reset (tests) does not count.
bool pageHeadPrinted() { return headPrinted() && headerSent(); }

void checkVersion() {
  if (langue(2) == kVelkoVersion) return;
  emit("<P Align=Center><FONT COLOR=RED>Please update langage file ");
  emitf("langue.%s in configuration directory.</P></FONT>\n", escapeHtml(langue(1)).c_str());
}

void maindisp(tArgList& list) {
  printHead(request().page, "VELKO", nullptr, &list);
  const std::string img = escapeAttr(getImgDir());
  const std::string help = escapeAttr(helpDir());

  emit("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=40%> <TR>\n");
  emitf("<TD ALIGN=CENTER><A HREF=\"%s\"><IMG SRC=\"%s/velko.gif\" ALT=VELKO BORDER=0></A>"
        "</TD></TR>\n",
        help.c_str(), img.c_str());
  emit("<TR><TD ALIGN=CENTER><FONT SIZE=+1><B>VELKO Problem Report Tracker</B></FONT>"
       "</TD></TR>\n");
  emitf("<TR><TD ALIGN=CENTER><FONT SIZE=-1><B> %s %s</B></FONT>\n", kVelkoVersion,
        escapeHtml(langue(1)).c_str());
  emitf("<A HREF=\"%s%s/index.html\"><FONT COLOR=BLACK SIZE=1>notice</FONT></A></TD></TR>\n",
        help.c_str(), langue(1) == "FR" ? "fr" : "en");
  emit("</TABLE><BR>\n");

  checkVersion();

  if (useSecurity() && !validSession(list)) {
    // No session: the login takes the place of the menu.
    printLoginForm(list);
  } else if (accessRight(list)) {
    static const MenuEntry kRows[2][4] = {
        {{3000, "setup.gif", "setup", false},
         {3001, "new.gif", "create", false},
         {3002, "list.gif", "search", false},
         {3003, "book.gif", "book", true}},
        {{3004, "history.gif", "history", false},
         {3005, "stats.gif", "statS", false},
         {3006, "help.gif", nullptr, false},
         {3007, "tests.gif", "tests", true}},
    };
    const std::string script = unquotedUrl(envOrEmpty("SCRIPT_NAME"));
    const std::string uid = addUid();
    emit("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=50%> <TR>\n");
    for (int r = 0; r < 2; ++r) {
      if (r > 0) emit("<TR>\n");
      emit("<TD>&nbsp</TD>\n");
      for (const MenuEntry& m : kRows[r]) menuEntry(m, script, uid, img);
      emit("<TD>&nbsp</TD>\n</TR>\n");
    }
    emit("</TABLE>\n");
  } else {
    printErr(514);
  }
  emit("\n\n\n");
}

void jsChangePage() {
  emit("<SCRIPT LANGUAGE=JavaScript>\n"
       "function changePage(page,menu) {\n"
       "  document.location = page;\n"
       "}\n"
       "</SCRIPT>\n");
}

void jsCheckChange() {
  static const char* const kBoxes[] = {"statN", "statA", "statO", "statC", "statV", "statP",
                                       "statB", "statR", "statD", "statT", "statS"};
  emit("<SCRIPT  LANGUAGE=javascript1.2>\n"
       "function checkChange() {\n"
       "  var f = document.forms[1];\n"
       "  var v = f.ALL.checked;\n");
  for (const char* b : kBoxes) emitf("  f.%s.checked = v;\n", b);
  emit("}\n</SCRIPT>\n");
}

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

void printData(tPage& page, std::string_view data) {
  std::string out;
  out.reserve(data.size() + data.size() / 4);
  for (char c : data) {
    switch (c) {
      case '\n': out += "<BR>\n"; break;
      case '<': out += "&lt;\n"; break;
      case ' ': out += "&nbsp;\n"; break;
      default: out += c;
    }
  }
  writeOut(page, out);
}

int padding(tGrid& table, tGridWidths& max) {
  constexpr int kPageWidth = 78;
  int len[kGridCells];
  for (int i = 0; i < kGridCells; ++i) {
    len[i] = static_cast<int>(table[i].size());
    max[i] = 0;
  }
  for (int c = 0; c < kGridColumns; ++c) {
    for (int r = 0; r < kGridRows; ++r) {
      const int i = kGridColumns * r + c;
      if (len[i] == 0) continue;
      // A cell followed by an empty one spans into it instead.
      if (c == kGridColumns - 1 || len[i + 1] > 0) max[c] = std::max(max[c], len[i]);
    }
  }
  int sum = max[0] + max[1] + max[2] + max[3];
  for (int c = 0; sum < kPageWidth; c = (c + 1) % kGridColumns, ++sum) ++max[c];
  for (int r = 0; r < kGridRows; ++r) {
    for (int c = 0; c < kGridColumns; ++c) {
      std::string& cell = table[kGridColumns * r + c];
      if (cell.empty()) continue;
      int width = max[c];
      for (int k = c + 1; k < kGridColumns && table[kGridColumns * r + k].empty(); ++k)
        width += max[k];
      if (static_cast<int>(cell.size()) < width) cell.append(width - cell.size(), ' ');
    }
  }
  return sum + 3;
}

std::string line(const tGridWidths& max, int arg) {
  std::string out = "+";
  for (int i = 0; i < arg && i < kGridCells; ++i) {
    out.append(static_cast<size_t>(std::max(max[i], 0)), '-');
    out += '+';
  }
  out += '\n';
  return out;
}

// ---------------------------------------------------------------------------
// Report page
// ---------------------------------------------------------------------------

namespace {

// Per-run state of the report page.
struct ReportPageState {
  int anchor = 0;  // number of the next action bar's anchor
};

ReportPageState& pageState() {
  static ReportPageState s;
  return s;
}

// The script address of the body's links: SCRIPT_NAME for the page; for a
// file (a mail body) "http://HOSTNAME[:PORT]SCRIPT_NAME", at most 399
// characters (the host part is built once per run by absoluteBase).
std::string scriptAddress(bool absolute) {
  std::string script = envOrEmpty("SCRIPT_NAME");
  if (!absolute) return script;
  script = absoluteBase() + script;
  if (script.size() > 399) script.resize(399);
  return script;
}

// A language text used as a format for three strings (the correction and
// verification rows). The text comes from a file an administrator edits,
// so it is not handed to printf; the values are escaped for the page.
std::string formatText3(int num, const std::string& a, const std::string& b,
                        const std::string& c, bool html) {
  if (html) return applyHistoryFormat(langue(num), escapeHtml(a), escapeHtml(b), escapeHtml(c));
  return applyHistoryFormat(langue(num), a, b, c);
}


// The text of an entry as recorded: cut at its byte count.
std::string_view entryText(const tAnalyse& a) {
  const size_t n = a.length < 0 ? 0 : static_cast<size_t>(a.length);
  return std::string_view(a.data).substr(0, std::min(n, a.data.size()));
}

// The stored path of an attachment (its text without the line end).
std::string attachmentPath(const tAnalyse& a) {
  std::string p(entryText(a));
  while (!p.empty() && (p.back() == '\n' || p.back() == '\r')) p.pop_back();
  return p;
}

// A report read from the data directory, or null. The name must have the
// form of a report name (it becomes a file name); an empty file (a number
// reserved by a creation still under way) is no report either.
std::unique_ptr<tHeader> readNamedBug(const std::string& name) {
  if (!isReportName(name)) return nullptr;
  std::unique_ptr<tHeader> bug = readBug(name);
  if (bug && bug->number <= 0 && bug->project.empty()) bug.reset();
  return bug;
}

void notFound(tPage& fd, const std::string& name) {
  writeOutf(fd, "<FONT COLOR=RED>%s %s <BR></FONT>\n", langue(504).c_str(),
            escapeHtml(name).c_str());
}

}  // namespace

void resetReportPageState() { pageState() = ReportPageState(); }

void displayBugCore(tPage& page, const tHeader& bug, bool absolute) {
  const std::string script = scriptAddress(absolute);
  // The session (security on) goes with the page's links, never into a mail.
  const std::string uid = absolute ? std::string() : addUid();
  const std::string name = getBugName(bug);
  auto L = [](int n) { return langue(n).c_str(); };
  auto E = [](const std::string& v) { return escapeHtml(v); };
  std::string out;
  out.reserve(4096);

  // The fields.
  out += "<TABLE BORDER=1 WIDTH=100%>";
  out += strprintf("<TR><TD><B>%s</B></TD>\n", E(name).c_str());
  out += strprintf("<TD>%s</TD>\n", E(time2char(bug.date)).c_str());
  out += strprintf("<TD>%s : <B>%s</B></TD>\n", L(119), getStatusName(bug.status).c_str());
  out += strprintf("<TD>%s :<B> %s</B></TD>\n", L(113), E(bug.submitter).c_str());
  out += "</TR>\n";
  out += strprintf("<TR><TD COLSPAN=4>%s : <B>%s</B></TD></TR>\n", L(106), E(bug.title).c_str());
  out += strprintf("<TR><TD>%s : <B>%s<B></TD>\n", L(100), E(bug.project).c_str());
  out += strprintf("<TD>%s : %s</TD>\n", L(101), E(bug.subProject).c_str());
  out += strprintf("<TD>%s : %s</TD>\n", L(102), E(getPhaseName(bug.phase)).c_str());
  out += strprintf("<TD>%s : %s</TD></TR>\n", L(108), E(bug.module).c_str());
  out += strprintf("<TR><TD>%s : <B>%s<B></TD>\n", L(109), getSeverityName(bug.severity).c_str());
  out += strprintf("<TD>%s : %s</TD>\n", L(110), E(bug.version).c_str());
  out += strprintf("<TD>%s : %s</TD>\n", L(111), E(bug.expvers).c_str());
  out += strprintf("<TD>%s : %s</TD></TR>\n", L(104), E(getImpactName(bug.impact)).c_str());
  out += strprintf("<TR><TD>%s : %s</TD>\n", L(123), getTypeName(bug.fileType).c_str());
  // Text 112 labels this cell on the page (the printout uses 122).
  out += strprintf("<TD>%s : %s</TD>\n", L(112), E(bug.mdaPda).c_str());
  out += strprintf("<TD>%s : <B>%s</B></TD>\n", L(117), E(bug.assignedTo).c_str());
  out += strprintf("<TD>%s : %ld</TD></TR>\n", L(124), bug.timeEstimate);
  if (bug.status == POSTPONE)
    out += strprintf("<TR><TD COLSPAN=4>%s : %s</TD></TR>\n", L(125),
                     E(time2char(bug.postponeDate)).c_str());
  if (bug.status == CORRECTED || bug.status == VERIFIED) {
    out += "<TR><TD COLSPAN=3>";
    out += formatText3(126, bug.corrector, time2char(bug.correctDate), bug.correctVersion, true);
    out += strprintf("</TD>\n<TD>%s : %ld</TD></TR>\n", L(127), bug.timeSpent);
  }
  if (bug.status == VERIFIED) {
    out += "<TR><TD COLSPAN=4>";
    out += formatText3(128, bug.verifiedBy, time2char(bug.verifyDate), bug.verifyVersion, true);
    out += "</TD></TR>\n";
  }
  if (!bug.testref.empty())
    out += strprintf("<TD COLSPAN=4>%s: %s</TD></TR>\n", L(129), E(bug.testref).c_str());
  out += "</TABLE>\n";

  // The entries, numbered over the whole list.
  out += "<TABLE BORDER=1 WIDTH=100%>\n";
  writeOut(page, out);
  out.clear();
  int index = 0;
  for (const tAnalyse& a : bug.data) {
    if (a.dataType == TYPE_ATTACHMENT) {
      const std::string path = attachmentPath(a);
      const size_t trace = path.find("TRACE_");
      const std::string target =
          trace == std::string::npos ? path : getDataDir() + path.substr(trace);
      out = strprintf("<TR><TD><B><A HREF=\"%s?%s=%s&%s=%s%s\">", escapeAttr(script).c_str(),
                      "CMD", "FILE", "title", escapeAttr(urlPath(target)).c_str(), uid.c_str());
    } else {
      out = strprintf("<TR><TD><B><A HREF=%s?%s=%s&%s=%s&%s=%d%s>", unquotedUrl(script).c_str(),
                      "CMD", "Edit", "Num", urlValue(name).c_str(), "Edit", index, uid.c_str());
    }
    out += strprintf("%s</A></B></TD>\n", E(a.title).c_str());
    out += strprintf("<TD>%s</TD>\n", E(time2char(a.date)).c_str());
    out += strprintf("<TD>%s</TD></TR>\n", E(a.submitter).c_str());
    if (a.dataType != TYPE_ATTACHMENT) {
      out += "<TR><TD COLSPAN=3>";
      writeOut(page, out);
      out.clear();
      printData(page, entryText(a));
      out += "</FONT></TD>";
    }
    writeOut(page, out);
    out.clear();
    ++index;
  }
  out += "</TABLE>\n";

  // The history.
  out += "<TABLE BORDER=1 WIDTH=100%>\n";
  out += strprintf("<TR><TD><PRE>%s</PRE></TD></TR>\n", E(bug.history).c_str());
  out += "</TABLE><P>\n";
  writeOut(page, out);
}

// ---------------------------------------------------------------------------
// Printout
// ---------------------------------------------------------------------------

namespace {

constexpr size_t kCellMax = 199;  // a grid cell holds up to 200 characters

// A text cut to the size of a grid cell, never inside a UTF-8 character.
std::string cutCell(std::string c) {
  if (c.size() > kCellMax) {
    size_t n = kCellMax;
    while (n > 0 && (static_cast<unsigned char>(c[n]) & 0xC0) == 0x80) --n;
    c.resize(n);
  }
  return c;
}

// A labelled cell, "label : value".
std::string cell(int label, const std::string& value) {
  return cutCell(langue(label) + " : " + value);
}

std::string cellNumber(int label, long value) { return cell(label, strprintf("%ld", value)); }

}  // namespace

std::string formatPrintout(const tHeader& bug, const std::string& num) {
  tGrid grid;
  tGridWidths max{};
  grid[0] = cutCell(num);
  grid[1] = cutCell(time2char(bug.date));
  grid[2] = cell(119, getStatusName(bug.status));
  grid[3] = cell(113, bug.submitter);
  grid[4] = cell(106, bug.title);
  grid[8] = cell(100, bug.project);
  grid[9] = cell(101, bug.subProject);
  grid[10] = cell(102, getPhaseName(bug.phase));
  grid[11] = cell(108, bug.module);
  grid[12] = cell(109, getSeverityName(bug.severity));
  grid[13] = cell(110, bug.version);
  grid[14] = cell(111, bug.expvers);
  grid[15] = cell(104, getImpactName(bug.impact));
  grid[16] = cell(123, getTypeName(bug.fileType));
  grid[17] = cell(122, bug.mdaPda);
  grid[18] = cell(117, bug.assignedTo);
  grid[19] = cellNumber(124, bug.timeEstimate);
  if (bug.status == POSTPONE) grid[20] = cell(125, time2char(bug.postponeDate));
  if (bug.status == CORRECTED || bug.status == VERIFIED) {
    grid[24] = cutCell(
        formatText3(126, bug.corrector, time2char(bug.correctDate), bug.correctVersion, false));
    grid[27] = cellNumber(127, bug.timeSpent);
  }
  if (bug.status == VERIFIED)
    grid[28] = cutCell(
        formatText3(128, bug.verifiedBy, time2char(bug.verifyDate), bug.verifyVersion, false));

  const int width = padding(grid, max);
  std::string out;
  auto sepLine = [&](int columns) { out += line(max, columns); };
  sepLine(4);
  for (int r = 0; r < kGridRows; ++r) {
    if (grid[kGridColumns * r].empty()) continue;  // a row that does not apply
    for (int c = 0; c < kGridColumns; ++c) {
      const std::string& t = grid[kGridColumns * r + c];
      if (t.empty()) {
        out += ' ';  // stands for the '|' of the column the cell to its left spans
      } else {
        out += '|';
        out += t;
      }
    }
    out += "|\n";
    sepLine(4);
  }
  // The test reference has no cell of the grid: it follows it.
  if (!bug.testref.empty()) out += strprintf("%s: %s\n", langue(129).c_str(), bug.testref.c_str());

  max[0] = width - 3;
  for (const tAnalyse& a : bug.data) {
    out += a.title + "      " + time2char(a.date) + "     " + a.submitter + "\n";
    out.append(entryText(a));  // for an attachment, its stored path
    out += '\n';
    sepLine(1);
  }
  out += bug.history;
  out += '\n';
  return out;
}

void printBug(const std::string& num) {
  std::unique_ptr<tHeader> bug = readNamedBug(num);
  printHead(request().page, langue(156), nullptr, nullptr);
  if (!bug) {
    notFound(request().page, num);
    return;
  }
  emit("<PRE>");
  const std::string text = formatPrintout(*bug, num);
  const std::string file = strprintf("%s/tmp/velko.%d.prt", getDataDir().c_str(), getpid());
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;  // no text file: the page stays empty, nothing is printed
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    ::close(fd);
    ::unlink(file.c_str());
    return;
  }
  const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
  const bool closed = fclose(f) == 0;
  // The page shows the text the printer gets, escaped for HTML.
  emit(escapeHtml(text));
  if (written && closed) {
    const std::string command = getCfgKey("PRINT") + " " + shellWord(file);
    emitf("<! -%s- >\n", escapeHtml(command).c_str());
    if (getCfgKey("PRINT").find_first_not_of(' ') != std::string::npos) runPrintCommand(command);
  }
  ::unlink(file.c_str());
  freeHeader(bug);
}

void printNotAvailable(const char* function) {
  sendHeader();
  emitf("<HTML><HEAD><TITLE>velko</TITLE></HEAD><BODY>\n"
        "<P>The function %s is not available yet.</P>\n</BODY></HTML>\n",
        function);
}
