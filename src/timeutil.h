// timeutil.h: dates as the forms and the stored files write them.
#pragma once

#include <string>
#include <string_view>

// Reads "dd/mm/yyyy:hh.mm.ss" (local time) into seconds; a text shorter than
// 17 characters, one that does not read in that form, or one with a negative
// part gives 0.
long char2date(std::string_view str);

// Local time "%Y/%m/%d:%H.%M.%S"; "" for a time the system cannot convert.
std::string time2char(long when);
// Working days (Monday to Friday) of the 86,400-second steps from t1 that
// begin before t2; 0 when t1 >= t2.
int timeDiffDay(long t1, long t2);
