// text.h: small string utilities that every layer uses.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// printf into a std::string (file names, stored lines; never page text).
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list ap);

// `s` cut to at most `maxBytes` bytes without splitting a UTF-8 character:
// a cut that would fall inside a multi-byte character moves back to its
// first byte.
std::string cutUtf8(std::string_view s, size_t maxBytes);
// The length cutUtf8 keeps.
size_t utf8CutLength(std::string_view s, size_t maxBytes);

// True when a request or configuration value counts as absent: empty, or
// beginning with a blank (getArg's answer for a missing argument).
inline bool isAbsent(std::string_view v) { return v.empty() || v[0] == ' '; }
inline bool given(std::string_view v) { return !isAbsent(v); }
