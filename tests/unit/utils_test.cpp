// Tests of the report store: buffered files, the index line, the index file,
// report files, history, time and URL helpers, and the administration
// commands, including several processes writing at once.
#include "utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>

#include "config.h"
#include "html.h"
#include "synchro.h"
#include "testutil.h"

namespace {

std::string slurp(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

void spit(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// Every line readFileLine hands out, with its result, for a file holding
// `text`, read with a block of `block` bytes.
std::vector<std::pair<int, std::string>> linesOf(const std::string& text, int block) {
  char tmpl[] = "/tmp/velko-fbuf.XXXXXX";
  const int fd = mkstemp(tmpl);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  tFileBuf f;
  EXPECT_EQ(openBuf(&f, tmpl, 'r', block), 1);
  std::vector<std::pair<int, std::string>> out;
  char buf[kLineBufSize];
  int r;
  while ((r = readFileLine(&f, buf)) >= 0) out.emplace_back(r, buf);
  out.emplace_back(r, "");
  unlink(tmpl);
  return out;
}

using Lines = std::vector<std::pair<int, std::string>>;

// ---------------------------------------------------------------------------
// Buffered file access
// ---------------------------------------------------------------------------

TEST(FileBuf, LinesAndEndOfFile) {
  for (int block : {kFileBlock, 1, 2, 3}) {
    EXPECT_EQ(linesOf("a\n\nb\n", block), (Lines{{1, "a"}, {0, ""}, {1, "b"}, {-1, ""}}));
    // A last line without line feed is not handed out.
    EXPECT_EQ(linesOf("one\ntwo", block), (Lines{{3, "one"}, {-1, ""}}));
    // A carriage return stays; a zero byte ends the text of the line.
    const std::string zeros("x\r\n\0abc\nd\0e\n", 13);
    EXPECT_EQ(linesOf(zeros, block), (Lines{{2, "x\r"}, {0, ""}, {1, "d"}, {-1, ""}}));
    EXPECT_EQ(linesOf("", block), (Lines{{-1, ""}}));
  }
}

TEST(FileBuf, LongLinesComeInPieces) {
  const std::string longLine(3000, 'x');
  for (int block : {kFileBlock, 1000, 7}) {
    const Lines l = linesOf(longLine + "\nend\n", block);
    ASSERT_EQ(l.size(), 5u) << block;
    EXPECT_EQ(l[0].first, 1022);
    EXPECT_EQ(l[1].first, 1022);
    EXPECT_EQ(l[2].first, 956);
    EXPECT_EQ(l[3], (std::pair<int, std::string>{3, "end"}));
    // A line of exactly the piece size is one line, not a piece and an empty line.
    const Lines exact = linesOf(std::string(1022, 'y') + "\nz\n", block);
    ASSERT_EQ(exact.size(), 3u);
    EXPECT_EQ(exact[0].first, 1022);
    EXPECT_EQ(exact[1].second, "z");
  }
  // The string form can take lines whole.
  char tmpl[] = "/tmp/velko-fbuf.XXXXXX";
  close(mkstemp(tmpl));
  spit(tmpl, longLine + "\n");
  tFileBuf f;
  openBuf(&f, tmpl, 'r', 100);
  std::string line;
  EXPECT_EQ(readFileLine(&f, line, std::string::npos), 3000);
  EXPECT_EQ(line, longLine);
  EXPECT_EQ(readFileLine(&f, line), -1);
  unlink(tmpl);
}

TEST(FileBuf, WritesWaitInTheBufferAndLargeWritesGoDirect) {
  char tmpl[] = "/tmp/velko-fbuf.XXXXXX";
  close(mkstemp(tmpl));
  tFileBuf f;
  ASSERT_EQ(openBuf(&f, tmpl, 'w', 4), 1);
  EXPECT_EQ(writeFileBuf(&f, "abc", 3), 3);
  EXPECT_EQ(slurp(tmpl), "");
  EXPECT_EQ(writeFileBuf(&f, "def", 3), 3);  // the first three go out first
  EXPECT_EQ(slurp(tmpl), "abc");
  const std::string big(10, 'Z');  // larger than the block: written at once
  EXPECT_EQ(writeFileBuf(&f, big), 10);
  EXPECT_EQ(slurp(tmpl), "abcdef" + big);
  EXPECT_EQ(writeFileBuf(&f, "gh", 2), 2);
  EXPECT_EQ(closeBuf(&f), 1);
  EXPECT_EQ(slurp(tmpl), "abcdef" + big + "gh");
  unlink(tmpl);
}

TEST(FileBuf, FailuresAreReported) {
  tFileBuf none;
  EXPECT_EQ(openBuf(&none, "/nonexistent/dir/file", 'r', 10), 0);
  char buf[kLineBufSize];
  EXPECT_EQ(readFileLine(&none, buf), -1);
  EXPECT_EQ(writeFileBuf(&none, "x", 1), 0);
  EXPECT_EQ(closeBuf(&none), 1);

  // A full disk: the write that empties the buffer is short.
  tFileBuf full;
  ASSERT_EQ(openBuf(&full, "/dev/full", 'w', 8), 1);
  EXPECT_EQ(writeFileBuf(&full, "12345", 5), 5);
  EXPECT_EQ(writeFileBuf(&full, "67890", 5), -1);  // nothing appended
  EXPECT_EQ(full.bufLen, 5);
  EXPECT_EQ(flushBuf(&full), -1);
  EXPECT_EQ(writeFileBuf(&full, std::string(20, 'x')), -1);
  EXPECT_EQ(closeBuf(&full), -1);
}

TEST(FileBuf, BlocksAndTheirSeparator) {
  char tmpl[] = "/tmp/velko-fbuf.XXXXXX";
  close(mkstemp(tmpl));
  spit(tmpl, "hello\nworld|x");
  for (int block : {kFileBlock, 5, 6, 1}) {
    tFileBuf f;
    ASSERT_EQ(openBuf(&f, tmpl, 'r', block), 1);
    char buf[16];
    EXPECT_EQ(readFileBuf(&f, buf, 5), 5) << block;
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(readFileBuf(&f, buf, 5), 5);  // the line feed was skipped
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(readFileBuf(&f, buf, 1), 1);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(readFileBuf(&f, buf, 1), -1);
  }
  unlink(tmpl);
}

// ---------------------------------------------------------------------------
// The index line
// ---------------------------------------------------------------------------

tHeader sampleHeader() {
  tHeader h;
  h.prefix = "XY";
  h.number = 12;
  h.phase = DEVELOPPMENT;
  h.date = 1079355909;
  h.submitter = "user1";
  h.severity = 2;
  h.project = "PROJ";
  h.subProject = "GRP";
  h.module = "mod";
  h.version = "1.0";
  h.expvers = "1.1";
  h.status = OPEN;
  h.postponeDate = 5;
  h.assignedTo = "user2";
  h.corrector = "user3";
  h.correctDate = 6;
  h.correctVersion = "1.2";
  h.verifiedBy = "user4";
  h.verifyDate = 7;
  h.verifyVersion = "1.3";
  h.testref = "T-1";
  h.fileType = ANOMALIE;
  h.impact = PERFORMANCE;
  h.mdaPda = "MDA 4";
  h.timeSpent = 3;
  h.timeEstimate = 5;
  h.title = "Crash at start";
  return h;
}

void expectSameHeader(const tHeader& a, const tHeader& b) {
  EXPECT_EQ(writeIndexToStr(a), writeIndexToStr(b));
  EXPECT_EQ(a.title, b.title);
  EXPECT_EQ(a.number, b.number);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.history, b.history);
  ASSERT_EQ(a.data.size(), b.data.size());
  for (size_t i = 0; i < a.data.size(); ++i) {
    EXPECT_EQ(a.data[i].title, b.data[i].title);
    EXPECT_EQ(a.data[i].date, b.data[i].date);
    EXPECT_EQ(a.data[i].submitter, b.data[i].submitter);
    EXPECT_EQ(a.data[i].data, b.data[i].data);
    EXPECT_EQ(a.data[i].length, b.data[i].length);
    EXPECT_EQ(a.data[i].dataType, b.data[i].dataType);
  }
}

// The line of sampleHeader() with field `i` (0-based) replaced by `value`.
std::string lineWith(size_t i, const std::string& value) {
  std::string line = writeIndexToStr(sampleHeader());
  line.pop_back();
  std::vector<std::string> f;
  size_t pos = 0;
  for (size_t bar; (bar = line.find('|', pos)) != std::string::npos; pos = bar + 1)
    f.push_back(line.substr(pos, bar - pos));
  f.push_back(line.substr(pos));
  f.at(i) = value;
  std::string out;
  for (size_t k = 0; k < f.size(); ++k) out += (k ? "|" : "") + f[k];
  return out;
}

TEST(IndexLine, TheDocumentedLineRoundTrips) {
  const std::string line =
      "XY|12|b|1079355909|user1|c|PROJ|GRP|mod|1.0|1.1|d|0|user2||0|||0||c|a|||0|5|Crash at start";
  tHeader h;
  ASSERT_TRUE(strToIndex(line, &h));
  EXPECT_EQ(h.prefix, "XY");
  EXPECT_EQ(h.number, 12);
  EXPECT_EQ(h.phase, DEVELOPPMENT);
  EXPECT_EQ(h.date, 1079355909);
  EXPECT_EQ(h.severity, 2);
  EXPECT_EQ(h.project, "PROJ");
  EXPECT_EQ(h.subProject, "GRP");
  EXPECT_EQ(h.status, OPEN);
  EXPECT_EQ(h.assignedTo, "user2");
  EXPECT_EQ(h.fileType, ANOMALIE);
  EXPECT_EQ(h.impact, FONCTIONAL);
  EXPECT_EQ(h.timeEstimate, 5);
  EXPECT_EQ(h.title, "Crash at start");
  EXPECT_EQ(writeIndexToStr(h), line + "\n");
  EXPECT_EQ(indexKey(h), "PROJ,GRP,1,12");
  // A line with one field too many (the example of the format's description
  // has one) is read field by field: the title is still the last text.
  tHeader extra;
  EXPECT_FALSE(strToIndex(
      "XY|12|b|1079355909|user1|c|PROJ|GRP|mod|1.0|1.1|d|0|user2||0||||0||c|a|||0|5|Crash at start",
      &extra));
  EXPECT_EQ(extra.title, "Crash at start");
  EXPECT_EQ(extra.status, OPEN);
  EXPECT_EQ(extra.impact, EXPLOITABILITY);  // every field from the extra one on moves by one
  EXPECT_EQ(extra.mdaPda, "a");

  const tHeader full = sampleHeader();
  tHeader back;
  ASSERT_TRUE(strToIndex(writeIndexToStr(full).substr(0, writeIndexToStr(full).size() - 1), &back));
  expectSameHeader(full, back);
}

TEST(IndexLine, EmptyTitleAndBarsAndLineEndsInFields) {
  tHeader h;
  ASSERT_TRUE(strToIndex(lineWith(26, ""), &h));
  EXPECT_EQ(h.title, "");

  tHeader odd = sampleHeader();
  odd.title = "Crash | on save\nsecond line";
  odd.module = "a|b";
  odd.submitter = std::string("x\0y", 3);
  const std::string line = writeIndexToStr(odd);
  EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 26);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  tHeader back;
  ASSERT_TRUE(strToIndex(line.substr(0, line.size() - 1), &back));
  EXPECT_EQ(back.title, "Crash / on save second line");
  EXPECT_EQ(back.module, "a/b");
  EXPECT_EQ(back.submitter, "x y");
  EXPECT_EQ(writeIndexToStr(back), line);
}

TEST(IndexLine, LongFieldsAreCutToTheirWidth) {
  tHeader h = sampleHeader();
  h.title = std::string(300, 't');
  h.submitter = std::string(25, 's');
  h.prefix = "ABCDEFG";
  // A cut inside a two-byte UTF-8 character moves back before it.
  h.project = std::string(38, 'p') + "\xC3\xA9" + "zz";
  const std::string line = writeIndexToStr(h);
  EXPECT_LT(line.size(), 1023u);
  tHeader back;
  ASSERT_TRUE(strToIndex(line.substr(0, line.size() - 1), &back));
  EXPECT_EQ(back.title.size(), 199u);
  EXPECT_EQ(back.submitter.size(), 19u);
  EXPECT_EQ(back.prefix, "ABCD");
  EXPECT_EQ(back.project, std::string(38, 'p'));
  // Read from a line written elsewhere, a long title is cut too.
  tHeader fromFile;
  strToIndex(lineWith(26, std::string(500, 'q')), &fromFile);
  EXPECT_EQ(fromFile.title.size(), 199u);

  // The longest possible line stays within one piece of the line reader.
  tHeader widest;
  for (std::string* s : {&widest.prefix, &widest.submitter, &widest.project, &widest.subProject,
                         &widest.module, &widest.version, &widest.expvers, &widest.assignedTo,
                         &widest.corrector, &widest.correctVersion, &widest.verifiedBy,
                         &widest.verifyVersion, &widest.testref, &widest.mdaPda, &widest.title})
    *s = std::string(400, 'w');
  widest.number = INT_MIN;
  widest.date = widest.postponeDate = widest.correctDate = widest.verifyDate = LONG_MIN;
  widest.timeSpent = widest.timeEstimate = LONG_MIN;
  EXPECT_LE(writeIndexToStr(widest).size(), 1023u);
}

TEST(IndexLine, DamagedLinesLeaveTheRestOfTheRecord) {
  tHeader h;
  h.status = VERIFIED;
  EXPECT_FALSE(strToIndex("XY|12|b", &h));  // cut short
  EXPECT_EQ(h.prefix, "XY");
  EXPECT_EQ(h.number, 12);
  EXPECT_EQ(h.phase, SPECIFICATION);
  EXPECT_EQ(h.title, "b");  // the text after the last separator
  EXPECT_EQ(h.status, VERIFIED);

  tHeader junk;
  EXPECT_FALSE(strToIndex(lineWith(1, "12x"), &junk));
  EXPECT_EQ(junk.number, 12);  // read as "%d" reads it
  tHeader badLetter;
  EXPECT_FALSE(strToIndex(lineWith(11, "~"), &badLetter));
  EXPECT_EQ(badLetter.status, NEW);  // out of range: left as it was
  tHeader huge;
  std::string big = lineWith(1, "99999999999999");
  EXPECT_TRUE(strToIndex(big.replace(big.find("1079355909"), 10, "99999999999999999999999"), &huge));
  EXPECT_EQ(huge.number, INT_MAX);
  EXPECT_EQ(huge.date, LONG_MAX);
  tHeader none;
  EXPECT_FALSE(strToIndex("", &none));
  EXPECT_FALSE(strToIndex("just a title", &none));
  EXPECT_EQ(none.title, "just a title");
}

// ---------------------------------------------------------------------------
// Installations with a project: report names ABDXY.<n>
// ---------------------------------------------------------------------------

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.write("cfg/project.cfg", "P:AB:boss:valid\n");
    inst_.write("cfg/phase.cfg", "specification:D\ndevelopment:E\n");
    inst_.write("cfg/P_subproject.cfg", "G:XY\nH:ZZ\n");
  }
  tHeader report(int number, const std::string& title) {
    tHeader h = sampleHeader();
    h.prefix = "XY";
    h.project = "P";
    h.subProject = "G";
    h.phase = SPECIFICATION;
    h.number = number;
    h.title = title;
    return h;
  }
  std::string data(const std::string& name) { return slurp(inst_.dataDir() + name); }
  std::vector<std::string> indexLines() {
    std::vector<std::string> out;
    std::istringstream in(data("index"));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  std::string runAdmin(const char* cmd, int* rc) {
    char prog[] = "velko";
    std::string c = cmd;
    char* argv[] = {prog, c.data(), nullptr};
    return captureOutput([&] { *rc = runAdminCommand(2, argv); });
  }
  TempInstall inst_;
};

TEST_F(StoreTest, ReportRoundTripGivesTheSameRecordAndBytes) {
  tHeader h = report(12, "Crash at start");
  addAnalyse(&h, "First analysis", "user1", 1000, "line");  // no final line feed
  tAnalyse* att = addAnalyse(&h, "File_1", "user2", 2000, "/data/TRACE_ABDXY.00012/File_1_a.log\n");
  att->dataType = TYPE_ATTACHMENT;
  addAnalyse(&h, "Empty", "user3", 3000, "");
  addAnalyse(&h, "Long", "user3", 4000, std::string(3000, 'L') + "\nshort\n");
  h.history = "2004/03/15:14.05.09 Opened by user1\n";
  ASSERT_EQ(writeBug(h), 1);
  EXPECT_EQ(h.data[0].data, "line\n");
  EXPECT_EQ(h.data[0].length, 5);

  const std::string file = data("ABDXY.00012");
  EXPECT_EQ(file.substr(0, file.find('\n') + 1), writeIndexToStr(h));
  EXPECT_NE(file.find("=!=!=!=!=!=!=!=!=!=!=!=\nFirst analysis|1000|user1|5\nline\n"), std::string::npos);
  EXPECT_NE(file.find("=|=|=|=|=|=|=|=|=|=|=|=\nFile_1|2000|user2|"), std::string::npos);
  EXPECT_NE(file.find("Empty|3000|user3|1\n\n"), std::string::npos);
  EXPECT_NE(file.find("=-=-=-=-=-=-=-=-=-=-=-=\n36\n2004/03/15"), std::string::npos);

  auto back = readBug("ABDXY.00012");
  ASSERT_NE(back, nullptr);
  expectSameHeader(h, *back);
  EXPECT_EQ(formatBug(*back), file);
  ASSERT_EQ(writeBug(*back), 1);
  EXPECT_EQ(data("ABDXY.00012"), file);
  EXPECT_EQ(indexLines().size(), 1u);
  EXPECT_EQ(readBug("ABDXY.00099"), nullptr);
  EXPECT_EQ(readBug("../x"), nullptr);
}

TEST_F(StoreTest, SeparatorLinesInsideTextsSurvive) {
  tHeader h = report(1, "t");
  const std::string text =
      "=!=!=!=!=!=!=!=!=!=!=!=\n!=\n-=-=\n=|\n!= \n=-=-=  \nnormal\n= \n=\n" +
      std::string(sep[TYPE_HISTORY]) + "\n";
  addAnalyse(&h, "tricky", "u", 1, text);
  addAnalyse(&h, "after", "u", 2, "next entry\n");
  h.history = "2004/03/15:14.05.09 x\n";
  ASSERT_EQ(writeBug(h), 1);
  const std::string file = data("ABDXY.00001");
  EXPECT_NE(file.find("\n!= \n"), std::string::npos);   // one blank more
  EXPECT_NE(file.find("\n!=  \n"), std::string::npos);  // already ending in a blank
  EXPECT_NE(file.find("\n= \n"), std::string::npos);    // "=" alone is no separator
  auto back = readBug("ABDXY.00001");
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->data.size(), 2u);
  EXPECT_EQ(back->data[0].data, text);
  EXPECT_EQ(back->data[1].data, "next entry\n");
  EXPECT_EQ(back->history, h.history);
  EXPECT_EQ(formatBug(*back), file);
}

TEST_F(StoreTest, FilesWrittenWithoutEscapingReadAsBefore) {
  const std::string head = writeIndexToStr(report(3, "old"));
  inst_.write("data/ABDXY.00003", head +
                                      "=!=!=!=!=!=!=!=!=!=!=!=\nA|10|u|12\nkeep\n-=-=\n8\nh1 line\n");
  auto b = readBug("ABDXY.00003");
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->data.size(), 1u);
  EXPECT_EQ(b->data[0].data, "keep\n");  // "-=-=" ended the analysis: the history follows
  EXPECT_EQ(b->history, "h1 line\n");
  inst_.write("data/ABDXY.00003", head + "=!=!=!=!=!=!=!=!=!=!=!=\nA|10|u|12\nkeep\n!=\nB|20|v|5\nnext\n");
  b = readBug("ABDXY.00003");
  ASSERT_EQ(b->data.size(), 2u);  // "!=" began a second analysis
  EXPECT_EQ(b->data[1].title, "B");
  EXPECT_EQ(b->data[1].data, "next\n");
}

TEST_F(StoreTest, DamagedAndCutShortFiles) {
  tHeader h = report(4, "cut");
  addAnalyse(&h, "A1", "u", 10, "one\ntwo\n");
  addAnalyse(&h, "A2", "u", 20, "three\n");
  h.history = "2004/01/01:00.00.00 a\n2004/01/02:00.00.00 b\n";
  const std::string full = formatBug(h);
  // Every cut gives a record made of what was read, never more.
  for (size_t len = 0; len <= full.size(); ++len) {
    inst_.write("data/ABDXY.00004", full.substr(0, len));
    auto b = readBug("ABDXY.00004");
    ASSERT_NE(b, nullptr) << len;
    ASSERT_LE(b->data.size(), 2u);
    for (size_t i = 0; i < b->data.size(); ++i)
      EXPECT_EQ(h.data[i].data.compare(0, b->data[i].data.size(), b->data[i].data), 0) << len;
    EXPECT_EQ(h.history.compare(0, b->history.size(), b->history), 0) << len;
  }
  // Texts longer than their byte count keep the whole lines that fit.
  inst_.write("data/ABDXY.00004", writeIndexToStr(h) +
                                      "=!=!=!=!=!=!=!=!=!=!=!=\nT|1|u|11\nabc\ndefg\nhij\nk\n"
                                      "=-=-=-=-=-=-=-=-=-=-=-=\n3\nabc\nlonger line\n");
  auto b = readBug("ABDXY.00004");
  ASSERT_EQ(b->data.size(), 1u);
  EXPECT_EQ(b->data[0].data, "abc\ndefg\nk\n");
  EXPECT_EQ(b->data[0].length, 11);
  EXPECT_EQ(b->history, "abc\n");  // within count + 1
  // A header line broken over several lines is joined; garbage lines skipped.
  inst_.write("data/ABDXY.00004", writeIndexToStr(h) +
                                      "garbage\n=|=|=|=|=|=|=|=|=|=|=|=\nTi\ntle|5\n|usr|4\nabc\n");
  b = readBug("ABDXY.00004");
  ASSERT_EQ(b->data.size(), 1u);
  EXPECT_EQ(b->data[0].title, "Title");
  EXPECT_EQ(b->data[0].submitter, "usr");
  EXPECT_EQ(b->data[0].dataType, TYPE_ATTACHMENT);
  EXPECT_EQ(b->data[0].data, "abc\n");
  // A byte count at the top of the range (found by fuzzing) is no overflow.
  inst_.write("data/ABDXY.00004", writeIndexToStr(h) + "=-=-=-=-=-=-=-=-=-=-=-=\n" +
                                      std::string(80, '9') + "\nkept\n");
  b = readBug("ABDXY.00004");
  EXPECT_EQ(b->history, "kept\n");
  // An empty file reads as an empty record.
  inst_.write("data/ABDXY.00004", "");
  b = readBug("ABDXY.00004");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->title, "");
}

TEST_F(StoreTest, FailedWritesLeaveTheOldFilesWhole) {
  tHeader h = report(5, "first");
  ASSERT_EQ(writeBug(h), 1);
  const std::string before = data("ABDXY.00005");
  // A data directory without room for the temporary file: simulate with a
  // directory standing where the temporary file would go.
  const std::string tmp = inst_.dataDir() + ".ABDXY.00005." + std::to_string(getpid()) + ".tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  h.title = "second";
  EXPECT_LT(writeBug(h), 0);
  EXPECT_EQ(data("ABDXY.00005"), before);
  EXPECT_EQ(indexLines().size(), 1u);
  EXPECT_NE(indexLines()[0].find("first"), std::string::npos);
  rmdir(tmp.c_str());
  // The index cannot be replaced: the failure is reported.
  const std::string itmp = inst_.dataDir() + ".index." + std::to_string(getpid()) + ".tmp";
  ASSERT_EQ(mkdir(itmp.c_str(), 0755), 0);
  EXPECT_LT(writeBug(h), 0);
  EXPECT_EQ(updateIndex(&h, nullptr), 0);
  EXPECT_EQ(data("ABDXY.00005"), before);
  EXPECT_NE(indexLines()[0].find("first"), std::string::npos);
  rmdir(itmp.c_str());
}

TEST_F(StoreTest, UpdateIndexReplacesMovesAndRemoves) {
  EXPECT_FALSE(inst_.exists("data/index"));
  tHeader a = report(1, "A"), b = report(2, "B"), c = report(3, "C");
  ASSERT_EQ(writeBug(a), 1);  // a missing index is created
  ASSERT_EQ(writeBug(b), 1);
  ASSERT_EQ(writeBug(c), 1);
  a.title = "A2";
  ASSERT_EQ(writeBug(a), 1);  // moved to the end, count unchanged
  auto lines = indexLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2] + "\n", writeIndexToStr(a));
  EXPECT_EQ(lines[0] + "\n", writeIndexToStr(b));

  // A name change: the old line goes, the new one comes.
  const std::string oldLine = writeIndexToStr(b);
  b.subProject = "H";
  b.prefix = "ZZ";
  EXPECT_GT(updateIndex(nullptr, &oldLine), 0);
  ASSERT_EQ(writeBug(b), 1);
  lines = indexLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2] + "\n", writeIndexToStr(b));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("|G|") != std::string::npos; }),
            2);

  // Empty lines go; a hand-edited last line without line feed and a long
  // line stay whole.
  const std::string longLine = "QQ|77|a|0|u|b|P|Q|m|v|e|a|0|||0||||0||a|a|||0|0|" + std::string(2000, 'q');
  spit(inst_.dataDir() + "index", data("index") + "\n\n" + longLine + "\n" +
                                      writeIndexToStr(report(9, "nine")).substr(0, 60));
  tHeader d = report(4, "D");
  ASSERT_EQ(writeBug(d), 1);
  lines = indexLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], longLine);
  EXPECT_EQ(lines[4], writeIndexToStr(report(9, "nine")).substr(0, 60));
  EXPECT_EQ(lines[5] + "\n", writeIndexToStr(d));
}

TEST_F(StoreTest, ReadIndexReadsEveryLine) {
  std::string text;
  for (int i = 1; i <= 500; ++i) text += writeIndexToStr(report(i, "title " + std::to_string(i)));
  text += "\nXY|7|b\n";
  spit(inst_.dataDir() + "index", text);
  tFileBuf f;
  ASSERT_EQ(openBuf(&f, inst_.dataDir() + "index", 'r', kFileBlock), 1);
  tHeader h;
  h.data.resize(2);
  h.history = "x";
  int n = 0, r;
  std::vector<int> results;
  int lastNumber = -1;
  std::string lastProject = "?";
  while ((r = readIndex(&f, &h)) >= 0) {
    results.push_back(r);
    lastNumber = h.number;
    lastProject = h.project;
    if (r > 0 && ++n <= 500) {
      EXPECT_EQ(h.number, n);
      EXPECT_EQ(h.title, "title " + std::to_string(n));
    }
    EXPECT_TRUE(h.data.empty());
    EXPECT_TRUE(h.history.empty());
  }
  ASSERT_EQ(results.size(), 502u);
  EXPECT_EQ(results[500], 0);
  // The damaged line does not inherit fields of the line before it.
  EXPECT_EQ(lastNumber, 7);
  EXPECT_EQ(lastProject, "");
}

TEST_F(StoreTest, HistoryLines) {
  tHeader h = report(12, "t");
  struct tm tm = {};
  tm.tm_year = 104;
  tm.tm_mon = 2;
  tm.tm_mday = 15;
  tm.tm_hour = 14;
  tm.tm_min = 5;
  tm.tm_sec = 9;
  tm.tm_isdst = -1;
  const long when = static_cast<long>(mktime(&tm));
  EXPECT_EQ(time2char(when), "2004/03/15:14.05.09");
  historyAt(&h, when, "Opened by %s", "user1", "", "");
  EXPECT_EQ(h.history, "2004/03/15:14.05.09 Opened by user1\n");
  // The global line is appended once the report is stored, not before.
  EXPECT_FALSE(inst_.exists("data/history.dat"));
  ASSERT_EQ(writeBug(h), 1);
  EXPECT_EQ(data("history.dat"), "2004/03/15:14.05.09 ABDXY.00012 Opened by user1\n");
  EXPECT_TRUE(h.pendingHistory.empty());
  // Formats that would read missing or foreign arguments are applied safely.
  historyAt(&h, when, "%s %s by %s", "a", "", "");
  historyAt(&h, when, "100%% done %d %n %s", "x", "", "");
  historyAt(&h, when, "line\nbreak %s", "a\nb", "", "");
  EXPECT_EQ(h.history,
            "2004/03/15:14.05.09 Opened by user1\n2004/03/15:14.05.09 a  by \n"
            "2004/03/15:14.05.09 100%% done %d %n %s\n2004/03/15:14.05.09 line break a b\n");
  EXPECT_EQ(applyHistoryFormat("%s%%%s", "a", "b", "c"), "a%b");
  EXPECT_EQ(applyHistoryFormat("ends in %", "a", "", ""), "ends in %");
  history2(&h, "%s %s", "Submitter", "user1");
  EXPECT_NE(h.history.rfind(" Submitter user1\n"), std::string::npos);
}

TEST(TimeAndUrl, WorkingDaysAndEncoding) {
  struct tm tm = {};
  tm.tm_year = 104;
  tm.tm_mon = 2;
  tm.tm_mday = 12;  // Friday 12 March 2004
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  const long friday = static_cast<long>(mktime(&tm));
  tm.tm_mday = 16;
  tm.tm_isdst = -1;
  const long tuesday = static_cast<long>(mktime(&tm));
  EXPECT_EQ(timeDiffDay(friday, tuesday), 2);
  EXPECT_EQ(timeDiffDay(tuesday, friday), 0);
  EXPECT_EQ(timeDiffDay(friday, friday), 0);
  EXPECT_EQ(timeDiffDay(friday, friday + 1), 1);
  // Long spans are counted by whole weeks; they agree with a day-by-day count.
  for (long days : {57L, 58L, 100L, 365L, 1000L}) {
    for (long extra : {0L, 3600L, 50000L}) {
      const long t2 = friday + days * 86400 + extra;
      int slow = 0;
      for (long t = friday; t < t2; t += 86400) {
        const time_t tt = t;
        struct tm lt;
        localtime_r(&tt, &lt);
        if (lt.tm_wday >= 1 && lt.tm_wday <= 5) ++slow;
      }
      EXPECT_EQ(timeDiffDay(friday, t2), slow) << days << " " << extra;
    }
  }
  EXPECT_GT(timeDiffDay(0, LONG_MAX / 2), 0);

  EXPECT_EQ(urlEncode("a b&c"), "a%20b%26c");
  EXPECT_EQ(urlEncode("x\n\xE9Z9"), "x%0A%E9Z9");
  const std::string enc = urlEncode(std::string(498, 'a') + "&&");
  EXPECT_EQ(enc, std::string(498, 'a'));  // "%26" would not fit in 499
  EXPECT_EQ(urlEncode(std::string(600, ' ')).size(), 498u);
}

// ---------------------------------------------------------------------------
// Administration and concurrency
// ---------------------------------------------------------------------------

TEST_F(StoreTest, CheckAndReindex) {
  int rc = -1;
  std::string out = runAdmin("--check", &rc);
  EXPECT_EQ(out, "consistent: 0 report files, 0 index lines\n");
  EXPECT_EQ(rc, 0);

  tHeader a = report(1, "A"), b = report(2, "B");
  ASSERT_EQ(writeBug(a), 1);
  ASSERT_EQ(writeBug(b), 1);
  EXPECT_EQ(runAdmin("--check", &rc), "consistent: 2 report files, 2 index lines\n");
  EXPECT_EQ(rc, 0);

  // Damage: a report missing from the index, a stale line, a line without a
  // report, a duplicate, a file that does not parse.
  const std::string lineA = writeIndexToStr(a);
  tHeader ghost = report(40, "ghost");
  spit(inst_.dataDir() + "index", lineA + lineA + writeIndexToStr(ghost) + "garbage\n");
  b.title = "B changed";
  inst_.write("data/ABDXY.00002", formatBug(b));
  inst_.write("data/ABDXY.00003", "not a report\n");
  inst_.write("data/ABDXY.00004.1234", "synchronisation leftover\n");
  out = runAdmin("--check", &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(out,
            "report file does not parse: ABDXY.00003\n"
            "duplicate key P,G,0,1 in the index: lines 1 and 2\n"
            "index line 3 has no report file: P,G,0,40\n"
            "index line 4 does not parse\n"
            "report missing from the index: ABDXY.00002\n"
            "inconsistent: 5 problems\n");
  out = runAdmin("--reindex", &rc);
  EXPECT_EQ(out, "left out, does not parse: ABDXY.00003\nindex rebuilt: 2 reports\n");
  EXPECT_EQ(rc, 1);
  unlink((inst_.dataDir() + "ABDXY.00003").c_str());
  EXPECT_EQ(runAdmin("--check", &rc), "consistent: 2 report files, 2 index lines\n");
  EXPECT_EQ(rc, 0);
  EXPECT_NE(data("index").find("B changed"), std::string::npos);

  // A stale index line (report changed behind the index) is found.
  b.title = "B again";
  inst_.write("data/ABDXY.00002", formatBug(b));
  out = runAdmin("--check", &rc);
  EXPECT_NE(out.find("index line 2 differs from the report file ABDXY.00002\n"), std::string::npos);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(runAdmin("--bogus", &rc).find("unknown command --bogus"), 0u);
  EXPECT_EQ(rc, 2);
}

// Several processes at once, each creating many reports of one prefix: every
// number is given once, every report ends in the index, --check is clean.
TEST_F(StoreTest, ConcurrentCreationsLoseNothing) {
  constexpr int kProcs = 4, kEach = 40;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        tHeader h = report(0, "proc " + std::to_string(p) + " report " + std::to_string(i));
        h.number = findNextNum(getBugPrefix2(h));
        historyAt(&h, 1000 + i, "Created by %s", "proc" + std::to_string(p), "", "");
        if (writeBug(h) != 1) ++failures;
        const int n = failures ? -1 : h.number;
        if (write(fds[1], &n, sizeof n) != sizeof n) ++failures;
      }
      _exit(failures ? 1 : 0);
    }
    kids.push_back(pid);
  }
  close(fds[1]);
  std::multiset<int> numbers;
  int n;
  while (read(fds[0], &n, sizeof n) == sizeof n) numbers.insert(n);
  close(fds[0]);
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_EQ(numbers.size(), static_cast<size_t>(kProcs * kEach));
  EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(), numbers.size());
  EXPECT_EQ(*numbers.begin(), 1);
  EXPECT_EQ(*numbers.rbegin(), kProcs * kEach);
  EXPECT_EQ(indexLines().size(), static_cast<size_t>(kProcs * kEach));
  // history.dat: one whole line per change.
  std::istringstream hist(data("history.dat"));
  int histLines = 0;
  for (std::string l; std::getline(hist, l); ++histLines)
    EXPECT_NE(l.find(" Created by proc"), std::string::npos) << l;
  EXPECT_EQ(histLines, kProcs * kEach);
  int rc = -1;
  EXPECT_EQ(runAdmin("--check", &rc), strprintf("consistent: %d report files, %d index lines\n",
                                                 kProcs * kEach, kProcs * kEach));
  EXPECT_EQ(rc, 0);
}

// Several processes rewriting the same few reports and adding others: no
// update of the index is lost, and the index follows the report files.
TEST_F(StoreTest, ConcurrentRewritesKeepIndexAndFilesInStep) {
  for (int i = 1; i <= 3; ++i) {
    tHeader h = report(i, "shared");
    ASSERT_EQ(writeBug(h), 1);
  }
  constexpr int kProcs = 3, kEach = 30;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        tHeader shared = report(1 + i % 3, "shared by " + std::to_string(p) + "/" + std::to_string(i));
        if (writeBug(shared) != 1) ++failures;
        tHeader own = report(100 + p * kEach + i, "own");
        if (writeBug(own) != 1) ++failures;
      }
      _exit(failures ? 1 : 0);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(indexLines().size(), static_cast<size_t>(3 + kProcs * kEach));
  int rc = -1;
  const std::string out = runAdmin("--check", &rc);
  EXPECT_EQ(rc, 0) << out;
}

}  // namespace

TEST_F(StoreTest, AFailedSaveLeavesNoGlobalHistoryLine) {
  tHeader h = report(13, "t");
  ASSERT_EQ(writeBug(h), 1);
  history1(&h, "Changed by %s", "u");
  // The report file cannot be replaced: a directory stands in its way.
  inst_.write("data/.ABDXY.00013." + std::to_string(getpid()) + ".tmp/x", "");
  EXPECT_LT(writeBug(h), 0);
  EXPECT_FALSE(inst_.exists("data/history.dat"));
}
