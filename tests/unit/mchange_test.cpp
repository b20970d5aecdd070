// The status workflow: the postponement date and the do handlers applied to
// reports in memory.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "config.h"
#include "html.h"
#include "mchange.h"
#include "testutil.h"
#include "utils.h"

namespace {

std::string sourceFile(const std::string& rel) {
  std::ifstream in(std::string(VELKO_SOURCE_DIR) + "/" + rel, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// An installation with the default configuration of project TEST (manager
// admin) and the users admin and bob.
class Workflow : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"project.cfg", "phase.cfg", "TEST_subproject.cfg", "TEST_version.cfg",
                          "TEST_deadline.cfg", "langue.EN"})
      inst_.write(std::string("cfg/") + f, sourceFile(std::string("config/") + f));
    inst_.write("cfg/TEST_users.cfg",
                "admin :a@x:admin:YES:YES:YES:YES:YES:YES:YES\nbob :b@x:b::::::::\n");
    clearConfigCache();
    bug_.project = "TEST";
    bug_.subProject = "phase 1";
    bug_.number = 1;
    bug_.date = 1100000000;
    bug_.submitter = "admin";
    bug_.title = "Crash";
    bug_.history = "2004/11/09:11.33.20 Created by admin\n";
    addAnalyse(&bug_, "Description", "admin", 1100000000, "line\n");
    ASSERT_EQ(getBugName(bug_), "TS10.00001");
    ASSERT_EQ(writeBug(bug_), 1);
  }

  // Runs a do handler on a copy of the stored report; returns the page.
  template <class F>
  std::string apply(F handler, const tArgList& args, bool* applied = nullptr) {
    const std::string page = captureOutput([&] {
      const bool ok = handler(bug_, "TS10.00001", args);
      if (applied) *applied = ok;
    });
    return page;
  }

  TempInstall inst_;
  tHeader bug_;
};

tArgList args(std::initializer_list<std::pair<const char*, const char*>> kv) {
  tArgList l;
  for (const auto& [k, v] : kv) l.insert(l.begin(), tElement{k, v});
  return l;
}

}  // namespace

TEST(PostponeDate, ReadsDayMonthYearAsScanfWould) {
  ScopedEnv tz(EnvVars{{"TZ", "Europe/Paris"}});
  tzset();
  // 2024-07-15 14:05:09 in Paris (summer time): the time of day is kept in
  // December, in winter time.
  struct tm now {};
  now.tm_year = 124, now.tm_mon = 6, now.tm_mday = 15, now.tm_hour = 14, now.tm_min = 5,
  now.tm_sec = 9, now.tm_isdst = -1;
  const long t = static_cast<long>(mktime(&now));
  long when = 0;
  ASSERT_TRUE(postponeDateOf("31/12/2004", t, &when));
  const time_t w = static_cast<time_t>(when);
  struct tm got {};
  localtime_r(&w, &got);
  EXPECT_EQ(got.tm_year, 104);
  EXPECT_EQ(got.tm_mon, 11);
  EXPECT_EQ(got.tm_mday, 31);
  EXPECT_EQ(got.tm_hour, 14);
  EXPECT_EQ(got.tm_min, 5);
  EXPECT_EQ(got.tm_sec, 9);

  // What "%d/%d/%d" reads: blanks before a number, signs, anything after.
  EXPECT_TRUE(postponeDateOf(" 1/ 2/2005", t, &when));
  EXPECT_TRUE(postponeDateOf("1/2/2005 at noon", t, &when));
  EXPECT_TRUE(postponeDateOf("+1/2/2005", t, &when));
  for (const char* bad : {"2004-12-31", "31/12", "31//12/2004", "1 /2/2005", "", " ", "a/b/c",
                          "31/12/", "99999999999/1/2005", "1/1/-2147483648"}) {
    when = 7;
    EXPECT_FALSE(postponeDateOf(bad, t, &when)) << bad;
    EXPECT_EQ(when, 7) << bad;
  }
  unsetenv("TZ");
  tzset();
}

TEST_F(Workflow, RefusedFormLeavesTheRecordAsItWas) {
  const std::string before = formatBug(bug_);
  bool applied = true;
  std::string page = apply(doAssigned, args({{"User", "bob"}, {"submitter", "bob"}}), &applied);
  EXPECT_FALSE(applied);
  EXPECT_NE(page.find("Only a manager of the project may perform this action.\n"),
            std::string::npos);
  EXPECT_NE(page.find("<!bob,admin>\n"), std::string::npos);
  // An empty User would be found in any managers' list.
  page = apply(doAssigned, args({{"User", ""}, {"submitter", "bob"}}), &applied);
  EXPECT_FALSE(applied);
  EXPECT_NE(page.find("A mandatory field is empty."), std::string::npos);
  EXPECT_EQ(formatBug(bug_), before);
  EXPECT_EQ(inst_.read("data/TS10.00001"), before);
}

TEST_F(Workflow, FailedSaveIsReportedAndChangesNothing) {
  // The report's file name is taken by a directory that holds a file: the
  // new report cannot be renamed over it.
  ASSERT_EQ(std::rename((inst_.dataDir() + "TS10.00001").c_str(),
                        (inst_.dataDir() + "keep").c_str()), 0);
  inst_.write("data/TS10.00001/x", "");
  const std::string index = inst_.read("data/index");
  const std::string before = formatBug(bug_);
  bool applied = true;
  const std::string page = apply(doNotABug, args({{"User", "admin"}}), &applied);
  EXPECT_FALSE(applied);
  EXPECT_NE(page.find("The change could not be saved: The file TS10.00001 cannot be opened or "
                      "written."),
            std::string::npos)
      << page;
  EXPECT_EQ(formatBug(bug_), before);  // the record is not the unsaved change
  EXPECT_EQ(inst_.read("data/index"), index);
  EXPECT_FALSE(inst_.exists("cfg/userinfo.dat"));
  // No temporary file is left behind.
  const std::string listing = captureOutput([&] {
    const std::string cmd = "ls -A " + inst_.dataDir();
    if (system(cmd.c_str()) != 0) printf("ls failed\n");
  });
  EXPECT_EQ(listing.find(".tmp"), std::string::npos) << listing;
}

TEST_F(Workflow, FieldsAreCutToTheirWidths) {
  const std::string longName(40, 'u');
  const std::string longTitle(300, 't');
  apply(doAnalyse, args({{"User", longName.c_str()}, {"title", longTitle.c_str()}, {"text", "x"}}));
  ASSERT_EQ(bug_.data.size(), 2u);
  EXPECT_EQ(bug_.data[1].title, std::string(kTitleSize - 1, 't'));
  EXPECT_EQ(bug_.data[1].submitter, std::string(kUserSize - 1, 'u'));
  apply(doObserved, args({{"User", "admin"}, {"submitter", longName.c_str()}}));
  EXPECT_EQ(bug_.assignedTo, std::string(kUserSize - 1, 'u'));
  apply(doCorrected, args({{"User", "admin"}, {"version", std::string(50, 'v').c_str()},
                           {"Load", "99999999999999999999999"}}));
  EXPECT_EQ(bug_.correctVersion, std::string(kVersionSize - 1, 'v'));
  EXPECT_EQ(bug_.timeSpent, LONG_MAX);  // clamped, not undefined
}

TEST_F(Workflow, UserChoicesAreRemembered) {
  ScopedEnv env(EnvVars{{"REMOTE_ADDR", "10.0.0.9"}});
  apply(doAnalyse, args({{"User", "bob"}, {"title", "Analyse_1"}, {"text", "x"}}));
  EXPECT_EQ(inst_.read("cfg/userinfo.dat"), "10.0.0.9:bob:TEST:phase 1:0\n");
  clearConfigCache();
  apply(doNotRep, args({{"User", "admin"}}));
  // Only the name changes; the project, group and phase stay.
  EXPECT_EQ(inst_.read("cfg/userinfo.dat"), "10.0.0.9:admin:TEST:phase 1:0\n");
}

TEST_F(Workflow, FormsShowTheRequestValuesEscaped) {
  bug_.testref = "<b>\"x\"";
  const std::string page = captureOutput([&] { displayVerified(bug_, "TS10.00001"); });
  EXPECT_NE(page.find("VALUE=\"&lt;b&gt;&quot;x&quot;\""), std::string::npos) << page;
  EXPECT_EQ(page.find("<b>"), std::string::npos);
}
