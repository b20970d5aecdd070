// The delivered language files config/langue.EN and config/langue.FR.
//
// They are data that every page prints, often as a printf format, so a
// missing number shows an empty label and a format whose conversions do
// not match what the code passes prints garbage or reads beyond the
// arguments. These tests check both files against
// tests/unit/langue_formats.txt (every number the pages use, with the
// conversions of the formats) and against the sources themselves: every
// literal text number that src/ passes to langue(), printErr(),
// printErr1() and the other text helpers must exist in both files.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "html.h"
#include "testutil.h"

namespace {

const std::string kSource = VELKO_SOURCE_DIR;
// Longest line the program reads from a language file, line feed included.
constexpr size_t kLineMax = 299;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// One language file as the program reads it: "number,text" lines, the
// later line of a number winning. Lines that are neither that, a "#"
// comment nor empty would be ignored silently by the program; here they
// are recorded as problems, and so are numbers given twice.
struct LangFile {
  std::string code;
  std::string raw;
  std::map<int, std::string> texts;
  std::vector<std::string> problems;
};

bool parseEntry(const std::string& line, int* num, std::string* text) {
  size_t i = 0;
  long value = 0;
  while (i < line.size() && isdigit(static_cast<unsigned char>(line[i]))) {
    value = value * 10 + (line[i] - '0');
    if (value > 1000000) return false;
    ++i;
  }
  if (i == 0 || i >= line.size() || line[i] != ',' || value <= 0) return false;
  *num = static_cast<int>(value);
  *text = line.substr(i + 1);
  return true;
}

LangFile loadLang(const std::string& code) {
  LangFile f;
  f.code = code;
  f.raw = readFile(kSource + "/config/langue." + code);
  const std::vector<std::string> lines = splitLines(f.raw);
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    const std::string where = "langue." + code + " line " + std::to_string(n + 1);
    if (line.empty() || line[0] == '#') continue;
    int num;
    std::string text;
    if (!parseEntry(line, &num, &text)) {
      f.problems.push_back(where + " is neither an entry nor a comment: " + line);
      continue;
    }
    if (f.texts.count(num)) f.problems.push_back(where + " gives text " + std::to_string(num) +
                                                 " a second time");
    f.texts[num] = text;
  }
  return f;
}

const LangFile& lang(const std::string& code) {
  static std::map<std::string, LangFile> files;
  auto it = files.find(code);
  if (it == files.end()) it = files.emplace(code, loadLang(code)).first;
  return it->second;
}

const char* const kCodes[] = {"EN", "FR"};

// The printf conversions of a text, in order, as length modifier and
// conversion letter ("s", "d", "ld"); "%%" is a literal and is skipped.
// False, with `error` set, for a "%" that starts no valid conversion.
bool conversions(const std::string& text, std::vector<std::string>* out, std::string* error) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    size_t j = i + 1;
    if (j < text.size() && text[j] == '%') {
      i = j;
      continue;
    }
    while (j < text.size() && strchr("-+ #0", text[j])) ++j;
    while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j < text.size() && text[j] == '.') {
      ++j;
      while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) ++j;
    }
    std::string conv;
    while (j < text.size() && strchr("hlLqjzt", text[j])) conv += text[j++];
    if (j >= text.size() || !strchr("diouxXeEfFgGaAcsp", text[j])) {
      *error = "\"%\" at byte " + std::to_string(i) + " starts no conversion";
      return false;
    }
    conv += text[j];
    out->push_back(conv);
    i = j;
  }
  return true;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : " ") + x;
  return s.empty() ? "(plain)" : s;
}

// tests/unit/langue_formats.txt: number, then its conversions; "#" starts
// a comment.
struct Expected {
  std::map<int, std::vector<std::string>> formats;  // every required number
  std::vector<std::string> problems;
};

const Expected& expected() {
  static const Expected e = [] {
    Expected r;
    const std::vector<std::string> lines =
        splitLines(readFile(kSource + "/tests/unit/langue_formats.txt"));
    for (size_t n = 0; n < lines.size(); ++n) {
      std::string line = lines[n].substr(0, lines[n].find('#'));
      std::istringstream words(line);
      std::string word;
      if (!(words >> word)) continue;
      const int num = atoi(word.c_str());
      if (num <= 0 || std::to_string(num) != word || r.formats.count(num)) {
        r.problems.push_back("langue_formats.txt line " + std::to_string(n + 1) + ": " + lines[n]);
        continue;
      }
      std::vector<std::string>& convs = r.formats[num];
      while (words >> word) convs.push_back(word);
    }
    return r;
  }();
  return e;
}

// ---------------------------------------------------------------------------
// Text numbers used by the sources.

struct Use {
  int num;
  std::string function;
  std::string where;
};

// The source with comments, string literals and character literals
// blanked (line feeds kept, so line numbers stay right): trace texts such
// as "<! langue file : %s >" and explanations in comments are not calls.
std::string codeOnly(const std::string& src) {
  std::string out = src;
  size_t i = 0;
  auto blank = [&](size_t from, size_t to) {
    for (size_t k = from; k < to && k < out.size(); ++k)
      if (out[k] != '\n') out[k] = ' ';
  };
  while (i < src.size()) {
    const char c = src[i];
    if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
      size_t end = src.find('\n', i);
      if (end == std::string::npos) end = src.size();
      blank(i, end);
      i = end;
    } else if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
      size_t end = src.find("*/", i + 2);
      end = end == std::string::npos ? src.size() : end + 2;
      blank(i, end);
      i = end;
    } else if (c == 'R' && i + 1 < src.size() && src[i + 1] == '"' &&
               (i == 0 || !(isalnum(static_cast<unsigned char>(src[i - 1])) || src[i - 1] == '_'))) {
      const size_t open = src.find('(', i + 2);
      if (open == std::string::npos) break;
      const std::string close = ")" + src.substr(i + 2, open - i - 2) + "\"";
      size_t end = src.find(close, open);
      end = end == std::string::npos ? src.size() : end + close.size();
      blank(i + 1, end);
      i = end;
    } else if (c == '"' || c == '\'') {
      size_t j = i + 1;
      while (j < src.size() && src[j] != c && src[j] != '\n') j += src[j] == '\\' ? 2 : 1;
      blank(i, j + 1);
      i = j + 1;
    } else {
      ++i;
    }
  }
  return out;
}

bool isIdent(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// Which argument of a call to `name` is a text number: 0 for the first,
// 1 for the second (the title of a graph page), -1 when the function takes
// none. Any function whose name holds "langue" is a lookup of its first
// argument, so wrappers written later are covered too.
int textArgument(const std::string& name) {
  if (name == "initLangue") return -1;
  if (lower(name).find("langue") != std::string::npos) return 0;
  if (name == "printErr" || name == "printErr1" || name == "printItem") return 0;
  if (name == "doFlowDisplay") return 1;
  return -1;
}

// Appends to `uses` every call of a text function whose text argument
// starts with a decimal literal ("langue(200 + st)" uses 200).
void scanSource(const std::string& file, const std::string& src, std::vector<Use>* uses) {
  const std::string code = codeOnly(src);
  size_t i = 0;
  while (i < code.size()) {
    if (!isIdent(code[i]) || (i > 0 && isIdent(code[i - 1]))) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < code.size() && isIdent(code[j])) ++j;
    const std::string name = code.substr(i, j - i);
    const int arg = isdigit(static_cast<unsigned char>(name[0])) ? -1 : textArgument(name);
    i = j;
    if (arg < 0) continue;
    while (j < code.size() && isspace(static_cast<unsigned char>(code[j]))) ++j;
    if (j >= code.size() || code[j] != '(') continue;
    ++j;
    for (int skip = 0; skip < arg && j < code.size(); ++skip) {
      int depth = 0;
      while (j < code.size() && !(depth == 0 && (code[j] == ',' || code[j] == ')'))) {
        if (code[j] == '(') ++depth;
        if (code[j] == ')') --depth;
        ++j;
      }
      if (j < code.size() && code[j] == ',') ++j;
    }
    while (j < code.size() && isspace(static_cast<unsigned char>(code[j]))) ++j;
    size_t k = j;
    while (k < code.size() && isdigit(static_cast<unsigned char>(code[k]))) ++k;
    if (k == j || (k < code.size() && (isIdent(code[k]) || code[k] == '.'))) continue;
    const size_t line = 1 + std::count(code.begin(), code.begin() + j, '\n');
    uses->push_back({atoi(code.substr(j, k - j).c_str()), name, file + ":" + std::to_string(line)});
  }
}

std::vector<Use> sourceUses() {
  std::vector<Use> uses;
  const std::string dir = kSource + "/src";
  DIR* d = opendir(dir.c_str());
  if (!d) return uses;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    const size_t dot = n.rfind('.');
    if (dot != std::string::npos && (n.substr(dot) == ".cpp" || n.substr(dot) == ".h"))
      names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) scanSource("src/" + n, readFile(dir + "/" + n), &uses);
  return uses;
}

// ---------------------------------------------------------------------------
// UTF-8: well-formed, shortest forms only, no surrogates, at most U+10FFFF.
bool validUtf8(const std::string& s, size_t* bad) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    size_t len;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, cp = c & 0x07;
    } else {
      *bad = i;
      return false;
    }
    if (i + len > s.size()) {
      *bad = i;
      return false;
    }
    for (size_t k = 1; k < len; ++k) {
      const unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80) {
        *bad = i;
        return false;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      *bad = i;
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(LangueFiles, FilesAndFormatTableAreWellFormed) {
  for (const std::string& p : expected().problems) ADD_FAILURE() << p;
  ASSERT_GT(expected().formats.size(), 400u) << "langue_formats.txt is missing or truncated";
  for (const char* code : kCodes) {
    const LangFile& f = lang(code);
    ASSERT_FALSE(f.raw.empty()) << "config/langue." << code << " is missing or empty";
    for (const std::string& p : f.problems) ADD_FAILURE() << p;
  }
}

// Encoding and line limits: the files are UTF-8 (pages and mails declare
// it), without a byte order mark (it would hide the first entry), with
// line feeds only, a final line feed, and lines the reader takes whole.
TEST(LangueFiles, Utf8AndLineLimits) {
  for (const char* code : kCodes) {
    const LangFile& f = lang(code);
    SCOPED_TRACE(std::string("langue.") + code);
    size_t bad = 0;
    EXPECT_TRUE(validUtf8(f.raw, &bad)) << "invalid UTF-8 at byte " << bad;
    EXPECT_NE(f.raw.compare(0, 3, "\xEF\xBB\xBF"), 0) << "byte order mark";
    EXPECT_EQ(f.raw.find('\r'), std::string::npos) << "carriage return";
    EXPECT_EQ(f.raw.find('\0'), std::string::npos) << "NUL byte";
    ASSERT_FALSE(f.raw.empty());
    EXPECT_EQ(f.raw.back(), '\n') << "the last line has no line feed";
    const std::vector<std::string> lines = splitLines(f.raw);
    for (size_t n = 0; n < lines.size(); ++n) {
      EXPECT_LE(lines[n].size() + 1, kLineMax) << "line " << n + 1 << " is too long";
      for (unsigned char c : lines[n])
        if (c < 0x20 && c != '\t') ADD_FAILURE() << "line " << n + 1 << ": control character";
    }
  }
}

TEST(LangueFiles, LanguageCodeAndVersion) {
  for (const char* code : kCodes) {
    const LangFile& f = lang(code);
    ASSERT_TRUE(f.texts.count(1) && f.texts.count(2)) << code;
    EXPECT_EQ(f.texts.at(1), code);
    EXPECT_EQ(f.texts.at(2), "v4.6") << "langue." << code;
  }
}

// Every text the pages use is present, and is a real text (not blank).
TEST(LangueFiles, EveryRequiredNumberHasAText) {
  for (const char* code : kCodes) {
    const LangFile& f = lang(code);
    for (const auto& [num, convs] : expected().formats) {
      const auto it = f.texts.find(num);
      if (it == f.texts.end()) {
        ADD_FAILURE() << "langue." << code << " has no text " << num;
      } else if (it->second.find_first_not_of(" \t") == std::string::npos) {
        ADD_FAILURE() << "langue." << code << ": text " << num << " is blank";
      }
    }
  }
  // Both files hold the same numbers, so one language never lacks a text
  // that the other has.
  std::set<int> en, fr;
  for (const auto& e : lang("EN").texts) en.insert(e.first);
  for (const auto& e : lang("FR").texts) fr.insert(e.first);
  for (int n : en)
    if (!fr.count(n)) ADD_FAILURE() << "text " << n << " is in langue.EN only";
  for (int n : fr)
    if (!en.count(n)) ADD_FAILURE() << "text " << n << " is in langue.FR only";
}

// A format carries exactly the conversions the code passes, in order; a
// plain text holds no "%" at all (it is printed as it stands, so even "%%"
// would show twice).
TEST(LangueFiles, FormatsCarryExactlyTheirConversions) {
  const auto& formats = expected().formats;
  for (const char* code : kCodes) {
    for (const auto& [num, text] : lang(code).texts) {
      SCOPED_TRACE(std::string("langue.") + code + " text " + std::to_string(num) + ": " + text);
      std::vector<std::string> got;
      std::string error;
      const auto want = formats.find(num);
      if (want == formats.end() || want->second.empty()) {
        EXPECT_EQ(text.find('%'), std::string::npos) << "a plain text holds \"%\"";
        continue;
      }
      ASSERT_TRUE(conversions(text, &got, &error)) << error;
      EXPECT_EQ(joined(got), joined(want->second));
    }
  }
}

TEST(LangueFiles, ConversionReaderItself) {
  std::vector<std::string> got;
  std::string error;
  ASSERT_TRUE(conversions("%s of %d, 100%% and %ld %-5s", &got, &error));
  EXPECT_EQ(joined(got), "s d ld s");
  EXPECT_FALSE(conversions("50%, off", &got, &error));
  ASSERT_TRUE(conversions("50% off", &got, &error));  // "% o" is a conversion
  EXPECT_EQ(joined(got), "o");
  EXPECT_FALSE(conversions("trailing %", &got, &error));
}

// Texts are printed into the pages and into attribute values (ALT="%s",
// VALUE="%s") as they are: markup or a double quote would break the page.
TEST(LangueFiles, NoMarkupInTexts) {
  for (const char* code : kCodes)
    for (const auto& [num, text] : lang(code).texts)
      if (text.find_first_of("<>&\"") != std::string::npos)
        ADD_FAILURE() << "langue." << code << " text " << num << " holds markup: " << text;
}

// The history page colours the first keyword (texts 2600 to 2608) that it
// finds in a history line: each keyword must occur in the history text it
// stands for, in the same language, or its lines stay plain.
TEST(LangueFiles, HistoryKeywordsMatchHistoryTexts) {
  const std::pair<int, int> marks[] = {{2600, 2086}, {2602, 113},  {2603, 2066},
                                       {2604, 2100}, {2605, 2095}, {2606, 2052}};
  for (const char* code : kCodes) {
    const LangFile& f = lang(code);
    for (const auto& [keyword, history] : marks) {
      if (!f.texts.count(keyword) || !f.texts.count(history)) continue;  // reported above
      EXPECT_NE(f.texts.at(history).find(f.texts.at(keyword)), std::string::npos)
          << "langue." << code << ": keyword " << keyword << " (" << f.texts.at(keyword)
          << ") is not in text " << history << " (" << f.texts.at(history) << ")";
    }
    // Test results are written into the history as "(OK)" and "(NOK)" in
    // every language.
    EXPECT_EQ(f.texts.count(2607) ? f.texts.at(2607) : "", "(OK)") << code;
    EXPECT_EQ(f.texts.count(2608) ? f.texts.at(2608) : "", "(NOK)") << code;
  }
}

// The step and module boxes of the book printout are 80 columns only when
// their labels have 4 and 6 bytes.
TEST(LangueFiles, PrintoutBoxLabelsFitTheFrame) {
  for (const char* code : kCodes) {
    const LangFile& f = lang(code);
    EXPECT_EQ(f.texts.count(2514) ? f.texts.at(2514).size() : 0, 4u) << code << " text 2514";
    EXPECT_EQ(f.texts.count(2515) ? f.texts.at(2515).size() : 0, 6u) << code << " text 2515";
  }
}

TEST(LangueFiles, SourceScannerFindsCalls) {
  std::vector<Use> uses;
  scanSource("x.cpp",
             "emit(langue(2003));\n"
             "// langue(9991) in a comment\n"
             "printErr1( 503 , \"title\");\n"
             "emitf(\"<! langue(9992) >\");\n"
             "printErr(kNone); getStatusName(3);\n"
             "doFlowDisplay(list, 2560, 6); x = myLangueFmt(76, a);\n"
             "langue(200 + st); langue(0x10); printItem(2550, R\"(Data (dir))\");\n",
             &uses);
  std::string got;
  for (const Use& u : uses) got += u.function + "=" + std::to_string(u.num) + "@" + u.where + " ";
  EXPECT_EQ(got,
            "langue=2003@x.cpp:1 printErr1=503@x.cpp:3 doFlowDisplay=2560@x.cpp:6 "
            "myLangueFmt=76@x.cpp:6 langue=200@x.cpp:7 printItem=2550@x.cpp:7 ");
}

// Every literal text number of the sources exists in both files; texts
// shown by printErr are plain and those of printErr1 take one string.
TEST(LangueFiles, EveryNumberUsedBySourcesExists) {
  const std::vector<Use> uses = sourceUses();
  for (const Use& u : uses) {
    for (const char* code : kCodes) {
      const LangFile& f = lang(code);
      const auto it = f.texts.find(u.num);
      if (it == f.texts.end()) {
        ADD_FAILURE() << u.where << ": " << u.function << "(" << u.num << ") has no text in langue."
                      << code;
        continue;
      }
      std::vector<std::string> got;
      std::string error;
      if (u.function == "printErr" && it->second.find('%') != std::string::npos)
        ADD_FAILURE() << u.where << ": printErr(" << u.num << ") shows a format: " << it->second;
      if (u.function == "printErr1" &&
          (!conversions(it->second, &got, &error) || joined(got) != "s"))
        ADD_FAILURE() << u.where << ": printErr1(" << u.num
                      << ") needs a text with one %s, langue." << code << " has: " << it->second;
    }
  }
}

// The program's own reader gives every text of the files unchanged.
TEST(LangueFiles, ProgramReadsEveryText) {
  for (const char* code : kCodes) {
    SCOPED_TRACE(code);
    TempInstall inst;
    inst.write("cfg/langue." + std::string(code), lang(code).raw);
    inst.write("config/velko.cfg", "DATADIR " + inst.dataDir() + "\nCONFIGDIR " + inst.cfgDir() +
                                       "\nLANGUAGE " + code + "\n");
    clearConfigCache();
    const std::string out = captureOutput([&] {
      for (const auto& [num, text] : lang(code).texts) EXPECT_EQ(langue(num), text) << num;
    });
    EXPECT_EQ(out, "") << "the file was not found";
  }
}
