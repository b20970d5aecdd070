// session.h: session identifier, password check and rights.
//
// With SECURITY "YES" a user logs in with the name and password of a
// project's users file and gets a session identifier, the argument "Uid",
// that every link and form of the pages carries:
//
//     <user+2>#<project+2>#<login time>#<mac>
//
// The first three fields are the classic visible form (every byte of the
// user and project names shifted up by 2, the login time in seconds). The
// fourth is HMAC-SHA-256, in lower-case hexadecimal, of the text before it,
// under the installation's secret key "<CONFIGDIR>/session.key" (created
// on first need, mode 0600). An identifier whose MAC does not verify is no
// session: without a valid session a request gets no right and may change
// nothing.
//
// With security off nobody logs in, links carry no identifier and every
// right check without an identifier grants.
//
// This module writes no page: its diagnostics are trace comments
// (traceComment of request.h). The login page, the cookie scripts and the
// refusal page are the page frame's (frame.h).
#pragma once

#include <string>

#include "names.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Session identifier
// ---------------------------------------------------------------------------

// The visible part, "<user+2>#<project+2>#<when>".
std::string encodeUIDText(const std::string& login, const std::string& project, long when);
// The identifier of a login at `when` (now when negative): the visible part,
// "#" and its MAC. Without a usable key the visible part alone is returned
// (and never verifies).
std::string encodeUID(const std::string& login, const std::string& project, long when = -1);
// Reads the user and project back (the time and MAC are not looked at);
// false, with both empty, for an identifier that is empty or begins with a
// blank.
bool decodeUID(const std::string& uid, std::string* login, std::string* project);
// HMAC-SHA-256 of `text` under the installation key, hexadecimal; "" when
// the key cannot be read or created (a diagnostic comment says why).
std::string uidMac(const std::string& text);
// True when `uid` has the four fields and its MAC verifies.
bool verifyUID(const std::string& uid);
// True when the request's "Uid" verifies and its user still has a line in
// its project's users file; `user` and `project` receive the decoded names.
bool validSession(const tArgList& list, std::string* user = nullptr,
                  std::string* project = nullptr);

// ---------------------------------------------------------------------------
// The current identifier of the request
// ---------------------------------------------------------------------------

// The identifier the request's links carry on (at most 199 characters).
void setCookie(const std::string& uid);
const std::string& getCookie();
// The suffix for links: "&Uid=" and the encoded current identifier; "" when
// security is off or there is no identifier.
std::string addUid();

// ---------------------------------------------------------------------------
// Password
// ---------------------------------------------------------------------------

// 1 when a users file of some project (in getProjects order) has `login`
// with password `pwd`; that project's name goes to `project`. The passwords
// are compared in constant time.
int checkPassword(const std::string& login, const std::string& pwd, std::string* project);

// ---------------------------------------------------------------------------
// Rights
// ---------------------------------------------------------------------------

// 1 when the request's user holds right `col`, else 0. The right's flag is
// column col of the user's line (flags[col - 1]): a value beginning with
// "Y", or a blank or missing one, grants; anything else denies. With
// security on a request without a valid session, or whose user has no line
// in its project's users file, is denied. Comments "<!Access granted for
// USER in N>" and "<!Access denied for USER in N>" trace the result (not in
// downloads, "excel" beginning with "X").
int security(const tArgList& list, tAccess col);
int accessRight(const tArgList& list);
int createRight(const tArgList& list);
int configRight(const tArgList& list);
int projectRight(const tArgList& list);  // computed once per request
int statsRight(const tArgList& list);
int unsolvedRight(const tArgList& list);
int solvedRight(const tArgList& list);
