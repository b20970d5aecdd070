// cookies.h: login, session identifier, cookie and rights.
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
// nothing. A cookie "velko" holds the identifier in the browser; a script
// in every page head sends the browser to the login page when the two
// differ.
//
// With security off nobody logs in, links carry no identifier and every
// right check without an identifier grants.
#pragma once

#include <string>
#include <string_view>

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

void setCookie(const std::string& uid);
const std::string& getCookie();


// The suffix for links: "&Uid=" and the encoded current identifier; "" when
// security is off or there is no identifier.
std::string addUid();
// The login page: SCRIPT_NAME "?", then "Login=<logArg>" when logArg > 0.
std::string getPageUrl(const tArgList& list, int logArg);

// ---------------------------------------------------------------------------
// Page scripts (printed in the page head when security is on)
// ---------------------------------------------------------------------------

// The JavaScript functions getCookie(nom) and ecritCookie(nom, valeur, expire).
void cookieTools();
// The JavaScript function CookieCheck() run by the body's onLoad, the
// comments "<!title:...>" and "<!uid:...>", and setCookie of the request's
// "Uid". `list` may be null (no request arguments).
void cookieCheck(const std::string& title, const tArgList* list);
// With security on and no valid identifier in the request, a script that
// sends the browser to the login page.
void checkBypass(const tArgList& list);

// ---------------------------------------------------------------------------
// Login
// ---------------------------------------------------------------------------

// The login page (title "VELKO Login"): the form, keeping the request's
// other arguments as hidden fields.
void loginDisplay(tArgList& list);
// The login form alone, for pages that offer the login inside them.
void printLoginForm(const tArgList& list);
// The "Login" argument: "1" shows the login page, "2" checks the password
// and, on success, sends the browser on with the new identifier and the
// cookie (kept for the session, a day, a week or 30 days by "PERSIST" 0 to
// 3); on failure the error box of text 513. Other values do nothing.
void velkoLogin(tArgList& list, const std::string& step);
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
// %s in %d>" and "<!Access denied for %s in %d>" trace the result (not in
// downloads, "excel" beginning with "X").
int security(const tArgList& list, tAccess col);
int accessRight(const tArgList& list);
int createRight(const tArgList& list);
int configRight(const tArgList& list);
int projectRight(const tArgList& list);  // computed once per request
int statsRight(const tArgList& list);
int unsolvedRight(const tArgList& list);
int solvedRight(const tArgList& list);

// The server-side guard of every request that changes something: true when
// security is off or the request carries a valid session. Otherwise prints
// a complete refusal page (the page head if none was printed yet, an error
// box and the login form keeping the request's arguments) and returns
// false: the caller then changes nothing and returns.
bool requireSession(tArgList& list);

// Forgets the per-request state (current identifier, cached checks): tests
// run several requests in one process.
void resetSessionState();
