// The test book's file codecs: length-prefixed texts, test and result
// files, and the keys that may name files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

#include "request.h"
#include "tutils.h"

namespace {

std::string allBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

}  // namespace

TEST(BookLV, ReadsWhatItWritesAndStopsAtTheEnd) {
  std::string out;
  appendLV(&out, "abc");
  appendLV(&out, "");
  appendLV(&out, "12 lines\n3 \r\n");
  EXPECT_EQ(out.substr(0, 7), "3 abc0 ");
  size_t pos = 0;
  std::string a, b, c, d = "old";
  readLV(out, &pos, &a);
  readLV(out, &pos, &b);
  readLV(out, &pos, &c);
  readLV(out, &pos, &d);  // nothing left: empty
  EXPECT_EQ(a, "abc");
  EXPECT_EQ(b, "");
  EXPECT_EQ(c, "12 lines\n3 \r\n");
  EXPECT_EQ(d, "");
  // A length beyond the end gives what there is; no digits give 0; a
  // length of 20 digits is read as its first 19 and never allocated.
  pos = 0;
  readLV("10 abc", &pos, &a);
  EXPECT_EQ(a, "abc");
  pos = 0;
  readLV("x rest", &pos, &a);
  EXPECT_EQ(a, "");
  EXPECT_EQ(pos, 1u);
  pos = 0;
  readLV("99999999999999999999 tail", &pos, &a);
  EXPECT_EQ(a, " tail");
}

TEST(BookTestFile, RoundTripsEveryByteAndCutsLineFields) {
  tTest t;
  initTestArgs(&t, "TEST", "phase 1", 2, "M1", "S1", 7);
  t.author = "admin";
  t.creationDate = 1100000000;
  t.title = "Title with\nline end";
  t.impact = 3;
  for (int i = 0; i < kTestTexts; ++i) *testText(t, i) = i % 2 ? allBytes() : std::to_string(i) + "\n9 x";
  const std::string bytes = formatTest(t);
  EXPECT_EQ(bytes.substr(0, bytes.find("0\n9 x")),
            "7\nadmin\n1100000000\nTEST\nphase 1\n2\nM1\nS1\nTitle with line end\n3\n \n5 ");
  tTest r;
  parseTest(bytes, &r);
  EXPECT_EQ(r.number, 7);
  EXPECT_EQ(r.phase, 2);
  EXPECT_EQ(r.impact, 3);
  EXPECT_EQ(r.reference, " ");
  EXPECT_EQ(r.title, "Title with line end");
  for (int i = 0; i < kTestTexts; ++i) EXPECT_EQ(*testText(r, i), *testText(t, i)) << i;
  EXPECT_EQ(formatTest(r), bytes);

  // Seven empty texts end the file with "0 " seven times; long fields are
  // cut to their width less one, never inside a UTF-8 character.
  tTest e;
  e.title = std::string(198, 'x') + "\xc3\xa9";
  e.author = std::string(30, 'a');
  const std::string eb = formatTest(e);
  EXPECT_EQ(eb.substr(eb.size() - 14), "0 0 0 0 0 0 0 ");
  tTest er;
  parseTest(eb, &er);
  EXPECT_EQ(er.title, std::string(198, 'x'));
  EXPECT_EQ(er.author, std::string(19, 'a'));
  // A reference line of 200 characters reads as its first 199; a short
  // file leaves the rest empty.
  tTest h;
  parseTest("3\nme\n5\nP\nG\n1\nM\nS\nT\n1 trailing\n" + std::string(250, 'r') + "\n4 ab\ncd", &h);
  EXPECT_EQ(h.reference.size(), 199u);
  EXPECT_EQ(h.impact, 1);
  EXPECT_EQ(h.objectives, "ab\nc");
  EXPECT_EQ(h.environment, "");
}

TEST(BookResultFile, LayoutAndDay) {
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  tPassTest p;
  p.tester = "admin";
  p.date = 1070625600;  // 5 December 2003, noon
  p.version = " ";
  p.result = E_NT;
  p.resText = "comment";
  p.fft = {"TS10.00012", "TS10.00013"};
  const std::string bytes = formatPass(p);
  EXPECT_EQ(bytes, "admin\n1070625600\n \n2\n7 comment0 TS10.00012\nTS10.00013\n");
  tPassTest r;
  parsePass(bytes, &r);
  EXPECT_TRUE(r.recorded);
  EXPECT_EQ(r.day, "05/12");
  EXPECT_EQ(r.version, " ");
  EXPECT_EQ(r.result, E_NT);
  EXPECT_EQ(r.resText, "comment");
  EXPECT_EQ(r.history, "");
  EXPECT_EQ(r.fft, p.fft);
  EXPECT_STREQ(getTestResultName(E_NOK), "NOK");
  EXPECT_STREQ(getTestResultName(E_NA), "NA");
  EXPECT_STREQ(getTestResultName(4), "");
  EXPECT_STREQ(getTestResultName(-1), "");
}

TEST(BookKeys, NothingLeadsOutOfTheBook) {
  for (const char* ok : {"M1", "A", "mod_1-x", "with blank", "\xc3\xa9t\xc3\xa9"})
    EXPECT_TRUE(validBookKey(ok)) << ok;
  for (const char* bad : {"", " lead", "a.b", ".", "..", "a/b", "a\\b", "tab\there",
                          "0123456789012345678901234567890123456789"})
    EXPECT_FALSE(validBookKey(bad)) << bad;
  for (const char* ok : {"2003.01.10.09.00.00", "rel-2", "rel..2"})
    EXPECT_TRUE(validCampaignName(ok)) << ok;
  for (const char* bad : {"", "..", ".", "a/b", "/abs", "a\\b", " x", "line\nend"})
    EXPECT_FALSE(validCampaignName(bad)) << bad;
}

TEST(BookTestFile, RandomBytesNeverBreakTheReader) {
  std::mt19937 rng(11);
  for (int i = 0; i < 2000; ++i) {
    std::string junk(rng() % 300, '\0');
    for (char& c : junk) c = static_cast<char>(rng() % 4 ? '0' + rng() % 10 : rng() % 256);
    tTest t;
    parseTest(junk, &t);
    tPassTest p;
    parsePass(junk, &p);
    tTest again;
    parseTest(formatTest(t), &again);
    for (int k = 0; k < kTestTexts; ++k) ASSERT_EQ(*testText(again, k), *testText(t, k));
  }
}
