// The page frame and the text helpers of the report page and printout.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "config.h"
#include "cookies.h"
#include "display.h"
#include "html.h"
#include "testutil.h"
#include "utils.h"

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

// ---------------------------------------------------------------------------
// Report page and printout
// ---------------------------------------------------------------------------

namespace {

std::string repoFile(const std::string& rel) {
  std::ifstream in(std::string(VELKO_SOURCE_DIR) + "/" + rel, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// An installation with one project PRJ (prefix AB), phases S and D and the
// group core (XY): its reports are named ABSXY.<n> or ABDXY.<n>.
struct ReportInstall {
  explicit ReportInstall(const std::string& extra = "")
      : inst("HOSTNAME bugs.example.org\n" + extra),
        env(EnvVars{{"SCRIPT_NAME", "/cgi-bin/velko"}, {"SERVER_PORT", "80"}}) {
    inst.write("cfg/langue.EN", repoFile("config/langue.EN"));
    inst.write("cfg/project.cfg", "PRJ:AB:mgr:val:\n");
    inst.write("cfg/phase.cfg", "spec:S\ndev:D\n");
    inst.write("cfg/PRJ_subproject.cfg", "core:XY\n");
    inst.write("cfg/impacts.cfg", "Usability\nFonctional\nRobustness\nPerformance\n");
    clearConfigCache();
    resetReportPageState();
  }
  ~ReportInstall() { resetReportPageState(); }
  TempInstall inst;
  ScopedEnv env;
};

tHeader sampleBug(tStatus status) {
  tHeader h;
  h.prefix = "XY";
  h.number = 7;
  h.date = 1079359509;
  h.submitter = "user1";
  h.severity = 2;
  h.project = "PRJ";
  h.subProject = "core";
  h.phase = SPECIFICATION;
  h.module = "mod";
  h.version = "1.0";
  h.title = "Crash <at> start";
  h.expvers = "1.1";
  h.status = status;
  h.postponeDate = 1100000000;
  h.assignedTo = "user2";
  h.corrector = "user3";
  h.correctDate = 1090000000;
  h.correctVersion = "1.2";
  h.verifiedBy = "user4";
  h.verifyDate = 1095000000;
  h.verifyVersion = "1.3";
  h.fileType = ANOMALIE;
  h.impact = PERFORMANCE;
  h.mdaPda = "MDA-9";
  h.timeSpent = 4;
  h.timeEstimate = 5;
  h.history = "2004/03/15:14.05.09 Submitted by user1\n";
  return h;
}

std::string page(const std::function<void()>& f) {
  resetOutput();
  return captureOutput([&] {
    sendHeader("X: y\n\n");
    f();
  });
}

// The rows of the field table (the first table of the body).
size_t fieldRows(const std::string& out) {
  const size_t start = out.find("<TABLE BORDER=1 WIDTH=100%>");
  const size_t end = out.find("</TABLE>\n", start);
  return count(out.substr(start, end - start), "<TR>");
}

}  // namespace

TEST(ReportBody, FieldTableRowsFollowTheStatus) {
  ReportInstall r;
  const std::string newBug = page([] { displayBugCore(sampleBug(NEW), nullptr); });
  EXPECT_EQ(fieldRows(newBug), 5u);
  EXPECT_NE(newBug.find("<TABLE BORDER=1 WIDTH=100%><TR><TD><B>ABSXY.00007</B></TD>\n"
                        "<TD>" + time2char(1079359509) + "</TD>\n"
                        "<TD>Status : <B>New</B></TD>\n"
                        "<TD>Submitted by :<B> user1</B></TD>\n</TR>\n"
                        "<TR><TD COLSPAN=4>Title : <B>Crash &lt;at&gt; start</B></TD></TR>\n"
                        "<TR><TD>Project : <B>PRJ<B></TD>\n<TD>Group : core</TD>\n"
                        "<TD>Phase : spec</TD>\n<TD>Module : mod</TD></TR>\n"
                        "<TR><TD>Severity : <B>Major<B></TD>\n<TD>Version : 1.0</TD>\n"
                        "<TD>Expected version : 1.1</TD>\n<TD>Impact : Performance</TD></TR>\n"
                        "<TR><TD>Type : Defect</TD>\n<TD>Type : MDA-9</TD>\n"
                        "<TD>Assigned to : <B>user2</B></TD>\n"
                        "<TD>Estimated load (days) : 5</TD></TR>\n</TABLE>\n"),
            std::string::npos)
      << newBug;

  const std::string postponed = page([] { displayBugCore(sampleBug(POSTPONE), nullptr); });
  EXPECT_EQ(fieldRows(postponed), 6u);
  EXPECT_NE(postponed.find("<TR><TD COLSPAN=4>Postponed until : " + time2char(1100000000) +
                           "</TD></TR>\n</TABLE>\n"),
            std::string::npos);

  const std::string correction = "<TR><TD COLSPAN=3>Corrected by user3 on " +
                                 time2char(1090000000) +
                                 " in version 1.2</TD>\n<TD>Time spent (days) : 4</TD></TR>\n";
  const std::string corrected = page([] { displayBugCore(sampleBug(CORRECTED), nullptr); });
  EXPECT_EQ(fieldRows(corrected), 6u);
  EXPECT_NE(corrected.find(correction + "</TABLE>\n"), std::string::npos) << corrected;

  const std::string verified = page([] { displayBugCore(sampleBug(VERIFIED), nullptr); });
  EXPECT_EQ(fieldRows(verified), 7u);
  EXPECT_NE(verified.find(correction + "<TR><TD COLSPAN=4>Verified by user4 on " +
                          time2char(1095000000) + " in version 1.3</TD></TR>\n</TABLE>\n"),
            std::string::npos);

  // Other statuses show neither row; a test reference adds its cell.
  tHeader open = sampleBug(OPEN);
  open.testref = "T-1";
  const std::string o = page([&] { displayBugCore(open, nullptr); });
  EXPECT_EQ(o.find("Postponed until"), std::string::npos);
  EXPECT_EQ(o.find("Corrected by"), std::string::npos);
  EXPECT_NE(o.find("</TD></TR>\n<TD COLSPAN=4>Test reference: T-1</TD></TR>\n</TABLE>\n"),
            std::string::npos);
}

TEST(ReportBody, EntriesLinksTextsAndHistory) {
  ReportInstall r;
  tHeader h = sampleBug(OPEN);
  addAnalyse(&h, "Description", "user1", 1079359509, "first line\nsecond <b>\n");
  h.data.back().length = 11;  // shown cut at its byte count
  tAnalyse* att = addAnalyse(&h, "File_1", "user2", 1079359600,
                             r.inst.dataDir() + "TRACE_ABSXY.00007/File_1_a b&c.log\n");
  att->dataType = TYPE_ATTACHMENT;
  addAnalyse(&h, "Later", "user3", 1079359700, "x\n");
  h.history = "2004/03/15:14.05.09 a <b> line\n";
  const std::string out = page([&] { displayBugCore(h, nullptr); });
  const std::string entries = "<TABLE BORDER=1 WIDTH=100%>\n"
      "<TR><TD><B><A HREF=/cgi-bin/velko?CMD=Edit&Num=ABSXY.00007&Edit=0>Description</A></B></TD>\n"
      "<TD>" + time2char(1079359509) + "</TD>\n<TD>user1</TD></TR>\n"
      "<TR><TD COLSPAN=3>first&nbsp;\nline<BR>\n</FONT></TD>"
      "<TR><TD><B><A HREF=\"/cgi-bin/velko?CMD=FILE&title=" + r.inst.dataDir() +
      "TRACE_ABSXY.00007/File_1_a%20b%26c.log\">File_1</A></B></TD>\n"
      "<TD>" + time2char(1079359600) + "</TD>\n<TD>user2</TD></TR>\n"
      "<TR><TD><B><A HREF=/cgi-bin/velko?CMD=Edit&Num=ABSXY.00007&Edit=2>Later</A></B></TD>\n"
      "<TD>" + time2char(1079359700) + "</TD>\n<TD>user3</TD></TR>\n"
      "<TR><TD COLSPAN=3>x<BR>\n</FONT></TD></TABLE>\n"
      "<TABLE BORDER=1 WIDTH=100%>\n"
      "<TR><TD><PRE>2004/03/15:14.05.09 a &lt;b&gt; line\n</PRE></TD></TR>\n</TABLE><P>\n";
  EXPECT_NE(out.find(entries), std::string::npos) << out;
  EXPECT_EQ(out.find("Uid"), std::string::npos);
}

TEST(ReportBody, MailBodyHasAbsoluteLinks) {
  ReportInstall r;
  tHeader h = sampleBug(NEW);
  addAnalyse(&h, "Description", "user1", 1079359509, "x\n");
  const std::string mail = intoFile([&](FILE* f) { displayBugCore(h, f); });
  EXPECT_NE(mail.find("<A HREF=http://bugs.example.org/cgi-bin/velko?CMD=Edit&Num=ABSXY.00007"
                      "&Edit=0>"),
            std::string::npos)
      << mail;
  ScopedEnv port(EnvVars{{"SERVER_PORT", "8080"}});
  const std::string other = intoFile([&](FILE* f) { displayBugCore(h, f); });
  EXPECT_NE(other.find("HREF=http://bugs.example.org:8080/cgi-bin/velko?CMD=Edit"),
            std::string::npos);
}

TEST(ReportPage, AnchorsCountPerRunAndSeventeenButtons) {
  ReportInstall r;
  tHeader a = sampleBug(NEW);
  tHeader b = sampleBug(OPEN);
  b.number = 8;
  ASSERT_EQ(writeBug(a), 1);
  ASSERT_EQ(writeBug(b), 1);
  const std::string out = page([] {
    displayBug("ABSXY.00007", nullptr, "q%3D1");
    displayBug("ABSXY.00008", nullptr, "");
  });
  const size_t first = out.find("<a name=00000>\n<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 "
                                "WIDTH=100%>\n<TR>\n<TD><A HREF=/cgi-bin/velko?CMD=Change_Header"
                                "&Num=ABSXY.00007&QS=q%3D1>");
  const size_t second = out.find("<a name=00001>\n");
  ASSERT_NE(first, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(out.find("ABSXY.00008"), out.rfind("ABSXY.00008"));
  const std::string bar = out.substr(first, out.find("</TR></TABLE>\n", first) - first);
  EXPECT_EQ(count(bar, "<TD><A HREF="), 17u);
  const char* cmds[] = {"Change_Header", "Observed", "Analyse", "Attach", "Copy", "Assign",
                        "Open", "Not_a_Bug", "Not_Reproducible", "Duplicate", "Postpone",
                        "Corrected", "For_Verification", "Verified", "Rejected", "Abandoned",
                        "Print"};
  size_t at = 0;
  for (const char* c : cmds) {
    at = bar.find(std::string("?CMD=") + c + "&", at);
    ASSERT_NE(at, std::string::npos) << c;
  }
  EXPECT_NE(bar.find("SRC=/velko/images//notRep.gif WIDTH=30 HEIGHT=20 ALT=\"Not reproducible\""),
            std::string::npos);
}

TEST(ReportPage, UnreadableOrHostileNamesAreNotFound) {
  ReportInstall r;
  r.inst.write("data/ABSXY.00003", "");  // a number reserved, not written yet
  r.inst.write("secret", "PRJ|1|a|0|x|b|PRJ|core|m|v|e|a|0|||0|||0||a|a|||0|0|t\n");
  for (const char* name : {"ABSXY.00009", "ABSXY.00003", "../secret", "..", "a/b.00001",
                           "X.1<script>"}) {
    const std::string out = page([&] { displayBug(name, nullptr, ""); });
    EXPECT_EQ(out, "X: y\n\n<FONT COLOR=RED>Cannot read the report " + escapeHtml(name) +
                       " <BR></FONT>\n")
        << name;
  }
  EXPECT_EQ(intoFile([](FILE* f) { displayBug("nope.00001", f, ""); }),
            "<FONT COLOR=RED>Cannot read the report nope.00001 <BR></FONT>\n");
}

TEST(Printout, GridRowsWidthsAndSpans) {
  ReportInstall r;
  tHeader h = sampleBug(OPEN);
  addAnalyse(&h, "Description", "user1", 1079359509, "abc\n");
  const std::string text = formatPrintout(h, "ABSXY.00007");
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  // Five rows (0 to 4) with a separator above and below each.
  ASSERT_GE(lines.size(), 11u);
  const size_t width = lines[0].size();
  EXPECT_GE(width, 83u);  // 78 at least, and five separators
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(lines[i].size(), width) << i << ": " << lines[i];
    EXPECT_EQ(lines[i][0], i % 2 ? '|' : '+') << i;
  }
  EXPECT_EQ(lines[2].rfind("+", 0), 0u);
  EXPECT_EQ(lines[1].rfind("|ABSXY.00007 ", 0), 0u);
  // The title row spans the grid: one cell, blanks for the missing bars.
  EXPECT_EQ(lines[3].rfind("|Title : Crash <at> start ", 0), 0u);
  EXPECT_EQ(count(lines[3], "|"), 2u);
  EXPECT_NE(lines[9].find("|MDA/PDA reference : MDA-9"), std::string::npos);
  EXPECT_NE(lines[9].find("|Estimated load (days) : 5"), std::string::npos);
  // The entries: title, date and submitter; the text; a one-column line.
  EXPECT_EQ(lines[11], "Description      " + time2char(1079359509) + "     user1");
  EXPECT_EQ(lines[12], "abc");
  EXPECT_EQ(lines[13], "");
  EXPECT_EQ(lines[14], "+" + std::string(width - 5, '-') + "+");
  EXPECT_EQ(lines[15], "2004/03/15:14.05.09 Submitted by user1");

  // Postponed: row 5; verified: rows 6 and 7, row 6 with the time spent.
  const std::string p = formatPrintout(sampleBug(POSTPONE), "ABSXY.00007");
  EXPECT_NE(p.find("\n|Postponed until : " + time2char(1100000000) + " "), std::string::npos);
  const std::string v = formatPrintout(sampleBug(VERIFIED), "ABSXY.00007");
  EXPECT_NE(v.find("\n|Corrected by user3 on "), std::string::npos);
  EXPECT_NE(v.find("|Time spent (days) : 4"), std::string::npos);
  EXPECT_NE(v.find("\n|Verified by user4 on "), std::string::npos);
  std::stringstream vs(v);
  size_t rows = 0;
  for (std::string l; std::getline(vs, l);) {
    if (l.rfind("|", 0) == 0) {
      ++rows;
      EXPECT_EQ(l.size(), width) << l;
    }
  }
  EXPECT_EQ(rows, 7u);
}

TEST(Printout, PrintCommandGetsTheFileWhichIsThenDeleted) {
  ReportInstall r;
  // The command copies its one argument and counts its arguments.
  const std::string out = r.inst.root() + "/printed";
  r.inst.write("print.sh", "cp \"$1\" " + out + "; echo $# > " + out + ".argc; echo noise\n");
  r.inst.write("config/velko.cfg",
               r.inst.read("config/velko.cfg") + "PRINT sh " + r.inst.root() + "/print.sh\n");
  clearConfigCache();
  tHeader h = sampleBug(NEW);
  ASSERT_EQ(writeBug(h), 1);
  resetOutput();
  const std::string pageText = captureOutput([] { printBug("ABSXY.00007"); });
  const std::string printed = r.inst.read("printed");
  EXPECT_EQ(r.inst.read("printed.argc"), "1\n");
  const size_t pre = pageText.find("<PRE>");
  ASSERT_NE(pre, std::string::npos);
  EXPECT_EQ(pageText.substr(pre + 5, escapeHtml(printed).size()), escapeHtml(printed));
  const std::string file = r.inst.dataDir() + "/tmp/velko." + std::to_string(getpid()) + ".prt";
  EXPECT_NE(pageText.find("<! -sh " + r.inst.root() + "/print.sh " + file + "- >\n"),
            std::string::npos)
      << pageText;
  EXPECT_FALSE(r.inst.exists("data/tmp/velko." + std::to_string(getpid()) + ".prt"));
  EXPECT_EQ(pageText.find("noise"), std::string::npos);  // the command's output is not the page's
}

TEST(Printout, NoFileNoCommandAndUnknownReport) {
  ReportInstall r("PRINT touch\n");
  tHeader h = sampleBug(NEW);
  ASSERT_EQ(writeBug(h), 1);
  EXPECT_EQ(system(("rm -rf '" + r.inst.dataDir() + "tmp'").c_str()), 0);
  const std::string out = captureOutput([] { printBug("ABSXY.00007"); });
  EXPECT_EQ(out.substr(out.size() - 5), "<PRE>");  // nothing below the head
  const std::string missing = captureOutput([] { printBug("../index"); });
  EXPECT_NE(missing.find("<TITLE>Print</TITLE>"), std::string::npos);
  EXPECT_NE(missing.find("<FONT COLOR=RED>Cannot read the report ../index <BR></FONT>\n"),
            std::string::npos);
}

TEST(ReportPage, SessionTravelsWithPageLinksButNotWithMails) {
  ReportInstall r("SECURITY YES\n");
  resetSessionState();
  setCookie("ab#cd");
  tHeader h = sampleBug(NEW);
  addAnalyse(&h, "Description", "user1", 1079359509, "x\n");
  const std::string out = page([&] {
    displayBugMenu(nullptr, "ABSXY.00007", "");
    displayBugCore(h, nullptr);
  });
  EXPECT_EQ(count(out, "&QS=&Uid=ab%23cd>"), 17u) << out;
  EXPECT_NE(out.find("&Edit=0&Uid=ab%23cd>"), std::string::npos);
  const std::string mail = intoFile([&](FILE* f) {
    displayBugMenu(f, "ABSXY.00007", "");
    displayBugCore(h, f);
  });
  EXPECT_EQ(mail.find("Uid"), std::string::npos);
  resetSessionState();
}
