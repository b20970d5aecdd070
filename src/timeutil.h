// timeutil.h: dates as the forms write them.
#pragma once

#include <string_view>

// Reads "dd/mm/yyyy:hh.mm.ss" (local time) into seconds; a text shorter than
// 17 characters, one that does not read in that form, or one with a negative
// part gives 0.
long char2date(std::string_view str);
