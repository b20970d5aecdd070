// request.h: the context of the one request this process serves.
//
// Everything that lives for the length of a request and no longer is here:
// the decoded arguments, the query string, the page being rendered, the
// effects to carry out after the page (mail, synchronisation), and each
// module's own per-request state (configuration values read once, the
// language table, session checks, the report page's anchor counter).
// A module keeps its state in a slot of its own type, so modules stay
// apart while one reset (resetRequest, used by tests that serve several
// requests in one process) forgets all of it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "html.h"

// One request argument. The name is kept exactly as sent; the value is
// decoded.
struct tElement {
  std::string nom;
  std::string valeur;
};

// The arguments of a request, newest first: the last argument of the query
// string is element 0, so a lookup that takes the first match sees the last
// occurrence in the request.
using tArgList = std::vector<tElement>;

// A list of names (projects, files, messages, linked reports).
using tCharList = std::vector<std::string>;

class tRequest {
 public:
  tArgList args;            // as decoded; handlers may add to their copy
  std::string queryString;  // raw, or rebuilt from a multipart body
  tPage page;               // what the front end sends

  // Work that must not delay the page nor run under a lock: carried out by
  // the front end once the page is sent and every lock released.
  void after(std::function<void()> effect) { effects_.push_back(std::move(effect)); }
  std::vector<std::function<void()>> takeEffects() { return std::move(effects_); }

  // The per-request state of type T, created on first use.
  template <class T>
  T& slot() {
    for (const Slot& s : slots_)
      if (*s.type == typeid(T)) return *static_cast<T*>(s.value.get());
    slots_.push_back(Slot{&typeid(T), std::make_shared<T>()});
    return *static_cast<T*>(slots_.back().value.get());
  }

 private:
  struct Slot {
    const std::type_info* type;
    std::shared_ptr<void> value;
  };
  std::vector<Slot> slots_;
  std::vector<std::function<void()>> effects_;
};

// The request of this process.
tRequest& request();
// Starts a fresh request context (tests serve several requests in one
// process; the setup forgets the configuration it rewrote).
void resetRequest();

// A diagnostic of a lower layer (configuration reader, store): a comment in
// the request's page, where an administrator reading the source finds it.
void traceComment(std::string_view text);
