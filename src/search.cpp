#include "search.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config.h"
#include "frame.h"
#include "session.h"
#include "actions.h"
#include "display.h"
#include "html.h"
#include "args.h"
#include "text.h"
#include "utils.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// A value is present unless it begins with a blank (getArg gives " " for an
// absent argument, and a blank selection option sends " ").
bool present(const std::string& v) { return v.empty() || v[0] != ' '; }
// A check box is set when its value begins with "X".
bool isSet(const std::string& v) { return !v.empty() && v[0] == 'X'; }

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// "<data directory>/<name>", without doubling the directory's final '/'.
std::string dataFile(const std::string& name) {
  const std::string& dir = getDataDir();
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// A value inside an unquoted attribute built from configured parts (script,
// image directory): escaped, and a blank, which would end the attribute,
// written %20.
std::string unquoted(std::string_view s) {
  std::string r;
  for (char c : escapeAttr(s)) {
    if (c == ' ')
      r += "%20";
    else
      r += c;
  }
  return r;
}

// The raw query string inside the unquoted HREF of the print link. A
// browser sends it already %-encoded, so this changes nothing for a real
// request, but a crafted one cannot end the attribute or open a tag: quotes,
// '<', '>', '`', white space and control bytes are written %XX. '&' stays:
// it separates the arguments.
std::string queryInHref(std::string_view qs) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  r.reserve(qs.size());
  for (char c : qs) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '"' || c == '\'' || c == '<' || c == '>' || c == '`') {
      r += '%';
      r += kHex[u >> 4];
      r += kHex[u & 15];
    } else {
      r += c;
    }
  }
  return r;
}

// A value inside a quoted URL attribute, as it stands where it is plain
// text: bytes that would end the attribute, open a tag, start a character
// reference, add an argument, end the URL or change its decoding (blanks,
// control bytes, quotes, '<', '>', '&', '#', '%', '+') are written %XX, so the
// name arrives whole.
std::string urlPart(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || strchr("\"'<>&#%+`", c)) {
      r += '%';
      r += kHex[u >> 4];
      r += kHex[u & 15];
    } else {
      r += c;
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// Index line fields, looked at without building the record
// ---------------------------------------------------------------------------

// Positions of the fields in an index line.
enum tField {
  F_PREFIX = 0, F_NUMBER, F_PHASE, F_DATE, F_SUBMITTER, F_SEVERITY, F_PROJECT, F_GROUP,
  F_MODULE, F_VERSION, F_EXPVERS, F_STATUS, F_POSTPONE, F_ASSIGNED, F_CORRECTOR, F_CORRDATE,
  F_CORRVERS, F_VERIFIER, F_VERIFDATE, F_VERIFVERS, F_TYPE, F_IMPACT, F_MDAPDA, F_TESTREF,
  F_SPENT, F_ESTIMATE, F_COUNT  // the title is the text after the last separator
};

// The first fields of a line, split at '|'. `count` separators were found
// (at most `want`); field i (i < count) is fields[i].
struct tFields {
  std::string_view fields[F_COUNT];
  int count = 0;
};

// Splits `line` at its first `want` separators: the inner loop of every
// search, so 16 bytes at a time where the processor allows.
void splitFields(std::string_view line, int want, tFields* out) {
  const char* const base = line.data();
  const size_t n = line.size();
  size_t start = 0;
  size_t i = 0;
  int count = 0;
  if (want <= 0) {
    out->count = 0;
    return;
  }
#ifdef __SSE2__
  const __m128i bar = _mm_set1_epi8('|');
  for (; i + 16 <= n; i += 16) {
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i)), bar)));
    while (mask) {
      const size_t pos = i + static_cast<size_t>(__builtin_ctz(mask));
      mask &= mask - 1;
      out->fields[count++] = std::string_view(base + start, pos - start);
      start = pos + 1;
      if (count == want) {
        out->count = count;
        return;
      }
    }
  }
#endif
  for (; i < n; ++i) {
    if (base[i] != '|') continue;
    out->fields[count++] = std::string_view(base + start, i - start);
    start = i + 1;
    if (count == want) break;
  }
  out->count = count;
}

// What the record's field would hold, or "unknown" when the parse might
// read the field differently from a plain look at it (long texts are cut,
// numbers may carry signs): the caller then leaves the decision to the
// full test on the parsed record.
bool plainText(std::string_view v, size_t width) { return v.size() < width; }

// A letter field as the index reader takes it: the first byte when in range,
// otherwise the record's default 0.
int letterValue(std::string_view v, int max) {
  if (v.empty()) return 0;
  const int c = static_cast<unsigned char>(v[0]) - 'a';
  return c >= 0 && c <= max ? c : 0;
}

// A number made of digits only, as the index writes it.
bool plainNumber(std::string_view v, long* out) {
  if (v.empty() || v.size() >= 19) return false;
  long r = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    r = r * 10 + (c - '0');
  }
  *out = r;
  return true;
}

// ---------------------------------------------------------------------------
// Reading the index
// ---------------------------------------------------------------------------

// The lines of a file opened with openBuf, handed out exactly as
// readFileLine hands them out (pieces of kLinePiece bytes, text cut at a
// zero byte, a last line without line feed dropped), but as views into the
// block when a whole line lies in it: the index is read without copying
// each line. Any other case (a line across the end of the block, a long
// line, an empty block) is left to readFileLine itself, from the same place.
class tLineReader {
 public:
  explicit tLineReader(tFileBuf* f) : f_(f) {}

  // The next line, valid until the next call; false at end of file.
  bool next(std::string_view* out) {
    if (f_->bufIndex < f_->bufLen) {
      const char* p = f_->buffer.get() + f_->bufIndex;
      const size_t look = std::min(static_cast<size_t>(f_->bufLen - f_->bufIndex),
                                   static_cast<size_t>(kLinePiece));
      if (const void* lf = memchr(p, '\n', look)) {
        const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - p);
        f_->bufIndex += static_cast<int>(len + 1);
        const void* zero = memchr(p, '\0', len);
        *out = std::string_view(p, zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : len);
        return true;
      }
    }
    if (readFileLine(f_, scratch_) < 0) return false;
    *out = scratch_;
    return true;
  }

 private:
  tFileBuf* f_;
  std::string scratch_;
};

// ---------------------------------------------------------------------------
// Report names
// ---------------------------------------------------------------------------

// getBugName for many records: the prefix depends on the project, group and
// phase only, and an index holds few of those, so each prefix is looked up
// once.
class tNameMaker {
 public:
  const std::string& name(const tHeader& h) {
    const std::string* prefix = nullptr;
    for (const Entry& e : entries_) {
      if (e.phase == h.phase && e.project == h.project && e.group == h.subProject) {
        prefix = &e.prefix;
        break;
      }
    }
    if (!prefix) {
      if (entries_.size() < kMaxEntries) {
        entries_.push_back({h.project, h.subProject, h.phase, getBugPrefix2(h)});
        prefix = &entries_.back().prefix;
      } else {
        spare_ = getBugPrefix2(h);
        prefix = &spare_;
      }
    }
    char num[24];
    const int len = snprintf(num, sizeof num, ".%05d", h.number);
    name_.assign(*prefix);
    name_.append(num, static_cast<size_t>(len));
    return name_;
  }

 private:
  static constexpr size_t kMaxEntries = 256;
  struct Entry {
    std::string project, group;
    int phase;
    std::string prefix;
  };
  std::vector<Entry> entries_;
  std::string spare_, name_;
};

// ---------------------------------------------------------------------------
// The selection
// ---------------------------------------------------------------------------

// A criterion that asks a text field to equal the argument.
struct tEqual {
  tField field;
  size_t width;
  std::string tHeader::*member;
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

// Everything getBugList tests, read from the arguments once.
struct tSelection {
  bool byName = false;
  std::string names;  // find, Num or Numero
  std::vector<long> nameNumbers;  // see collectNumbers

  std::vector<tEqual> equal;
  int severity = -1, fileType = -1, phase = -1, impact = -1;
  bool noMatch = false;  // a sev/type/phase/impact that no report can have
  tField dateField = F_COUNT;
  long tHeader::*dateMember = nullptr;
  long from = 0, to = 0;
  bool titleTest = false;
  std::string intitle;
  unsigned statusMask = 0;
  int adType = 0;  // 1 with, 2 without an MDA/PDA reference
  bool textTest = false;
  std::string intext;
  int fieldsNeeded = 0;  // separators the look at the raw line needs

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
      fieldsNeeded = F_NUMBER + 1;
      collectNumbers();
      return;
    }

    switch (getArgInt(args, "ival")) {
      case 1: dateField = F_DATE; dateMember = &tHeader::date; break;
      case 2: dateField = F_CORRDATE; dateMember = &tHeader::correctDate; break;
      case 3: dateField = F_VERIFDATE; dateMember = &tHeader::verifyDate; break;
      default: break;
    }
    if (dateMember) {
      from = char2date(getArg(args, "between"));
      to = char2date(getArg(args, "and"));
      need(dateField);
    }
    struct {
      const char* arg;
      tField field;
      size_t width;
      std::string tHeader::*member;
    } const kEqual[] = {
        {"submitter", F_SUBMITTER, kUserSize, &tHeader::submitter},
        {"project", F_PROJECT, kProjectSize, &tHeader::project},
        {"group", F_GROUP, kProjectSize, &tHeader::subProject},
        {"prog", F_MODULE, kModuleSize, &tHeader::module},
        {"version", F_VERSION, kVersionSize, &tHeader::version},
        {"exp", F_EXPVERS, kVersionSize, &tHeader::expvers},
        {"corrVers", F_CORRVERS, kVersionSize, &tHeader::correctVersion},
        {"verifier", F_VERIFIER, kUserSize, &tHeader::verifiedBy},
        {"verVers", F_VERIFVERS, kVersionSize, &tHeader::verifyVersion},
    };
    for (const auto& e : kEqual) {
      const std::string v = getArg(args, e.arg);
      if (!present(v)) continue;
      equal.push_back({e.field, e.width, e.member, v});
      need(e.field);
    }
    // An absent resp reads as " " and so asks for an assignee " ".
    const std::string resp = getArg(args, "resp");
    if (resp != "all") {
      equal.push_back({F_ASSIGNED, kUserSize, &tHeader::assignedTo, resp});
      need(F_ASSIGNED);
    }
    auto code = [&](const char* arg, char base, int* target, tField field) {
      const std::string v = getArg(args, arg);
      if (!present(v)) return;
      // The field's code is never below the base: "" or such a first
      // character matches no report.
      const int c = v.empty() ? -1 : static_cast<unsigned char>(v[0]) - base;
      if (c < 0) noMatch = true;
      else *target = c;
      need(field);
    };
    code("sev", '0', &severity, F_SEVERITY);
    code("type", '0', &fileType, F_TYPE);
    code("phase", 'a', &phase, F_PHASE);
    code("impact", 'a', &impact, F_IMPACT);
    intitle = getArg(args, "intitle");
    titleTest = present(intitle);
    for (const tStatusBox& b : kStatusBoxes)
      if (isSet(getArg(args, b.arg))) statusMask |= 1u << b.status;
    need(F_STATUS);
    const std::string ad = getArg(args, "adType");
    if (present(ad) && !ad.empty() && (ad[0] == '1' || ad[0] == '2')) {
      adType = ad[0] - '0';
      need(F_MDAPDA);
    }
    intext = getArg(args, "intext");
    textTest = !intext.empty();
  }

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

  void need(tField f) { fieldsNeeded = std::max(fieldsNeeded, static_cast<int>(f) + 1); }

  // A quick look at the raw line: false only when the full test on the
  // parsed record would certainly fail too. Most lines of a search stop here,
  // so the record is parsed only for the few that may match.
  bool mayMatch(std::string_view line, tFields* sp) const {
    splitFields(line, fieldsNeeded, sp);
    if (sp->count < fieldsNeeded) return true;  // a short line: the full test decides
    if (byName) {
      long n;
      if (!plainNumber(sp->fields[F_NUMBER], &n) || n > INT_MAX) return true;
      return std::binary_search(nameNumbers.begin(), nameNumbers.end(), n);
    }
    if (noMatch) return false;
    if (!(statusMask >> letterValue(sp->fields[F_STATUS], kStatusCount - 1) & 1u)) return false;
    for (const tEqual& e : equal) {
      const std::string_view v = sp->fields[e.field];
      if (plainText(v, e.width) && v != e.value) return false;
    }
    if (severity >= 0 && letterValue(sp->fields[F_SEVERITY], 25) != severity) return false;
    if (fileType >= 0 && letterValue(sp->fields[F_TYPE], 2) != fileType) return false;
    if (phase >= 0 && letterValue(sp->fields[F_PHASE], 15) != phase) return false;
    if (impact >= 0 && letterValue(sp->fields[F_IMPACT], 3) != impact) return false;
    if (dateMember) {
      long d;
      if (plainNumber(sp->fields[dateField], &d) && (d < from || d > to)) return false;
    }
    if (adType) {
      const std::string_view v = sp->fields[F_MDAPDA];
      if (adType == 1 && v.empty()) return false;
      if (adType == 2 && !v.empty()) return false;
    }
    if (titleTest) {
      const size_t bar = line.rfind('|');
      const std::string_view title = line.substr(bar + 1);
      if (plainText(title, kTitleSize) && title.find(intitle) == std::string_view::npos)
        return false;
    }
    return true;
  }

  // The exact test of every criterion but the text search, on the parsed
  // record; `name` is the report's name.
  bool matches(const tHeader& h, const std::string& name) const {
    if (byName) return names.find(name) != std::string::npos;
    if (noMatch) return false;
    if (dateMember && (h.*dateMember < from || h.*dateMember > to)) return false;
    for (const tEqual& e : equal)
      if (h.*(e.member) != e.value) return false;
    if (severity >= 0 && h.severity != severity) return false;
    if (fileType >= 0 && h.fileType != fileType) return false;
    if (phase >= 0 && h.phase != phase) return false;
    if (impact >= 0 && h.impact != impact) return false;
    if (titleTest && h.title.find(intitle) == std::string::npos) return false;
    if (h.status < 0 || h.status >= kStatusCount || !(statusMask >> h.status & 1u)) return false;
    if (adType == 1 && h.mdaPda.empty()) return false;
    if (adType == 2 && !h.mdaPda.empty()) return false;
    return true;
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

long char2date(std::string_view str) {
  if (str.size() < 17) return 0;
  const std::string s(str);
  int day, month, year, hour, minute, second;
  if (sscanf(s.c_str(), "%2d/%2d/%4d:%2d.%2d.%2d", &day, &month, &year, &hour, &minute,
             &second) != 6)
    return 0;
  if (day < 0 || month < 0 || year < 0 || hour < 0 || minute < 0 || second < 0) return 0;
  struct tm tm {};
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = year - 1900;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const time_t t = mktime(&tm);
  return t == static_cast<time_t>(-1) ? 0 : static_cast<long>(t);
}

int findInBugFile(const std::string& name, std::string_view text) {
  if (!isReportName(name)) return 0;
  tFileBuf f;
  if (!openBuf(&f, dataFile(name), 'r', kFileBlock)) return 0;
  std::string line;
  while (readFileLine(&f, line) >= 0)
    if (line.find(text) != std::string::npos) return 1;
  return 0;
}

tBugList getBugList(const tArgList& args) {
  if (useSecurity()) checkBypass(args);
  tBugList rows;
  tFileBuf f;
  if (!openBuf(&f, dataFile("index"), 'r', kFileBlock)) return rows;

  const tSelection sel(args);
  const tRights rights(args);
  const std::string versSel = getArg(args, "aff_versSel");
  tNameMaker names;
  tFields sp;
  tHeader h;
  tLineReader reader(&f);
  std::string_view line;
  while (reader.next(&line)) {
    if (line.empty()) continue;  // not a report: it would list a blank record
    if (!sel.mayMatch(line, &sp)) continue;
    resetHeader(&h);
    strToIndex(line, &h);
    const std::string& name = names.name(h);
    if (!sel.matches(h, name) || !rights.allows(h)) continue;
    // A name that cannot be a file of the data directory has no report
    // to show, search or download.
    if (!isReportName(name)) continue;
    if (!sel.byName && sel.textTest && !findInBugFile(name, sel.intext)) continue;
    tBug b;
    b.nom = name;
    b.severity = static_cast<char>(h.severity);
    b.status = h.status;
    b.impact = h.impact;
    b.mdapda = h.mdaPda;
    b.version = shownVersion(h, versSel[0]);
    b.resp = h.assignedTo;
    b.title = h.title;
    rows.push_back(std::move(b));
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

void displayCriteria(const tArgList& args) {
  emitf("<H2>%s</H2>", langue(2102).c_str());
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
    emitf("%s = %s<br>\n", langue(l.label).c_str(), escapeHtml(v).c_str());
  }
  // Each text criterion is shown when it is not empty; an absent one
  // reads as " " and is shown so (for intext it is then also searched).
  const std::string intext = getArg(args, "intext");
  if (!intext.empty()) emitf("%s : '%s'<br>\n", langue(2009).c_str(), escapeHtml(intext).c_str());
  const std::string intitle = getArg(args, "intitle");
  if (!intitle.empty())
    emitf("%s : '%s'<br>\n", langue(2010).c_str(), escapeHtml(intitle).c_str());
  const int ival = getArgInt(args, "ival");
  // The date that ival tests: creation, correction, verification.
  static const int kIntervalLabel[3] = {2107, 2108, 2109};
  if (ival >= 1 && ival <= 3)
    emitf("%s %s %s %s <BR>\n", langue(kIntervalLabel[ival - 1]).c_str(),
          escapeHtml(getArg(args, "between")).c_str(), langue(2110).c_str(),
          escapeHtml(getArg(args, "and")).c_str());
  emit("Status = ");
  for (const tStatusBox& b : kStatusBoxes)
    if (isSet(getArg(args, b.arg))) emitf("%s ", langue(b.label).c_str());
  emit("\n<BR>\n<HR>");
}

void displayIndex(const tBugList& list, const tArgList& args) {
  const bool mdapda = present(getArg(args, "aff_mdapda"));
  const bool vers = present(getArg(args, "aff_vers"));
  emit("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100%>\n");
  emit("<TR><TD>\n<H2>");
  emit(applyHistoryFormat(langue(2111), std::to_string(list.size()), "", ""));
  emit("</H2>\n</TD><TD ALIGN=RIGHT WIDTH=35>\n");
  emitf("<A HREF=%s?%s=yes&%s>\n", unquoted(envOrEmpty("SCRIPT_NAME")).c_str(), "Print",
        queryInHref(getQueryString()).c_str());
  emitf("<IMG SRC=%s/print.gif BORDER=0 VALIGN=CENTER></A>", unquoted(getImgDir()).c_str());
  emit("</TD></TR></TABLE>\n");

  std::string out = "<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0>\n";
  int n = 0;
  for (const tBug& b : list) {
    out += strprintf("<TR><TD WIDTH=10%%><A HREF=#%05d>%s</A> </TD>", n++,
                     escapeHtml(b.nom).c_str());
    out += strprintf("<TD WIDTH=5%% ALIGN=CENTER>%d</TD>\n", static_cast<unsigned char>(b.severity));
    out += strprintf("<TD WIDTH=5%% ALIGN=CENTER>%s</TD>\n", getStatusShort(b.status));
    if (mdapda) out += strprintf("<TD WIDTH=10%%> %s </TD>", escapeHtml(b.mdapda).c_str());
    if (vers) out += strprintf("<TD WIDTH=10%%> %s </TD>", escapeHtml(b.version).c_str());
    out += strprintf("<TD WIDTH=10%%> %s </TD>\n", escapeHtml(b.resp).c_str());
    out += strprintf("<TD WIDTH=70%%> %s</TD></TR>\n", escapeHtml(b.title).c_str());
    if (out.size() > 60000) {
      emit(out);
      out.clear();
    }
  }
  out += "</TABLE>\n<HR>\n";
  emit(out);
}

void displayBugList(const tBugList& list, const tArgList& args) {
  (void)args;
  emitf("<H2>%s </H2>\n", langue(2112).c_str());
  // The action pages get this list's query back, so that they can lead to it.
  const std::string qs = urlEncode(getQueryString());
  for (const tBug& b : list) displayBug(request().page, b.nom, qs);
  emit("</BODY>\n");
}

void pad(FILE* fd, int width, std::string_view str) {
  fwrite(str.data(), 1, str.size(), fd);
  for (int i = static_cast<int>(str.size()); i < width; ++i) fputc(' ', fd);
}

void printIndex(const tBugList& list, const tArgList& args) {
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
  const int count = static_cast<int>(list.size());

  emit("<PRE>\n");
  const std::string file = dataFile(strprintf("tmp/velko.%d.prt", static_cast<int>(getpid())));
  FILE* fd = fopen(file.c_str(), "wb");
  if (!fd) return;
  fprintf(fd, "Index of the %d reports \n\n", count);
  for (const tBug& b : list) {
    pad(fd, wName, b.nom);
    pad(fd, 3, std::to_string(static_cast<unsigned char>(b.severity)));
    pad(fd, 3, getStatusShort(b.status));
    if (mdapda) pad(fd, wMdapda, b.mdapda);
    if (vers) pad(fd, wVersion, b.version);
    pad(fd, wResp, b.resp);
    fputs(b.title.c_str(), fd);
    fputc('\n', fd);
  }
  fclose(fd);

  // The printout on the page: the file's text, escaped.
  if (FILE* in = fopen(file.c_str(), "rb")) {
    std::string text;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
    fclose(in);
    emit(escapeHtml(text));
  }

  const std::string printer = getCfgKey("PRINT");
  const std::string cmd = strprintf("%s %s", printer.c_str(), shellWord(file).c_str());
  emitf("<! -%s- >\n", escapeHtml(cmd).c_str());
  if (!printer.empty()) {
    runPrintCommand(cmd);
  }
  unlink(file.c_str());
}

void downloadIndex(const tBugList& list, const tArgList& args) {
  (void)args;
  std::string out;
  for (int t = 2400; t <= 2426; ++t) {
    out += langue(t);
    out += '\t';
  }
  out += langue(2427);
  out += '\n';
  tHeader h;
  for (const tBug& b : list) {
    if (!isReportName(b.nom)) continue;
    tFileBuf f;
    if (!openBuf(&f, dataFile(b.nom), 'r', kFileBlock)) continue;  // gone since the selection
    if (readIndex(&f, &h) < 0) continue;
    out += getProjectPrefix(h.project);
    out += '\t';
    std::string row = writeIndexToReadableStr(h);
    std::replace(row.begin(), row.end(), '|', '\t');
    out += row;
    if (out.size() > 60000) {
      emit(out);
      out.clear();
    }
  }
  emit(out);
}

void findbug(tArgList& list) {
  const bool excel = isSet(getArg(list, "excel"));
  if (!excel) {
    printHead(request().page, "VELKO", nullptr, &list);
    emit("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
    emit("<TR><TD ALIGN=LEFT><H1>");
    emitf("<BIG>%s</BIG>\n", langue(2113).c_str());
    emit("</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
    emit("<A HREF=\"?\">\n");
    emitf("<IMG SRC=\"%s/home.gif\" BORDER=0 VALIGN=CENTER></A>\n",
          escapeAttr(getImgDir()).c_str());
    emit("</TD></TR></Table>\n");
    emit("<HR>\n");
  } else {
    sendHeader("Content-type: application/octet-stream\n"
               "Content-Disposition: attachment; filename=bugs.dat\n\n");
  }
  if (present(getArg(list, "aff_crit"))) displayCriteria(list);
  tBugList bugs = getBugList(list);
  bugSort(bugs, sortComparator(getArg(list, "sort")));
  if (getArg(list, "Print")[0] == 'y')
    printIndex(bugs, list);
  else if (excel)
    downloadIndex(bugs, list);
  else {
    displayIndex(bugs, list);
    displayBugList(bugs, list);
  }
}

// ---------------------------------------------------------------------------
// Search page
// ---------------------------------------------------------------------------

namespace {

void selectRow(const char* label, const char* name) {
  emitf("<TR><TD>%s</TD><TD><SELECT NAME=\"%s\">\n", label, name);
}
void blankOption() { emit("<OPTION SELECTED VALUE=\" \"> \n"); }
void endSelectRow() { emit("</SELECT></TD></TR>\n"); }

void checkBox(const char* name, const char* value, bool checked, const std::string& label) {
  emitf("<INPUT TYPE=checkbox NAME=\"%s\" VALUE=\"%s\"%s> %s\n", name, value,
        checked ? " CHECKED" : "", label.c_str());
}

void option(const char* value, const std::string& label) {
  emitf("<OPTION VALUE=\"%s\"> %s\n", value, label.c_str());
}

}  // namespace

void listdisp(tArgList& list) {
  std::string project = getArg(list, "project");
  if (!present(project)) project = getUserProject();
  // Without a remembered group no option is preselected (an empty match
  // would mark them all).
  std::string group = getUserGroup();
  if (group.empty()) group = " ";
  const bool secure = useSecurity() != 0;
  const std::string uid = getArg(list, "Uid");
  const std::string script = envOrEmpty("SCRIPT_NAME");
  const std::string action = escapeAttr(script);
  const std::string uidArg = addUid();

  printHead(request().page, langue(2003), nullptr, &list);
  jsChangePage();
  jsCheckChange();
  emitf("<H1>%s</H1>\n", langue(2004).c_str());

  // Quick search by name.
  emitf("<FORM METHOD=GET ACTION=\"%s\">\n", action.c_str());
  emitf("%s : <INPUT SIZE=20 NAME=\"%s\">\n", langue(2005).c_str(), "find");
  emitf("<INPUT TYPE=submit VALUE=\"%s\">\n", escapeAttr(langue(2006)).c_str());
  if (secure) emitf("<INPUT TYPE=hidden name=%s Value=\"%s\">", "Uid", escapeAttr(uid).c_str());
  emit("</FORM>\n");

  // Criteria: document.forms[1], whose box ALL checkChange reads.
  emitf("<P><H3>%s:</H3>\n", langue(2007).c_str());
  emitf("<FORM ACTION=\"%s\">\n", action.c_str());
  emitf("<INPUT TYPE=hidden name=%s Value=\"%s\">", "CMD", "find");
  emitf("<INPUT TYPE=hidden name=%s Value=\"%s\">", "project", escapeAttr(project).c_str());
  if (secure) emitf("<INPUT TYPE=hidden name=%s Value=\"%s\">", "Uid", escapeAttr(uid).c_str());
  emit("\n<TABLE BORDER=0 CELLSPACING=2 CELLPADDING=2>\n");

  emitf("<TR><TD><BIG><B>%s</B></BIG></TD><TD><SELECT NAME=\"Deroulant\" "
        "onChange=\"changePage(this.options[this.selectedIndex].value,this)\">\n",
        langue(100).c_str());
  emitf("<OPTION VALUE=\"%s?%s=%s%s\"> \n", action.c_str(), "CMD", "search", uidArg.c_str());
  for (const std::string& p : getProjects(" ")) {
    emitf("<OPTION VALUE=\"%s?%s=%s&%s=%s%s\"%s> %s\n", action.c_str(), "CMD", "search",
          "project", urlPart(p).c_str(), uidArg.c_str(), p == project ? " SELECTED" : "",
          escapeHtml(p).c_str());
  }
  endSelectRow();

  selectRow(langue(101).c_str(), "group");
  blankOption();
  optionListSubProject(project, group);
  endSelectRow();
  selectRow(langue(102).c_str(), "phase");
  blankOption();
  optionListPhase(-1);
  endSelectRow();
  selectRow(langue(117).c_str(), "resp");
  emit("<OPTION SELECTED>all\n");
  optionListUsers(project, "");
  endSelectRow();
  selectRow(langue(113).c_str(), "submitter");
  blankOption();
  optionListUsers(project, "");
  endSelectRow();
  selectRow(langue(118).c_str(), "verifier");
  blankOption();
  optionListUsers(project, "");
  endSelectRow();

  emitf("<TR><TD>%s</TD><TD>\n", langue(119).c_str());
  checkBox("statN", "X", true, langue(200));
  checkBox("statA", "X", true, langue(202));
  checkBox("statO", "X", true, langue(203));
  emit("<BR>\n");
  checkBox("statC", "X", false, langue(204));
  checkBox("statV", "X", false, langue(205));
  checkBox("statP", "X", false, langue(209));
  emitf("<INPUT TYPE=checkbox NAME=\"ALL\" onclick=\"javascript:checkChange();\"> %s\n",
        langue(212).c_str());
  emit("<BR>\n");
  checkBox("statB", "X", false, langue(207));
  checkBox("statR", "X", false, langue(208));
  checkBox("statD", "X", false, langue(206));
  checkBox("statT", "X", false, langue(210));
  checkBox("statS", "X", true, langue(201));
  emit("</TD></TR>\n");

  selectRow(langue(108).c_str(), "prog");
  blankOption();
  optionListProgram(project, " ");
  endSelectRow();
  selectRow(langue(110).c_str(), "version");
  blankOption();
  optionListVersion(project, " ");
  endSelectRow();
  selectRow(langue(104).c_str(), "impact");
  blankOption();
  optionListImpact(-1);
  endSelectRow();
  selectRow(langue(109).c_str(), "sev");
  blankOption();
  optionListSeverity(0);
  endSelectRow();
  selectRow(langue(111).c_str(), "exp");
  blankOption();
  optionListDeadline(project, " ");
  endSelectRow();
  selectRow(langue(112).c_str(), "type");
  blankOption();
  optionListProblemType(-1);
  endSelectRow();
  selectRow(langue(120).c_str(), "corrVers");
  blankOption();
  optionListVersion(project, " ");
  endSelectRow();
  selectRow(langue(121).c_str(), "verVers");
  blankOption();
  optionListVersion(project, " ");
  endSelectRow();
  selectRow(langue(122).c_str(), "adType");
  blankOption();
  option("1", langue(131));
  option("2", langue(132));
  endSelectRow();

  emit("<TR><TD COLSPAN=2><SELECT NAME=\"ival\">\n");
  emit("<OPTION SELECTED VALUE=\"0\"> \n");
  option("1", langue(211));
  option("2", langue(204));
  option("3", langue(205));
  emitf("</SELECT>%s &nbsp;\n", langue(2008).c_str());
  emit("<INPUT TYPE=text NAME=\"between\" SIZE=20 VALUE=\"31/12/1998:12.00.00\">\n");
  emitf(" %s \n", langue(2110).c_str());
  emit("<INPUT TYPE=text NAME=\"and\" SIZE=20 VALUE=\"31/12/2010:12.00.00\"></TD></TR>\n");
  emitf("<TR><TD>%s</TD><TD><INPUT TYPE=text NAME=\"intext\" SIZE=40></TD></TR>\n",
        langue(2009).c_str());
  emitf("<TR><TD>%s</TD><TD><INPUT TYPE=text NAME=\"intitle\" SIZE=40></TD></TR>\n",
        langue(2010).c_str());
  emit("</TABLE>\n");
  emitf("<INPUT TYPE=submit VALUE=\"%s\"> <INPUT TYPE=reset VALUE=\"Reset\">\n",
        escapeAttr(langue(3002)).c_str());

  // Display options, in the same form.
  emitf("<P><H3>%s:</H3>\n", langue(2028).c_str());
  emit("<TABLE BORDER=0 CELLSPACING=2 CELLPADDING=2>\n");
  selectRow(langue(2011).c_str(), "sort");
  option("0", langue(2012));
  option("1", langue(2013));
  option("2", langue(2014));
  option("3", langue(2015));
  option("4", langue(106));
  endSelectRow();
  emit("<TR><TD>");
  checkBox("aff_vers", "AV", false, langue(2016));
  emit("</TD><TD><SELECT NAME=\"aff_versSel\">\n");
  option("1", langue(2017));
  option("2", langue(2018));
  option("3", langue(2019));
  option("4", langue(2020));
  endSelectRow();
  emit("<TR><TD COLSPAN=2>");
  checkBox("aff_crit", "AC", false, langue(2021));
  emit("</TD></TR>\n<TR><TD COLSPAN=2>");
  checkBox("aff_mdapda", "AM", false, langue(2022));
  emit("</TD></TR>\n<TR><TD COLSPAN=2>");
  checkBox("excel", "X", false, langue(2023));
  emit("</TD></TR>\n</TABLE>\n");
  emit("</FORM>\n</BODY>\n");
}
