// session.h: session identifier, password check, rights.
//
// With SECURITY "YES" a user logs in with the name and password of a
// project's users file and gets a session identifier, the argument "Uid",
// that every link and form of the pages carries:
//
//     <user+2>#<project+2>#<login time>#<end>#<mac>
//
// The first three fields are the classic visible form (every byte of the
// user and project names shifted up by 2, the login time in seconds); the
// fourth is the time at which the session ends (12 hours after the login
// for a browser session, else the day, week or 30 days chosen). The fifth
// is HMAC-SHA-256, in lower-case hexadecimal, of the text before it, under
// the installation's secret key "<CONFIGDIR>/session.key" (created on first
// need, mode 0600). An identifier whose MAC does not verify, or whose end
// has passed, is no session: without a valid session a request gets no
// right and may see or change nothing.
//
// Where the identifier comes from: the request's "Uid"; without one, the
// browser's cookie "velko" (HTTP_COOKIE). The cookie serves for viewing
// only: a request that changes data must carry the identifier itself (the
// forms of the pages do), so that a page of another site, which the
// browser sends the cookie with, cannot change anything.
//
// With security off nobody needs to log in, links carry no identifier and
// every right check without an identifier grants.
//
// Wrong passwords are counted per user name in "<DATADIR>/tmp/logins.dat"
// (one line per name: the first failure of the window, the count, the name
// in hexadecimal; rewritten whole under the lock "logins.lock" beside it):
// after kGuessLimit failures within kGuessWindow seconds the name is
// refused until the window ends.
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
// The identifier of a login at `when` (now when negative) whose session
// ends at `ends` (when + sessionLifetime(0) when not after `when`): the
// visible part, "#", the end, "#" and the MAC. Without a usable key the
// text without MAC is returned (and never verifies).
std::string encodeUID(const std::string& login, const std::string& project, long when = -1,
                      long ends = 0);
// How long a login kept for `persist` lasts (the PERSIST choices 0 to 3:
// the browser session, at most 12 hours; a day; a week; 30 days).
long sessionLifetime(int persist);
// Reads the user and project back (the times and MAC are not looked at);
// false, with both empty, for an identifier that is empty or begins with a
// blank.
bool decodeUID(const std::string& uid, std::string* login, std::string* project);
// HMAC-SHA-256 of `text` under the installation key, hexadecimal; "" when
// the key cannot be read or created (a diagnostic comment says why).
std::string uidMac(const std::string& text);
// True when `uid` has the five fields and its MAC verifies (whether or not
// the session has ended).
bool verifyUID(const std::string& uid);

enum tSessionState {
  kNoSession,       // empty, malformed, forged, or its user has left the file
  kSessionEnded,    // signed by this installation, but its end has passed
  kSessionValid,
};
// The state of identifier `uid`; `user` and `project` receive the decoded
// names whatever the state.
tSessionState sessionState(const std::string& uid, std::string* user = nullptr,
                           std::string* project = nullptr);
// True when the request's "Uid" (which may come from the cookie, see
// adoptCookieSession) is a valid session whose user still has a line in
// its project's users file: enough to view. `user` and `project` receive
// the decoded names.
bool validSession(const tArgList& list, std::string* user = nullptr,
                  std::string* project = nullptr);
// The user of the request's valid session; "" with security off or no
// valid session.
std::string sessionUser(const tArgList& list);
// The same for the current identifier (getCookie): the name that the
// forms offer as the acting user.
std::string currentSessionUser();

// ---------------------------------------------------------------------------
// The browser's cookie
// ---------------------------------------------------------------------------

// The values of the cookie "velko" in HTTP_COOKIE, in the order sent, each
// with its %XX escapes decoded (the pages write it with escape()).
tCharList browserCookies();
// With security on and a request without "Uid": when a cookie "velko"
// holds a valid session, its identifier becomes the request's "Uid" (the
// oldest argument), and the session is remembered as coming from the
// cookie: enough to view, not to change.
void adoptCookieSession(tArgList& list);
// True when the request's identifier was taken from the cookie.
bool sessionFromCookie();

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

// True when `given` is the password `stored` of a users file: a stored
// crypt(3) hash ("$y$", "$gy$", "$7$", "$2b$", "$2a$", "$2y$", "$6$", "$5$",
// "$1$") is checked with crypt; any other text is compared as it is, in
// constant time.
bool passwordMatches(const std::string& stored, const std::string& given);
// 1 when a users file of some project (in getProjects order) has `login`
// with password `pwd`; that project's name goes to `project`.
int checkPassword(const std::string& login, const std::string& pwd, std::string* project);

// Wrong passwords allowed per user name within the window (seconds).
constexpr int kGuessLimit = 5;
constexpr long kGuessWindow = 900;

enum tLoginResult {
  kLoginOk,       // `project` holds the project of the login
  kLoginWrong,    // unknown user or wrong password (counted)
  kLoginBlocked,  // too many wrong passwords: `wait` holds the seconds left
  kLoginBusy,     // the counter could not be locked in time: not tried
};
// A login attempt: the password checked unless the name is blocked, the
// counter of wrong passwords updated (a right password clears it).
tLoginResult attemptLogin(const std::string& login, const std::string& pwd, std::string* project,
                          long* wait);

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
