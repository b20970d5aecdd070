// html.h: the page object and the escaping of every output context.
//
// A handler renders its page into a tPage; the front end sends it. A tPage
// is a string in memory: nothing reaches standard output before the front
// end decides, so a late failure can still replace a page, and a page body
// can equally become the body of a mail.
//
// Values reach a page only through an escaping function of their context:
// text() for element content, attr() for a quoted attribute value, urlArg()
// for a query-string value, and so on. markup() takes string literals only,
// so request data, file contents, configuration values and language texts
// can never be written as markup by mistake. Numbers have num().
#pragma once

#include <string>
#include <string_view>

// The header of an ordinary page.
constexpr std::string_view kHtmlHeader = "Content-type: text/html\n\n";

// ---------------------------------------------------------------------------
// Escaping, one function per context
// ---------------------------------------------------------------------------

// Element content: '<', '>', '&' and '"' become character references.
std::string escapeHtml(std::string_view text);
// A quoted attribute value: the same, and '\'' too.
std::string escapeAttr(std::string_view text);
// A value of a query string: a blank becomes '+', ASCII letters and digits
// are kept, every other byte is "%XX" (upper case).
std::string urlArg(std::string_view value);
// A whole text carried as one URL value (the QS of the action pages): ASCII
// letters and digits kept, every other byte "%XX", at most 499 characters,
// cut before an encoded byte that would not fit.
std::string urlEncode(std::string_view text);
// A value that may already hold %XX escapes (QS, a report name) inside a
// URL: letters, digits, "-._~" and '%' kept, everything else "%XX", so the
// value can neither end the attribute nor add arguments.
std::string urlValue(std::string_view value);
// A file path inside a URL: letters, digits and "-._~/:," kept.
std::string urlPath(std::string_view path);
// A configured URL written into an unquoted attribute: escapeAttr, and a
// blank (which would end the attribute) as "%20".
std::string unquotedUrl(std::string_view url);
// A query string as received, inside a quoted attribute: its '&' and '%'
// stay as sent; only '"', '<' and '>' become character references.
std::string quotedQuery(std::string_view qs);
// A JavaScript string literal, quotes included: quotes, backslashes,
// control bytes, '<', '>', '&' and DEL as "\xHH".
std::string jsString(std::string_view s);
// An identifier (image name): every byte but letters, digits and '-' is '_'.
std::string identifier(std::string_view s);

// ---------------------------------------------------------------------------
// The page
// ---------------------------------------------------------------------------

class tPage {
 public:
  tPage() = default;
  tPage(const tPage&) = delete;
  tPage& operator=(const tPage&) = delete;

  // Markup written by the program: literals only.
  template <size_t N>
  tPage& markup(const char (&literal)[N]) {
    body_.append(literal, N - 1);
    return *this;
  }
  tPage& text(std::string_view s);     // escapeHtml
  tPage& attr(std::string_view s);     // escapeAttr
  tPage& urlArg(std::string_view s);   // ::urlArg
  tPage& urlValue(std::string_view s); // ::urlValue
  tPage& urlPath(std::string_view s);  // ::urlPath
  tPage& js(std::string_view s);       // ::jsString, quotes included
  tPage& num(long n);
  // n on `width` digits, zero padded ("%05d").
  tPage& num0(long n, int width);
  // A diagnostic comment "<!" text ">", the text escaped so that it cannot
  // end the comment early.
  tPage& comment(std::string_view s);
  // Text already escaped for its context by one of the functions above
  // (a value built once and written several times).
  tPage& escaped(const std::string& s);
  // The body of another page (a report rendered once, shown twice).
  tPage& append(const tPage& other);
  // The document type "<!DOCTYPE html>\n", put at the very start of the
  // body (before a diagnostic comment written earlier, which would
  // otherwise come first), once: a body that begins with it keeps it alone.
  tPage& doctype();

  // Tags written again and again.
  // <INPUT TYPE="hidden" NAME="name" VALUE="value">\n
  tPage& hidden(std::string_view name, std::string_view value);
  // <OPTION SELECTED> label\n or <OPTION> label\n: an option whose value
  // is its label.
  tPage& option(std::string_view label, bool selected);
  // <IMG SRC="dir/file" BORDER=0 ALT="alt">
  tPage& image(std::string_view dir, std::string_view file, std::string_view alt);
  // <A HREF="href">label</A>: `href` is escaped as an attribute.
  tPage& link(std::string_view href, std::string_view label);
  // <FONT COLOR=RED>text <BR></FONT>\n: a line in red.
  tPage& redLine(std::string_view text);
  // The box of a refused request: a 400-pixel table with `title` as a red
  // heading, a rule, then `message`.
  tPage& errorBox(std::string_view title, std::string_view message);

  // The CGI header of the response: the first one set wins (a request that
  // runs several handlers sends one header). True when this call set it.
  bool setHeader(std::string_view header = kHtmlHeader);
  bool hasHeader() const { return !header_.empty(); }
  const std::string& header() const { return header_; }
  const std::string& body() const { return body_; }
  bool empty() const { return body_.empty(); }
  // Forgets the body (a download replaces what was rendered before it).
  void clearBody() { body_.clear(); }

  // The body of a download (a header other than text/html was set): its
  // bytes go out as they are, since no browser reads them as markup.
  tPage& downloadData(std::string_view bytes);

 private:
  std::string header_;
  std::string body_;
};
