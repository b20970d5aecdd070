#include "html.h"
#include "args.h"
#include "text.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void appendEscaped(std::string& r, std::string_view text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '&': r += "&amp;"; break;
      case '"': r += "&quot;"; break;
      case '\'':
        if (attribute)
          r += "&#39;";
        else
          r += c;
        break;
      default: r += c;
    }
  }
}

bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Percent-encodes every byte that is neither a letter, a digit nor one of
// `keep`; a blank becomes '+' when `plus` is set.
std::string percent(std::string_view s, const char* keep, bool plus) {
  std::string r;
  r.reserve(s.size() + 8);
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (plus && c == ' ') {
      r += '+';
    } else if (isAlnum(c) || (c != '\0' && strchr(keep, c) != nullptr)) {
      r += c;
    } else {
      r += '%';
      r += kHex[u >> 4];
      r += kHex[u & 15];
    }
  }
  return r;
}

}  // namespace

std::string escapeHtml(std::string_view text) {
  std::string r;
  r.reserve(text.size() + 16);
  appendEscaped(r, text, false);
  return r;
}

std::string escapeAttr(std::string_view text) {
  std::string r;
  r.reserve(text.size() + 16);
  appendEscaped(r, text, true);
  return r;
}

std::string urlArg(std::string_view value) { return percent(value, "", true); }

std::string urlEncode(std::string_view text) {
  constexpr size_t kMax = 499;
  std::string r = percent(text, "", false);
  if (r.size() > kMax) {
    r.resize(kMax);
    // Never keep half of an escape.
    const size_t pct = r.rfind('%');
    if (pct != std::string::npos && pct + 3 > r.size()) r.resize(pct);
  }
  return r;
}

std::string urlValue(std::string_view value) { return percent(value, "-._~%", false); }

std::string urlPath(std::string_view path) { return percent(path, "-._~/:,", false); }

std::string unquotedUrl(std::string_view url) {
  std::string r;
  for (char c : escapeAttr(url)) {
    if (c == ' ')
      r += "%20";
    else
      r += c;
  }
  return r;
}

std::string quotedQuery(std::string_view qs) {
  std::string r;
  r.reserve(qs.size());
  for (char c : qs) {
    if (c == '"')
      r += "&quot;";
    else if (c == '<')
      r += "&lt;";
    else if (c == '>')
      r += "&gt;";
    else
      r += c;
  }
  return r;
}

std::string jsString(std::string_view s) {
  std::string r = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '"' || c == '\'' || c == '\\' || c == '<' || c == '>' || c == '&' ||
        u == 0x7f) {
      r += "\\x";
      r += kHex[u >> 4];
      r += kHex[u & 15];
    } else {
      r += c;
    }
  }
  return r + "\"";
}

std::string identifier(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (!(isAlnum(c) || c == '-')) c = '_';
  return r;
}

// ---------------------------------------------------------------------------
// tPage
// ---------------------------------------------------------------------------

tPage& tPage::text(std::string_view s) {
  appendEscaped(body_, s, false);
  return *this;
}

tPage& tPage::attr(std::string_view s) {
  appendEscaped(body_, s, true);
  return *this;
}

tPage& tPage::urlArg(std::string_view s) {
  body_ += ::urlArg(s);
  return *this;
}

tPage& tPage::urlValue(std::string_view s) {
  body_ += ::urlValue(s);
  return *this;
}

tPage& tPage::urlPath(std::string_view s) {
  body_ += ::urlPath(s);
  return *this;
}

tPage& tPage::js(std::string_view s) {
  body_ += jsString(s);
  return *this;
}

tPage& tPage::num(long n) {
  char buf[24];
  const int len = snprintf(buf, sizeof buf, "%ld", n);
  body_.append(buf, static_cast<size_t>(len));
  return *this;
}

tPage& tPage::num0(long n, int width) {
  char buf[40];
  const int len = snprintf(buf, sizeof buf, "%0*ld", width, n);
  body_.append(buf, static_cast<size_t>(len));
  return *this;
}

tPage& tPage::comment(std::string_view s) {
  body_ += "<!";
  appendEscaped(body_, s, false);
  body_ += '>';
  return *this;
}

tPage& tPage::escaped(const std::string& s) {
  body_ += s;
  return *this;
}

tPage& tPage::append(const tPage& other) {
  body_ += other.body_;
  return *this;
}

tPage& tPage::doctype() {
  static constexpr std::string_view kDoctype = "<!DOCTYPE html>\n";
  if (body_.compare(0, kDoctype.size(), kDoctype) != 0) body_.insert(0, kDoctype);
  return *this;
}

tPage& tPage::hidden(std::string_view name, std::string_view value) {
  markup("<INPUT TYPE=\"hidden\" NAME=\"").attr(name).markup("\" VALUE=\"").attr(value);
  return markup("\">\n");
}

tPage& tPage::option(std::string_view label, bool selected) {
  if (selected)
    markup("<OPTION SELECTED> ");
  else
    markup("<OPTION> ");
  return text(label).markup("\n");
}

tPage& tPage::image(std::string_view dir, std::string_view file, std::string_view alt) {
  markup("<IMG SRC=\"").attr(dir).markup("/").attr(file).markup("\" BORDER=0 ALT=\"");
  return attr(alt).markup("\">");
}

tPage& tPage::link(std::string_view href, std::string_view label) {
  return markup("<A HREF=\"").attr(href).markup("\">").text(label).markup("</A>");
}

tPage& tPage::redLine(std::string_view s) {
  return markup("<FONT COLOR=RED>").text(s).markup(" <BR></FONT>\n");
}

tPage& tPage::errorBox(std::string_view title, std::string_view message) {
  markup("<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>").text(title);
  markup("</H1></font>\n<P><HR><BR><BR>").text(message);
  return markup("</TD></TR></TABLE>");
}

tPage& tPage::downloadData(std::string_view bytes) {
  body_ += bytes;
  return *this;
}

bool tPage::setHeader(std::string_view header) {
  if (!header_.empty()) return false;
  header_ = header;
  return true;
}
