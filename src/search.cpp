#include "search.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "args.h"
#include "config.h"
#include "frame.h"
#include "session.h"
#include "actions.h"
#include "display.h"
#include "fileio.h"
#include "html.h"
#include "text.h"
#include "timeutil.h"
#include "utils.h"

namespace {

// The label of the search form's choice of every assignee.
constexpr int kTextAll = 3015;

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// A criterion is present unless its value begins with a blank (getArg gives
// " " for an absent argument, and a blank selection option sends " "). Unlike
// given(), an empty value is present: it asks for an empty field.
bool present(const std::string& v) { return v.empty() || v[0] != ' '; }
// A check box is set when its value begins with "X".
bool isSet(const std::string& v) { return !v.empty() && v[0] == 'X'; }

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// Writes `s` into a URL attribute with every byte that `encode` selects
// written "%XX" and every other byte as it is. Only the page's own escaping
// is used, and it leaves the bytes as they are: an encoded byte goes through
// urlValue, which writes "%XX" for every byte but letters, digits and
// "-._~%" (so `encode` must never select those but '%', written "%25"); a run
// of kept bytes goes through text(), which changes nothing in it since '<',
// '>' and '"' are always encoded and '&' is written on its own.
template <class Encode>
void urlBytes(tPage& page, std::string_view s, Encode encode) {
  size_t run = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    const bool end = i == s.size();
    if (!end && !encode(static_cast<unsigned char>(s[i])) && s[i] != '&') continue;
    if (i > run) page.text(s.substr(run, i - run));
    run = i + 1;
    if (end) break;
    if (s[i] == '&' && !encode('&'))
      page.markup("&");
    else if (s[i] == '%')
      page.markup("%25");
    else
      page.urlValue(s.substr(i, 1));
  }
}

// Bytes that would end an unquoted or quoted attribute, open a tag, or that
// are blanks or control bytes.
bool breaksAttribute(unsigned char u) {
  return u <= 0x20 || u == 0x7F || u == '"' || u == '\'' || u == '<' || u == '>' || u == '`';
}

// The raw query string inside the unquoted HREF of the print link. A browser
// sends it already %-encoded, so this changes nothing for a real request, but
// a crafted one cannot end the attribute or open a tag. '&' stays: it
// separates the arguments.
void queryInHref(tPage& page, std::string_view qs) { urlBytes(page, qs, breaksAttribute); }

// A project name inside a quoted URL attribute, as it stands where it is
// plain text: also the bytes that would start a character reference, add an
// argument, end the URL or change its decoding ('&', '#', '%', '+') are
// written %XX, so the name arrives whole.
void urlPart(tPage& page, std::string_view s) {
  urlBytes(page, s, [](unsigned char u) {
    return breaksAttribute(u) || u == '&' || u == '#' || u == '%' || u == '+';
  });
}

// "&Uid=" and the session for the links of a secured installation (addUid).
void uidSuffix(tPage& page) {
  const std::string& cookie = getCookie();
  if (useSecurity() && given(cookie)) page.markup("&Uid=").urlArg(cookie);
}

// ---------------------------------------------------------------------------
// The selection
// ---------------------------------------------------------------------------

// A criterion that asks a text field to equal the argument.
struct tEqual {
  tIndexField field;
  std::string value;
};

// The status check boxes and the bit of each status in the mask.
struct tStatusBox {
  const char* arg;
  tStatus status;
  int label;  // language text
};
// In the order of the criteria summary.
constexpr tStatusBox kStatusBoxes[kStatusCount] = {
    {"statN", NEW, 200},       {"statS", OBSERVATION, 201},      {"statA", ANALYSIS, 202},
    {"statO", OPEN, 203},      {"statC", CORRECTED, 204},        {"statV", VERIFIED, 205},
    {"statD", DUPLICATE, 206}, {"statB", NOT_A_BUG, 207},        {"statR", NOT_REPRODUCTIBLE, 208},
    {"statP", POSTPONE, 209},  {"statT", ABANDONED, 210},
};

// Everything getBugList tests, read from the arguments once. The criteria
// are tested on the fields of the raw index line, read as the record would
// hold them: most lines of a search stop there, and the record is parsed
// only for the lines kept.
struct tSelection {
  bool byName = false;
  std::string names;  // find, Num or Numero
  std::vector<long> nameNumbers;  // see collectNumbers

  std::vector<tEqual> equal;
  int severity = -1, fileType = -1, phase = -1, impact = -1;
  bool noMatch = false;  // a sev/type/phase/impact that no report can have
  tIndexField dateField = IX_FIELDS;  // IX_FIELDS: no date criterion
  long from = 0, to = 0;
  bool titleTest = false;
  std::string intitle;
  unsigned statusMask = 0;
  int adType = 0;  // 1 with, 2 without an MDA/PDA reference
  bool textTest = false;
  std::string intext;
  tIndexField lastField = IX_PREFIX;  // the last field the tests read

  explicit tSelection(const tArgList& args) {
    const std::string find = getArg(args, "find");
    const std::string num = getArg(args, "Num");
    const std::string numero = getArg(args, "Numero");
    if (present(find)) {
      byName = true;
      names = find;
    } else if (present(num)) {
      byName = true;
      names = num;
    } else if (present(numero)) {
      byName = true;
      names = numero;
    }
    if (byName) {
      need(IX_NUMBER);
      collectNumbers();
      return;
    }

    switch (getArgInt(args, "ival")) {
      case 1: dateField = IX_DATE; break;
      case 2: dateField = IX_CORRDATE; break;
      case 3: dateField = IX_VERIFDATE; break;
      default: break;
    }
    if (dateField != IX_FIELDS) {
      from = char2date(getArg(args, "between"));
      to = char2date(getArg(args, "and"));
      need(dateField);
    }
    struct {
      const char* arg;
      tIndexField field;
    } const kEqual[] = {
        {"submitter", IX_SUBMITTER}, {"project", IX_PROJECT},   {"group", IX_GROUP},
        {"prog", IX_MODULE},         {"version", IX_VERSION},   {"exp", IX_EXPVERS},
        {"corrVers", IX_CORRVERS},   {"verifier", IX_VERIFIER}, {"verVers", IX_VERIFVERS},
    };
    for (const auto& e : kEqual) {
      const std::string v = getArg(args, e.arg);
      if (!present(v)) continue;
      equal.push_back({e.field, v});
      need(e.field);
    }
    // An absent resp reads as " " and so asks for an assignee " ".
    const std::string resp = getArg(args, "resp");
    if (resp != "all") {
      equal.push_back({IX_ASSIGNED, resp});
      need(IX_ASSIGNED);
    }
    auto code = [&](const char* arg, char base, int* target, tIndexField field) {
      const std::string v = getArg(args, arg);
      if (!present(v)) return;
      // The field's code is never below the base: "" or such a first
      // character matches no report.
      const int c = v.empty() ? -1 : static_cast<unsigned char>(v[0]) - base;
      if (c < 0) noMatch = true;
      else *target = c;
      need(field);
    };
    code("sev", '0', &severity, IX_SEVERITY);
    code("type", '0', &fileType, IX_TYPE);
    code("phase", 'a', &phase, IX_PHASE);
    code("impact", 'a', &impact, IX_IMPACT);
    intitle = getArg(args, "intitle");
    titleTest = present(intitle);
    for (const tStatusBox& b : kStatusBoxes)
      if (isSet(getArg(args, b.arg))) statusMask |= 1u << b.status;
    need(IX_STATUS);
    const std::string ad = getArg(args, "adType");
    if (present(ad) && !ad.empty() && (ad[0] == '1' || ad[0] == '2')) {
      adType = ad[0] - '0';
      need(IX_MDAPDA);
    }
    intext = getArg(args, "intext");
    textTest = !intext.empty();
  }

  void need(tIndexField f) { lastField = std::max(lastField, f); }

  // The numbers n whose name ending ".%05d" occurs in `names`: after each
  // '.', every run of 5 or more of the digits that follow, read the way
  // "%05d" writes it (a longer form never begins with "0").
  void collectNumbers() {
    for (size_t p = names.find('.'); p != std::string::npos; p = names.find('.', p + 1)) {
      size_t end = p + 1;
      while (end < names.size() && end - p - 1 < 10 && isdigit(static_cast<unsigned char>(names[end])))
        ++end;
      const size_t run = end - p - 1;
      long v = 0;
      for (size_t k = 1; k <= run; ++k) {
        v = v * 10 + (names[p + k] - '0');
        if (k == 5 || (k > 5 && names[p + 1] != '0')) nameNumbers.push_back(v);
      }
    }
    std::sort(nameNumbers.begin(), nameNumbers.end());
    nameNumbers.erase(std::unique(nameNumbers.begin(), nameNumbers.end()), nameNumbers.end());
  }

  // Every criterion but the name list and the text search, on the fields of
  // the line. For a name list, false only when the report's name cannot occur
  // in it: the name itself is tested on the record (nameMatches).
  bool fieldsMatch(const tIndexFields& fields) const {
    if (byName) {
      const long n = fields.number(IX_NUMBER);
      if (n < 0) return true;  // written with its sign: only the name test can tell
      return std::binary_search(nameNumbers.begin(), nameNumbers.end(), n);
    }
    if (noMatch) return false;
    if (!(statusMask >> fields.letter(IX_STATUS) & 1u)) return false;
    for (const tEqual& e : equal)
      if (fields.text(e.field) != e.value) return false;
    if (severity >= 0 && fields.letter(IX_SEVERITY) != severity) return false;
    if (fileType >= 0 && fields.letter(IX_TYPE) != fileType) return false;
    if (phase >= 0 && fields.letter(IX_PHASE) != phase) return false;
    if (impact >= 0 && fields.letter(IX_IMPACT) != impact) return false;
    if (dateField != IX_FIELDS) {
      const long d = fields.number(dateField);
      if (d < from || d > to) return false;
    }
    if (adType == 1 && fields.text(IX_MDAPDA).empty()) return false;
    if (adType == 2 && !fields.text(IX_MDAPDA).empty()) return false;
    if (titleTest && fields.title().find(intitle) == std::string_view::npos) return false;
    return true;
  }

  bool nameMatches(const std::string& name) const {
    return !byName || names.find(name) != std::string::npos;
  }
};

// The rights filter of a secured installation, decided once per request.
struct tRights {
  bool on = false;
  bool allProjects = true;
  std::string project;  // of the session, when !allProjects
  bool open = true;     // may see reports still to be solved
  bool closed = true;   // may see the others

  explicit tRights(const tArgList& args) {
    if (!useSecurity()) return;
    on = true;
    allProjects = projectRight(args) != 0;
    if (!allProjects) {
      std::string login;
      decodeUID(getArg(args, "Uid"), &login, &project);
    }
    open = solvedRight(args) != 0;
    closed = unsolvedRight(args) != 0;
  }

  bool allows(const tHeader& h) const {
    if (!on) return true;
    if (!allProjects && h.project != project) return false;
    switch (h.status) {
      case NEW: case OBSERVATION: case ANALYSIS: case OPEN: case POSTPONE: return open;
      default: return closed;
    }
  }
};

// The version column chosen by aff_versSel.
const std::string& shownVersion(const tHeader& h, char which) {
  static const std::string kNone;
  switch (which) {
    case '1': return h.version;
    case '2': return h.expvers;
    case '3': return h.correctVersion;
    case '4': return h.verifyVersion;
    default: return kNone;
  }
}

int cmpBytes(const std::string& a, const std::string& b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int cmpSeverity(const tBug& a, const tBug& b) {
  return static_cast<int>(static_cast<unsigned char>(a.severity)) -
         static_cast<int>(static_cast<unsigned char>(b.severity));
}

}  // namespace

// ---------------------------------------------------------------------------
// Selection
// ---------------------------------------------------------------------------

namespace {

tBug listRow(const tHeader& h, const std::string& name, const std::string& versSel) {
  tBug b;
  b.nom = name;
  b.severity = static_cast<char>(h.severity);
  b.status = h.status;
  b.impact = h.impact;
  b.mdapda = h.mdaPda;
  b.version = shownVersion(h, versSel[0]);
  b.resp = h.assignedTo;
  b.title = h.title;
  return b;
}

}  // namespace

tBugList getBugList(const tArgList& args) {
  if (useSecurity()) checkBypass(args);
  tBugList rows;
  const tSelection sel(args);
  const tRights rights(args);
  const std::string versSel = getArg(args, "aff_versSel");
  tReportNames names;
  tHeader h;

  // One report asked for by its name (the report page): its index line is
  // formed from its own file, as the index holds it, so that the page costs
  // the same whatever the number of reports. The index is read only when
  // the file is missing or damaged, or names another report.
  if (sel.byName && isReportName(sel.names) && readReportIndexLine(sel.names, &h) &&
      names.of(h) == sel.names) {
    if (rights.allows(h)) rows.push_back(listRow(h, sel.names, versSel));
    return rows;
  }

  tIndexLines lines;
  if (!lines.open()) return rows;
  // A text that every match holds somewhere in its line (the title text,
  // or the longest value a field must equal): the lines without it are
  // passed over without being looked at.
  std::string_view needle;
  if (!sel.byName && !sel.noMatch) {
    if (sel.titleTest) needle = sel.intitle;
    if (needle.empty())
      for (const tEqual& e : sel.equal)
        if (e.value.size() >= 3 && e.value.size() > needle.size()) needle = e.value;
  }
  std::string_view line;
  tIndexFields fields;
  for (;;) {
    if (!needle.empty()) lines.skipWithout(needle);
    if (!lines.next(&line, &fields, sel.lastField)) break;
    if (line.empty()) continue;  // not a report: it would list a blank record
    if (!sel.fieldsMatch(fields)) continue;
    resetHeader(&h);
    strToIndex(line, &h);
    const std::string& name = names.of(h);
    if (!sel.nameMatches(name) || !rights.allows(h)) continue;
    // A name that cannot be a file of the data directory has no report
    // to show, search or download.
    if (!isReportName(name)) continue;
    if (!sel.byName && sel.textTest && !reportContains(name, sel.intext)) continue;
    rows.push_back(listRow(h, name, versSel));
  }
  std::reverse(rows.begin(), rows.end());
  return rows;
}

// ---------------------------------------------------------------------------
// Sorting
// ---------------------------------------------------------------------------

int cmpNumber(const tBug& a, const tBug& b) { return cmpBytes(a.nom, b.nom); }

int cmpStatSevNum(const tBug& a, const tBug& b) {
  if (a.status != b.status) return a.status < b.status ? -1 : 1;
  if (const int c = cmpSeverity(a, b)) return c;
  return cmpNumber(a, b);
}

int cmpResp(const tBug& a, const tBug& b) {
  if (const int c = cmpBytes(a.resp, b.resp)) return c;
  return cmpNumber(a, b);
}

int cmpImpSevNum(const tBug& a, const tBug& b) {
  if (a.impact != b.impact) return a.impact < b.impact ? -1 : 1;
  if (const int c = cmpSeverity(a, b)) return c;
  return cmpNumber(a, b);
}

int cmpTitle(const tBug& a, const tBug& b) { return cmpBytes(a.title, b.title); }

// Inserting each row, in list order, after every sorted row that compares
// less or equal gives a stable ascending sort: std::stable_sort gives the
// same order in O(n log n), where the insertion would be quadratic.
void bugSort(tBugList& list, CompareFct_t cmp) {
  std::stable_sort(list.begin(), list.end(),
                   [cmp](const tBug& a, const tBug& b) { return cmp(a, b) < 0; });
}

CompareFct_t sortComparator(const std::string& sort) {
  switch (sort.empty() ? -1 : sort[0] - '0') {
    case 0: return cmpStatSevNum;
    case 2: return cmpResp;
    case 3: return cmpImpSevNum;
    case 4: return cmpTitle;
    default: return cmpNumber;
  }
}

// ---------------------------------------------------------------------------
// Result page
// ---------------------------------------------------------------------------

void displayCriteria(tPage& page, const tArgList& args) {
  page.markup("<H2>").text(langue(2102)).markup("</H2>");
  struct {
    const char* arg;
    int label;
  } const kLines[] = {
      {"project", 100}, {"group", 101},     {"submitter", 113}, {"sev", 109},    {"phase", 102},
      {"prog", 108},    {"version", 2103},  {"exp", 111},       {"resp", 117},   {"corrVers", 2104},
      {"verifier", 118}, {"verVers", 2105}, {"impact", 104},    {"type", 112},   {"adType", 115},
  };
  for (const auto& l : kLines) {
    const std::string v = getArg(args, l.arg);
    if (!present(v)) continue;
    if (strcmp(l.arg, "resp") == 0 && v == "all") continue;
    page.text(langue(l.label)).markup(" = ").text(v).markup("<br>\n");
  }
  // Each text criterion is shown when it is not empty; an absent one
  // reads as " " and is shown so (for intext it is then also searched).
  const std::string intext = getArg(args, "intext");
  if (!intext.empty()) page.text(langue(2009)).markup(" : '").text(intext).markup("'<br>\n");
  const std::string intitle = getArg(args, "intitle");
  if (!intitle.empty()) page.text(langue(2010)).markup(" : '").text(intitle).markup("'<br>\n");
  const int ival = getArgInt(args, "ival");
  // The date that ival tests: creation, correction, verification.
  static const int kIntervalLabel[3] = {2107, 2108, 2109};
  if (ival >= 1 && ival <= 3) {
    page.text(langue(kIntervalLabel[ival - 1])).markup(" ").text(getArg(args, "between"));
    page.markup(" ").text(langue(2110)).markup(" ").text(getArg(args, "and")).markup(" <BR>\n");
  }
  page.markup("Status = ");
  for (const tStatusBox& b : kStatusBoxes)
    if (isSet(getArg(args, b.arg))) page.text(langue(b.label)).markup(" ");
  page.markup("\n<BR>\n<HR>");
}

void displayIndex(tPage& page, const tBugList& list, const tArgList& args) {
  const bool mdapda = present(getArg(args, "aff_mdapda"));
  const bool vers = present(getArg(args, "aff_vers"));
  page.markup("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100%>\n");
  page.markup("<TR><TD>\n<H2>");
  page.text(applyHistoryFormat(langue(2111), std::to_string(list.size()), "", ""));
  page.markup("</H2>\n</TD><TD ALIGN=RIGHT WIDTH=35>\n");
  page.markup("<A HREF=").escaped(unquotedUrl(envOrEmpty("SCRIPT_NAME")));
  page.markup("?Print=yes&");
  queryInHref(page, getQueryString());
  page.markup(">\n<IMG SRC=").escaped(unquotedUrl(getImgDir()));
  page.markup("/print.gif BORDER=0 VALIGN=CENTER></A>");
  page.markup("</TD></TR></TABLE>\n");

  page.markup("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0>\n");
  int n = 0;
  for (const tBug& b : list) {
    page.markup("<TR><TD WIDTH=10%><A HREF=#").num0(n++, 5).markup(">").text(b.nom);
    page.markup("</A> </TD>");
    page.markup("<TD WIDTH=5% ALIGN=CENTER>").num(static_cast<unsigned char>(b.severity));
    page.markup("</TD>\n");
    page.markup("<TD WIDTH=5% ALIGN=CENTER>").text(getStatusShort(b.status)).markup("</TD>\n");
    if (mdapda) page.markup("<TD WIDTH=10%> ").text(b.mdapda).markup(" </TD>");
    if (vers) page.markup("<TD WIDTH=10%> ").text(b.version).markup(" </TD>");
    page.markup("<TD WIDTH=10%> ").text(b.resp).markup(" </TD>\n");
    page.markup("<TD WIDTH=70%> ").text(b.title).markup("</TD></TR>\n");
  }
  page.markup("</TABLE>\n<HR>\n");
}

void displayBugList(tPage& page, const tBugList& list) {
  page.markup("<H2>").text(langue(2112)).markup(" </H2>\n");
  // The action pages get this list's query back, so that they can lead to it.
  const std::string qs = urlEncode(getQueryString());
  for (const tBug& b : list) displayBug(page, b.nom, qs);
  page.markup("</BODY>\n");
}

void pad(std::string& out, int width, std::string_view str) {
  out.append(str);
  for (int i = static_cast<int>(str.size()); i < width; ++i) out += ' ';
}

void printIndex(tPage& page, const tBugList& list, const tArgList& args) {
  const bool mdapda = present(getArg(args, "aff_mdapda"));
  const bool vers = present(getArg(args, "aff_vers"));
  int wName = 0, wMdapda = 0, wVersion = 0, wResp = 0;
  for (const tBug& b : list) {
    wName = std::max(wName, static_cast<int>(b.nom.size()));
    wMdapda = std::max(wMdapda, static_cast<int>(b.mdapda.size()));
    wVersion = std::max(wVersion, static_cast<int>(b.version.size()));
    wResp = std::max(wResp, static_cast<int>(b.resp.size()));
  }
  wName += 2;
  wMdapda += 2;
  wVersion += 2;
  wResp += 2;

  std::string text = strprintf("Index of the %d reports \n\n", static_cast<int>(list.size()));
  for (const tBug& b : list) {
    pad(text, wName, b.nom);
    pad(text, 3, std::to_string(static_cast<unsigned char>(b.severity)));
    pad(text, 3, getStatusShort(b.status));
    if (mdapda) pad(text, wMdapda, b.mdapda);
    if (vers) pad(text, wVersion, b.version);
    pad(text, wResp, b.resp);
    text += b.title;
    text += '\n';
  }

  page.markup("<PRE>\n");
  // The printout goes to a file of the data directory's tmp folder, which
  // the PRINT command is given.
  const std::string& dir = getDataDir();
  const std::string file = dir + (!dir.empty() && dir.back() == '/' ? "" : "/") +
                           strprintf("tmp/velko.%d.prt", static_cast<int>(getpid()));
  tFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.ok()) return;
  const bool written = writeAll(fd.get(), text);
  if (!fd.close() || !written) {
    unlink(file.c_str());
    return;
  }

  // The printout on the page.
  page.text(text);
  const std::string printer = getCfgKey("PRINT");
  const std::string cmd = strprintf("%s %s", printer.c_str(), shellWord(file).c_str());
  page.comment(" -" + cmd + "- ").markup("\n");
  if (!printer.empty()) runPrintCommand(cmd);
  unlink(file.c_str());
}

// The download is tab-separated text, not HTML: its values go out as the
// reports hold them, byte for byte, under the download's own header.
void downloadIndex(tPage& page, const tBugList& list) {
  std::string out;
  for (int t = 2400; t <= 2426; ++t) {
    out += langue(t);
    out += '\t';
  }
  out += langue(2427);
  out += '\n';
  tHeader h;
  for (const tBug& b : list) {
    if (!readReportHead(b.nom, &h)) continue;  // gone since the selection
    std::string row = getProjectPrefix(h.project) + "|" + writeIndexToReadableStr(h);
    // A spreadsheet takes a cell that begins with '=', '+', '-' or '@' for
    // a formula: such cells get a leading apostrophe, which it shows as
    // text. The stored reports keep what was typed.
    size_t cell = 0;
    while (cell < row.size()) {
      if (strchr("=+-@", row[cell]) != nullptr && row[cell] != '\0') row.insert(cell, 1, '\'');
      const size_t bar = row.find('|', cell);
      if (bar == std::string::npos) break;
      row[bar] = '\t';
      cell = bar + 1;
    }
    out += row;
    if (out.size() > 60000) {
      page.downloadData(out);
      out.clear();
    }
  }
  page.downloadData(out);
}

void findbug(tArgList& list) {
  tPage& page = request().page;
  const bool excel = isSet(getArg(list, "excel"));
  if (!excel) {
    printHead(page, "VELKO", nullptr, &list);
    page.markup("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
    page.markup("<TR><TD ALIGN=LEFT><H1>");
    page.markup("<BIG>").text(langue(2113)).markup("</BIG>\n");
    page.markup("</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
    page.markup("<A HREF=\"?\">\n");
    page.markup("<IMG SRC=\"").attr(getImgDir()).markup("/home.gif\" BORDER=0 VALIGN=CENTER></A>\n");
    page.markup("</TD></TR></Table>\n");
    page.markup("<HR>\n");
  } else {
    page.setHeader("Content-type: application/octet-stream\n"
                   "Content-Disposition: attachment; filename=bugs.dat\n\n");
  }
  if (present(getArg(list, "aff_crit"))) displayCriteria(page, list);
  tBugList bugs = getBugList(list);
  bugSort(bugs, sortComparator(getArg(list, "sort")));
  if (getArg(list, "Print")[0] == 'y') {
    printIndex(page, bugs, list);
  } else if (excel) {
    downloadIndex(page, bugs);
  } else {
    displayIndex(page, bugs, list);
    displayBugList(page, bugs);
  }
}

// ---------------------------------------------------------------------------
// Search page
// ---------------------------------------------------------------------------

namespace {

template <size_t N>
void selectRow(tPage& page, const std::string& label, const char (&name)[N]) {
  page.markup("<TR><TD>").text(label).markup("</TD><TD><SELECT NAME=\"").markup(name);
  page.markup("\">\n");
}
void blankOption(tPage& page) { page.markup("<OPTION SELECTED VALUE=\" \"> \n"); }
void endSelectRow(tPage& page) { page.markup("</SELECT></TD></TR>\n"); }

template <size_t N, size_t M>
void checkBox(tPage& page, const char (&name)[N], const char (&value)[M], bool checked,
              const std::string& label) {
  page.markup("<INPUT TYPE=checkbox NAME=\"").markup(name).markup("\" VALUE=\"").markup(value);
  page.markup("\"");
  if (checked) page.markup(" CHECKED");
  page.markup("> ").text(label).markup("\n");
}

template <size_t N>
void option(tPage& page, const char (&value)[N], const std::string& label) {
  page.markup("<OPTION VALUE=\"").markup(value).markup("\"> ").text(label).markup("\n");
}

void hiddenUid(tPage& page, const std::string& uid) {
  page.markup("<INPUT TYPE=hidden name=Uid Value=\"").attr(uid).markup("\">");
}

}  // namespace

void listdisp(tArgList& list) {
  tPage& page = request().page;
  std::string project = getArg(list, "project");
  if (!present(project)) project = getUserProject();
  // Without a remembered group no option is preselected (an empty match
  // would mark them all).
  std::string group = getUserGroup();
  if (group.empty()) group = " ";
  const bool secure = useSecurity() != 0;
  const std::string uid = getArg(list, "Uid");
  const std::string script = envOrEmpty("SCRIPT_NAME");

  printHead(page, langue(2003), nullptr, &list);
  jsChangePage();
  jsCheckChange();
  page.markup("<H1>").text(langue(2004)).markup("</H1>\n");

  // Quick search by name.
  page.markup("<FORM METHOD=GET ACTION=\"").attr(script).markup("\">\n");
  page.text(langue(2005)).markup(" : <INPUT SIZE=20 NAME=\"find\">\n");
  page.markup("<INPUT TYPE=submit VALUE=\"").attr(langue(2006)).markup("\">\n");
  if (secure) hiddenUid(page, uid);
  page.markup("</FORM>\n");

  // Criteria: document.forms[1], whose box ALL checkChange reads.
  page.markup("<P><H3>").text(langue(2007)).markup(":</H3>\n");
  page.markup("<FORM ACTION=\"").attr(script).markup("\">\n");
  page.markup("<INPUT TYPE=hidden name=CMD Value=\"find\">");
  page.markup("<INPUT TYPE=hidden name=project Value=\"").attr(project).markup("\">");
  if (secure) hiddenUid(page, uid);
  page.markup("\n<TABLE BORDER=0 CELLSPACING=2 CELLPADDING=2>\n");

  page.markup("<TR><TD><BIG><B>").text(langue(100));
  page.markup("</B></BIG></TD><TD><SELECT NAME=\"Deroulant\" "
              "onChange=\"changePage(this.options[this.selectedIndex].value,this)\">\n");
  page.markup("<OPTION VALUE=\"").attr(script).markup("?CMD=search");
  uidSuffix(page);
  page.markup("\"> \n");
  for (const std::string& p : getProjects(" ")) {
    page.markup("<OPTION VALUE=\"").attr(script).markup("?CMD=search&project=");
    urlPart(page, p);
    uidSuffix(page);
    page.markup("\"");
    if (p == project) page.markup(" SELECTED");
    page.markup("> ").text(p).markup("\n");
  }
  endSelectRow(page);

  selectRow(page, langue(101), "group");
  blankOption(page);
  optionListSubProject(project, group);
  endSelectRow(page);
  selectRow(page, langue(102), "phase");
  blankOption(page);
  optionListPhase(-1);
  endSelectRow(page);
  selectRow(page, langue(117), "resp");
  // The choice of every assignee is sent as "all" whatever its label.
  const std::string& all = langue(kTextAll);
  if (all.empty() || all == "all")
    page.markup("<OPTION SELECTED>all\n");
  else
    page.markup("<OPTION SELECTED VALUE=\"all\">").text(all).markup("\n");
  optionListUsers(project, "");
  endSelectRow(page);
  selectRow(page, langue(113), "submitter");
  blankOption(page);
  optionListUsers(project, "");
  endSelectRow(page);
  selectRow(page, langue(118), "verifier");
  blankOption(page);
  optionListUsers(project, "");
  endSelectRow(page);

  page.markup("<TR><TD>").text(langue(119)).markup("</TD><TD>\n");
  checkBox(page, "statN", "X", true, langue(200));
  checkBox(page, "statA", "X", true, langue(202));
  checkBox(page, "statO", "X", true, langue(203));
  page.markup("<BR>\n");
  checkBox(page, "statC", "X", false, langue(204));
  checkBox(page, "statV", "X", false, langue(205));
  checkBox(page, "statP", "X", false, langue(209));
  page.markup("<INPUT TYPE=checkbox NAME=\"ALL\" onclick=\"javascript:checkChange();\"> ");
  page.text(langue(212)).markup("\n");
  page.markup("<BR>\n");
  checkBox(page, "statB", "X", false, langue(207));
  checkBox(page, "statR", "X", false, langue(208));
  checkBox(page, "statD", "X", false, langue(206));
  checkBox(page, "statT", "X", false, langue(210));
  checkBox(page, "statS", "X", true, langue(201));
  page.markup("</TD></TR>\n");

  selectRow(page, langue(108), "prog");
  blankOption(page);
  optionListProgram(project, " ");
  endSelectRow(page);
  selectRow(page, langue(110), "version");
  blankOption(page);
  optionListVersion(project, " ");
  endSelectRow(page);
  selectRow(page, langue(104), "impact");
  blankOption(page);
  optionListImpact(-1);
  endSelectRow(page);
  selectRow(page, langue(109), "sev");
  blankOption(page);
  optionListSeverity(0);
  endSelectRow(page);
  selectRow(page, langue(111), "exp");
  blankOption(page);
  optionListDeadline(project, " ");
  endSelectRow(page);
  selectRow(page, langue(112), "type");
  blankOption(page);
  optionListProblemType(-1);
  endSelectRow(page);
  selectRow(page, langue(120), "corrVers");
  blankOption(page);
  optionListVersion(project, " ");
  endSelectRow(page);
  selectRow(page, langue(121), "verVers");
  blankOption(page);
  optionListVersion(project, " ");
  endSelectRow(page);
  selectRow(page, langue(122), "adType");
  blankOption(page);
  option(page, "1", langue(131));
  option(page, "2", langue(132));
  endSelectRow(page);

  page.markup("<TR><TD COLSPAN=2><SELECT NAME=\"ival\">\n");
  page.markup("<OPTION SELECTED VALUE=\"0\"> \n");
  option(page, "1", langue(211));
  option(page, "2", langue(204));
  option(page, "3", langue(205));
  page.markup("</SELECT>").text(langue(2008)).markup(" &nbsp;\n");
  page.markup("<INPUT TYPE=text NAME=\"between\" SIZE=20 VALUE=\"31/12/1998:12.00.00\">\n");
  page.markup(" ").text(langue(2110)).markup(" \n");
  page.markup("<INPUT TYPE=text NAME=\"and\" SIZE=20 VALUE=\"31/12/2010:12.00.00\"></TD></TR>\n");
  page.markup("<TR><TD>").text(langue(2009));
  page.markup("</TD><TD><INPUT TYPE=text NAME=\"intext\" SIZE=40></TD></TR>\n");
  page.markup("<TR><TD>").text(langue(2010));
  page.markup("</TD><TD><INPUT TYPE=text NAME=\"intitle\" SIZE=40></TD></TR>\n");
  page.markup("</TABLE>\n");
  page.markup("<INPUT TYPE=submit VALUE=\"").attr(langue(3002));
  page.markup("\"> ");
  resetButton(page);
  page.markup("\n");

  // Display options, in the same form.
  page.markup("<P><H3>").text(langue(2028)).markup(":</H3>\n");
  page.markup("<TABLE BORDER=0 CELLSPACING=2 CELLPADDING=2>\n");
  selectRow(page, langue(2011), "sort");
  option(page, "0", langue(2012));
  option(page, "1", langue(2013));
  option(page, "2", langue(2014));
  option(page, "3", langue(2015));
  option(page, "4", langue(106));
  endSelectRow(page);
  page.markup("<TR><TD>");
  checkBox(page, "aff_vers", "AV", false, langue(2016));
  page.markup("</TD><TD><SELECT NAME=\"aff_versSel\">\n");
  option(page, "1", langue(2017));
  option(page, "2", langue(2018));
  option(page, "3", langue(2019));
  option(page, "4", langue(2020));
  endSelectRow(page);
  page.markup("<TR><TD COLSPAN=2>");
  checkBox(page, "aff_crit", "AC", false, langue(2021));
  page.markup("</TD></TR>\n<TR><TD COLSPAN=2>");
  checkBox(page, "aff_mdapda", "AM", false, langue(2022));
  page.markup("</TD></TR>\n<TR><TD COLSPAN=2>");
  checkBox(page, "excel", "X", false, langue(2023));
  page.markup("</TD></TR>\n</TABLE>\n");
  page.markup("</FORM>\n</BODY>\n");
}
