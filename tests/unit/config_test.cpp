// The list files of the configuration directory (projects, phases, groups,
// users, remembered choices), the language table and the selection lists.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "config.h"
#include "html.h"
#include "testutil.h"

namespace {

using tEnv = std::map<std::string, std::string>;

// What `f` prints into the page, without the CGI header.
template <class F>
std::string pageOf(F&& f) {
  resetOutput();  // each capture is a response of its own
  std::string out = captureOutput([&] {
    sendHeader();
    f();
  });
  const std::string header(kHtmlHeader);
  EXPECT_EQ(out.compare(0, header.size(), header), 0) << out;
  return out.size() >= header.size() ? out.substr(header.size()) : out;
}

// An installation with a demo configuration in cfg/.
struct Install : TempInstall {
  explicit Install(const std::string& extraCfg = "") : TempInstall(extraCfg) {}
  void cfg(const std::string& name, const std::string& text) const { write("cfg/" + name, text); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Projects, phases, groups, report names
// ---------------------------------------------------------------------------

TEST(Lists, ReportNameFromThePrefixes) {
  Install in;
  in.cfg("project.cfg", "PRJ:AB:mgr:val:\n");
  in.cfg("phase.cfg", "# phases\nspecification:S\n\nnot a phase\ndevelop:d\nintegration:D\n");
  in.cfg("PRJ_subproject.cfg", "core:XY:\nui:UI\nui:U2\n");
  tHeader h;
  h.project = "PRJ";
  h.subProject = "core";
  h.phase = INTEG_USINE;
  h.number = 7;
  EXPECT_EQ(getBugName(h), "ABDXY.00007");
  EXPECT_EQ(getBugPrefix2(h), "ABDXY");
  // The second line of a group wins; an unknown group is "_".
  EXPECT_EQ(getGroupPrefix("PRJ", "ui"), "U2");
  EXPECT_EQ(getBugPrefix("PRJ", "nosuch", 0), "ABS_");
  EXPECT_EQ(getPrefixGroup("PRJ", "UI"), "ui");
  EXPECT_EQ(getPrefixGroup("PRJ", "ZZ"), "_");
  // An unknown project has an empty prefix, an unknown phase the letter "_".
  EXPECT_EQ(getBugPrefix("NONE", "core", 9), "__");
  EXPECT_EQ(getPhaseCount(), 3);
  EXPECT_EQ(getPhaseName(2), "integration");
  EXPECT_EQ(getPhasePrefix(1), 'd');
  EXPECT_EQ(getPrefixPhasePrefix('D'), 2);
  EXPECT_EQ(getPrefixPhasePrefix('Q'), 3);
  EXPECT_EQ(getPhaseName(-1), "");
  EXPECT_EQ(getPhaseName(3), "");
}

TEST(Lists, GroupPrefixIsCutToFourCharacters) {
  Install in;
  in.cfg("P_subproject.cfg", "long:ABCDEFG\nempty:\nspaced name:SP \r\n");
  EXPECT_EQ(getGroupPrefix("P", "long"), "ABCD");
  EXPECT_EQ(getGroupPrefix("P", "empty"), "_");
  EXPECT_EQ(getGroupPrefix("P", "spaced name"), "SP");
}

TEST(Lists, ProjectsAndTheirFields) {
  Install in;
  in.cfg("project.cfg",
         "ONE:O:m1,m2:v1:yes\r\n"
         "no colon here\n"
         "\n"
         "  TWO T mgr:val\n"
         "THREE :R::val3\n"
         "FOUR:F\n");
  EXPECT_EQ(getProjects(""), (tCharList{"FOUR", "THREE", "TWO", "ONE"}));
  EXPECT_EQ(getProjects(" "), getProjects(""));
  EXPECT_EQ(getProjects("X"), tCharList{"X"});
  EXPECT_EQ(getProjectPrefix("ONE"), "O");
  EXPECT_EQ(getValidManager("ONE"), "v1");
  EXPECT_EQ(getProjectSynchro("ONE"), "yes");  // the carriage return is not part of it
  EXPECT_EQ(getProjectPrefix("TWO"), "T");      // blanks separate fields too
  EXPECT_EQ(getValidManager("TWO"), "val");
  EXPECT_EQ(getProjectPrefix("THREE"), "R");
  EXPECT_EQ(getValidManager("THREE"), "val3");
  EXPECT_EQ(getValidManager("FOUR"), "");
  EXPECT_EQ(getProjectSynchro("NONE"), "");
  const std::string c = in.cfgDir();
  EXPECT_EQ(getCfgFileNames("", "version"),
            (tCharList{c + "/FOUR_version.cfg", c + "/THREE_version.cfg", c + "/TWO_version.cfg",
                       c + "/ONE_version.cfg"}));
  // A project name from the request never leads out of the directory.
  EXPECT_TRUE(getCfgFileNames("../../etc", "users").empty());
  in.write("x_users.cfg", "intruder:a@b\n");
  EXPECT_TRUE(getUsers("../..").empty());
}

TEST(Lists, BugManagerTracesWhatItReads) {
  Install in;
  in.cfg("project.cfg", "A:a:ma:va\nB:b:mb1,mb2:vb\nC:c:mc:vc\n");
  std::string mgr;
  EXPECT_EQ(pageOf([&] { mgr = getBugManager("B"); }),
            "<! -B-A->\n<! -B-B->\n<! -b-\n-mb1,mb2->\n");
  EXPECT_EQ(mgr, "mb1,mb2");
  // The project asked comes from a report or the request: escaped.
  EXPECT_EQ(pageOf([&] { mgr = getBugManager("<x>"); }),
            "<! -&lt;x&gt;-A->\n<! -&lt;x&gt;-B->\n<! -&lt;x&gt;-C->\n");
  EXPECT_EQ(mgr, "");
  unlink((in.cfgDir() + "project.cfg").c_str());
  EXPECT_EQ(pageOf([&] { getBugManager("B"); }),
            " unable to open " + in.cfgDir() + "/project.cfg \n");
}

TEST(Lists, LongLinesAreCutNotSplit) {
  Install in;
  // A project line of 300 characters: read up to 99, the rest of the line
  // must not come back as another project.
  in.cfg("project.cfg", "LONG:L:" + std::string(200, 'm') + ":OTHER:x:y\nNEXT:N\n");
  EXPECT_EQ(getProjects(""), (tCharList{"NEXT", "LONG"}));
  EXPECT_EQ(getBugManager("LONG").size(), 99u - 7u);
  EXPECT_EQ(getValidManager("LONG"), "");
  EXPECT_EQ(getProjectPrefix("NEXT"), "N");
}

TEST(Lists, ThousandsOfEntries) {
  Install in;
  std::string projects, groups;
  for (int i = 0; i < 5000; ++i) {
    projects += "P" + std::to_string(i) + ":X" + std::to_string(i) + ":m:v:\n";
    groups += "g" + std::to_string(i) + ":" + std::to_string(i % 10000) + "\n";
  }
  in.cfg("project.cfg", projects);
  in.cfg("phase.cfg", "a:A\n");
  in.cfg("P4999_subproject.cfg", groups);
  EXPECT_EQ(getProjects("").size(), 5000u);
  EXPECT_EQ(getSubProjects("P4999", "").size(), 5000u);
  // A list page names every report: the files are read once, not per name.
  const auto start = std::chrono::steady_clock::now();
  tHeader h;
  h.project = "P4999";
  h.subProject = "g4321";
  for (int i = 0; i < 2000; ++i) {
    h.number = i;
    ASSERT_EQ(getBugName(h), "X4999A4321." + strprintf("%05d", i));
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(secs, 20.0);  // generous for sanitizer builds; about 1 s without
}

TEST(Lists, ReplacedFileIsReadAgain) {
  Install in;
  in.cfg("project.cfg", "A:a\n");
  EXPECT_EQ(getProjectPrefix("A"), "a");
  // The setup rewrites a file (through a new name) and reads it back.
  in.cfg("project.cfg.new", "A:b:longer\n");
  ASSERT_EQ(rename((in.cfgDir() + "project.cfg.new").c_str(), (in.cfgDir() + "project.cfg").c_str()),
            0);
  EXPECT_EQ(getProjectPrefix("A"), "b");
}

TEST(Lists, SubProjectsOfAllProjects) {
  Install in;
  in.cfg("project.cfg", "A:a\nB:b\n");
  in.cfg("A_subproject.cfg", "a1:1\n#a2:2\na3:3\n");
  in.cfg("B_subproject.cfg", "b1:1\n");
  EXPECT_EQ(getSubProjects(" ", " "), (tCharList{"b1", "a1", "a3"}));
  EXPECT_EQ(getSubProjects("A", ""), (tCharList{"a1", "a3"}));
  EXPECT_EQ(getSubProjects("A", "given"), tCharList{"given"});
}

// ---------------------------------------------------------------------------
// Users files
// ---------------------------------------------------------------------------

TEST(Users, BothLineFormsReadTheSame) {
  tUserEntry a, b;
  ASSERT_TRUE(parseUserLine("jo :jo@x.org:secret:YES: :YES:YES: : :YES\n", &a));
  ASSERT_TRUE(parseUserLine("jo:jo@x.org:secret:YES: :YES:YES: : :YES\r\n", &b));
  for (const tUserEntry* u : {&a, &b}) {
    EXPECT_EQ(u->name, "jo");
    EXPECT_EQ(u->email, "jo@x.org");
    EXPECT_EQ(u->password, "secret");
    const std::string flags[7] = {"YES", " ", "YES", "YES", " ", " ", "YES"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(u->flags[i], flags[i]) << i;
  }
  // A tab ends the name; a blank after the address skips to the next ':'.
  tUserEntry c;
  ASSERT_TRUE(parseUserLine("al\t:al@x :pw", &c));
  EXPECT_EQ(c.name, "al");
  EXPECT_EQ(c.email, "al@x");
  EXPECT_EQ(c.password, "pw");
  EXPECT_EQ(c.flags[0], "");
  // The installation's line: name and address only.
  ASSERT_TRUE(parseUserLine("admin :admin@localhost\n", &c));
  EXPECT_EQ(c.email, "admin@localhost");
  EXPECT_EQ(c.password, "");
  ASSERT_TRUE(parseUserLine("lonely", &c));
  EXPECT_EQ(c.name, "lonely");
  EXPECT_EQ(c.email, "");
  // An empty password column, then flags.
  ASSERT_TRUE(parseUserLine("u:u@x::YES", &c));
  EXPECT_EQ(c.password, "");
  EXPECT_EQ(c.flags[0], "YES");
  EXPECT_FALSE(parseUserLine("", &c));
  EXPECT_FALSE(parseUserLine("\n", &c));
  EXPECT_FALSE(parseUserLine(" :x@y:pw", &c));
  EXPECT_FALSE(parseUserLine(":x@y:pw", &c));
}

TEST(Users, LongLineIsCut) {
  tUserEntry u;
  ASSERT_TRUE(parseUserLine("big:" + std::string(5000, 'e') + ":pw", &u));
  EXPECT_EQ(u.email.size(), 1024u - 4u);
  EXPECT_EQ(u.password, "");
}

TEST(Users, UsersOfOneOrAllProjects) {
  Install in;
  in.cfg("project.cfg", "A:a\nB:b\n");
  in.cfg("A_users.cfg", "a1 :a1@x:p\n\na2:a2@x\n");
  in.cfg("B_users.cfg", "b1 :b1@x\n");
  std::vector<std::string> names;
  for (const tUserEntry& u : getUsers("")) names.push_back(u.name);
  EXPECT_EQ(names, (std::vector<std::string>{"b1", "a1", "a2"}));
  EXPECT_EQ(getUsers("A").size(), 2u);
  EXPECT_TRUE(getUsers("C").empty());
}

// ---------------------------------------------------------------------------
// Remembered choices
// ---------------------------------------------------------------------------

TEST(UserInfo, MachineNeverSeen) {
  Install in;
  ScopedEnv env(tEnv{{"REMOTE_ADDR", "10.0.0.9"}, {"REMOTE_USER", "webuser"}});
  in.cfg("userinfo.dat", "10.0.0.1:bob:P:g:2\n");
  EXPECT_EQ(getUserInfo(), nullptr);
  EXPECT_EQ(getUserProject(), " ");
  EXPECT_EQ(getUserGroup(), "");
  EXPECT_EQ(getUserPhase(), -1);
  EXPECT_EQ(getUser(), "webuser");
}

TEST(UserInfo, RewriteKeepsOneLinePerMachine) {
  Install in;
  ScopedEnv env(tEnv{{"REMOTE_ADDR", "10.0.0.2"}});
  in.cfg("userinfo.dat",
         "10.0.0.1:bob:P:g:2\n"
         "10.0.0.2:old:Q:h:1\n"
         "broken line\n"
         "::1:six:R:phase 1:-1\r\n"
         "10.0.0.2:again:Q:h:3\n");
  ASSERT_NE(getUserInfo(), nullptr);
  EXPECT_EQ(getUser(), "old");  // the first line of the machine
  EXPECT_EQ(getUserPhase(), 1);
  ASSERT_TRUE(setUserInfo("ann", "PRJ", "core", 4));
  EXPECT_EQ(in.read("cfg/userinfo.dat"),
            "10.0.0.1:bob:P:g:2\n::1:six:R:phase 1:-1\n10.0.0.2:ann:PRJ:core:4\n");
  EXPECT_EQ(getUserProject(), "PRJ");
  // setUserName keeps the remembered project, group and phase.
  ASSERT_TRUE(setUserName("zoe"));
  EXPECT_EQ(in.read("cfg/userinfo.dat"),
            "10.0.0.1:bob:P:g:2\n::1:six:R:phase 1:-1\n10.0.0.2:zoe:PRJ:core:4\n");
  EXPECT_FALSE(in.exists("cfg/userinfo.tmp." + std::to_string(getpid())));
  EXPECT_TRUE(in.exists("cfg/userinfo.lock"));  // the lock file stays in place
}

TEST(UserInfo, Ipv6MachineIsRecognised) {
  Install in;
  ScopedEnv env(tEnv{{"REMOTE_ADDR", "::1"}});
  in.cfg("userinfo.dat", "::1:six:R:phase 1:-1\n");
  EXPECT_EQ(getUser(), "six");
  EXPECT_EQ(getUserGroup(), "phase 1");
  EXPECT_EQ(getUserPhase(), -1);
}

TEST(UserInfo, FirstRecordAndHostileValues) {
  Install in;
  ScopedEnv env(tEnv{{"REMOTE_ADDR", "10.1.1.1"}}, {"REMOTE_USER"});
  ASSERT_FALSE(in.exists("cfg/userinfo.dat"));
  EXPECT_EQ(getUser(), "");
  ASSERT_TRUE(setUserName("first"));
  EXPECT_EQ(in.read("cfg/userinfo.dat"), "10.1.1.1:first: : :-1\n");
  // Request values cannot add lines or fields, and are cut to their width.
  ASSERT_TRUE(setUserInfo("x\n9.9.9.9:evil", "a:b", std::string(80, 'p'), 2));
  EXPECT_EQ(in.read("cfg/userinfo.dat"), "10.1.1.1:x:a:" + std::string(39, 'p') + ":2\n");
  clearConfigCache();
  EXPECT_EQ(getUserGroup(), std::string(39, 'p'));
}

TEST(UserInfo, ReadOncePerRun) {
  Install in;
  ScopedEnv env(tEnv{{"REMOTE_ADDR", "10.0.0.1"}});
  in.cfg("userinfo.dat", "10.0.0.1:bob:P:g:2\n");
  EXPECT_EQ(getUser(), "bob");
  in.cfg("userinfo.dat", "10.0.0.1:other:P:g:2\n");
  EXPECT_EQ(getUser(), "bob");
}

// ---------------------------------------------------------------------------
// Language table
// ---------------------------------------------------------------------------

TEST(Langue, LookupRules) {
  Install in;
  in.cfg("langue.EN",
         "# comment\n"
         "5,Hello\n"
         "7, Spaced\n"
         "5,Bye\r\n"
         "0,zero\n"
         "-3,negative\n"
         "9 no comma\n"
         "10,a,b, c \n"
         "11,\n"
         " 12,lead\n"
         "13," +
             std::string(400, 'z') + "\n" + "14,last line without line feed");
  EXPECT_EQ(langue(5), "Bye");
  EXPECT_EQ(langue(6), "");
  EXPECT_EQ(langue(7), " Spaced");
  EXPECT_EQ(langue(0), "");
  EXPECT_EQ(langue(-3), "");
  EXPECT_EQ(langue(9), "");
  EXPECT_EQ(langue(10), "a,b, c ");
  EXPECT_EQ(langue(11), "");
  EXPECT_EQ(langue(12), "lead");
  EXPECT_EQ(langue(13), std::string(296, 'z'));  // a line holds 299 characters
  EXPECT_EQ(langue(14), "last line without line feed");
}

TEST(Langue, EmptyLanguageMeansFrench) {
  Install in("LANGUAGE\n");
  in.cfg("langue.FR", "1,FR\n");
  in.cfg("langue.EN", "1,EN\n");
  EXPECT_EQ(langue(1), "FR");
  Install other("LANGUAGE EN extra words\n");
  other.cfg("langue.EN", "1,EN\n");
  EXPECT_EQ(langue(1), "EN");
}

TEST(Langue, MissingFileIsTriedAgain) {
  Install in;
  const std::string path = in.cfgDir() + "/langue.EN";
  EXPECT_EQ(pageOf([] { EXPECT_EQ(langue(1), ""); EXPECT_EQ(langue(2), ""); }),
            "<! langue file : " + path + " >\n<! langue file : " + path + " >\n");
  in.cfg("langue.EN", "1,EN\n");
  EXPECT_EQ(pageOf([] { EXPECT_EQ(langue(1), "EN"); }), "");
}

TEST(Langue, NamesFromTheTable) {
  Install in;
  in.cfg("langue.EN", "200,New\n210,Abandoned\n211,All\n214,none\n215,Blocking\n218,Minor\n"
                      "220,Fact\n222,Bug\n");
  in.cfg("impacts.cfg", "# impacts\n\nUsability of it\nFonctional\n  Robust\n");
  EXPECT_EQ(getStatusName(NEW), "New");
  EXPECT_EQ(getStatusName(ABANDONED), "Abandoned");
  EXPECT_EQ(getStatusName(11), "All");
  EXPECT_EQ(getStatusName(12), "");
  EXPECT_EQ(getStatusName(-1), "");
  EXPECT_EQ(getSeverityName(1), "Blocking");
  EXPECT_EQ(getSeverityName(4), "Minor");
  EXPECT_EQ(getSeverityName(5), "");
  EXPECT_EQ(getTypeName(ANOMALIE), "Bug");
  EXPECT_EQ(getTypeName(EVOLUTION), "");
  EXPECT_STREQ(getStatusShort(NOT_REPRODUCTIBLE), "NR");
  EXPECT_STREQ(getStatusShort(ABANDONED), "Ab");
  EXPECT_STREQ(getStatusShort(11), "");
  EXPECT_EQ(getImpactName(0), "Usability");
  EXPECT_EQ(getImpactName(2), "Robust");
  EXPECT_EQ(getImpactName(3), "");
}

TEST(Langue, ErrorBoxes) {
  Install in;
  in.cfg("langue.EN",
         "500,Error\n501,Cannot open %s\n502,100%% sure about %s.\n503,Two %s and %s\n"
         "504,Number %d\n505,Bad %n\n506,Trailing %\n507,Plain\n508,%-5s\n");
  const std::string head = "<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>Error</H1></font>\n"
                           "<P><HR><BR><BR>";
  const std::string tail = "</TD></TR></TABLE>";
  EXPECT_EQ(pageOf([] { printErr(507); }), head + "Plain\n" + tail);
  EXPECT_EQ(pageOf([] { printErr(599); }), head + "\n" + tail);
  EXPECT_EQ(pageOf([] { printErr1(501, "/a/<b>&c"); }),
            head + "Cannot open /a/&lt;b&gt;&amp;c" + tail);
  EXPECT_EQ(pageOf([] { printErr1(502, "it"); }), head + "100% sure about it." + tail);
  EXPECT_EQ(pageOf([] { printErr1(507, "x"); }), head + "Plain" + tail);
  // A text that is not a format for one string is printed as it stands.
  EXPECT_EQ(pageOf([] { printErr1(503, "x"); }), head + "Two %s and %s" + tail);
  EXPECT_EQ(pageOf([] { printErr1(504, "x"); }), head + "Number %d" + tail);
  EXPECT_EQ(pageOf([] { printErr1(505, "x"); }), head + "Bad %n" + tail);
  EXPECT_EQ(pageOf([] { printErr1(506, "x"); }), head + "Trailing %" + tail);
  EXPECT_EQ(pageOf([] { printErr1(508, "x"); }), head + "%-5s" + tail);
}

// ---------------------------------------------------------------------------
// Selection lists
// ---------------------------------------------------------------------------

TEST(Options, PrefixLengthMatchAndLineFeeds) {
  Install in;
  in.cfg("project.cfg", "A:a\n");
  in.cfg("A_version.cfg", "1.1\n1.10\n#1.1c\n\n1.1b:x\n1.2\n 1.1\n1.1");
  EXPECT_EQ(pageOf([] { optionListVersion("A", "1.1"); }),
            "<OPTION SELECTED> 1.1\n<OPTION SELECTED> 1.10\n<OPTION SELECTED> 1.1b"
            "<OPTION> 1.2\n<OPTION>  1.1\n<OPTION SELECTED> 1.1");
  // An empty match selects every option; " " (absent) only texts that begin with a blank.
  EXPECT_EQ(pageOf([] { optionList(getCfgDir() + "/A_version.cfg", ""); }).find("<OPTION>"),
            std::string::npos);
  EXPECT_EQ(pageOf([] { optionListVersion("A", " "); }),
            "<OPTION> 1.1\n<OPTION> 1.10\n<OPTION> 1.1b<OPTION> 1.2\n<OPTION SELECTED>  1.1\n"
            "<OPTION> 1.1");
  EXPECT_EQ(pageOf([] { optionListVersion("B", ""); }), "");
  EXPECT_EQ(pageOf([] { optionList("/no/such/file", ""); }), "");
}

TEST(Options, ListsOfAllProjects) {
  Install in;
  in.cfg("project.cfg", "A:a\nB:b\n");
  in.cfg("A_program.cfg", "pa\n");
  in.cfg("B_program.cfg", "pb:comment\n");
  in.cfg("A_deadline.cfg", "d1\n");
  EXPECT_EQ(pageOf([] { optionListProgram("", "pb"); }), "<OPTION SELECTED> pb<OPTION> pa\n");
  EXPECT_EQ(pageOf([] { optionListDeadline("A", "x"); }), "<OPTION> d1\n");
  EXPECT_EQ(pageOf([] { optionListProject("B"); }), "<OPTION> A<OPTION SELECTED> B");
}

TEST(Options, SubProjectsWithTheirComment) {
  Install in;
  in.cfg("project.cfg", "A:a\n");
  in.cfg("A_subproject.cfg", "phase 1:10\ncore:XY\n");
  const std::string file = in.cfgDir() + "/A_subproject.cfg";
  EXPECT_EQ(pageOf([] { optionListSubProject("A", "core"); }),
            "\n<! proj:A, match:core, files.name:" + file +
                ">\n<OPTION> phase 1<OPTION SELECTED> core");
  // Request values reach the comment escaped, and cannot end it.
  EXPECT_EQ(pageOf([] { optionListSubProject("<s>", "a\"b>"); }),
            "\n<! proj:&lt;s&gt;, match:a&quot;b&gt;, files.name:" + in.cfgDir() +
                "/&lt;s&gt;_subproject.cfg>\n");
  EXPECT_EQ(pageOf([] { optionListSubProject("a/b", ""); }),
            "\n<! proj:a/b, match:, files.name:>\n");
}

TEST(Options, NumberedLists) {
  Install in;
  in.cfg("phase.cfg", "specification:S\n developpement:X\n#c\ndeveloppement:D\n");
  EXPECT_EQ(pageOf([] { optionListPhase(1); }),
            "<OPTION VALUE=\"a\"> specification\n<OPTION SELECTED VALUE=\"b\"> developpement\n");
  in.cfg("impacts.cfg", "Usability\nFonctional:f\n");
  EXPECT_EQ(pageOf([] { optionListImpact(0); }),
            "<OPTION SELECTED VALUE=\"a\"> Usability\n\n<OPTION VALUE=\"b\"> Fonctional\n");
  unlink((in.cfgDir() + "phase.cfg").c_str());
  EXPECT_EQ(pageOf([] { optionListPhase(0); }), "");
}

TEST(Options, SeverityAndProblemType) {
  Install in;
  in.cfg("langue.EN", "215,Blocking\n216,Major\n217,Medium\n218,Minor\n220,Fact\n221,Evol\n222,Bug\n");
  EXPECT_EQ(pageOf([] { optionListSeverity(0); }),
            "<OPTION VALUE=1 > Blocking\n<OPTION VALUE=2 > Major\n<OPTION VALUE=3 > Medium\n"
            "<OPTION VALUE=4 > Minor\n");
  EXPECT_EQ(pageOf([] { optionListSeverity(3); }).find("<OPTION VALUE=3 SELECTED > Medium\n"),
            std::string("<OPTION VALUE=1 > Blocking\n<OPTION VALUE=2 > Major\n").size());
  EXPECT_EQ(pageOf([] { optionListProblemType(2); }),
            "<OPTION VALUE=1 > Evol\n<OPTION VALUE=2 SELECTED > Bug\n");
}

TEST(Options, Users) {
  Install in;
  in.cfg("project.cfg", "A:a\nB:b\n");
  in.cfg("A_users.cfg", "ann :ann@x:pw:YES\nbob:bob@x\n\nbobby\t:b@x\n");
  in.cfg("B_users.cfg", "carl :c@x\n");
  EXPECT_EQ(pageOf([] { optionListUsers("A", "bob"); }),
            "<OPTION> ann\n<OPTION SELECTED> bob\n<OPTION> bobby\n");
  EXPECT_EQ(pageOf([] { optionListUsers(" ", ""); }),
            "<OPTION> carl\n<OPTION> ann\n<OPTION> bob\n<OPTION> bobby\n");
  EXPECT_EQ(pageOf([] { optionListUsers("C", "ann"); }), "");
}

TEST(Options, DeadlinesThatAreNotVersions) {
  Install in;
  in.cfg("project.cfg", "A:a\n");
  in.cfg("A_deadline.cfg", "1.0 2.0\n#old 3.0\r\n");
  in.cfg("A_version.cfg", "1.0\n");
  EXPECT_EQ(pageOf([] { optionListExclDeadline("A"); }), "<OPTION> 2.0\n<OPTION> 3.0\n");
  // The versions are read once per run.
  in.cfg("A_version.cfg", "1.0\n2.0\n");
  EXPECT_EQ(pageOf([] { optionListExclDeadline("A"); }), "<OPTION> 2.0\n<OPTION> 3.0\n");
  EXPECT_EQ(pageOf([] { optionListExclDeadline("B"); }), "");
}
