#include "text.h"

#include <cstdio>

std::string vstrprintf(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  const int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(big.data(), big.size(), fmt, ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  return s;
}

size_t utf8CutLength(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s.size();
  auto continues = [&](size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80; };
  // s[maxBytes] is the first byte left out. When it continues a character,
  // that character's lead byte (at most three bytes back) starts the part
  // that does not fit; bytes that are no UTF-8 are cut as bytes.
  if (!continues(maxBytes)) return maxBytes;
  size_t k = maxBytes;
  while (k > 0 && maxBytes - k < 3 && continues(k)) --k;
  return (static_cast<unsigned char>(s[k]) & 0xC0) == 0xC0 ? k : maxBytes;
}

std::string cutUtf8(std::string_view s, size_t maxBytes) {
  return std::string(s.substr(0, utf8CutLength(s, maxBytes)));
}
