// args.cpp: request decoding. Trace files have fixed names in a shared
// directory: they are opened without following a symbolic link, created
// with mode 0600, and skipped when they cannot be opened.

#include "args.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include "config.h"
#include "text.h"

namespace {

constexpr const char* kTraceIn = "/tmp/velko.in";
constexpr const char* kTraceFile = "/tmp/velko.tra";
constexpr size_t kReplayLine = 1024;      // longest replayed query string line
constexpr size_t kPartLine = 998;         // longest multipart name, file name or value
constexpr size_t kMaxFirstLine = 16 << 20;  // longest form-encoded body kept
constexpr size_t kChunk = 64 * 1024;      // spooling step

// A file opened for writing with the rules of the trace files. A rewritten
// file is overwritten in place and then cut to its new length: truncating
// it to zero first makes the file system allocate and flush its blocks
// again at close, which would cost every request far more than the writes.
class TraceFile {
 public:
  // A trace that writes nothing (decoding outside a request).
  TraceFile() = default;
  TraceFile(const std::string& path, bool append) : append_(append) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : 0),
               0600);
  }
  ~TraceFile() {
    flush();
    if (fd_ < 0) return;
    if (!append_ && ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
      // Nothing to do: a trace that keeps an older tail is still readable.
    }
    close(fd_);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  void write(std::string_view s) {
    if (fd_ < 0) return;
    buf_.append(s);
    if (buf_.size() >= kChunk) flush();
  }
  void format(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (fd_ < 0) return;
    va_list ap;
    va_start(ap, fmt);
    write(vstrprintf(fmt, ap));
    va_end(ap);
  }
  void flush() {
    size_t done = 0;
    while (fd_ >= 0 && done < buf_.size()) {
      const ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    written_ += done;
    buf_.clear();
  }

 private:
  int fd_ = -1;
  bool append_ = false;
  size_t written_ = 0;
  std::string buf_;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// ---------------------------------------------------------------------------
// Secrets in the traces
// ---------------------------------------------------------------------------

// The trace files outlive the request (and the data directory's goes into
// backups): a password typed at the login, and the signature of a session
// identifier, which would let anyone reading a trace act as that user, are
// masked in every trace. A replayed login then needs the password again.
constexpr std::string_view kMasked = "*****";

// An identifier keeps its visible fields; its signature, after the last
// '#' (or its encoding "%23"), is masked.
std::string maskUid(std::string_view v) {
  const size_t hash = v.rfind('#');
  const size_t enc = v.rfind("%23");
  size_t keep = std::string_view::npos;
  if (hash != std::string_view::npos) keep = hash + 1;
  if (enc != std::string_view::npos && (keep == std::string_view::npos || enc + 3 > keep))
    keep = enc + 3;
  if (keep == std::string_view::npos) return std::string(kMasked);
  return std::string(v.substr(0, keep)) + std::string(kMasked);
}

// The fields that carry a password: the login's, the mailbox password of
// the main configuration editor, and the password column of the users
// table editor ("V2_<row>"; the same column of the other tables is masked
// too, which only costs the trace a value).
bool isPasswordField(std::string_view name) {
  if (name == "Passwd" || name == "popP") return true;
  if (name.substr(0, 3) != "V2_" || name.size() == 3) return false;
  for (char c : name.substr(3))
    if (c < '0' || c > '9') return false;
  return true;
}

// The field name of a multipart header line ("... name=\"x\" ..."), or "".
std::string_view partName(std::string_view line) {
  const size_t at = line.find("name=\"");
  if (at == std::string_view::npos) return std::string_view();
  const size_t end = line.find('"', at + 6);
  return end == std::string_view::npos ? std::string_view() : line.substr(at + 6, end - at - 6);
}

std::string maskedValue(std::string_view name, std::string_view value) {
  if (isPasswordField(name)) return std::string(kMasked);
  if (name == "Uid") return maskUid(value);
  return std::string(value);
}

// Masks secrets in a request body or query string as it streams by, so the
// body is never held whole: a form body ("name=value&...") field by field,
// a multipart body line by line (the value line after a secret field's
// headers).
class tSecretFilter {
 public:
  explicit tSecretFilter(bool multipart) : multipart_(multipart) {}

  std::string feed(std::string_view chunk) {
    std::string out;
    for (char c : chunk) multipart_ ? lineByte(c, out) : formByte(c, out);
    return out;
  }

  std::string finish() {
    std::string out;
    if (multipart_) {
      endLine(out);
    } else if (state_ == kName) {
      out += held_;
    } else if (state_ == kUid) {
      out += maskUid(held_);
    }
    held_.clear();
    return out;
  }

 private:
  static constexpr size_t kHoldMax = 4096;
  enum { kName, kCopy, kSkip, kUid } state_ = kName;
  enum { kNormal, kHeaders, kValue } part_ = kNormal;
  bool multipart_;
  std::string held_;

  void formByte(char c, std::string& out) {
    switch (state_) {
      case kName:
        if (c == '=') {
          out += held_;
          out += '=';
          if (isPasswordField(held_)) {
            out += kMasked;
            state_ = kSkip;
          } else {
            state_ = held_ == "Uid" ? kUid : kCopy;
          }
          held_.clear();
        } else if (c == '&' || held_.size() > 32) {
          out += held_;
          out += c;
          held_.clear();
          if (c != '&') state_ = kCopy;
        } else {
          held_ += c;
        }
        return;
      case kCopy:
        out += c;
        if (c == '&') state_ = kName;
        return;
      case kSkip:
        if (c == '&') {
          out += c;
          state_ = kName;
        }
        return;
      case kUid:
        if (c == '&') {
          out += maskUid(held_);
          out += c;
          held_.clear();
          state_ = kName;
        } else if (held_.size() > kHoldMax) {
          out += kMasked;  // no identifier is that long
          held_.clear();
          state_ = kSkip;
        } else {
          held_ += c;
        }
        return;
    }
  }

  void lineByte(char c, std::string& out) {
    if (c == '\n') {
      endLine(out);
      out += c;
      return;
    }
    // A value line is only counted, never kept; other lines are passed on
    // in pieces when they grow long.
    if (held_.size() < kHoldMax || part_ == kValue) {
      if (held_.size() < kHoldMax) held_ += c;
    } else {
      out += held_;
      held_.assign(1, c);
    }
  }

  void endLine(std::string& out) {
    const bool cr = !held_.empty() && held_.back() == '\r';
    switch (part_) {
      case kNormal:
        out += held_;
        if (isPasswordField(partName(held_))) {
          part_ = kHeaders;
          uid_ = false;
        } else if (partName(held_) == "Uid") {
          part_ = kHeaders;
          uid_ = true;
        }
        break;
      case kHeaders:
        out += held_;
        if (held_.empty() || held_ == "\r") part_ = kValue;
        break;
      case kValue:
        out += uid_ ? maskUid(cr ? held_.substr(0, held_.size() - 1) : held_) : std::string(kMasked);
        if (cr) out += '\r';
        part_ = kNormal;
        break;
    }
    held_.clear();
  }

  bool uid_ = false;
};

std::string maskSecrets(std::string_view qs) {
  tSecretFilter f(false);
  return f.feed(qs) + f.finish();
}

// CONTENT_LENGTH as a byte count: missing, negative or not a number is 0.
size_t contentLength() {
  const char* v = getenv("CONTENT_LENGTH");
  if (!v || !*v) return 0;
  char* end = nullptr;
  errno = 0;
  const long long n = strtoll(v, &end, 10);
  if (errno != 0 || *end != '\0' || n < 0) return 0;
  return static_cast<size_t>(n);
}

// The boundary of a multipart body from a CONTENT_TYPE value, possibly
// quoted; "" when the content type gives none.
std::string contentTypeBoundary(const char* ct) {
  if (!ct) return std::string();
  const std::string type = ct;
  std::string lower = type;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower.compare(0, 19, "multipart/form-data") != 0) return std::string();
  const size_t at = lower.find("boundary=");
  if (at == std::string::npos) return std::string();
  std::string b = type.substr(at + 9);
  if (!b.empty() && b[0] == '"') {
    const size_t close = b.find('"', 1);
    b = b.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    const size_t end = b.find_first_of("; \t\r\n");
    if (end != std::string::npos) b.resize(end);
  }
  return b;
}

// Copies the request body (CONTENT_LENGTH bytes at most, less when standard
// input ends first) into a private temporary file, and a trace copy into
// /tmp/velko.in. Returns the private file rewound for reading, or null.
FILE* readToFile() {
  char name[] = "/tmp/velko.body.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return nullptr;
  unlink(name);  // private to this process from here on
  FILE* body = fdopen(fd, "w+b");
  if (!body) {
    close(fd);
    return nullptr;
  }
  TraceFile trace(kTraceIn, false);
  std::unique_ptr<tSecretFilter> secrets;
  size_t left = contentLength();
  std::string chunk(kChunk, '\0');
  while (left > 0) {
    const size_t want = left < kChunk ? left : kChunk;
    const ssize_t n = read(STDIN_FILENO, chunk.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (fwrite(chunk.data(), 1, static_cast<size_t>(n), body) != static_cast<size_t>(n)) {
      // The body cannot be spooled: the request counts as having none.
      fclose(body);
      return nullptr;
    }
    const std::string_view got(chunk.data(), static_cast<size_t>(n));
    // A multipart body begins with its delimiter line.
    if (!secrets) secrets = std::make_unique<tSecretFilter>(got.substr(0, 2) == "--");
    trace.write(secrets->feed(got));
    left -= static_cast<size_t>(n);
  }
  if (secrets) trace.write(secrets->finish());
  if (fflush(body) != 0 || fseek(body, 0, SEEK_SET) != 0) {
    fclose(body);
    return nullptr;
  }
  return body;
}

// Drops a trailing line feed and the carriage return before it.
void chompLine(std::string& s) {
  if (!s.empty() && s.back() == '\n') s.pop_back();
  if (!s.empty() && s.back() == '\r') s.pop_back();
}

// The first line of the previous request's trace that is neither a comment
// nor empty: the query string to replay.
bool replayedQuery(std::string* qs) {
  FILE* f = fopen(kTraceFile, "r");
  if (!f) return false;
  qs->clear();
  char line[kReplayLine + 1];
  while (fgets(line, sizeof line, f)) {
    if (line[0] == '#' || line[0] == '\n' || line[0] == '\0') continue;
    *qs = line;
    chompLine(*qs);
    break;
  }
  fclose(f);
  return true;
}

// Obtains the raw query string: QUERY_STRING, the replayed one, or the first
// line of a POST body. Hands back the open body in *fin (else null).
// `replay` is the replayed query string when there is one.
std::string readQuery(const char* arg, const std::string* replay, FILE** fin, TraceFile& trace) {
  *fin = nullptr;
  const char* env = getenv("QUERY_STRING");
  std::string qs = replay ? *replay : env ? env : "";

  trace.format("#qs\"%s\"\n", maskSecrets(qs).c_str());
  trace.format("#*qs:<%d>\n", qs.empty() ? 0 : static_cast<int>(static_cast<signed char>(qs[0])));
  if (arg) trace.format("#arg:<%s>\n", arg);

  if (qs.empty()) {
    const char* method = getenv("REQUEST_METHOD");
    const bool post = method && strcmp(method, "POST") == 0;
    trace.format("#METHOD >>%s\n", method ? method : "");
    trace.format("#post: %d\n#qs=\"", post ? 1 : 0);
    if (post) {
      *fin = readToFile();
      if (*fin) {
        int c;
        while ((c = getc(*fin)) != EOF) {
          if (qs.size() < kMaxFirstLine) qs.push_back(static_cast<char>(c));
          if (c == '\n') break;
        }
        trace.write(maskSecrets(qs));
        chompLine(qs);
      }
    }
    trace.write("\";\n");
  }
  trace.write("#\n");
  trace.write(maskSecrets(qs));
  trace.write("\n");
  return qs;
}

// Reads bytes up to `stop` (consumed, not stored), at most kPartLine of
// them. False when the input ends before `stop`.
bool readUntil(FILE* ff, char stop, std::string* out) {
  out->clear();
  int c;
  while ((c = getc(ff)) != EOF) {
    if (c == static_cast<unsigned char>(stop)) return true;
    out->push_back(static_cast<char>(c));
    if (out->size() >= kPartLine) return true;
  }
  return false;
}

bool skipLine(FILE* ff) {
  int c;
  while ((c = getc(ff)) != EOF)
    if (c == '\n') return true;
  return false;
}

// Reads one line (at most kPartLine bytes kept), line feed consumed.
bool readLine(FILE* ff, std::string* out) {
  out->clear();
  int c;
  bool any = false;
  while ((c = getc(ff)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (out->size() < kPartLine) out->push_back(static_cast<char>(c));
  }
  return any;
}

// Copies an uploaded file's contents from `ff` to `out` up to the line end
// and delimiter that close it. The search is a proper string match (a
// partial match that breaks may start a new one), so a carriage return
// just before the closing line end does not hide the delimiter. True when
// the delimiter was found: the file arrived whole.
bool copyUntilDelimiter(FILE* ff, FILE* out, const std::string& delimiter, TraceFile& trace) {
  const std::string target = "\r\n" + delimiter;
  const size_t m = target.size();
  std::vector<size_t> fail(m, 0);
  for (size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && target[i] != target[k]) k = fail[k - 1];
    if (target[i] == target[k]) ++k;
    fail[i] = k;
  }
  size_t j = 0;  // bytes of target matched and withheld
  int c;
  while ((c = getc(ff)) != EOF) {
    const char b = static_cast<char>(c);
    // The trace shows the match against the delimiter itself: the line end
    // in front of it is matched silently, positions count from the
    // delimiter's first byte.
    while (j > 0 && target[j] != b) {
      if (j > 2) trace.format("I=: %c %c %d\n", target[j], b, static_cast<int>(j - 2));
      const size_t k = fail[j - 1];
      fwrite(target.data(), 1, j - k, out);  // withheld bytes that no longer match
      j = k;
    }
    if (target[j] == b) {
      if (j >= 2) trace.format("++: %c %c %d\n", target[j], b, static_cast<int>(j - 2));
      if (++j == m) return true;
    } else {
      putc(c, out);
    }
  }
  // Input ended inside the file: keep what was withheld.
  fwrite(target.data(), 1, j, out);
  return false;
}

// decodeMultipart, with the trace of the request. `upload` records whether
// the upload file was created and whether the file arrived whole.
void multipartQuery(FILE* ff, const std::string& delimiter, tArgList& list,
                    const std::string& uploadPath, std::string* pqs, TraceFile& trace,
                    tUpload* upload) {
  trace.format("\ndelimiter:>%s<\n", delimiter.c_str());
  std::string text, name, value;
  std::string passed;  // lines skipped after a field's value, shown with the next part
  while (ff) {
    if (!readUntil(ff, '"', &text)) break;
    trace.format("->%s%s\n", passed.c_str(), text.c_str());
    passed.clear();
    if (!readUntil(ff, '"', &name)) break;
    trace.format("nom->%s\n", name.c_str());
    const int after = getc(ff);
    trace.format("-%c-\n", after == EOF ? ' ' : after);
    if (after != ';') {
      // An ordinary field: the rest of the header line, the blank line, then
      // the first line of the value up to its first control or non-ASCII byte.
      skipLine(ff);
      skipLine(ff);
      readLine(ff, &value);
      size_t cut = 0;
      while (cut < value.size()) {
        const unsigned char ch = static_cast<unsigned char>(value[cut]);
        if (ch < 0x20 || ch > 0x7F) break;
        ++cut;
      }
      value.resize(cut);
      trace.format("-->%s\n", maskedValue(name, value).c_str());
      trace.format("-->len: %d \n", static_cast<int>(value.size()));
      trace.format(" delimiter: >%s<\n", delimiter.c_str());
      list.push_back({name, value});
      // The further lines of a multi-line value are skipped up to the next
      // delimiter line, so that a double quote inside them is not taken
      // for the start of the next part's name.
      std::string line;
      while (readLine(ff, &line)) {
        passed += line;
        passed += '\n';
        if (line.compare(0, delimiter.size(), delimiter) == 0) break;
      }
      continue;
    }
    // A file: its client name is the value; the contents go to the upload
    // file, created only now that there is one.
    std::string skipped;
    readUntil(ff, '"', &skipped);
    readUntil(ff, '"', &value);
    trace.format("-->%s\n", value.c_str());
    list.push_back({name, value});
    skipLine(ff);
    skipLine(ff);
    skipLine(ff);
    const int fd = uploadPath.empty() ? -1
                   : open(uploadPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      upload->written = true;
      if (FILE* out = fdopen(fd, "wb")) {
        const bool whole = copyUntilDelimiter(ff, out, delimiter, trace);
        // A write that failed (a full disk) leaves a file that is not whole.
        const bool failed = ferror(out) != 0;
        upload->complete = fclose(out) == 0 && whole && !failed;
      } else {
        close(fd);
      }
    }
    break;  // the file part ends the parsing
  }

  // The rebuilt query string: the fields, last part first, "name=value"
  // joined by "&", not encoded.
  pqs->clear();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (!pqs->empty()) pqs->push_back('&');
    *pqs += it->nom;
    pqs->push_back('=');
    *pqs += it->valeur;
  }
}

void writeQueryLog(const std::string& qs) {
  const std::string& data = getDataDir();
  if (data.empty()) return;
  TraceFile log(data + "/tmp/velko.log", false);
  log.write(qs);  // already masked
  log.write("\n");
}

}  // namespace

namespace {

// The byte of the escape "%XX" at `at`, -1 when there is none.
int escapedByte(std::string_view s, size_t at) {
  if (at + 2 >= s.size() || s[at] != '%') return -1;
  const int hi = hexValue(s[at + 1]), lo = hexValue(s[at + 2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

std::string urlDecodeValue(std::string_view value) {
  std::string r;
  r.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '+') {
      r.push_back(' ');
    } else if (c == '%' && escapedByte(value, i) == 0xC2 && escapedByte(value, i + 3) == 0xA0) {
      // The no-break space of a blank option as a UTF-8 page sends it.
      r.push_back(' ');
      i += 5;
    } else if (const int byte = escapedByte(value, i); byte >= 0) {
      r.push_back(byte == 0xA0 ? ' ' : static_cast<char>(byte));  // no-break space: a blank
      i += 2;
    } else {
      r.push_back(c);  // a malformed escape stays as it is
    }
  }
  return r;
}

// Splits "name=value&name=value". A segment without "=" before its "&" is
// skipped. The list is built in request order here and reversed by the
// caller, which gives the newest-first order.
void splitQueryString(std::string_view qs, tArgList& list) {
  size_t pos = 0;
  while (pos < qs.size()) {
    const size_t eq = qs.find('=', pos);
    if (eq == std::string_view::npos) break;
    const size_t amp = qs.find('&', pos);
    if (amp != std::string_view::npos && amp < eq) {
      pos = amp + 1;  // "a&b=c": "a" has no value
      continue;
    }
    const size_t end = amp == std::string_view::npos ? qs.size() : amp;
    list.push_back({std::string(qs.substr(pos, eq - pos)),
                    urlDecodeValue(qs.substr(eq + 1, end - eq - 1))});
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
}

std::string multipartDelimiter(const char* contentType, bool haveBody, std::string_view firstLine) {
  if (haveBody) {
    const std::string boundary = contentTypeBoundary(contentType);
    if (!boundary.empty()) return "--" + boundary;
  }
  // Without a usable content type, a first line of 28 dashes or more is
  // taken for a delimiter line: its first word.
  if (firstLine.size() >= 28 && firstLine.find_first_not_of('-') >= 28) {
    size_t end = 0;
    while (end < firstLine.size() && static_cast<unsigned char>(firstLine[end]) > 32) ++end;
    return std::string(firstLine.substr(0, end));
  }
  return std::string();
}

bool decodeMultipart(FILE* body, const std::string& delimiter, tArgList& list,
                     const std::string& uploadPath, std::string* qs) {
  TraceFile none;
  tUpload upload;
  multipartQuery(body, delimiter, list, uploadPath, qs, none, &upload);
  return upload.complete;
}

tArgList getQuery(const char* arg) {
  tArgList list;
  FILE* fin = nullptr;
  std::string qs;
  bool multipart = false;
  {
    // The replayed request is read before the trace file is rewritten.
    std::string replay;
    // The replay is an administrator's tool, run from a shell: a web server
    // hands a query string without '=' to the program as its arguments
    // ("?TEST"), and a replay would repeat the previous request, session
    // and all, for anyone.
    const char* web = getenv("QUERY_STRING");
    const bool replaying = arg && strcmp(arg, "TEST") == 0 && !(web && *web) &&
                           replayedQuery(&replay);
    TraceFile trace(kTraceFile, false);
    qs = readQuery(arg, replaying ? &replay : nullptr, &fin, trace);

    const std::string delimiter = multipartDelimiter(getenv("CONTENT_TYPE"), fin != nullptr, qs);
    multipart = !delimiter.empty();
    if (multipart) {
      tUpload& upload = request().slot<tUpload>();
      upload.path = getDataDir() + "/tmp/data" + std::to_string(getpid());
      multipartQuery(fin, delimiter, list, upload.path, &qs, trace, &upload);
      // The spool belongs to this request only: whatever the handlers did
      // with it, it is gone once the page is sent (an attachment links it
      // to its own name first).
      if (upload.written) request().after(removeUpload);
    } else {
      splitQueryString(qs, list);
    }
  }
  if (fin) fclose(fin);

  // Newest first.
  std::reverse(list.begin(), list.end());
  if (multipart) {
    // The rebuilt query string, its values unencoded: masked field by field,
    // since a password may hold '&'.
    std::string logged;
    for (const tElement& e : list) {
      if (!logged.empty()) logged += '&';
      logged += e.nom + "=" + maskedValue(e.nom, e.valeur);
    }
    writeQueryLog(logged);
  } else {
    writeQueryLog(maskSecrets(qs));
  }
  setQSCopy(qs);
  return list;
}

void removeUpload() {
  const tUpload& upload = request().slot<tUpload>();
  if (upload.written) unlink(upload.path.c_str());
}

const tUpload& requestUpload() {
  tUpload& upload = request().slot<tUpload>();
  if (upload.path.empty()) upload.path = getDataDir() + "/tmp/data" + std::to_string(getpid());
  return upload;
}

std::string getArg(const tArgList& list, std::string_view name) {
  for (const tElement& e : list)
    if (e.nom == name) return e.valeur;
  return " ";
}

int getArgInt(const tArgList& list, std::string_view name) {
  return atoi(getArg(list, name).c_str());
}

void addArg(tArgList& list, const std::string& name, const std::string& value) {
  list.insert(list.begin(), tElement{name, value});
  // Escaped: a value holding ">" would otherwise end the comment and put
  // the rest of it into the page.
  request().page.comment(name + "," + value).markup("\n");
}

const std::string& getQueryString() { return request().queryString; }
void setQSCopy(const std::string& qs) { request().queryString = qs; }

bool hasArg(const tArgList& list, std::string_view name) {
  for (const tElement& e : list)
    if (e.nom == name) return true;
  return false;
}

