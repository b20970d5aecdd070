// Campaign logic: link encoding, the linked reports of the pass form, the
// counts and percentages of the statistics, and the 80-column primitives
// of the printouts.
#include <gtest/gtest.h>

#include <sstream>

#include "bprint.h"
#include "tdisplay.h"
#include "tstats.h"

TEST(CampaignArgs, EncodesLikeTheLinksAndSplitsReports) {
  EXPECT_EQ(argFormat("rel 2/a.b-\xC3\xA9"), "rel+2%2fa%2eb%2d%c3%a9");
  EXPECT_EQ(parseLinkedReports("ABC0012, ABC0013"), (tCharList{"ABC0013", "ABC0012"}));
  EXPECT_EQ(parseLinkedReports("A12 ABC0012\r\n,,\tTS10.00001 "),
            (tCharList{"TS10.00001", "ABC0012"}));
  EXPECT_TRUE(parseLinkedReports(" , \t").empty());
  EXPECT_EQ(currentCampaign({"2003.01.10", "2003.02.01"}, " "), "2003.02.01");
  EXPECT_EQ(currentCampaign({"2003.01.10", "2003.02.01"}, "2003.01.10"), "2003.01.10");
  EXPECT_EQ(currentCampaign({}, "x"), "");
}

TEST(CampaignStats, CountsAndTruncatedPercentages) {
  tStatList step;
  for (int r : {E_OK, E_NOK, E_NT, E_NA}) countResult(&step, r);
  computePercentages(&step);
  EXPECT_EQ((std::vector<int>{step.nbtest, step.nb2pass, step.nbpassed, step.nbok, step.pcpass,
                              step.pcok, step.pcokp}),
            (std::vector<int>{4, 3, 2, 1, 66, 33, 50}));
  tStatList na;
  countResult(&na, E_NA);
  computePercentages(&na);
  EXPECT_EQ(na.pcpass + na.pcok + na.pcokp, 0);
  // A module's percentages come from its sums, not from its steps'.
  tStatList a, b, mod;
  for (int r : {E_OK, E_NT, E_NT}) countResult(&a, r);
  countResult(&b, E_OK);
  addCounts(&mod, a);
  addCounts(&mod, b);
  computePercentages(&mod);
  EXPECT_EQ((std::vector<int>{mod.nbchild, mod.nb2pass, mod.nbpassed, mod.nbok, mod.pcpass,
                              mod.pcok, mod.pcokp}),
            (std::vector<int>{2, 4, 2, 2, 50, 50, 100}));
}

TEST(CampaignPrint, LinesAreEightyColumns) {
  std::string out;
  printLine(&out, 26, 53, '+', '-');
  EXPECT_EQ(out, "+" + std::string(24, '-') + "+" + std::string(26, '-') + "+" +
                     std::string(26, '-') + "+\n");
  // Cut, filled, "&nbsp;" as empty, control bytes and stray bytes as blanks,
  // a UTF-8 character as one column.
  EXPECT_EQ(gauche("abcdef", 3), "abc");
  EXPECT_EQ(gauche("&nbsp;", 2), "  ");
  EXPECT_EQ(gauche("a\tb\x01\xff", 6), "a b   ");
  EXPECT_EQ(gauche("\xC3\xA9t\xC3\xA9", 4), "\xC3\xA9t\xC3\xA9 ");
  EXPECT_EQ(printColumns("\xC3\xA9t\xC3\xA9\xE2\x82"), 5u);
  // A line of 100 characters and CR LF: two rows; nothing for an empty text.
  out.clear();
  longPaddedPrint(&out, std::string(100, 'x') + "\r\n\r\nlast");
  std::istringstream rows(out);
  std::vector<std::string> lines;
  for (std::string l; std::getline(rows, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "|" + std::string(78, 'x') + "|");
  EXPECT_EQ(lines[1], "|" + std::string(22, 'x') + std::string(56, ' ') + "|");
  EXPECT_EQ(lines[2], "|" + std::string(78, ' ') + "|");
  EXPECT_EQ(lines[3].substr(0, 5), "|last");
  out.clear();
  longPaddedPrint(&out, "");
  EXPECT_EQ(out, "");
  // Wide test numbers take their room from the title's column.
  const tStepColumns c = stepColumns(123456);
  EXPECT_EQ(c.width[0], 6u);
  size_t sum = 8;
  for (size_t w : c.width) sum += w;
  EXPECT_EQ(sum, 80u);
}
