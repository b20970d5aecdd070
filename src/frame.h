// frame.h: the page frame. The head of every page with its cookie scripts,
// the start page, the login page and the refusal of a request without a
// session.
//
// A cookie "velko" holds the session identifier (session.h) in the
// browser; with security on, a script in every page head sends the browser
// to the login page when the identifier of the page and the cookie differ.
// The script writes the cookie "SameSite=Lax" (and "Secure" over HTTPS);
// pages with security on carry the referrer policy "same-origin", so that
// the identifiers of their links never reach another site, and within a
// session a link "Logout=1" at their top.
#pragma once

#include <string>

#include "html.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Page head
// ---------------------------------------------------------------------------

// The start of an HTML document, up to its title: the document type first
// in the page (doctype), the HTML element with the language of the pages
// as LANG, and the head's character set, viewport (the width of the
// device, so that a phone lays the page out at its own width) and the
// stylesheet "velko.css" of the image directory. The caller writes the
// rest of the head. printHead and the history's frames start with it.
void printDocumentStart(tPage& page);

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
// The "Login" argument: "1" shows the login page, "2" tries the password
// (attemptLogin) and, on success, sends the browser on with the new
// identifier and the cookie (kept for the session, a day, a week or 30
// days by "PERSIST" 0 to 3, and the identifier ending then, a browser
// session after 12 hours). Otherwise the error box (text 513 for a wrong
// password, 543 for a name refused after too many, 544 when the counter
// is busy), then the login form again with the name kept and the request
// carried on. Other values do nothing.
void velkoLogin(tArgList& list, const std::string& step);
// The "Logout" argument: clears the cookie (a Set-Cookie header and the
// page's script) and shows the login form.
void velkoLogout(tArgList& list);

// What a request needs of its session (security on): to view, a valid
// identifier from the request or the cookie; to change, one that the
// request itself carried.
enum tSessionNeed { kToView, kToChange };
// The server-side guard: true when security is off or the request has the
// session it needs. Otherwise prints a complete refusal page (the page
// head if none was printed yet, titled "VELKO Login") and returns false:
// the caller then shows and changes nothing. Without a valid session, the
// error box of text 518 (540 when the session has ended) and the login
// form keeping the request's arguments, so that the login continues with
// the request; with a valid session from the cookie only (a change sent by
// another site), the error box of text 541 and nothing carried on.
bool requireSession(tArgList& list, tSessionNeed need = kToChange);
// With security on, true when the request's argument `field` (the acting
// user of a submitted form) is the session's user; otherwise the error
// box of text 542 naming the session's user, and false. True with
// security off.
bool requireOwnName(const tArgList& list, const char* field);

// A form's reset button, labelled with language text 3016 ("Reset" when
// the language file lacks it): <INPUT TYPE=reset VALUE="...">.
void resetButton(tPage& page);

// Scaffolding page of a function that this build does not provide yet.
void printNotAvailable(const char* function);
