#include "html.h"

#include <cstdarg>
#include <cstdlib>
#include <unistd.h>

namespace {

// Output state of the run: whether the header went out, and what was
// written before it.
struct Output {
  bool headerSent = false;
  std::string pending;
};

Output& output() {
  static Output o;
  return o;
}

void writeStdout(std::string_view text) {
  if (!text.empty()) fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

bool sendHeader(std::string_view header) {
  Output& o = output();
  if (o.headerSent) return false;
  o.headerSent = true;
  writeStdout(header);
  writeStdout(o.pending);
  o.pending.clear();
  return true;
}

bool headerSent() { return output().headerSent; }

void emit(std::string_view text) {
  Output& o = output();
  if (o.headerSent)
    writeStdout(text);
  else
    o.pending.append(text);
}

std::string vstrprintf(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  const int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(big.data(), big.size(), fmt, ap);
  big.resize(n);
  return big;
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  return s;
}

void emitf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  emit(s);
}

void emitComment(std::string_view text) {
  emit("<!");
  emit(text);
  emit(">");
}

void finishOutput() {
  Output& o = output();
  if (!o.headerSent && !o.pending.empty()) sendHeader();
  fflush(stdout);
}

void resetOutput() {
  fflush(stdout);
  output() = Output();
}

namespace {

std::string escape(std::string_view text, bool attribute) {
  std::string r;
  r.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '&': r += "&amp;"; break;
      case '"': r += "&quot;"; break;
      case '\'':
        if (attribute) {
          r += "&#39;";
          break;
        }
        r += c;
        break;
      default: r += c;
    }
  }
  return r;
}

}  // namespace

std::string escapeHtml(std::string_view text) { return escape(text, false); }
std::string escapeAttr(std::string_view text) { return escape(text, true); }
