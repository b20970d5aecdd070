#include "frame.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "args.h"
#include "config.h"
#include "session.h"
#include "text.h"

namespace {

// The built-in names of the persistence choices (a session, a day, a week,
// 30 days: the "year" has always been 2,592,000 seconds).
const char* const kPersistNames[4] = {"session", "day", "week", "year"};

// Language texts of the session pages.
constexpr int kTextNoSession = 518;      // no valid session: please log in
constexpr int kTextSessionEnded = 540;   // the session has ended
constexpr int kTextNotFromPage = 541;    // a change without the identifier
constexpr int kTextOwnName = 542;        // "%s": the session's user
constexpr int kTextTooManyGuesses = 543; // "%s": minutes to wait
constexpr int kTextLoginBusy = 544;
constexpr int kTextLogout = 2121;
// The login box and the start page's subtitle (the built-in English texts
// stand in for a language file that lacks them).
constexpr int kTextLoginTitle = 3010;
constexpr int kTextLoginName = 3011;
constexpr int kTextLoginPassword = 3012;
constexpr int kTextLoginButton = 3013;
constexpr int kTextSubtitle = 3014;
constexpr int kTextReset = 3016;

// The frame state of one request.
struct FrameState {
  bool headPrinted = false;
};

FrameState& state() { return request().slot<FrameState>(); }

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

const char* scriptName() { return envOrEmpty("SCRIPT_NAME"); }

// True when the page came over HTTPS (the cookie is then sent only so).
bool overHttps() {
  const std::string https = envOrEmpty("HTTPS");
  return https == "on" || https == "ON" || https == "1" ||
         std::string(envOrEmpty("REQUEST_SCHEME")) == "https";
}

// The help pages lie beside the image directory: /x/images/ gives /x/help/.
std::string helpDir() {
  std::string dir = getImgDir();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string() : dir.substr(0, slash);
  return dir + "/help/";
}

const std::string& textOr(int num, const std::string& fallback) {
  const std::string& t = langue(num);
  return t.empty() ? fallback : t;
}

// The language of the pages for the LANG attribute: the code that the
// language file in use gives as its text 1, in lower case ("en", "fr");
// "en" without a language file (the installation wizard) or for a code
// that is no language tag.
std::string pageLanguage() {
  std::string code = langue(1);
  for (char& c : code) {
    if (!isalpha(static_cast<unsigned char>(c)) && c != '-') return "en";
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return code.empty() || code.size() > 12 ? "en" : code;
}

// A diagnostic line: the comment "<!text>" and a line feed.
void commentLine(tPage& page, const std::string& text) { page.comment(text).markup("\n"); }

// ---------------------------------------------------------------------------
// Start page
// ---------------------------------------------------------------------------

// One entry of the start page menu.
struct MenuEntry {
  int label;          // language text
  const char* image;  // in the image directory
  const char* cmd;    // CMD value; null for the help directory
  bool large;         // drawn 64 by 64
};

void menuEntry(tPage& page, const MenuEntry& m) {
  const std::string& label = langue(m.label);
  page.markup("<TD ALIGN=CENTER WIDTH=20%>");
  if (m.cmd) {
    page.markup("<A HREF=\"").escaped(unquotedUrl(scriptName()));
    page.markup("?CMD=").urlArg(m.cmd);
    addUidTo(page).markup("\">\n");
  } else {
    page.markup("<A HREF=\"").attr(helpDir()).markup("\">\n");
  }
  page.markup("<IMG SRC=\"").attr(getImgDir()).markup("/").attr(m.image).markup("\"");
  if (m.large) page.markup(" WIDTH=64 HEIGHT=64");
  page.markup(" BORDER=0 ALT=");
  // The large entries quote their ALT; the others write it bare, which is
  // safe only for a single word: any other label is quoted too.
  const bool bare = !m.large && !label.empty() &&
                    label.find_first_of(" \t\"'=<>&`") == std::string::npos;
  if (bare)
    page.attr(label);
  else
    page.markup("\"").attr(label).markup("\"");
  // The label on hover too.
  page.markup(" TITLE=\"").attr(label).markup("\"><BR>").text(label).markup("</A></TD>\n");
}

// ---------------------------------------------------------------------------
// Login
// ---------------------------------------------------------------------------

void hiddenField(tPage& page, const std::string& name, const std::string& value) {
  page.markup("<INPUT TYPE=hidden NAME=\"").attr(name).markup("\" VALUE=\"").attr(value);
  page.markup("\">\n");
}

// The arguments that a login form carries on, oldest first so that the
// next request sees them in their original order: every one but the
// login's own fields and those named in `also`. A field that the form sets
// itself is left out, since a second one of that name, later in the form,
// would win over it: the login form has its own PERSIST choice, and the
// result form its new "Uid".
void carryArguments(tPage& page, const tArgList& list, std::initializer_list<const char*> also) {
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const std::string& n = it->nom;
    if (n == "Login" || n == "Passwd" || n == "User" || n == "Logout") continue;
    bool skip = false;
    for (const char* a : also) skip = skip || n == a;
    if (!skip) hiddenField(page, n, it->valeur);
  }
}

int persistence(const tArgList& list) {
  const int p = getArgInt(list, "PERSIST");
  return p >= 0 && p <= 3 ? p : 0;
}

void loginSuccess(tPage& page, const tArgList& list, const std::string& user,
                  const std::string& project) {
  const long now = static_cast<long>(time(nullptr));
  const int p = persistence(list);
  const std::string uid = encodeUID(user, project, now, now + sessionLifetime(p));
  if (useSecurity() && !verifyUID(uid)) {
    // No key, or a name holding a byte that the identifier cannot carry.
    commentLine(page, "the session identifier cannot be formed");
    printErr(513);
    return;
  }
  page.markup("<FORM NAME=\"mainform\" METHOD=POST ACTION=\"").attr(scriptName());
  page.markup("\">\n");
  hiddenField(page, "Uid", uid);
  // PERSIST is the login's own choice too: carried on, it would make the
  // next request more than "Uid" alone, and the start page would not show.
  carryArguments(page, list, {"Uid", "PERSIST"});
  page.markup("</FORM>\n<SCRIPT LANGUAGE=JavaScript>\n");
  if (useSecurity()) {
    // A browser-session login writes a cookie without expiry; the
    // identifier itself ends after sessionLifetime(0) all the same.
    page.markup("ecritCookie(\"velko\",").js(uid);
    if (p == 0)
      page.markup(");\n");
    else
      page.markup(",new Date(").num(now + sessionLifetime(p)).markup("000));\n");
  }
  page.markup("document.mainform.submit();\n</SCRIPT>\nOK\n");
}

// The login form. The login page keeps the old identifier among the
// arguments (the login result replaces it); a page that offers the login
// in place of its content because the identifier is no session drops it.
// `name` fills the name field (a login tried again).
void loginForm(tPage& page, const tArgList& list, bool keepUid,
               const std::string& name = std::string()) {
  static const std::string kPersistLabel = "Persistent";
  int preset = persistence(list);
  if (getArg(list, "PERSIST")[0] == ' ') {
    const int cfg = atoi(getCfgKey("PERSIST").c_str());
    preset = cfg >= 0 && cfg <= 3 ? cfg : 0;
  }
  page.markup("<CENTER>\n<FORM NAME=\"mainform\" METHOD=POST ACTION=\"").attr(scriptName());
  page.markup("\">\n");
  page.markup("<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=2 bgcolor=#000000><TR><TD>\n"
              "<TABLE BORDER=0 CELLSPACING=1 CELLPADDING=4 WIDTH=100%>\n");
  page.markup("<TR><TD COLSPAN=2 ALIGN=CENTER bgcolor=#9999CC><FONT COLOR=#FFFFFF><B>");
  page.text(textOr(kTextLoginTitle, "VELKO Login")).markup("</B></FONT></TD></TR>\n");
  page.markup("<TR><TD bgcolor=#0CCCCC> ").text(textOr(kTextLoginName, "Login"));
  page.markup(" : </TD><TD bgcolor=#0CCCCC><INPUT TYPE=text NAME=\"User\" SIZE=20");
  if (!name.empty()) page.markup(" VALUE=\"").attr(name).markup("\"");
  page.markup("></TD></TR>\n<TR><TD bgcolor=#0CCCCC> ").text(textOr(kTextLoginPassword, "Passwd"));
  page.markup(" : </TD><TD bgcolor=#0CCCCC><INPUT TYPE=password NAME=\"Passwd\" SIZE=20>"
              "</TD></TR>\n");
  page.markup("<TR><TD bgcolor=#0CCCCC> ").text(textOr(2116, kPersistLabel));
  page.markup(" : </TD><TD bgcolor=#0CCCCC><SELECT NAME=\"PERSIST\">\n");
  for (int p = 0; p < 4; ++p) {
    page.markup("<OPTION VALUE=").num(p);
    if (p == preset) page.markup(" SELECTED");
    page.markup(">").text(textOr(2117 + p, kPersistNames[p])).markup("\n");
  }
  const std::string button = textOr(kTextLoginButton, "Login");
  page.markup("</SELECT></TD></TR>\n"
              "<TR><TD COLSPAN=2 ALIGN=CENTER bgcolor=#0CCCCC><INPUT TYPE=submit VALUE=\"");
  page.attr(button).markup("\"></TD></TR>\n</TABLE></TD></TR></TABLE>\n");
  hiddenField(page, "Login", "2");
  if (keepUid)
    carryArguments(page, list, {"PERSIST"});
  else
    carryArguments(page, list, {"PERSIST", "Uid"});
  page.markup("</FORM>\n</CENTER>\n");
}

}  // namespace

// ---------------------------------------------------------------------------
// Page head
// ---------------------------------------------------------------------------

void printDocumentStart(tPage& page) {
  // Texts are looked up before the markup that holds them: a language file
  // that cannot be read leaves a comment at each lookup.
  const std::string lang = pageLanguage();
  const std::string images = getImgDir();  // a missing main file leaves comments too
  page.doctype();
  page.markup("<HTML LANG=\"").attr(lang).markup("\">\n<HEAD>\n");
  // The language files and the texts typed into the forms are UTF-8.
  page.markup("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n");
  page.markup("<META NAME=\"viewport\" CONTENT=\"width=device-width, initial-scale=1\">\n");
  page.markup("<LINK REL=\"stylesheet\" HREF=\"").attr(images).markup("/velko.css\">\n");
}

void printHead(tPage& page, const std::string& title, const char* bg, const tArgList* list) {
  const bool defaultColour = bg == nullptr;
  langue(1);  // loads the language table; a failure comment follows the header
  page.setHeader();
  printDocumentStart(page);
  const bool secure = useSecurity() != 0;
  if (secure) {
    // The links carry the session identifier: no other site learns them
    // from the Referer of a link followed.
    page.markup("<META NAME=\"referrer\" CONTENT=\"same-origin\">\n");
    cookieTools(page);
    cookieCheck(page, title, list);
  }
  page.markup("<TITLE>").text(title).markup("</TITLE>\n</HEAD>\n");
  if (defaultColour) {
    page.markup("<BODY BACKGROUND=").escaped(unquotedUrl(getImgDir()));
    page.markup("/fond.gif BGCOLOR=\"#FFFFFF\" ");
  } else {
    page.markup("<BODY BGCOLOR=\"").attr(bg).markup("\" ");
  }
  page.markup("TEXT=\"#000000\" ");
  if (secure) page.markup("onLoad=\"CookieCheck()\"");
  page.markup(">\n");
  // Within a session, every page offers the logout.
  if (secure && sessionState(getCookie()) == kSessionValid) {
    page.markup("<DIV ALIGN=RIGHT><FONT SIZE=-1><A HREF=\"").attr(scriptName());
    page.markup("?Logout=1\">").text(textOr(kTextLogout, "Log out"));
    page.markup("</A></FONT></DIV>\n");
  }
  state().headPrinted = true;
}

bool pageHeadPrinted() { return state().headPrinted && request().page.hasHeader(); }

void checkVersion() {
  if (langue(2) == kVelkoVersion) return;
  tPage& page = request().page;
  page.markup("<P Align=Center><FONT COLOR=RED>Please update langage file ");
  page.markup("langue.").text(langue(1)).markup(" in configuration directory.</P></FONT>\n");
}

void maindisp(tArgList& list) {
  tPage& page = request().page;
  printHead(page, "VELKO", nullptr, &list);
  const std::string help = escapeAttr(helpDir());

  page.markup("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=40%> <TR>\n");
  page.markup("<TD ALIGN=CENTER><A HREF=\"").escaped(help).markup("\"><IMG SRC=\"");
  page.attr(getImgDir()).markup("/velko.gif\" ALT=VELKO BORDER=0></A></TD></TR>\n");
  page.markup("<TR><TD ALIGN=CENTER><FONT SIZE=+1><B>");
  page.text(textOr(kTextSubtitle, "VELKO Problem Report Tracker")).markup("</B></FONT></TD></TR>\n");
  page.markup("<TR><TD ALIGN=CENTER><FONT SIZE=-1><B> ").text(kVelkoVersion).markup(" ");
  page.text(langue(1)).markup("</B></FONT>\n");
  page.markup("<A HREF=\"").escaped(help);
  if (langue(1) == "FR")
    page.markup("fr");
  else
    page.markup("en");
  page.markup("/index.html\"><FONT COLOR=BLACK SIZE=1>notice</FONT></A></TD></TR>\n");
  page.markup("</TABLE><BR>\n");

  checkVersion();

  if (useSecurity() && !validSession(list)) {
    // No session: the login takes the place of the menu.
    printLoginForm(list);
  } else if (accessRight(list)) {
    static const MenuEntry kRows[2][4] = {
        {{3000, "setup.gif", "setup", false},
         {3001, "new.gif", "create", false},
         {3002, "list.gif", "search", false},
         {3003, "book.gif", "book", true}},
        {{3004, "history.gif", "history", false},
         {3005, "stats.gif", "statS", false},
         {3006, "help.gif", nullptr, false},
         {3007, "tests.gif", "tests", true}},
    };
    page.markup("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=50%> <TR>\n");
    for (int r = 0; r < 2; ++r) {
      if (r > 0) page.markup("<TR>\n");
      page.markup("<TD>&nbsp</TD>\n");
      for (const MenuEntry& m : kRows[r]) menuEntry(page, m);
      page.markup("<TD>&nbsp</TD>\n</TR>\n");
    }
    page.markup("</TABLE>\n");
  } else {
    printErr(514);
  }
  page.markup("\n\n\n");
}

tPage& addUidTo(tPage& page) {
  const std::string& c = getCookie();
  if (!useSecurity() || isAbsent(c)) return page;
  return page.markup("&Uid=").urlArg(c);
}

// ---------------------------------------------------------------------------
// Cookie scripts
// ---------------------------------------------------------------------------

void cookieTools(tPage& page) {
  page.markup("<SCRIPT LANGUAGE=JavaScript>\n"
              "function getCookie(nom) {\n"
              "  var arg = nom + \"=\";\n"
              "  var all = document.cookie.split(\"; \");\n"
              "  for (var i = 0; i < all.length; i++) {\n"
              "    if (all[i].indexOf(arg) == 0) return unescape(all[i].substring(arg.length));\n"
              "  }\n"
              "  return \"\";\n"
              "}\n"
              "function ecritCookie(nom, valeur, expire) {\n"
              "  document.cookie = nom + \"=\" + escape(valeur) +\n"
              "    ((expire == null) ? \"\" : (\"; expires=\" + expire.toGMTString())) +\n");
  // Lax: the browser sends the cookie with a link followed from another
  // site (viewing), never with a form posted from there.
  if (overHttps())
    page.markup("    \"; SameSite=Lax; Secure\";\n");
  else
    page.markup("    \"; SameSite=Lax\";\n");
  page.markup("}\n"
              "</SCRIPT>\n");
}

void cookieCheck(tPage& page, const std::string& title, const tArgList* list) {
  const std::string uid = list ? getArg(*list, "Uid") : std::string(" ");
  const std::string url = getPageUrl(list ? *list : tArgList(), 1);
  page.markup("<SCRIPT LANGUAGE=JavaScript>\n"
              "function CookieCheck() {\n"
              "  var kuki = getCookie(\"velko\");\n");
  if (title == "VELKO Login") {
    page.markup("  if (document.mainform) document.mainform.User.focus();\n");
  } else if (title == "VELKO Login2") {
    // The login result page writes the cookie itself.
  } else if (uid.size() >= 2) {
    page.markup("  if (kuki != ").js(uid).markup(") document.location = ").js(url);
    page.markup(";\n");
  } else {
    page.markup("  if (kuki == \"\") document.location = ").js(url).markup(";\n");
  }
  page.markup("}\n</SCRIPT>\n");
  commentLine(page, "title:" + title);
  commentLine(page, "uid:" + uid);
  if (list) setCookie(uid);
}

void checkBypass(const tArgList& list) {
  if (!useSecurity()) return;
  const std::string uid = getArg(list, "Uid");
  if (uid.size() >= 2 && verifyUID(uid)) return;
  tPage& page = request().page;
  page.markup("<SCRIPT LANGUAGE=JavaScript>\ndocument.location = ").js(getPageUrl(list, 1));
  page.markup(";\n</SCRIPT>\n");
}

std::string getPageUrl(const tArgList& list, int logArg) {
  (void)list;  // the login page carries nothing but "Login"
  std::string url = std::string(scriptName()) + "?";
  if (logArg > 0) url += "Login=" + std::to_string(logArg);
  return url;
}

// ---------------------------------------------------------------------------
// Login
// ---------------------------------------------------------------------------

void printLoginForm(const tArgList& list) { loginForm(request().page, list, false); }

void loginDisplay(tArgList& list) {
  printHead(request().page, "VELKO Login", nullptr, &list);
  loginForm(request().page, list, true);
}

void velkoLogin(tArgList& list, const std::string& step) {
  if (step == "1") {
    loginDisplay(list);
  } else if (step == "2") {
    tPage& page = request().page;
    printHead(page, "VELKO Login2", nullptr, &list);
    std::string project;
    long wait = 0;
    const std::string user = getArg(list, "User");
    switch (attemptLogin(user, getArg(list, "Passwd"), &project, &wait)) {
      case kLoginOk:
        loginSuccess(page, list, user, project);
        return;
      case kLoginWrong:
        printErr(513);
        break;
      case kLoginBlocked:
        printErr1(kTextTooManyGuesses, std::to_string((wait + 59) / 60));
        break;
      case kLoginBusy:
        printErr(kTextLoginBusy);
        break;
    }
    // The form again, the name kept, and the request it continues.
    page.markup("\n");
    loginForm(page, list, false, isAbsent(user) ? std::string() : user);
  }
}

void velkoLogout(tArgList&) {
  // Nothing of the request is carried on: a new login starts afresh.
  tPage& page = request().page;
  // The cookie goes twice: by the response header, and by the page's
  // script for a browser that kept one written by script. An identifier
  // copied elsewhere stays valid until its end: none is stored here.
  if (overHttps())
    page.setHeader("Set-Cookie: velko=; Max-Age=0; SameSite=Lax; Secure\n"
                   "Content-type: text/html\n\n");
  else
    page.setHeader("Set-Cookie: velko=; Max-Age=0; SameSite=Lax\nContent-type: text/html\n\n");
  setCookie(" ");
  tArgList none;
  printHead(page, "VELKO Login", nullptr, &none);
  page.markup("<SCRIPT LANGUAGE=JavaScript>\necritCookie(\"velko\",\"\",new Date(0));\n"
              "</SCRIPT>\n");
  loginForm(page, none, false);
}

bool requireSession(tArgList& list, tSessionNeed need) {
  if (!useSecurity()) return true;
  const tSessionState st = sessionState(getArg(list, "Uid"));
  if (st == kSessionValid && (need == kToView || !sessionFromCookie())) return true;
  tPage& page = request().page;
  if (st == kSessionValid) {
    // A change that came without the identifier of the pages: a form of
    // another site, which the browser sent with the cookie. The user is
    // logged in; nothing of it is carried on.
    if (!pageHeadPrinted()) printHead(page, "VELKO", nullptr, &list);
    commentLine(page, "no session identifier in the request: nothing changed");
    printErr(kTextNotFromPage);
    page.markup("\n");
    return false;
  }
  // The login page in place of the page asked for, carrying the request:
  // the login continues with it.
  if (!pageHeadPrinted()) printHead(page, "VELKO Login", nullptr, &list);
  commentLine(page, "no valid session: nothing shown or changed");
  static const std::string kEnglish = "This operation needs a valid session: please log in.";
  static const std::string kFrench = "Cette op\xC3\xA9ration demande une session valide : "
                                     "identifiez-vous.";
  const std::string& msg =
      st == kSessionEnded
          ? textOr(kTextSessionEnded, "Your session has ended: please log in again.")
          : textOr(kTextNoSession, langue(1) == "FR" ? kFrench : kEnglish);
  page.errorBox(langue(500), msg + "\n").markup("\n");
  printLoginForm(list);
  return false;
}

bool requireOwnName(const tArgList& list, const char* field) {
  if (!useSecurity()) return true;
  const std::string user = sessionUser(list);
  if (!user.empty() && getArg(list, field) == user) return true;
  tPage& page = request().page;
  if (!pageHeadPrinted()) printHead(page, "VELKO", nullptr, &list);
  commentLine(page, std::string(field) + " is not the session's user: nothing changed");
  printErr1(kTextOwnName, user);
  page.markup("\n");
  return false;
}

void resetButton(tPage& page) {
  const std::string label = textOr(kTextReset, "Reset");
  page.markup("<INPUT TYPE=reset VALUE=\"").attr(label).markup("\">");
}

// ---------------------------------------------------------------------------
// Scaffolding
// ---------------------------------------------------------------------------

void printNotAvailable(const char* function) {
  tPage& page = request().page;
  if (!pageHeadPrinted()) printHead(page, "velko");
  page.markup("<P>The function ").text(function).markup(" is not available yet.</P>\n");
}
