#include "timeutil.h"

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
