// Rules that only show in rare settings: working days across a change of
// summer time, and arguments added by a page that hold markup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "config.h"
#include "html.h"
#include "testutil.h"
#include "utils.h"
#include "velko.h"

namespace {

// Sets TZ for the lifetime of the object.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = getenv("TZ")) {
      had_ = true;
      old_ = old;
    }
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

long localTime(int year, int mon, int day, int hour, int min) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_isdst = -1;
  return static_cast<long>(mktime(&tm));
}

// The count step by step, as the rule states it.
int stepwise(long t1, long t2) {
  int n = 0;
  for (long t = t1; t < t2; t += 86400) {
    const time_t tt = t;
    struct tm lt;
    localtime_r(&tt, &lt);
    if (lt.tm_wday >= 1 && lt.tm_wday <= 5) ++n;
  }
  return n;
}

TEST(WorkingDays, StepsAcrossSummerTimeChanges) {
  ScopedTz tz("Europe/Paris");
  // Saturday 24 October 2026, 00:30: the clocks go back on the Sunday, so
  // the steps of 86,400 seconds meet that Sunday twice and fall on the day
  // before from then on, until the clocks go forward again.
  for (const long t1 : {localTime(2026, 10, 24, 0, 30), localTime(2026, 10, 24, 23, 30),
                        localTime(2026, 3, 28, 23, 30), localTime(2026, 3, 27, 12, 0),
                        localTime(2026, 10, 23, 0, 10)}) {
    for (const int days : {10, 57, 70, 200, 400, 1000, 7000}) {
      const long t2 = t1 + days * 86400L + 3600;
      EXPECT_EQ(timeDiffDay(t1, t2), stepwise(t1, t2)) << t1 << " +" << days;
    }
  }
}

TEST(AddedArguments, CommentCannotBeClosedByTheValue) {
  TempInstall inst;
  tArgList list;
  const std::string out = captureOutput([&] {
    addArg(list, "n", "x><script>");
    finishOutput();
  });
  EXPECT_EQ(getArg(list, "n"), "x><script>");
  EXPECT_NE(out.find("<!n,x&gt;&lt;script&gt;>\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("<script>"), std::string::npos);
  resetOutput();
}

}  // namespace
