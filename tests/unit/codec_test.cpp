// Codecs without files of their own: the escaping of each output context,
// SHA-256 and HMAC, the request decoding, mail header values and the
// encoded block of the site exchange.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "args.h"
#include "fileio.h"
#include "html.h"
#include "mails.h"
#include "sha256.h"
#include "uucode.h"

namespace {

std::string dump(const tArgList& list) {
  std::string s;
  for (const tElement& e : list) s += e.nom + "=" + e.valeur + ";";
  return s;
}

}  // namespace

TEST(Escaping, EveryContextKeepsItsDelimitersOut) {
  const struct { std::string (*fn)(std::string_view); const char *in, *out; } cases[] = {
      {escapeHtml, "<a href=\"x\">&'", "&lt;a href=&quot;x&quot;&gt;&amp;'"},
      {escapeAttr, "it's \"q\" <&>", "it&#39;s &quot;q&quot; &lt;&amp;&gt;"},
      {urlArg, "a b&c=d/\xC3\xA9%", "a+b%26c%3Dd%2F%C3%A9%25"},
      {urlEncode, "a b&c\n\xE9Z9", "a%20b%26c%0A%E9Z9"},
      {urlValue, "AB.001%41-_~ x\"&>", "AB.001%41-_~%20x%22%26%3E"},
      {urlPath, "/d/TRACE_A.001/f 1,x:y\"?", "/d/TRACE_A.001/f%201,x:y%22%3F"},
      {unquotedUrl, "http://h/a b?x=\"1\"&y", "http://h/a%20b?x=&quot;1&quot;&amp;y"},
      {quotedQuery, "CMD=x&Num=%41\"><", "CMD=x&Num=%41&quot;&gt;&lt;"},
      {jsString, "a\"b'c\\</script>\n\x7f\xC3\xA9",
       "\"a\\x22b\\x27c\\x5C\\x3C/script\\x3E\\x0A\\x7F\xC3\xA9\""},
      {identifier, "a-b.c d<\xC3\xA9>", "a-b_c_d____"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.fn(c.in), c.out) << c.in;
  // A zero byte is encoded, never taken for the end of the kept set.
  EXPECT_EQ(urlValue(std::string_view("a\0b", 3)), "a%00b");
  // urlEncode keeps at most 499 characters and never half an escape.
  EXPECT_EQ(urlEncode(std::string(498, 'a') + "&&"), std::string(498, 'a'));
  EXPECT_EQ(urlEncode(std::string(600, ' ')).size(), 498u);
  // The page's comment cannot be ended early by its text.
  tPage page;
  page.comment("x><script>").text("<").attr("'");
  EXPECT_EQ(page.body(), "<!x&gt;&lt;script&gt;>&lt;&#39;");
}

// SHA-256 against the FIPS 180 examples, HMAC-SHA-256 against RFC 4231

TEST(Sha256, KnownDigests) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // Lengths around the padding limits: 55 bytes fit one block, 56 need two.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& [in, hex] : cases) EXPECT_EQ(toHex(sha256(in)), hex) << in.size();
  // A million 'a' fed in uneven pieces crosses every buffer boundary case.
  Sha256 s;
  const std::string piece(997, 'a');
  size_t fed = 0;
  for (; fed + piece.size() <= 1000000; fed += piece.size()) s.update(piece);
  s.update(std::string(1000000 - fed, 'a'));
  EXPECT_EQ(toHex(s.digest()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, HmacVectorsAndConstantTimeEqual) {
  const struct { std::string key, data; const char* mac; } cases[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      // Keys longer than a block are hashed first.
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(toHex(hmacSha256(c.key, c.data)).substr(0, strlen(c.mac)), c.mac) << c.data;
  EXPECT_TRUE(constantTimeEqual("secret", "secret"));
  EXPECT_FALSE(constantTimeEqual("secret", "secreT"));
  EXPECT_FALSE(constantTimeEqual("secret", "secret "));  // a prefix is not equal
}

// Request decoding

TEST(QueryString, ValuesAndSegments) {
  const std::pair<const char*, const char*> values[] = {
      {"%41%a0b+c", "A b c"}, {"%C2%A9", "\xC2\xA9"}, {"%e9t%C3%A9", "\xE9t\xC3\xA9"},
      {"%C2%A0", " "}, {"%c2%a0x", " x"},  // the blank option of a UTF-8 page reads as absent
      // Malformed escapes stay as they are; nothing past the end is read.
      {"100%", "100%"}, {"%4", "%4"}, {"%zz%4g", "%zz%4g"}, {"%%41", "%A"}, {"%C2%4", "\xC2%4"},
  };
  for (const auto& [in, out] : values) EXPECT_EQ(urlDecodeValue(in), out) << in;
  const std::pair<const char*, const char*> splits[] = {
      {"x=&v=a=b&w=1", "x=;v=a=b;w=1;"}, {"a=1&", "a=1;"}, {"noequals", ""},
      {"lone&b=2&&c=3&tail", "b=2;c=3;"},  // segments without '=' are skipped
      {"=v&n%41=%41", "=v;n%41=A;"},       // names are never decoded
  };
  for (const auto& [in, out] : splits) {
    tArgList l;
    splitQueryString(in, l);
    EXPECT_EQ(dump(l), out) << in;
  }
}

TEST(Multipart, DelimiterFromTheContentTypeOrTheFirstLine) {
  const std::string dashes(28, '-');
  const struct { const char* type; bool body; std::string first, delimiter; } cases[] = {
      {"multipart/form-data; boundary=abc", true, "x", "--abc"},
      {"multipart/form-data; boundary=abc; charset=x", true, "x", "--abc"},
      {"multipart/form-data; boundary=\"a b;c\"", true, "x", "--a b;c"},
      {"multipart/form-data; boundary=\"open", true, "x", "--open"},
      {"Multipart/Form-Data; BOUNDARY=Zz", true, "x", "--Zz"},
      {"multipart/form-data; boundary=abc", false, "a=1", ""},  // no body read
      {"multipart/form-data", true, dashes + "x y", dashes + "x"},
      {"application/x-www-form-urlencoded", true, "a=1", ""},
      {nullptr, true, dashes + "\r", dashes},
      {nullptr, false, dashes.substr(1) + "x", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(multipartDelimiter(c.type, c.body, c.first), c.delimiter) << (c.type ? c.type : "");
}

namespace {

const std::string kUpload = "/tmp/velko-unit-upload." + std::to_string(getpid());

// Decodes `body` (its delimiter line included) as getQuery does; `upload`
// receives the uploaded file, "<none>" when none was created.
tArgList decode(const std::string& body, std::string* qs, std::string* upload) {
  unlink(kUpload.c_str());
  FILE* f = fmemopen(const_cast<char*>(body.data()), body.size(), "rb");
  std::string first;
  for (int c; (c = getc(f)) != EOF && c != '\n';) first.push_back(static_cast<char>(c));
  if (!first.empty() && first.back() == '\r') first.pop_back();
  tArgList list;
  decodeMultipart(f, first, list, kUpload, qs);
  fclose(f);
  if (!readWholeFile(kUpload, upload)) *upload = "<none>";
  unlink(kUpload.c_str());
  return list;
}

std::string part(const std::string& b, const std::string& name, const std::string& v) {
  return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + v +
         "\r\n";
}

std::string file(const std::string& b, const std::string& fileName, const std::string& data) {
  return "--" + b + "\r\nContent-Disposition: form-data; name=\"File\"; filename=\"" + fileName +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
}

}  // namespace

TEST(Multipart, FieldsAndAFileWithNearMissesOfTheDelimiter) {
  const std::string b = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
  std::string data, qs, upload;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  data += "\r\n--" + b.substr(0, 10) + "\r\r\n-\r\n--" + b.substr(0, b.size() - 1) + "!";
  const tArgList list = decode(part(b, "CMD", "Attach") + part(b, "title", "Probl\xE9me") +
                                   file(b, "report.bin", data) + part(b, "after", "1"),
                               &qs, &upload);
  // Request order; a value ends at its first control or non-ASCII byte; a
  // file part ends the body.
  EXPECT_EQ(dump(list), "CMD=Attach;title=Probl;File=report.bin;");
  EXPECT_EQ(qs, "File=report.bin&title=Probl&CMD=Attach");
  EXPECT_EQ(upload, data);
}

TEST(Multipart, LongAndMultiLineValuesAndCutBodies) {
  const std::string b = "XyZ";
  std::string qs, upload;
  const std::string body = part(b, "text", "first\r\nsecond \"quoted\" line") +
                           part(b, "long", std::string(5000, 'v')) + part(b, "e", "") +
                           "--XyZ--\r\n";
  const tArgList list = decode(body, &qs, &upload);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].valeur, "first");  // a quote in later lines starts no part
  EXPECT_EQ(list[1].valeur, std::string(998, 'v'));
  EXPECT_EQ(list[2].nom + "=" + list[2].valeur, "e=");
  EXPECT_EQ(upload, "<none>");  // the upload file is created only for a file part
  // The input ends inside the file, in the middle of a line end.
  const std::string cut = file(b, "f", "partial\r\n--X");
  EXPECT_EQ(dump(decode(cut.substr(0, cut.size() - 2), &qs, &upload)), "File=f;");
  EXPECT_EQ(upload, "partial\r\n--X");
  // No body at all (a query string of dashes): no field, no file.
  tArgList none;
  decodeMultipart(nullptr, std::string(30, '-'), none, kUpload, &qs);
  EXPECT_EQ(dump(none) + qs, "");
}

// Mail header values and addresses

// The text of the RFC 2047 words of `value`, joined.
std::string decodeWords(const std::string& value) {
  static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t p = value.find("=?UTF-8?B?"); p != std::string::npos; p = value.find("=?U", p)) {
    unsigned acc = 0, bits = 0;
    for (p += 10; value.at(p) != '?' && value[p] != '='; ++p) {
      acc = acc << 6 | static_cast<unsigned>(strchr(kB64, value[p]) - kB64);
      if ((bits += 6) >= 8) out += static_cast<char>((acc >> (bits -= 8)) & 0xFF);
    }
  }
  return out;
}

TEST(MailHeader, AsciiStaysTheRunOfNonAsciiWordsIsEncoded) {
  const std::pair<const char*, const char*> cases[] = {
      {"Bug TS10.00001 Correction by alice", "Bug TS10.00001 Correction by alice"},
      // A line end would start a header of the value's making.
      {"Bug X by a\r\nBcc: victim@x", "Bug X by a  Bcc: victim@x"},
      {"Bug X Pour v\xC3\xA9rification by carol",
       "Bug X Pour =?UTF-8?B?dsOpcmlmaWNhdGlvbg==?= by carol"},
      {"Bug X Pi\xC3\xA8" "ce jointe by \xC3\xA9ric",
       "Bug X =?UTF-8?B?UGnDqGNlIGpvaW50ZSBieSDDqXJpYw==?="},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(mailHeaderText(in), out);
  // A long value: words of at most 75 characters, no UTF-8 character cut
  // between two of them, and the text comes back whole.
  std::string run;
  for (int i = 0; i < 30; ++i) run += "\xC3\xA9\xE2\x82\xAC ";
  run += "\xC3\xA9ric";
  const std::string enc = mailHeaderText("Bug X " + run);
  ASSERT_EQ(enc.rfind("Bug X =?UTF-8?B?", 0), 0u) << enc;
  int words = 0;
  for (size_t p = enc.find("=?"), e; p != std::string::npos; p = enc.find("=?", e), ++words) {
    e = enc.find("?=", p + 10) + 2;
    EXPECT_LE(e - p, 75u);
    EXPECT_NE(decodeWords(enc.substr(p, e - p)).at(0) & 0xC0, 0x80) << "cut character";
  }
  EXPECT_GT(words, 2);
  EXPECT_EQ(decodeWords(enc), run);
}

TEST(MailAddress, OnlyAddressCharactersReachTheMailCommand) {
  for (const char* ok : {"alice@velko.test", "o'brien+tag@x.org", "root", "a.b-c_d@x.y"})
    EXPECT_TRUE(isSafeMailAddress(ok)) << ok;
  for (const char* bad : {"", "a b@x", "-oQ/tmp@x", "+inbox", "|touch /tmp/x", "/etc/passwd",
                          "a;b@x", "a\"b@x", "<a@x>", "a@x\n", "a`b`$(c)@x.org/"})
    EXPECT_FALSE(isSafeMailAddress(bad)) << bad;
  EXPECT_FALSE(isSafeMailAddress(std::string("a\0b@x", 5)));
  EXPECT_FALSE(isSafeMailAddress(std::string(400, 'a') + "@x"));
}

TEST(UuCode, BlocksAsWrittenAndDecodedBack) {
  const struct { std::string bytes; const char* lines; } cases[] = {
      {"", "`\r\nend\r\n"},
      {std::string("\0", 1), "!````\r\n`\r\nend\r\n"},  // 0 is the grave accent
      {"Cat", "#0V%T\r\n`\r\nend\r\n"},
      {std::string(45, 'a'), "M86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A\r\n"
                             "`\r\nend\r\n"},
      {std::string(46, 'a'), "M86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A\r\n"
                             "!80``\r\n`\r\nend\r\n"},
  };
  for (const auto& c : cases) {
    std::string block;
    uuencodeBytes(&block, S_ATTACH, 1234, "siteA", "TRACE_T.00001", "f.bin", &c.bytes);
    EXPECT_EQ(block, "\r\nfiletype: d 1234 siteA TRACE_T.00001\r\n\r\nbegin 0666 f.bin\r\n" +
                         std::string(c.lines));
    // Whether the transport kept the carriage returns or not.
    for (const std::string& in : {block, [&] {
           std::string s;
           for (char ch : block)
             if (ch != '\r') s += ch;
           return s;
         }()}) {
      size_t pos = 0;
      tDecoded d;
      ASSERT_TRUE(uudecode("+OK\r\nSubject: x\r\n" + in, &pos, &d));
      EXPECT_EQ(d.bytes, c.bytes);
      EXPECT_TRUE(d.complete);
      EXPECT_EQ(d.type, S_ATTACH);
      EXPECT_EQ(d.date, 1234);
      EXPECT_EQ(d.server, "siteA");
      EXPECT_EQ(d.arg, "TRACE_T.00001");
      EXPECT_EQ(d.name, "f.bin");
    }
  }
}

TEST(UuCode, CutDamagedAndSeveralBlocks) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 7);
  std::string block;
  uuencodeBytes(&block, S_FFT, 1, "h", "", "T.00001", &bytes);
  size_t pos = 0;
  tDecoded d;
  // Cut anywhere: never complete, never more bytes than sent.
  for (size_t cut = 40; cut < block.size() - 2; cut += 7) {
    pos = 0;
    ASSERT_TRUE(uudecode(block.substr(0, cut), &pos, &d));
    EXPECT_FALSE(d.complete) << cut;
    EXPECT_EQ(bytes.compare(0, d.bytes.size(), d.bytes), 0);
  }
  // A character lost inside a data line.
  std::string damaged = block;
  damaged.erase(damaged.find("\r\nM") + 10, 1);
  pos = 0;
  ASSERT_TRUE(uudecode(damaged, &pos, &d));
  EXPECT_FALSE(d.complete);
  // An acknowledgement: the argument only; two blocks read one per call.
  std::string two;
  uuencodeBytes(&two, S_ACK, 5, "siteB", "siteA:s00007.txt", "siteA:s00007.txt", nullptr);
  two += block;
  pos = 0;
  ASSERT_TRUE(uudecode(two, &pos, &d));
  EXPECT_EQ(d.type, S_ACK);
  EXPECT_EQ(d.arg, "siteA:s00007.txt");
  ASSERT_TRUE(uudecode(two, &pos, &d));
  EXPECT_EQ(d.bytes, bytes);
  EXPECT_TRUE(d.complete);
  EXPECT_FALSE(uudecode(two, &pos, &d));
  EXPECT_EQ(uuBaseName("a/b\\c/../f"), "f");
  EXPECT_EQ(uuBaseName("../"), "");
}
