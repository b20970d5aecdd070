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
