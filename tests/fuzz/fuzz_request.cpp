// Fuzz target for the request decoder. The first byte chooses the shape:
// a query string, a body with any content type, or a multipart body whose
// delimiter comes from CONTENT_TYPE (boundary quoted or not) or from a first
// line of 28 dashes, with CRLF or LF line ends, with or without a file part.
// The other bytes, split at 0xFF, give the boundary, names, values and file.
// Any input decodes without fault within the size bounds; a multipart body
// built as a browser sends it (CRLF) gives back its fields and file exactly.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "args.h"
#include "fileio.h"

namespace {

// In the working directory: run.sh runs the target in its build folder.
const std::string kUpload = "velko-fuzz-upload." + std::to_string(getpid());

void check(bool ok) {
  if (!ok) abort();
}

// At most `max` bytes of `s`, keeping printable ASCII only, and no '"'
// either when `quote` is set.
std::string keep(const std::string& s, size_t max, bool quote) {
  std::string r;
  for (char c : s)
    if (r.size() < max && c >= 32 && c <= 126 && !(quote && c == '"')) r.push_back(c);
  return r;
}

// Decodes a read body as getQuery does: its first line chooses.
std::string decode(const char* contentType, const std::string& body, std::string* upload) {
  const size_t lf = body.find('\n');
  std::string first = body.substr(0, lf), qs;
  if (!first.empty() && first.back() == '\r') first.pop_back();
  const std::string delimiter = multipartDelimiter(contentType, true, first);
  tArgList list;
  if (delimiter.empty()) {
    splitQueryString(first, list);
    for (const tElement& e : list) check(e.nom.find_first_of("&=") == std::string::npos);
    return "";
  }
  check(delimiter.compare(0, 2, "--") == 0);
  const std::string rest = lf == std::string::npos ? "" : body.substr(lf + 1);
  FILE* f = rest.empty() ? nullptr : fmemopen(const_cast<char*>(rest.data()), rest.size(), "rb");
  unlink(kUpload.c_str());
  decodeMultipart(f, delimiter, list, kUpload, &qs);
  if (f) fclose(f);
  if (!readWholeFile(kUpload, upload)) upload->clear();
  check(upload->size() <= rest.size());
  std::string joined, fields;
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    joined += (joined.empty() ? "" : "&") + it->nom + "=" + it->valeur;
  check(joined == qs);
  for (const tElement& e : list) {
    check(e.nom.size() <= 998 && e.valeur.size() <= 998);
    fields += e.nom + "=" + e.valeur + ";";
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  if (size == 0) return 0;
  const unsigned shape = data[0];
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string upload;
  if ((shape & 3) == 0) {  // a query string
    check(urlDecodeValue(input).size() <= input.size());
    tArgList list;
    splitQueryString(input, list);
    return 0;
  }
  std::vector<std::string> p(1);
  for (char c : input) {
    if (c == '\xFF')
      p.emplace_back();
    else
      p.back().push_back(c);
  }
  const int form = shape >> 3 & 3;
  if ((shape & 3) == 1 || form == 3) {  // any body, any content type
    decode(p.size() > 1 ? p[0].c_str() : nullptr, p.back(), &upload);
    return 0;
  }
  // A multipart body built from the pieces.
  const bool crlf = shape & 4, withFile = shape & 32;
  const std::string nl = crlf ? "\r\n" : "\n";
  std::string boundary;
  for (char c : keep(p[0], 70, true))
    if (form == 1 || (c != ' ' && (form == 2 || c != ';'))) boundary += c;
  if (boundary.empty()) boundary = "b";
  const std::string delimiter = (form == 2 ? std::string(28, '-') : "--") + boundary;
  const std::string type = "multipart/form-data; boundary=" +
                           (form == 1 ? "\"" + boundary + "\"" : boundary);
  std::string body, expected;
  for (size_t i = 1; i + 1 < p.size() - (withFile ? 1 : 0); i += 2) {
    const std::string name = keep(p[i], 100, true), value = keep(p[i + 1], 200, false);
    body += delimiter + nl + "Content-Disposition: form-data; name=\"" + name + "\"" + nl + nl +
            value + nl;
    expected += name + "=" + value + ";";
  }
  const std::string file = withFile ? p.back() : "";
  const std::string fileName = keep(p.size() > 1 ? p[1] : "", 100, true);
  if (withFile) {
    body += delimiter + nl + "Content-Disposition: form-data; name=\"File\"; filename=\"" +
            fileName + "\"" + nl + "Content-Type: application/octet-stream" + nl + nl + file + nl;
    expected += "File=" + fileName + ";";
  }
  body += delimiter + "--" + nl;
  const std::string got = decode(form == 2 ? nullptr : type.c_str(), body, &upload);
  if (!crlf || file.find("\r\n" + delimiter) != std::string::npos) return 0;
  check(got == expected);
  check(upload == file);
  return 0;
}
