// uucode.cpp: the encoded block (see uucode.h).
#include "uucode.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kLineBytes = 45;  // bytes of a full data line

char enc(unsigned v) { return v == 0 ? '`' : static_cast<char>((v & 63) + 32); }
unsigned dec(char c) { return (static_cast<unsigned>(static_cast<unsigned char>(c)) - 32) & 63; }

// One data line of `n` (1 to 45) bytes, line end included.
void encodeLine(std::string* out, const unsigned char* p, size_t n) {
  out->push_back(enc(static_cast<unsigned>(n)));
  for (size_t i = 0; i < n; i += 3) {
    // The bytes that fill a short last group are taken as 0.
    const unsigned b0 = p[i], b1 = i + 1 < n ? p[i + 1] : 0, b2 = i + 2 < n ? p[i + 2] : 0;
    out->push_back(enc(b0 >> 2));
    out->push_back(enc(((b0 & 3) << 4) | (b1 >> 4)));
    out->push_back(enc(((b1 & 15) << 2) | (b2 >> 6)));
    out->push_back(enc(b2 & 63));
  }
  out->append("\r\n");
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// A data line that is whole: its length character, exactly the characters
// that length needs, each of the encoding's range (a blank or the grave
// accent for 0).
bool wholeDataLine(const std::string& line, size_t n) {
  if (line.size() != 1 + (n + 2) / 3 * 4) return false;
  for (char c : line)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 96) return false;
  return true;
}

}  // namespace

std::string uuBaseName(std::string_view path) {
  const size_t at = path.find_last_of("/\\");
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

void uuencodeBytes(std::string* out, tSychType utype, long when, const std::string& host,
                   const std::string& arg, const std::string& baseName, const std::string* bytes) {
  char head[64];
  snprintf(head, sizeof head, "\r\nfiletype: %c %ld ", synchLetter(utype), when);
  out->append(head);
  out->append(host).append(" ").append(arg).append("\r\n");
  out->append("\r\nbegin 0666 ").append(baseName).append("\r\n");
  if (!bytes) return;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes->data());
  for (size_t at = 0; at < bytes->size(); at += kLineBytes)
    encodeLine(out, p + at, std::min(kLineBytes, bytes->size() - at));
  out->append("`\r\nend\r\n");
}

void uuencode(std::string* out, const std::string& nom, tSychType utype, const std::string& host,
              long when) {
  const std::string base = uuBaseName(nom);
  std::string arg;
  if (utype == S_ATTACH) {
    const std::string dir = nom.substr(0, nom.size() - base.size());
    arg = uuBaseName(std::string_view(dir).substr(0, dir.empty() ? 0 : dir.size() - 1));
  } else if (utype == S_ACK || utype == S_REQUEST) {
    // Only the argument matters: the block names no file of the sender.
    uuencodeBytes(out, utype, when, host, nom, base, nullptr);
    return;
  }
  std::string bytes;
  bool readable = false;
  if (FILE* f = fopen(nom.c_str(), "rb")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    readable = !ferror(f);
    fclose(f);
  }
  uuencodeBytes(out, utype, when, host, arg, base, readable ? &bytes : nullptr);
}

int ReadDataLine(std::string_view in, size_t* pos, std::string* buf) {
  buf->clear();
  while (*pos < in.size()) {
    const char c = in[(*pos)++];
    if (c == '\n') return 1;
    if (c != '\r') buf->push_back(c);
  }
  return 0;
}

bool uudecode(std::string_view in, size_t* pos, tDecoded* out) {
  *out = tDecoded();
  std::string line;
  for (;;) {
    if (*pos >= in.size()) return false;
    ReadDataLine(in, pos, &line);
    if (startsWith(line, "filetype")) {
      out->type = S_UNKNOWN;
      out->date = 0;
      out->server.clear();
      out->arg.clear();
      char t[2] = {0}, server[256] = {0}, arg[512] = {0};
      long date = 0;
      const int got = line.size() > 9 ? sscanf(line.c_str() + 9, "%1s %ld %255s %511s", t, &date,
                                                server, arg)
                                        : 0;
      if (got >= 1 && t[0] >= 'a' && t[0] < 'a' + kSynchTypes)
        out->type = static_cast<tSychType>(t[0] - 'a');
      if (got >= 2) out->date = date;
      if (got >= 3) out->server = server;
      if (got >= 4) out->arg = arg;
    } else if (startsWith(line, "begin")) {
      break;
    }
  }
  // "begin", a blank, the mode digits, a blank, then the name.
  size_t at = 5;
  if (at < line.size() && line[at] == ' ') ++at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
  if (at < line.size() && line[at] == ' ') ++at;
  out->name = line.substr(std::min(at, line.size()));

  bool whole = true, closed = false;
  while (ReadDataLine(in, pos, &line) == 1 || !line.empty()) {
    if (startsWith(line, "end")) break;  // no data line has a lower-case letter
    if (line.empty()) {  // a line that is no data line: the block is cut
      whole = false;
      break;
    }
    const size_t n = dec(line[0]);
    if (n == 0) {
      size_t look = *pos;
      std::string next;
      ReadDataLine(in, &look, &next);
      closed = startsWith(next, "end");
      if (closed) *pos = look;
      break;
    }
    if (n > kLineBytes || !wholeDataLine(line, n)) whole = false;
    // Only a line with all the characters its length needs gives bytes.
    if (n <= kLineBytes && line.size() >= 1 + (n + 2) / 3 * 4) {
      for (size_t i = 1, done = 0; done < n; i += 4) {
        const unsigned v0 = dec(line[i]), v1 = dec(line[i + 1]), v2 = dec(line[i + 2]),
                       v3 = dec(line[i + 3]);
        const unsigned char b[3] = {static_cast<unsigned char>(v0 << 2 | v1 >> 4),
                                    static_cast<unsigned char>((v1 & 15) << 4 | v2 >> 2),
                                    static_cast<unsigned char>((v2 & 3) << 6 | v3)};
        for (int k = 0; k < 3 && done < n; ++k, ++done) out->bytes.push_back(static_cast<char>(b[k]));
      }
    }
    if (*pos >= in.size()) break;
  }
  out->complete = whole && closed;
  return true;
}
