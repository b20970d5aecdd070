// The statistics line codec and the working-day count of the response
// pages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

#include "request.h"
#include "stats.h"
#include "statsfile.h"
#include "timeutil.h"

TEST(StatsLine, RoundTripsAndRefusesDamagedLines) {
  const std::string line =
      "1078178400 3 0 1 2 5 6 7 8 9 10 11 120 -4 1 2 3 4 5 6 7 8\n";
  tStats st;
  ASSERT_TRUE(readStats(line, &st));
  EXPECT_EQ(st.date, 1078178400);
  EXPECT_EQ(st.postponed, 9);  // field 10
  EXPECT_EQ(st.severityTodo[4], 4);
  EXPECT_EQ(st.severityDone[1], 5);
  EXPECT_EQ(formatStats(st), line);
  for (const char* bad : {"", "1 2 3", "1078178400 3 0 1 2 5 6 7 8 9 10 11 120 -4 1 2 3 4 5 6 7",
                          "1078178400 3 0 1 2 5 6 7 8 9 10 11 120 -4 1 2 3 4 5 6 7 8 9",
                          "1078178400 3 0 1 2 5 6 7 8 9 10 11 120 -4 1 2 3 4 5 6 7 x",
                          "1078178400  3 0 1 2 5 6 7 8 9 10 11 120 -4 1 2 3 4 5 6 7 8",
                          "99999999999999999999 3 0 1 2 5 6 7 8 9 10 11 120 -4 1 2 3 4 5 6 7 8"}) {
    tStats untouched;
    EXPECT_FALSE(readStats(bad, &untouched)) << bad;
    EXPECT_EQ(untouched.date, 0);
  }
}

TEST(Workdays, CountsAsTimeDiffDayInEveryZone) {
  std::mt19937_64 rng(7);
  for (const char* zone : {"UTC", "Europe/Paris", "America/New_York", "Australia/Lord_Howe"}) {
    setenv("TZ", zone, 1);
    tzset();
    resetRequest();  // the offsets a request remembers are those of its zone
    for (int i = 0; i < 20000; ++i) {
      const long t1 = 946684800 + static_cast<long>(rng() % (30L * 365 * 86400));
      const long t2 = t1 + static_cast<long>(rng() % (i % 2 ? 400L * 86400 : 20L * 86400)) - 86400;
      ASSERT_EQ(workdays(t1, t2), timeDiffDay(t1, t2)) << zone << " " << t1 << " " << t2;
    }
  }
  // Friday 10:00 to Monday 10:00 is one working day.
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(workdays(1079085600, 1079085600 + 3 * 86400), 1);
}
