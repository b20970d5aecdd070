#include "display.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>

#include "config.h"
#include "cookies.h"
#include "html.h"

namespace {

bool& headPrinted() {
  static bool printed = false;
  return printed;
}

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// A value for an unquoted attribute that holds a URL made of configured
// parts (host, script, image directory): escaped, and a blank, which would
// end the attribute, written as %20.
std::string unquotedUrl(std::string_view s) {
  std::string r;
  for (char c : escapeAttr(s)) {
    if (c == ' ')
      r += "%20";
    else
      r += c;
  }
  return r;
}

// A request value inside such a URL (a report name, the opaque QS): ASCII
// letters, digits, "-._~" and '%' (QS comes already encoded) are kept,
// every other byte is written %XX, so the value can neither end the
// attribute nor add arguments.
std::string urlValue(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '%') {
      r += c;
    } else {
      r += '%';
      r += kHex[u >> 4];
      r += kHex[u & 15];
    }
  }
  return r;
}

// The name of a button image must be an identifier: the '.' of a report
// name becomes '_', and so does any other byte that is not a letter or a
// digit.
std::string imageName(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '-'))
      c = '_';
  return r;
}

// "http://HOSTNAME" when SERVER_PORT is "80" (or unset), else
// "http://HOSTNAME:PORT", at most 299 characters. Built on first use; the
// host and port do not change within a run (a test that changes them gets
// the address rebuilt).
const std::string& absoluteBase() {
  static std::string builtFor, base;
  const std::string port = envOrEmpty("SERVER_PORT");
  const std::string key = getCfgFile() + "\n" + port;
  if (base.empty() || builtFor != key) {
    const std::string host = getCfgKey("HOSTNAME");
    base = port.empty() || port == "80" ? "http://" + host : "http://" + host + ":" + port;
    if (base.size() > 299) base.resize(299);
    builtFor = key;
  }
  return base;
}

// The help pages lie beside the image directory: /x/images/ gives /x/help/.
std::string helpDir() {
  std::string dir = getImgDir();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string() : dir.substr(0, slash);
  return dir + "/help/";
}

// One entry of the start page menu.
struct MenuEntry {
  int label;          // language text
  const char* image;  // in the image directory
  const char* cmd;    // CMD value; null for the help directory
  bool large;         // drawn 64 by 64
};

void menuEntry(const MenuEntry& m, const std::string& script, const std::string& uid,
               const std::string& img) {
  const std::string& label = langue(m.label);
  emit("<TD ALIGN=CENTER WIDTH=20%>");
  if (m.cmd)
    emitf("<A HREF=\"%s?CMD=%s%s\">\n", script.c_str(), m.cmd, uid.c_str());
  else
    emitf("<A HREF=\"%s\">\n", escapeAttr(helpDir()).c_str());
  emitf("<IMG SRC=\"%s/%s\"%s BORDER=0 ALT=\"%s\"><BR>%s</A></TD>\n", img.c_str(), m.image,
        m.large ? " WIDTH=64 HEIGHT=64" : "", escapeAttr(label).c_str(), label.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Output to a file or to the page
// ---------------------------------------------------------------------------

void writeOut(FILE* fd, std::string_view text) {
  if (fd)
    fwrite(text.data(), 1, text.size(), fd);
  else
    emit(text);
}

void writeOutf(FILE* fd, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  writeOut(fd, s);
}

// ---------------------------------------------------------------------------
// Page frame
// ---------------------------------------------------------------------------

void printHead(FILE* fd, const std::string& title, const char* bg, const tArgList* list) {
  const bool defaultColour = bg == nullptr;
  const std::string colour = escapeAttr(defaultColour ? "#FFFFFF" : bg);
  const std::string safeTitle = escapeHtml(title);
  if (fd) {
    writeOut(fd, "Content-Type: text/html; charset=us-ascii\n");
    writeOutf(fd, "<HTML>\n<HEAD>\n<TITLE>%s</TITLE>\n</HEAD>\n", safeTitle.c_str());
    writeOutf(fd, "<BODY BGCOLOR=\"%s\" TEXT=\"#000000\" >\n", colour.c_str());
    return;
  }
  langue(1);  // loads the language table; a failure comment follows the header
  sendHeader();
  emit("<HTML>\n<HEAD>\n");
  // The language files and the texts typed into the forms are UTF-8.
  emit("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n");
  const bool secure = useSecurity() != 0;
  if (secure) {
    cookieTools();
    cookieCheck(title, list);
  }
  emitf("<TITLE>%s</TITLE>\n</HEAD>\n", safeTitle.c_str());
  if (defaultColour)
    emitf("<BODY BACKGROUND=%s/fond.gif BGCOLOR=\"%s\" ", unquotedUrl(getImgDir()).c_str(),
          colour.c_str());
  else
    emitf("<BODY BGCOLOR=\"%s\" ", colour.c_str());
  emit("TEXT=\"#000000\" ");
  if (secure) emit("onLoad=\"CookieCheck()\"");
  emit(">\n");
  headPrinted() = true;
}

// A head printed before the output was reset (tests) does not count.
bool pageHeadPrinted() { return headPrinted() && headerSent(); }

void checkVersion() {
  if (langue(2) == kVelkoVersion) return;
  emit("<P Align=Center><FONT COLOR=RED>Please update langage file ");
  emitf("langue.%s in configuration directory.</P></FONT>\n", escapeHtml(langue(1)).c_str());
}

void maindisp(tArgList& list) {
  printHead(nullptr, "VELKO", nullptr, &list);
  const std::string img = escapeAttr(getImgDir());
  const std::string help = escapeAttr(helpDir());

  emit("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=40%> <TR>\n");
  emitf("<TD ALIGN=CENTER><A HREF=\"%s\"><IMG SRC=\"%s/velko.gif\" ALT=VELKO BORDER=0></A>"
        "</TD></TR>\n",
        help.c_str(), img.c_str());
  emit("<TR><TD ALIGN=CENTER><FONT SIZE=+1><B>VELKO Problem Report Tracker</B></FONT>"
       "</TD></TR>\n");
  emitf("<TR><TD ALIGN=CENTER><FONT SIZE=-1><B> %s %s</B></FONT>\n", kVelkoVersion,
        escapeHtml(langue(1)).c_str());
  emitf("<A HREF=\"%s%s/index.html\"><FONT COLOR=BLACK SIZE=1>notice</FONT></A></TD></TR>\n",
        help.c_str(), langue(1) == "FR" ? "fr" : "en");
  emit("</TABLE><BR>\n");

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
    const std::string script = unquotedUrl(envOrEmpty("SCRIPT_NAME"));
    const std::string uid = addUid();
    emit("<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=50%> <TR>\n");
    for (int r = 0; r < 2; ++r) {
      if (r > 0) emit("<TR>\n");
      emit("<TD>&nbsp</TD>\n");
      for (const MenuEntry& m : kRows[r]) menuEntry(m, script, uid, img);
      emit("<TD>&nbsp</TD>\n</TR>\n");
    }
    emit("</TABLE>\n");
  } else {
    printErr(514);
  }
  emit("\n\n\n");
}

void jsChangePage() {
  emit("<SCRIPT LANGUAGE=JavaScript>\n"
       "function changePage(page,menu) {\n"
       "  document.location = page;\n"
       "}\n"
       "</SCRIPT>\n");
}

void jsCheckChange() {
  static const char* const kBoxes[] = {"statN", "statA", "statO", "statC", "statV", "statP",
                                       "statB", "statR", "statD", "statT", "statS"};
  emit("<SCRIPT  LANGUAGE=javascript1.2>\n"
       "function checkChange() {\n"
       "  var f = document.forms[1];\n"
       "  var v = f.ALL.checked;\n");
  for (const char* b : kBoxes) emitf("  f.%s.checked = v;\n", b);
  emit("}\n</SCRIPT>\n");
}

void displayMenuButton(FILE* tofile, const std::string& gif, const std::string& cmd,
                       const std::string& alt, const std::string& num, std::string_view qs) {
  const std::string base = tofile ? unquotedUrl(absoluteBase()) : std::string();
  const std::string script = unquotedUrl(envOrEmpty("SCRIPT_NAME"));
  writeOutf(tofile, "<TD><A HREF=%s%s?%s=%s&%s=%s", base.c_str(), script.c_str(), "CMD",
            urlValue(cmd).c_str(), "Num", urlValue(num).c_str());
  writeOutf(tofile, "&QS=%s", urlValue(qs).c_str());
  writeOut(tofile, ">");
  writeOutf(tofile, "<IMG NAME=%s%s SRC=%s%s/%s.gif WIDTH=30 HEIGHT=20 ALT=\"%s\"",
            imageName(cmd).c_str(), imageName(num).c_str(), base.c_str(),
            unquotedUrl(getImgDir()).c_str(), unquotedUrl(gif).c_str(), escapeAttr(alt).c_str());
  writeOut(tofile, " BORDER=0></A> </TD>\n");
}

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

void printData(FILE* fd, std::string_view data) {
  std::string out;
  out.reserve(data.size() + data.size() / 4);
  for (char c : data) {
    switch (c) {
      case '\n': out += "<BR>\n"; break;
      case '<': out += "&lt;\n"; break;
      case ' ': out += "&nbsp;\n"; break;
      default: out += c;
    }
  }
  writeOut(fd, out);
}

int padding(tGrid& table, tGridWidths& max) {
  constexpr int kPageWidth = 78;
  int len[kGridCells];
  for (int i = 0; i < kGridCells; ++i) {
    len[i] = static_cast<int>(table[i].size());
    max[i] = 0;
  }
  for (int c = 0; c < kGridColumns; ++c) {
    for (int r = 0; r < kGridRows; ++r) {
      const int i = kGridColumns * r + c;
      if (len[i] == 0) continue;
      // A cell followed by an empty one spans into it instead.
      if (c == kGridColumns - 1 || len[i + 1] > 0) max[c] = std::max(max[c], len[i]);
    }
  }
  int sum = max[0] + max[1] + max[2] + max[3];
  for (int c = 0; sum < kPageWidth; c = (c + 1) % kGridColumns, ++sum) ++max[c];
  for (int r = 0; r < kGridRows; ++r) {
    for (int c = 0; c < kGridColumns; ++c) {
      std::string& cell = table[kGridColumns * r + c];
      if (cell.empty()) continue;
      int width = max[c];
      for (int k = c + 1; k < kGridColumns && table[kGridColumns * r + k].empty(); ++k)
        width += max[k];
      if (static_cast<int>(cell.size()) < width) cell.append(width - cell.size(), ' ');
    }
  }
  return sum + 3;
}

void line(FILE* fd, const tGridWidths& max, int arg) {
  std::string out = "+";
  for (int i = 0; i < arg && i < kGridCells; ++i) {
    out.append(static_cast<size_t>(std::max(max[i], 0)), '-');
    out += '+';
  }
  out += '\n';
  writeOut(fd, out);
}

void printBug(const std::string& num) {
  (void)num;
  printNotAvailable("printBug");
}
