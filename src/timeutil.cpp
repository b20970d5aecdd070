#include "timeutil.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>

long char2date(std::string_view str) {
  if (str.size() < 17) return 0;
  const std::string s(str);
  int day, month, year, hour, minute, second;
  if (sscanf(s.c_str(), "%2d/%2d/%4d:%2d.%2d.%2d", &day, &month, &year, &hour, &minute,
             &second) != 6)
    return 0;
  if (day < 0 || month < 0 || year < 0 || hour < 0 || minute < 0 || second < 0) return 0;
  struct tm tm {};
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = year - 1900;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const time_t t = mktime(&tm);
  return t == static_cast<time_t>(-1) ? 0 : static_cast<long>(t);
}

std::string time2char(long when) {
  const time_t t = static_cast<time_t>(when);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return std::string();
  char buf[64];
  const size_t n = strftime(buf, sizeof buf, "%Y/%m/%d:%H.%M.%S", &tm);
  return std::string(buf, n);
}

namespace {

bool isWorkingDay(long t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return false;
  return tm.tm_wday >= 1 && tm.tm_wday <= 5;
}

// True when the local time of `t` is between 03:00 and 21:00: a step of
// 86,400 seconds from it then lands on the next calendar day, whatever
// offset changes of up to three hours lie between.
bool wellInsideDay(long t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm)) return false;
  return tm.tm_hour >= 3 && tm.tm_hour < 21;
}

}  // namespace

int timeDiffDay(long t1, long t2) {
  if (t1 >= t2) return 0;
  constexpr unsigned long kDay = 86400;
  const unsigned long span = static_cast<unsigned long>(t2) - static_cast<unsigned long>(t1);
  unsigned long steps = (span - 1) / kDay + 1;  // steps t1 + k*day before t2
  long count = 0;
  long t = t1;
  // Over long spans every whole week holds five working days: only the last
  // few steps are looked at one by one. That holds while no step crosses a
  // midnight through a change of the local offset (summer time), that is
  // when t1 lies well inside its day; otherwise spans of up to twenty years
  // are counted step by step, and only longer ones (damaged dates) by weeks.
  constexpr unsigned long kStepwiseMax = 20 * 366;
  if (steps > 8 * 7 && (wellInsideDay(t1) || steps > kStepwiseMax)) {
    const unsigned long weeks = (steps - 7) / 7;
    count += static_cast<long>(weeks * 5);
    t = static_cast<long>(static_cast<unsigned long>(t1) + weeks * 7 * kDay);
    steps -= weeks * 7;
  }
  for (unsigned long k = 0; k < steps; ++k, t = static_cast<long>(static_cast<unsigned long>(t) + kDay))
    if (isWorkingDay(t)) ++count;
  return static_cast<int>(std::min<long>(count, INT_MAX));
}
