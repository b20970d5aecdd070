// frame.h: the page frame. The head of every page with its cookie scripts,
// the start page, the login page and the refusal of a request without a
// session.
//
// A cookie "velko" holds the session identifier (session.h) in the
// browser; with security on, a script in every page head sends the browser
// to the login page when the identifier of the page and the cookie differ.
#pragma once

#include <string>

#include "html.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Page head
// ---------------------------------------------------------------------------

// The CGI header (once per response), the HTML head with the cookie scripts
// and session check when security is on, and the BODY tag. `title` is
// escaped; `bg` is a colour such as "#C0C0C0", null for the default white
// with the background image; `list` the request's arguments (null when
// none).
void printHead(tPage& page, const std::string& title, const char* bg = nullptr,
               const tArgList* list = nullptr);
// True once printHead has written a page head in this request.
bool pageHeadPrinted();
// A red warning when language text 2 is not the product version.
void checkVersion();

// The start page: banner, version check, and the menu of eight entries
// (or the login when security is on and there is no session, or the error
// box of text 514 without the view right).
void maindisp(tArgList& list);

// The session suffix of a link, what addUid() gives: "&Uid=" and the
// current identifier as a URL value; nothing when security is off or there
// is no identifier.
tPage& addUidTo(tPage& page);

// ---------------------------------------------------------------------------
// Cookie scripts (printed in the page head when security is on)
// ---------------------------------------------------------------------------

// The JavaScript functions getCookie(nom) and ecritCookie(nom, valeur, expire).
void cookieTools(tPage& page);
// The JavaScript function CookieCheck() run by the body's onLoad, the
// comments "<!title:...>" and "<!uid:...>", and setCookie of the request's
// "Uid". `list` may be null (no request arguments).
void cookieCheck(tPage& page, const std::string& title, const tArgList* list);
// With security on and no valid identifier in the request, a script that
// sends the browser to the login page.
void checkBypass(const tArgList& list);
// The login page: SCRIPT_NAME "?", then "Login=<logArg>" when logArg > 0.
std::string getPageUrl(const tArgList& list, int logArg);

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

// The server-side guard of every request that changes something: true when
// security is off or the request carries a valid session. Otherwise prints
// a complete refusal page (the page head if none was printed yet, an error
// box and the login form keeping the request's arguments) and returns
// false: the caller then changes nothing and returns.
bool requireSession(tArgList& list);

// Scaffolding page of a function that this build does not provide yet.
void printNotAvailable(const char* function);
