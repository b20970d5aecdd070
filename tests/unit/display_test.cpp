// The page frame and the text helpers of the report page and printout.
#include <gtest/gtest.h>

#include <cstdio>

#include "config.h"
#include "cookies.h"
#include "display.h"
#include "html.h"
#include "testutil.h"

namespace {

// What a function writes into a FILE*.
template <class F>
std::string intoFile(F&& f) {
  FILE* tmp = tmpfile();
  f(tmp);
  fflush(tmp);
  rewind(tmp);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(Padding, CellsThatSpanDoNotWidenTheirColumn) {
  // Only column 0 is filled and every text spans to the end of its row:
  // no column counts, the page width is shared out 20, 20, 19, 19.
  tGrid t;
  tGridWidths max;
  t[0] = "a report title that is long";
  t[4] = "x";
  EXPECT_EQ(padding(t, max), 81);
  EXPECT_EQ((std::vector<int>{max[0], max[1], max[2], max[3]}), (std::vector<int>{20, 20, 19, 19}));
  for (int i = 4; i < kGridCells; ++i) EXPECT_EQ(max[i], 0) << i;
  EXPECT_EQ(t[0].size(), 78u);  // spans the four columns
  EXPECT_EQ(t[4], "x" + std::string(77, ' '));
  EXPECT_EQ(t[1], "");  // empty cells stay empty
}

TEST(Padding, ColumnWidthsAndSpans) {
  tGrid t;
  tGridWidths max;
  // Row 0: all four cells; row 1: cell 1 followed by an empty cell 2.
  t[0] = std::string(10, 'a');
  t[1] = std::string(5, 'b');
  t[2] = std::string(7, 'c');
  t[3] = std::string(30, 'd');  // the last column always counts
  t[4] = "e";
  t[5] = std::string(40, 'f');  // followed by an empty cell: spans, does not count
  t[7] = "g";
  EXPECT_EQ(padding(t, max), 81);
  // Widest counting cells 10, 5, 7, 30 = 52; 26 more in turn from column 0:
  // 7 each for columns 0 and 1, 6 each for 2 and 3 (26 = 7+7+6+6).
  EXPECT_EQ((std::vector<int>{max[0], max[1], max[2], max[3]}), (std::vector<int>{17, 12, 13, 36}));
  EXPECT_EQ(t[0].size(), 17u);
  EXPECT_EQ(t[5].size(), 40u);  // longer than the 12 + 13 it spans: unchanged
  EXPECT_EQ(t[4].size(), 17u);
  EXPECT_EQ(t[7].size(), 36u);
}

TEST(Padding, WideGridIsNotWidened) {
  tGrid t;
  tGridWidths max;
  t[0] = std::string(30, 'a');
  t[1] = std::string(30, 'b');
  t[2] = std::string(10, 'c');
  t[3] = std::string(20, 'd');
  EXPECT_EQ(padding(t, max), 93);
  EXPECT_EQ(max[0] + max[1] + max[2] + max[3], 90);
  EXPECT_EQ(t[2], std::string(10, 'c'));
}

TEST(Line, SeparatorOfTheFirstColumns) {
  tGridWidths max{};
  max[0] = 3;
  max[1] = 1;
  max[2] = 2;
  max[3] = 4;
  EXPECT_EQ(intoFile([&](FILE* f) { line(f, max, 4); }), "+---+-+--+----+\n");
  EXPECT_EQ(intoFile([&](FILE* f) { line(f, max, 1); }), "+---+\n");
  EXPECT_EQ(intoFile([&](FILE* f) { line(f, max, 0); }), "+\n");
  // With the widths of padding, a line is as long as a grid row (sum + 5).
  tGrid t;
  t[0] = "x";
  const int w = padding(t, max);
  EXPECT_EQ(intoFile([&](FILE* f) { line(f, max, 4); }).size(), static_cast<size_t>(w + 2 + 1));
}

TEST(PrintData, OnlyLineFeedsLessThanAndBlanksChange) {
  EXPECT_EQ(intoFile([](FILE* f) { printData(f, " <\n"); }), "&nbsp;\n&lt;\n<BR>\n");
  EXPECT_EQ(intoFile([](FILE* f) { printData(f, "a>&b\"\xC3\xA9"); }), "a>&b\"\xC3\xA9");
  EXPECT_EQ(intoFile([](FILE* f) { printData(f, ""); }), "");
  // Without a file the text goes into the page.
  TempInstall inst;
  const std::string page = captureOutput([] {
    sendHeader();
    printData(nullptr, "<script>");
  });
  EXPECT_EQ(page, "Content-type: text/html\n\n&lt;\nscript>");
}

TEST(PrintHead, MailBodyForm) {
  TempInstall inst;
  EXPECT_EQ(intoFile([](FILE* f) { printHead(f, "Bug <1>", nullptr, nullptr); }),
            "Content-Type: text/html; charset=us-ascii\n"
            "<HTML>\n<HEAD>\n<TITLE>Bug &lt;1&gt;</TITLE>\n</HEAD>\n"
            "<BODY BGCOLOR=\"#FFFFFF\" TEXT=\"#000000\" >\n");
  EXPECT_EQ(intoFile([](FILE* f) { printHead(f, "T", "#C0C0C0", nullptr); }),
            "Content-Type: text/html; charset=us-ascii\n"
            "<HTML>\n<HEAD>\n<TITLE>T</TITLE>\n</HEAD>\n"
            "<BODY BGCOLOR=\"#C0C0C0\" TEXT=\"#000000\" >\n");
}

TEST(PrintHead, PageWithoutSecurity) {
  TempInstall inst;
  inst.write("cfg/langue.EN", "1,EN\n2,v4.6\n");
  const std::string page = captureOutput([] {
    printHead(nullptr, "A \"title\" <b>", nullptr, nullptr);
  });
  EXPECT_EQ(page,
            "Content-type: text/html\n\n<HTML>\n<HEAD>\n"
            "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
            "<TITLE>A &quot;title&quot; &lt;b&gt;</TITLE>\n</HEAD>\n"
            "<BODY BACKGROUND=/velko/images//fond.gif BGCOLOR=\"#FFFFFF\" TEXT=\"#000000\" >\n");
  resetOutput();
  const std::string grey = captureOutput([] { printHead(nullptr, "Setup", "#C0C0C0", nullptr); });
  EXPECT_NE(grey.find("<BODY BGCOLOR=\"#C0C0C0\" TEXT=\"#000000\" >\n"), std::string::npos);
  EXPECT_EQ(grey.find("fond.gif"), std::string::npos);
  EXPECT_EQ(grey.find("SCRIPT"), std::string::npos);
}

TEST(PrintHead, OneHeaderEvenAfterEarlyOutput) {
  TempInstall inst;  // no language file: langue's comment must follow the header
  tArgList none;
  const std::string page = captureOutput([&] {
    emitComment("early");
    printHead(nullptr, "VELKO", nullptr, &none);
    printHead(nullptr, "VELKO", nullptr, &none);  // a second page in one response
  });
  EXPECT_EQ(page.rfind("Content-type: text/html\n\n", 0), 0u);
  EXPECT_EQ(count(page, "Content-type"), 1u);
  EXPECT_EQ(page.find("Content-type", 1), std::string::npos);
}

TEST(PrintHead, SecurityAddsScriptsAndOnLoad) {
  TempInstall inst("SECURITY YES\n");
  resetSessionState();
  tArgList list = {{"Uid", "ab\"</script>"}};
  const std::string page = captureOutput([&] { printHead(nullptr, "VELKO", nullptr, &list); });
  EXPECT_NE(page.find("function getCookie(nom)"), std::string::npos);
  EXPECT_NE(page.find("function ecritCookie(nom, valeur, expire)"), std::string::npos);
  EXPECT_NE(page.find("function CookieCheck()"), std::string::npos);
  EXPECT_NE(page.find("<!title:VELKO>\n"), std::string::npos);
  EXPECT_NE(page.find("<!uid:ab&quot;&lt;/script&gt;>\n"), std::string::npos);
  EXPECT_EQ(page.find("</script>\""), std::string::npos);  // the value cannot end the script
  EXPECT_NE(page.find("TEXT=\"#000000\" onLoad=\"CookieCheck()\">\n"), std::string::npos);
  // The head stores the request's identifier as the current one.
  EXPECT_EQ(getCookie(), "ab\"</script>");
  EXPECT_LT(page.find("</SCRIPT>"), page.find("<TITLE>VELKO</TITLE>"));
  resetSessionState();
}

TEST(CheckVersion, WarnsOnlyForAnotherVersion) {
  TempInstall inst;
  inst.write("cfg/langue.EN", "1,EN\n2,v4.6\n");
  EXPECT_EQ(captureOutput([] { checkVersion(); }), "");
  clearConfigCache();
  inst.write("cfg/langue.EN", "1,EN\n2,v4.5\n");
  EXPECT_EQ(captureOutput([] {
              sendHeader();
              checkVersion();
            }),
            "Content-type: text/html\n\n"
            "<P Align=Center><FONT COLOR=RED>Please update langage file "
            "langue.EN in configuration directory.</P></FONT>\n");
}

TEST(Scripts, ChangePageAndCheckChange) {
  TempInstall inst;
  const std::string js = captureOutput([] {
    sendHeader();
    jsChangePage();
    jsCheckChange();
  });
  EXPECT_NE(js.find("function changePage(page,menu) {\n  document.location = page;\n}"),
            std::string::npos);
  const size_t cc = js.find("<SCRIPT  LANGUAGE=javascript1.2>\nfunction checkChange()");
  ASSERT_NE(cc, std::string::npos);
  const char* boxes[] = {"statN", "statA", "statO", "statC", "statV", "statP",
                         "statB", "statR", "statD", "statT", "statS"};
  size_t at = cc;
  for (const char* b : boxes) {
    const size_t p = js.find(std::string("f.") + b + ".checked = v;", at);
    ASSERT_NE(p, std::string::npos) << b;
    at = p;  // in this order
  }
  EXPECT_NE(js.find("document.forms[1]"), std::string::npos);
}

TEST(MenuButton, RelativeOnPageAbsoluteInMail) {
  TempInstall inst("HOSTNAME bugs.example.org\n");
  ScopedEnv env(EnvVars{{"SCRIPT_NAME", "/cgi-bin/velko"}, {"SERVER_PORT", "80"}});
  const std::string expectedPage =
      "<TD><A HREF=/cgi-bin/velko?CMD=Change_Header&Num=ABC.00042&QS=a%3D1>"
      "<IMG NAME=Change_HeaderABC_00042 SRC=/velko/images//header.gif WIDTH=30 HEIGHT=20 "
      "ALT=\"Change &quot;header&quot;\" BORDER=0></A> </TD>\n";
  EXPECT_EQ(captureOutput([] {
              sendHeader("X: y\n\n");
              displayMenuButton(nullptr, "header", "Change_Header", "Change \"header\"",
                                "ABC.00042", "a%3D1");
            }),
            "X: y\n\n" + expectedPage);
  EXPECT_EQ(intoFile([](FILE* f) {
              displayMenuButton(f, "print", "Print", "Print", "ABC.00042", "");
            }),
            "<TD><A HREF=http://bugs.example.org/cgi-bin/velko?CMD=Print&Num=ABC.00042&QS=>"
            "<IMG NAME=PrintABC_00042 SRC=http://bugs.example.org/velko/images//print.gif "
            "WIDTH=30 HEIGHT=20 ALT=\"Print\" BORDER=0></A> </TD>\n");
  ScopedEnv port(EnvVars{{"SERVER_PORT", "8080"}});
  EXPECT_NE(intoFile([](FILE* f) { displayMenuButton(f, "open", "Open", "Open", "X.00001", ""); })
                .find("HREF=http://bugs.example.org:8080/cgi-bin/velko?CMD=Open"),
            std::string::npos);
}

TEST(MenuButton, HostileReportNameCannotLeaveTheAttribute) {
  TempInstall inst;
  ScopedEnv env(EnvVars{{"SCRIPT_NAME", "/v"}});
  const std::string out = intoFile([](FILE* f) {
    displayMenuButton(f, "open", "Open", "Open", "X.1 onmouseover=alert(1)>", "q&CMD=x");
  });
  // The unquoted link runs to "><IMG" with no blank, quote or bracket in it.
  const size_t img = out.find("><IMG NAME=");
  ASSERT_NE(img, std::string::npos);
  EXPECT_EQ(out.substr(7, img - 7).find_first_of(" \"'<>"), std::string::npos) << out;
  EXPECT_EQ(out.find("onmouseover=alert"), std::string::npos);
  EXPECT_NE(out.find("Num=X.1%20onmouseover%3Dalert%281%29%3E&QS=q%26CMD%3Dx>"),
            std::string::npos);
  EXPECT_NE(out.find("IMG NAME=OpenX_1_onmouseover_alert_1__ "), std::string::npos);
}
