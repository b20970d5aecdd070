#include "display.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "args.h"
#include "config.h"
#include "frame.h"
#include "html.h"
#include "session.h"
#include "text.h"
#include "utils.h"

namespace {

// The report page's state in one request.
struct DisplayState {
  std::string baseFor;   // configuration file and port the base was built for
  std::string base;      // the absolute link base
};

DisplayState& state() { return request().slot<DisplayState>(); }

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}


}  // namespace

const std::string& absoluteBase() {
  DisplayState& s = state();
  const std::string port = envOrEmpty("SERVER_PORT");
  const std::string key = getCfgFile() + "\n" + port;
  if (s.base.empty() || s.baseFor != key) {
    const std::string host = getCfgKey("HOSTNAME");
    s.base = port.empty() || port == "80" ? "http://" + host : "http://" + host + ":" + port;
    if (s.base.size() > 299) s.base.resize(299);
    s.baseFor = key;
  }
  return s.base;
}

// ---------------------------------------------------------------------------
// Scripts and the action bar's button
// ---------------------------------------------------------------------------

void jsChangePage() {
  request().page.markup("<SCRIPT LANGUAGE=JavaScript>\n"
                        "function changePage(page,menu) {\n"
                        "  document.location = page;\n"
                        "}\n"
                        "</SCRIPT>\n");
}

void jsCheckChange() {
  // The eleven status boxes of the search form.
  request().page.markup("<SCRIPT  LANGUAGE=javascript1.2>\n"
                        "function checkChange() {\n"
                        "  var f = document.forms[1];\n"
                        "  var v = f.ALL.checked;\n"
                        "  f.statN.checked = v;\n"
                        "  f.statA.checked = v;\n"
                        "  f.statO.checked = v;\n"
                        "  f.statC.checked = v;\n"
                        "  f.statV.checked = v;\n"
                        "  f.statP.checked = v;\n"
                        "  f.statB.checked = v;\n"
                        "  f.statR.checked = v;\n"
                        "  f.statD.checked = v;\n"
                        "  f.statT.checked = v;\n"
                        "  f.statS.checked = v;\n"
                        "}\n</SCRIPT>\n");
}

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

void printData(tPage& page, std::string_view data) {
  // Only '<' is escaped: the other bytes of a report's text keep their
  // historical rendering ('&', '>' and '"' are written as typed).
  size_t from = 0;
  auto flush = [&](size_t to) {
    if (to > from) page.text(data.substr(from, to - from));
    from = to + 1;
  };
  for (size_t i = 0; i < data.size(); ++i) {
    switch (data[i]) {
      case '\n': flush(i); page.markup("<BR>\n"); break;
      case '<': flush(i); page.markup("&lt;\n"); break;
      case ' ': flush(i); page.markup("&nbsp;\n"); break;
      case '>': flush(i); page.markup(">"); break;
      case '&': flush(i); page.markup("&"); break;
      case '"': flush(i); page.markup("\""); break;
      default: break;
    }
  }
  flush(data.size());
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

// The script address of the body's links: SCRIPT_NAME for the page; for a
// mail body "http://HOSTNAME[:PORT]SCRIPT_NAME", at most 399 characters.
std::string scriptAddress(bool absolute) {
  std::string script = envOrEmpty("SCRIPT_NAME");
  if (!absolute) return script;
  script = absoluteBase() + script;
  if (script.size() > 399) script.resize(399);
  return script;
}

// A language text used as a format for three strings (the correction and
// verification rows). The text comes from a file an administrator edits,
// so it is not handed to printf; the page escapes the whole result.
std::string formatText3(int num, const std::string& a, const std::string& b,
                        const std::string& c) {
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
// form of a report name (it becomes a file name).
std::unique_ptr<tHeader> readNamedBug(const std::string& name) {
  if (!isReportName(name)) return nullptr;
  return readBug(name);
}

// ---------------------------------------------------------------------------
// Names and addresses in a report's texts as links (pages only: the stored
// texts, the printout and the mails keep them as typed)
// ---------------------------------------------------------------------------

bool isNameByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return isalnum(u) || c == '_' || c == '-';
}

// An address "http://" or "https://" with a host at `at`: its length, 0
// when there is none. It runs to a blank, a control byte or a quote or
// angle bracket; a final punctuation mark (or a parenthesis it does not
// open) belongs to the sentence.
size_t addressAt(std::string_view s, size_t at) {
  if (at > 0 && isNameByte(s[at - 1])) return 0;
  std::string_view rest = s.substr(at);
  size_t scheme = 0;
  if (rest.substr(0, 7) == "http://") scheme = 7;
  if (rest.substr(0, 8) == "https://") scheme = 8;
  if (scheme == 0) return 0;
  size_t end = scheme;
  while (end < rest.size()) {
    const unsigned char c = static_cast<unsigned char>(rest[end]);
    if (c <= ' ' || c == 0x7F || c == '"' || c == '\'' || c == '<' || c == '>') break;
    ++end;
  }
  rest = rest.substr(0, end);
  while (end > scheme) {
    const char c = rest[end - 1];
    const bool unopened = c == ')' && rest.substr(0, end).find('(') == std::string_view::npos;
    if (!(unopened || std::string_view(".,;:!?").find(c) != std::string_view::npos)) break;
    --end;
  }
  // A host, not only punctuation.
  return end > scheme && isNameByte(rest[scheme]) ? end : 0;
}

// A report name ("PREFIX.00042": a prefix with a letter, a point, five
// digits or more) standing alone at `at`: its length, 0 when there is none.
size_t reportNameAt(std::string_view s, size_t at) {
  if (at > 0 && (isNameByte(s[at - 1]) || s[at - 1] == '.')) return 0;
  size_t i = at;
  bool letter = false;
  for (; i < s.size() && isNameByte(s[i]); ++i)
    if (isalpha(static_cast<unsigned char>(s[i]))) letter = true;
  if (!letter || i == at || i >= s.size() || s[i] != '.') return 0;
  const size_t digits = ++i;
  while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
  if (i - digits < 5 || (i < s.size() && (isNameByte(s[i]) || s[i] == '.'))) return 0;
  return isReportName(s.substr(at, i - at)) ? i - at : 0;
}

// Writes `s` through `plain`, each report name as a link to its page (with
// the session, security on) and each web address as a link that gives the
// other site neither this page nor its address.
template <class Plain>
void linkedText(tPage& page, std::string_view s, Plain plain) {
  const std::string script = envOrEmpty("SCRIPT_NAME");
  size_t from = 0;
  for (size_t i = 0; i < s.size();) {
    const size_t address = addressAt(s, i);
    const size_t name = address ? 0 : reportNameAt(s, i);
    if (!address && !name) {
      ++i;
      continue;
    }
    plain(s.substr(from, i - from));
    if (address) {
      page.markup("<A HREF=\"").attr(s.substr(i, address)).markup("\" REL=\"noopener noreferrer\">");
    } else {
      page.markup("<A HREF=\"").attr(script).markup("?Num=").urlValue(s.substr(i, name));
      addUidTo(page).markup("\">");
    }
    plain(s.substr(i, address + name));
    page.markup("</A>");
    i += address + name;
    from = i;
  }
  plain(s.substr(from));
}

void notFound(tPage& page, const std::string& name) { page.redLine(langue(504) + " " + name); }

// A cell "label : value" of the field table, between the literal markup
// `open`, `mid` (after the label) and `close`.
template <size_t A, size_t B, size_t C>
void field(tPage& page, const char (&open)[A], int label, const char (&mid)[B],
           std::string_view value, const char (&close)[C]) {
  page.markup(open).text(langue(label)).markup(mid).text(value).markup(close);
}

}  // namespace


void displayBugCore(tPage& page, const tHeader& bug, bool absolute) {
  const std::string script = scriptAddress(absolute);
  const std::string name = getBugName(bug);

  // The fields.
  page.markup("<TABLE BORDER=1 WIDTH=100%>");
  page.markup("<TR><TD><B>").text(name).markup("</B></TD>\n");
  page.markup("<TD>").text(time2char(bug.date)).markup("</TD>\n");
  field(page, "<TD>", 119, " : <B>", getStatusName(bug.status), "</B></TD>\n");
  field(page, "<TD>", 113, " :<B> ", bug.submitter, "</B></TD>\n");
  page.markup("</TR>\n");
  field(page, "<TR><TD COLSPAN=4>", 106, " : <B>", bug.title, "</B></TD></TR>\n");
  field(page, "<TR><TD>", 100, " : <B>", bug.project, "<B></TD>\n");
  field(page, "<TD>", 101, " : ", bug.subProject, "</TD>\n");
  field(page, "<TD>", 102, " : ", getPhaseName(bug.phase), "</TD>\n");
  field(page, "<TD>", 108, " : ", bug.module, "</TD></TR>\n");
  field(page, "<TR><TD>", 109, " : <B>", getSeverityName(bug.severity), "<B></TD>\n");
  field(page, "<TD>", 110, " : ", bug.version, "</TD>\n");
  field(page, "<TD>", 111, " : ", bug.expvers, "</TD>\n");
  field(page, "<TD>", 104, " : ", getImpactName(bug.impact), "</TD></TR>\n");
  field(page, "<TR><TD>", 123, " : ", getTypeName(bug.fileType), "</TD>\n");
  // Text 112 labels this cell on the page (the printout uses 122).
  field(page, "<TD>", 112, " : ", bug.mdaPda, "</TD>\n");
  field(page, "<TD>", 117, " : <B>", bug.assignedTo, "</B></TD>\n");
  page.markup("<TD>").text(langue(124)).markup(" : ").num(bug.timeEstimate);
  page.markup("</TD></TR>\n");
  if (bug.status == POSTPONE)
    field(page, "<TR><TD COLSPAN=4>", 125, " : ", time2char(bug.postponeDate), "</TD></TR>\n");
  if (bug.status == CORRECTED || bug.status == VERIFIED) {
    page.markup("<TR><TD COLSPAN=3>");
    page.text(formatText3(126, bug.corrector, time2char(bug.correctDate), bug.correctVersion));
    page.markup("</TD>\n<TD>").text(langue(127)).markup(" : ").num(bug.timeSpent);
    page.markup("</TD></TR>\n");
  }
  if (bug.status == VERIFIED) {
    page.markup("<TR><TD COLSPAN=4>");
    page.text(formatText3(128, bug.verifiedBy, time2char(bug.verifyDate), bug.verifyVersion));
    page.markup("</TD></TR>\n");
  }
  if (!bug.testref.empty())
    field(page, "<TD COLSPAN=4>", 129, ": ", bug.testref, "</TD></TR>\n");
  page.markup("</TABLE>\n");

  // The entries, numbered over the whole list. The session (security on)
  // goes with the page's links, never into a mail.
  page.markup("<TABLE BORDER=1 WIDTH=100%>\n");
  int index = 0;
  for (const tAnalyse& a : bug.data) {
    if (a.dataType == TYPE_ATTACHMENT) {
      const std::string path = attachmentPath(a);
      const size_t trace = path.find("TRACE_");
      const std::string target =
          trace == std::string::npos ? path : getDataDir() + path.substr(trace);
      page.markup("<TR><TD><B><A HREF=\"").attr(script).markup("?CMD=FILE&title=");
      page.urlPath(target);
      if (!absolute) addUidTo(page);
      page.markup("\">");
    } else {
      page.markup("<TR><TD><B><A HREF=").escaped(unquotedUrl(script));
      page.markup("?CMD=Edit&Num=").urlValue(name).markup("&Edit=").num(index);
      if (!absolute) addUidTo(page);
      page.markup(">");
    }
    page.text(a.title).markup("</A></B></TD>\n");
    page.markup("<TD>").text(time2char(a.date)).markup("</TD>\n");
    page.markup("<TD>").text(a.submitter).markup("</TD></TR>\n");
    if (a.dataType != TYPE_ATTACHMENT) {
      page.markup("<TR><TD COLSPAN=3>");
      if (absolute)
        printData(page, entryText(a));
      else
        linkedText(page, entryText(a), [&page](std::string_view t) { printData(page, t); });
      page.markup("</FONT></TD>");
    }
    ++index;
  }
  page.markup("</TABLE>\n");

  // The history.
  page.markup("<TABLE BORDER=1 WIDTH=100%>\n");
  page.markup("<TR><TD><PRE>");
  if (absolute)
    page.text(bug.history);
  else
    linkedText(page, bug.history, [&page](std::string_view t) { page.text(t); });
  page.markup("</PRE></TD></TR>\n");
  page.markup("</TABLE><P>\n");
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
    grid[24] =
        cutCell(formatText3(126, bug.corrector, time2char(bug.correctDate), bug.correctVersion));
    grid[27] = cellNumber(127, bug.timeSpent);
  }
  if (bug.status == VERIFIED)
    grid[28] =
        cutCell(formatText3(128, bug.verifiedBy, time2char(bug.verifyDate), bug.verifyVersion));

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
  tPage& page = request().page;
  printHead(page, langue(156), nullptr, nullptr);
  if (!bug) {
    notFound(page, num);
    return;
  }
  page.markup("<PRE>");
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
  // The page shows the text the printer gets.
  page.text(text);
  if (written && closed) {
    const std::string command = getCfgKey("PRINT") + " " + shellWord(file);
    page.comment(" -" + command + "- ").markup("\n");
    if (getCfgKey("PRINT").find_first_not_of(' ') != std::string::npos) runPrintCommand(command);
  }
  ::unlink(file.c_str());
}
