// html.h: everything a page writes goes through here.
//
// A response has exactly one CGI header. Output written before the header
// (a diagnostic comment of the configuration reader, say) is held back and
// follows the header when it is sent, so a failure can never print text in
// front of the header or cause a second one. The escaping helpers are the
// only way request or file values reach a page.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// The header of an ordinary page.
constexpr std::string_view kHtmlHeader = "Content-type: text/html\n\n";

// Sends the CGI header `header` (its lines and the blank line that ends
// them) unless a header was already sent; then the held-back output.
// Returns true when this call sent it.
bool sendHeader(std::string_view header = kHtmlHeader);
bool headerSent();

// Writes page text: after the header, or held back until it is sent.
void emit(std::string_view text);
void emitf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// An HTML comment in the velko form: "<!" text ">".
void emitComment(std::string_view text);

// Ends the response: held-back text without a header gets the default
// header first; everything is flushed to standard output.
void finishOutput();

// Forgets the output state of this process (tests run several requests).
void resetOutput();

// Escaping for element content (<, >, & and ") and for attribute values
// (the same, plus ').
std::string escapeHtml(std::string_view text);
std::string escapeAttr(std::string_view text);

// printf into a std::string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list ap);
