#include "request.h"

namespace {

std::unique_ptr<tRequest>& current() {
  static std::unique_ptr<tRequest> r;
  return r;
}

}  // namespace

tRequest& request() {
  std::unique_ptr<tRequest>& r = current();
  if (!r) r = std::make_unique<tRequest>();
  return *r;
}

void resetRequest() { current() = std::make_unique<tRequest>(); }

void traceComment(std::string_view text) { request().page.comment(text); }

// TRANSITIONAL output calls.
#include "text.h"

bool sendHeader(std::string_view header) { return request().page.setHeader(header); }
bool headerSent() { return request().page.hasHeader(); }
void emit(std::string_view text) { request().page.unsafeRaw(text); }
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
