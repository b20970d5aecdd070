// Unit tests of the search: dates of the criteria, the sort orders, the
// text search in report files, and the selection's quick look at raw index
// lines, which must never drop a line that the full test would keep.
#include "search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <random>

#include "config.h"
#include "html.h"
#include "testutil.h"
#include "utils.h"

namespace {

long localTime(int d, int mo, int y, int h, int mi, int s) {
  struct tm tm {};
  tm.tm_mday = d;
  tm.tm_mon = mo - 1;
  tm.tm_year = y - 1900;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<long>(mktime(&tm));
}

TEST(Char2Date, ReadsTheFormAndGivesZeroOtherwise) {
  EXPECT_EQ(char2date("31/12/1998:12.00.00"), localTime(31, 12, 1998, 12, 0, 0));
  EXPECT_EQ(char2date("01/02/2010:03.04.05"), localTime(1, 2, 2010, 3, 4, 5));
  EXPECT_EQ(char2date(" 1/ 2/2010: 3. 4. 5"), localTime(1, 2, 2010, 3, 4, 5));
  const char* bad[] = {"",           " ",          "31/12/1998",         "31/12/1998:12.00",
                       "yesterday at noon!",       "31-12-1998:12.00.00", "31/12/1998:12.00.xx",
                       "-1/12/1998:12.00.00",      "31/12/1998:12:00:00"};
  for (const char* s : bad) EXPECT_EQ(char2date(s), 0) << s;
}

tBug row(const char* nom, int sev, tStatus st, tImpact imp, const char* resp, const char* title) {
  tBug b;
  b.nom = nom;
  b.severity = static_cast<char>(sev);
  b.status = st;
  b.impact = imp;
  b.resp = resp;
  b.title = title;
  return b;
}

// The insertion sort as the list was always sorted: each row, in list order,
// goes before the first sorted row that compares greater than it.
tBugList insertionSort(const tBugList& in, CompareFct_t cmp) {
  tBugList out;
  for (const tBug& b : in) {
    auto at = out.begin();
    while (at != out.end() && cmp(*at, b) <= 0) ++at;
    out.insert(at, b);
  }
  return out;
}

TEST(BugSort, GivesTheOrderOfTheInsertionSort) {
  std::mt19937 rng(7);
  const char* resp[] = {"", "alice", "bob", "Bob"};
  const char* titles[] = {"crash", "Crash", "crash ", "\xC3\xA9t\xC3\xA9", "a"};
  const char* prefixes[] = {"ABDXY", "ABDX", "CD_QQ"};
  for (CompareFct_t cmp : {cmpStatSevNum, cmpNumber, cmpResp, cmpImpSevNum, cmpTitle}) {
    for (int round = 0; round < 20; ++round) {
      tBugList list;
      for (int i = 0; i < 60; ++i) {
        const std::string name = strprintf("%s.%05d", prefixes[rng() % 3], static_cast<int>(rng() % 40));
        list.push_back(row(name.c_str(), 1 + rng() % 4, static_cast<tStatus>(rng() % 11),
                           static_cast<tImpact>(rng() % 4), resp[rng() % 4], titles[rng() % 5]));
        list.back().mdapda = std::to_string(i);  // tells equal rows apart
      }
      const tBugList expected = insertionSort(list, cmp);
      bugSort(list, cmp);
      ASSERT_EQ(list.size(), expected.size());
      for (size_t i = 0; i < list.size(); ++i) ASSERT_EQ(list[i].mdapda, expected[i].mdapda) << i;
    }
  }
}

TEST(BugSort, ComparatorsAndTheirSortValues) {
  // Severity compares as an unsigned byte, names byte-wise.
  EXPECT_LT(cmpStatSevNum(row("A.00001", 4, NEW, FONCTIONAL, "", ""),
                          row("A.00000", 1, OBSERVATION, FONCTIONAL, "", "")), 0);
  EXPECT_LT(cmpStatSevNum(row("A.00002", 1, NEW, FONCTIONAL, "", ""),
                          row("A.00001", static_cast<char>(200), NEW, FONCTIONAL, "", "")), 0);
  EXPECT_LT(cmpImpSevNum(row("A.00002", 1, ABANDONED, ROBUSTESSE, "", ""),
                         row("A.00001", 2, NEW, ROBUSTESSE, "", "")), 0);
  EXPECT_LT(cmpNumber(row("AB.00002", 1, NEW, FONCTIONAL, "", ""),
                      row("AB.00010", 1, NEW, FONCTIONAL, "", "")), 0);
  EXPECT_LT(cmpResp(row("A.00009", 1, NEW, FONCTIONAL, "a", ""),
                    row("A.00001", 1, NEW, FONCTIONAL, "b", "")), 0);
  EXPECT_EQ(cmpTitle(row("A.00009", 1, NEW, FONCTIONAL, "", "x"),
                     row("A.00001", 1, OPEN, FONCTIONAL, "", "x")), 0);
  EXPECT_LT(cmpTitle(row("A", 1, NEW, FONCTIONAL, "", "Z"), row("A", 1, NEW, FONCTIONAL, "", "\xC3\xA9")), 0);
  EXPECT_EQ(sortComparator("0"), cmpStatSevNum);
  EXPECT_EQ(sortComparator("2"), cmpResp);
  EXPECT_EQ(sortComparator("3"), cmpImpSevNum);
  EXPECT_EQ(sortComparator("4x"), cmpTitle);
  for (const char* s : {"1", "5", " ", "", "x", "/"}) EXPECT_EQ(sortComparator(s), cmpNumber) << s;
}

TEST(Pad, FillsToTheWidthAndNeverCuts) {
  FILE* f = tmpfile();
  pad(f, 6, "ab");
  pad(f, 2, "long");
  pad(f, 0, "");
  pad(f, 3, "");
  rewind(f);
  char buf[32] = {};
  ASSERT_EQ(fread(buf, 1, sizeof buf - 1, f), 13u);
  fclose(f);
  EXPECT_STREQ(buf, "ab    long   ");
}

TEST(FindInBugFile, SearchesLinesOfReportFilesOnly) {
  TempInstall inst;
  inst.write("data/AB.00001", "first line\nsecond line with needle\nlast\n");
  inst.write("data/AB.00002", "no match here\nunterminated needle");
  inst.write("data/secret", "needle\n");
  EXPECT_EQ(findInBugFile("AB.00001", "needle"), 1);
  EXPECT_EQ(findInBugFile("AB.00001", "line\nsecond"), 0);  // within one line only
  EXPECT_EQ(findInBugFile("AB.00002", "needle"), 0);        // a last line without line feed is not read
  EXPECT_EQ(findInBugFile("AB.00003", "x"), 0);             // no such file
  EXPECT_EQ(findInBugFile("secret", "needle"), 0);          // not a report name
  EXPECT_EQ(findInBugFile("../data/AB.00001", "needle"), 0);
}

// ---------------------------------------------------------------------------
// The selection against a plain reading of its rules
// ---------------------------------------------------------------------------

const char* kConfig[][2] = {
    {"cfg/project.cfg", "P:AB:boss:valid\nQ:CD:x:y\n"},
    {"cfg/phase.cfg", "specification:D\ndevelopment:E\n"},
    {"cfg/P_subproject.cfg", "G:XY\nH:ZZ\n"},
    {"cfg/Q_subproject.cfg", "G:QQ\n"},
};

bool present(const std::string& v) { return v.empty() || v[0] != ' '; }

// The rules of the selection, read one by one on a record parsed by the
// store's own index reader.
bool referenceMatch(const tHeader& h, const std::string& name, const tArgList& a,
                    const TempInstall& inst) {
  for (const char* key : {"find", "Num", "Numero"}) {
    const std::string v = getArg(a, key);
    if (present(v)) return v.find(name) != std::string::npos;
  }
  const int ival = getArgInt(a, "ival");
  if (ival >= 1 && ival <= 3) {
    const long d = ival == 1 ? h.date : ival == 2 ? h.correctDate : h.verifyDate;
    if (d < char2date(getArg(a, "between")) || d > char2date(getArg(a, "and"))) return false;
  }
  const std::pair<const char*, const std::string*> eq[] = {
      {"submitter", &h.submitter}, {"project", &h.project},         {"group", &h.subProject},
      {"prog", &h.module},         {"version", &h.version},         {"exp", &h.expvers},
      {"corrVers", &h.correctVersion}, {"verifier", &h.verifiedBy}, {"verVers", &h.verifyVersion}};
  for (const auto& e : eq) {
    const std::string v = getArg(a, e.first);
    if (present(v) && v != *e.second) return false;
  }
  const std::string resp = getArg(a, "resp");
  if (resp != "all" && resp != h.assignedTo) return false;
  auto code = [&](const char* key, char base, int value) {
    const std::string v = getArg(a, key);
    return !present(v) || (!v.empty() && v[0] == base + value);
  };
  if (!code("sev", '0', h.severity) || !code("type", '0', h.fileType) ||
      !code("phase", 'a', h.phase) || !code("impact", 'a', h.impact))
    return false;
  const std::string intitle = getArg(a, "intitle");
  if (present(intitle) && h.title.find(intitle) == std::string::npos) return false;
  const char* boxes[] = {"statN", "statS", "statA", "statO", "statC", "statV",
                         "statD", "statB", "statR", "statP", "statT"};
  const int bit[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  bool statusOk = false;
  for (int i = 0; i < 11; ++i)
    if (getArg(a, boxes[i])[0] == 'X' && h.status == bit[i]) statusOk = true;
  if (!statusOk) return false;
  const std::string ad = getArg(a, "adType");
  if (ad[0] == '1' && h.mdaPda.empty()) return false;
  if (ad[0] == '2' && !h.mdaPda.empty()) return false;
  const std::string intext = getArg(a, "intext");
  if (!intext.empty()) {
    const std::string file = inst.read("data/" + name);
    bool found = false;
    size_t start = 0;
    while (start < file.size()) {
      const size_t lf = file.find('\n', start);
      if (lf == std::string::npos) break;
      if (file.substr(start, lf - start).find(intext) != std::string::npos) found = true;
      start = lf + 1;
    }
    if (!found) return false;
  }
  return true;
}

std::string pick(std::mt19937& rng, std::initializer_list<const char*> values) {
  return *(values.begin() + rng() % values.size());
}

// A record from small pools of values, so that criteria often match.
tHeader randomRecord(std::mt19937& rng, int number) {
  tHeader h;
  h.number = number;
  h.project = pick(rng, {"P", "Q"});
  h.subProject = pick(rng, {"G", "H"});
  h.phase = static_cast<tPhase>(rng() % 2);
  h.prefix = "AB";
  h.date = 900000000 + static_cast<long>(rng() % 400000000);
  h.correctDate = rng() % 2 ? 0 : 900000000 + static_cast<long>(rng() % 400000000);
  h.verifyDate = rng() % 2 ? 0 : 900000000 + static_cast<long>(rng() % 400000000);
  h.submitter = pick(rng, {"u1", "u2", "abcdefghijklmnopqrs"});
  h.severity = 1 + static_cast<int>(rng() % 4);
  h.module = pick(rng, {"m1", "m2"});
  h.version = pick(rng, {"1.0", "1.1"});
  h.expvers = pick(rng, {"2.0", ""});
  h.status = static_cast<tStatus>(rng() % 11);
  h.assignedTo = pick(rng, {"u1", "u2", ""});
  h.correctVersion = pick(rng, {"", "1.1"});
  h.verifiedBy = pick(rng, {"", "u2"});
  h.verifyVersion = pick(rng, {"", "1.1"});
  h.fileType = static_cast<tBugType>(rng() % 3);
  h.impact = static_cast<tImpact>(rng() % 4);
  h.mdaPda = pick(rng, {"", "MDA-1"});
  h.title = pick(rng, {"crash on save", "slow start", "Crash", "x"});
  return h;
}

// Index lines as the store writes them, and damaged or unusual ones that a
// quick look at the raw text could misjudge.
std::string randomLine(std::mt19937& rng, int number) {
  tHeader h = randomRecord(rng, number);
  std::string line = writeIndexToStr(h);
  line.pop_back();
  std::vector<std::string> f;
  size_t start = 0;
  for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1)
    f.push_back(line.substr(start, bar - start));
  f.push_back(line.substr(start));
  switch (rng() % 14) {
    case 0: f[4] = "abcdefghijklmnopqrsTUV"; break;                  // cut to its width
    case 1: f[11] = pick(rng, {"bz", "z", "", "B"}); break;          // odd status letters
    case 2: f[5] = pick(rng, {"cx", "", "Z"}); break;                // odd severity
    case 3: f[3] = pick(rng, {"+950000000", " 950000000", "12ab", "-1", ""}); break;
    case 4: f[1] = pick(rng, {"+3", "0003", "x", "", "1234567"}); break;  // odd numbers
    case 5: f.back() += "|with|bars"; break;                          // more separators
    case 6: f.resize(8 + rng() % 15); break;                          // a line cut short
    case 7: f[22] = std::string(120, 'M'); break;                     // long reference
    case 8: f.back() = std::string(150, 'y') + "crash" + std::string(100, 'z'); break;
    case 9: f[13] = std::string(30, 'u'); break;
    case 10: f.back() += std::string(900 + rng() % 1400, 'w'); break;  // read in pieces
    case 11: f[rng() % f.size()] += std::string(1, '\0') + "|x|y"; break;  // cut at the zero
    default: break;
  }
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) out += (i ? "|" : "") + f[i];
  return out;
}

tArgList randomArgs(std::mt19937& rng) {
  tArgList a;
  auto maybe = [&](const char* name, std::initializer_list<const char*> values) {
    if (rng() % 3 == 0) a.push_back({name, pick(rng, values)});
  };
  if (rng() % 6 == 0) {
    // Names as typed, glued to others, longer than five digits, or cut.
    a.push_back({pick(rng, {"find", "Num", "Numero"}),
                 strprintf("ABDXY.%05d CDEQQ.%05d%s ABEZZ.%05d%d x.%d", static_cast<int>(rng() % 60),
                           static_cast<int>(rng() % 60), pick(rng, {"", "ABEZZ.1234567", "."}).c_str(),
                           static_cast<int>(rng() % 60), static_cast<int>(rng() % 10),
                           static_cast<int>(rng() % 100))});
    return a;
  }
  maybe("submitter", {"u1", "u2", " ", "", "abcdefghijklmnopqrs", "abcdefghijklmnopqrsTUV"});
  maybe("project", {"P", "Q", " "});
  maybe("group", {"G", "H"});
  maybe("prog", {"m1", "m2", ""});
  maybe("version", {"1.0", "1.1"});
  maybe("exp", {"2.0", ""});
  maybe("corrVers", {"1.1", ""});
  maybe("verifier", {"u2", ""});
  maybe("verVers", {"1.1"});
  if (rng() % 4) a.push_back({"resp", pick(rng, {"all", "u1", "", " ", std::string(19, 'u').c_str()})});
  maybe("sev", {"1", "2", "3x", "", "0", "/"});
  maybe("type", {"0", "1", "2", ""});
  maybe("phase", {"a", "b", "", "A"});
  maybe("impact", {"a", "b", "d", ""});
  maybe("intitle", {"crash", "Crash", "", " ", "crashz"});
  maybe("adType", {"1", "2", "3", ""});
  maybe("ival", {"1", "2", "3", "0"});
  maybe("between", {"01/01/2000:00.00.00", "bad", ""});
  maybe("and", {"01/01/2010:00.00.00", "31/12/2030:12.00.00"});
  maybe("intext", {"", "Created", "needle"});
  for (const char* box : {"statN", "statS", "statA", "statO", "statC", "statV", "statD", "statB",
                          "statR", "statP", "statT"})
    if (rng() % 3) a.push_back({box, "X"});
  return a;
}

TEST(GetBugList, AgreesWithTheRulesOnEveryKindOfIndexLine) {
  TempInstall inst;
  for (const auto& c : kConfig) inst.write(c[0], c[1]);
  clearConfigCache();
  std::mt19937 rng(2024);
  std::string index;
  // Several blocks of the buffered reader, so that lines cross block ends.
  for (int i = 0; i < 1500; ++i) {
    index += randomLine(rng, static_cast<int>(rng() % 60)) + "\n";
    if (i % 97 == 0) index += "\n";  // empty lines are no reports
  }
  index += randomLine(rng, 1);  // a last line without line feed is not read
  ASSERT_GT(index.size(), 3u * kFileBlock);
  inst.write("data/index", index);
  // Report files for the text search.
  {
    tFileBuf f;
    openBuf(&f, inst.dataDir() + "index", 'r', kFileBlock);
    tHeader h;
    while (readIndex(&f, &h) >= 0) {
      const std::string name = getBugName(h);
      if (isReportName(name) && rng() % 2)
        inst.write("data/" + name, writeIndexToStr(h) + (rng() % 2 ? "needle\n" : "other\n"));
    }
  }
  int nonEmpty = 0;
  for (int round = 0; round < 300; ++round) {
    const tArgList args = randomArgs(rng);
    std::vector<std::string> expected;
    tFileBuf f;
    openBuf(&f, inst.dataDir() + "index", 'r', kFileBlock);
    tHeader h;
    int len;
    while ((len = readIndex(&f, &h)) >= 0) {
      if (len == 0) continue;
      const std::string name = getBugName(h);
      if (isReportName(name) && referenceMatch(h, name, args, inst)) expected.push_back(name);
    }
    std::reverse(expected.begin(), expected.end());
    std::vector<std::string> got;
    for (const tBug& b : getBugList(args)) got.push_back(b.nom);
    std::string argText;
    for (const tElement& e : args) argText += e.nom + "=" + e.valeur + "&";
    ASSERT_EQ(got, expected) << argText;
    if (!got.empty()) ++nonEmpty;
  }
  EXPECT_GT(nonEmpty, 40);  // the rounds did select something
}

TEST(GetBugList, RowsCarryTheChosenVersionAndNoIndexGivesNothing) {
  TempInstall inst;
  for (const auto& c : kConfig) inst.write(c[0], c[1]);
  clearConfigCache();
  tArgList find = {{"find", "ABDXY.00001"}};
  EXPECT_TRUE(getBugList(find).empty());  // no index file
  tHeader h;
  h.prefix = "ABDXY";
  h.number = 1;
  h.project = "P";
  h.subProject = "G";
  h.severity = 3;
  h.impact = PERFORMANCE;
  h.status = VERIFIED;
  h.version = "v";
  h.expvers = "e";
  h.correctVersion = "c";
  h.verifyVersion = "w";
  h.assignedTo = "bob";
  h.mdaPda = "M1";
  h.title = "T";
  inst.write("data/index", writeIndexToStr(h));
  const char* versions[] = {"", "v", "e", "c", "w", ""};
  for (int sel = 0; sel <= 5; ++sel) {
    tArgList a = find;
    if (sel) a.push_back({"aff_versSel", std::to_string(sel)});
    const tBugList rows = getBugList(a);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].version, versions[sel]) << sel;
    EXPECT_EQ(rows[0].nom, "ABDXY.00001");
    EXPECT_EQ(rows[0].severity, 3);
    EXPECT_EQ(rows[0].status, VERIFIED);
    EXPECT_EQ(rows[0].impact, PERFORMANCE);
    EXPECT_EQ(rows[0].resp, "bob");
    EXPECT_EQ(rows[0].mdapda, "M1");
    EXPECT_EQ(rows[0].title, "T");
  }
}

}  // namespace
