// Request decoding: the three request shapes, the argument list and its
// lookups, and the files that the decoding writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "config.h"
#include "html.h"
#include "testutil.h"
#include "velko.h"

namespace {

// Feeds `body` to standard input for the duration of the object.
class StdinFeed {
 public:
  explicit StdinFeed(const std::string& body) {
    tmp_ = tmpfile();
    fwrite(body.data(), 1, body.size(), tmp_);
    fflush(tmp_);
    rewind(tmp_);
    saved_ = dup(STDIN_FILENO);
    dup2(fileno(tmp_), STDIN_FILENO);
  }
  ~StdinFeed() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    fclose(tmp_);
  }

 private:
  FILE* tmp_;
  int saved_;
};

std::string dump(const tArgList& list) {
  std::string s;
  for (const tElement& e : list) s += e.nom + "=" + e.valeur + ";";
  return s;
}

tArgList queryOf(const std::string& qs) {
  ScopedEnv env({{"QUERY_STRING", qs}}, {"REQUEST_METHOD"});
  return getQuery(nullptr);
}

tArgList postOf(const std::string& body, const std::string& contentType = "",
                const char* length = nullptr) {
  std::map<std::string, std::string> vars = {
      {"QUERY_STRING", ""},
      {"REQUEST_METHOD", "POST"},
      {"CONTENT_LENGTH", length ? length : std::to_string(body.size())}};
  if (!contentType.empty()) vars["CONTENT_TYPE"] = contentType;
  ScopedEnv env(vars, contentType.empty() ? std::initializer_list<const char*>{"CONTENT_TYPE"}
                                          : std::initializer_list<const char*>{});
  StdinFeed feed(body);
  return getQuery(nullptr);
}

std::string part(const std::string& boundary, const std::string& name, const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

std::string filePart(const std::string& boundary, const std::string& name,
                     const std::string& fileName, const std::string& data) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"" + fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
         data + "\r\n";
}

}  // namespace

TEST(QueryString, ListIsNewestFirstAndLookupTakesLastOccurrence) {
  TempInstall inst;
  const tArgList list = queryOf("a=1&b=2&a=3");
  EXPECT_EQ(dump(list), "a=3;b=2;a=1;");
  EXPECT_EQ(getArg(list, "a"), "3");
  EXPECT_EQ(getArg(list, "A"), " ");  // names compare case-sensitively
  EXPECT_EQ(getArgInt(list, "b"), 2);
  EXPECT_EQ(getArgInt(list, "none"), 0);
}

TEST(QueryString, ValueDecoding) {
  EXPECT_EQ(urlDecodeValue("%41%a0b+c"), "A b c");
  EXPECT_EQ(urlDecodeValue("%A0"), " ");
  // A blank option of a UTF-8 page arrives as %C2%A0 and reads as absent.
  EXPECT_EQ(urlDecodeValue("%C2%A0"), " ");
  EXPECT_EQ(urlDecodeValue("%c2%a0x"), " x");
  EXPECT_EQ(urlDecodeValue("%C2%A9"), "\xc2\xa9");
  EXPECT_EQ(urlDecodeValue("%e9t%C3%A9"), "\xe9t\xc3\xa9");
  // Malformed escapes stay as they are, and nothing past the end is read.
  EXPECT_EQ(urlDecodeValue("100%"), "100%");
  EXPECT_EQ(urlDecodeValue("%4"), "%4");
  EXPECT_EQ(urlDecodeValue("%zz%4g"), "%zz%4g");
  EXPECT_EQ(urlDecodeValue("%%41"), "%A");
}

TEST(QueryString, Splitting) {
  tArgList l;
  splitQueryString("x=&v=a=b&w=1", l);
  EXPECT_EQ(dump(l), "x=;v=a=b;w=1;");
  l.clear();
  splitQueryString("a=1&", l);
  EXPECT_EQ(dump(l), "a=1;");
  l.clear();
  splitQueryString("lone&b=2&&c=3&tail", l);  // segments without '=' are skipped
  EXPECT_EQ(dump(l), "b=2;c=3;");
  l.clear();
  splitQueryString("noequals", l);
  EXPECT_TRUE(l.empty());
  l.clear();
  splitQueryString("=v&n%41=%41", l);  // names are never decoded
  EXPECT_EQ(dump(l), "=v;n%41=A;");
}

TEST(QueryString, EmptyValueAndAbsentArgumentDiffer) {
  TempInstall inst;
  const tArgList list = queryOf("x=");
  EXPECT_EQ(getArg(list, "x"), "");
  EXPECT_EQ(getArg(list, "y"), " ");
}

TEST(QueryString, NoMethodNoQueryGivesEmptyList) {
  TempInstall inst;
  ScopedEnv env({}, {"QUERY_STRING", "REQUEST_METHOD"});
  EXPECT_TRUE(getQuery(nullptr).empty());
  EXPECT_EQ(getQueryString(), "");
}

TEST(QueryString, AddArgHidesOlderAndComments) {
  TempInstall inst;
  tArgList list = queryOf("a=1");
  const std::string out = captureOutput([&] { addArg(list, "a", "2"); });
  EXPECT_EQ(getArg(list, "a"), "2");
  EXPECT_EQ(list.size(), 2u);
  EXPECT_NE(out.find("<!a,2>\n"), std::string::npos);
}

TEST(QueryString, LogHoldsRawQueryString) {
  TempInstall inst;
  queryOf("CMD=search&x=%41");
  EXPECT_EQ(inst.read("data/tmp/velko.log"), "CMD=search&x=%41\n");
  EXPECT_EQ(getQueryString(), "CMD=search&x=%41");
}

TEST(Post, FormEncodedBodyFirstLineOnly) {
  TempInstall inst;
  const tArgList list = postOf("a=1&b=2\nc=3");
  EXPECT_EQ(dump(list), "b=2;a=1;");
}

TEST(Post, QueryStringWinsOverBody) {
  TempInstall inst;
  ScopedEnv env({{"QUERY_STRING", "q=1"}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}});
  StdinFeed feed("b=2");
  EXPECT_EQ(dump(getQuery(nullptr)), "q=1;");
}

TEST(Post, BadContentLengthCountsAsZero) {
  TempInstall inst;
  for (const char* len : {"-5", "abc", "12abc", ""}) {
    EXPECT_TRUE(postOf("a=1&b=2", "", len).empty()) << len;
  }
  // Shorter body than announced: decoding stops at the end of input.
  EXPECT_EQ(dump(postOf("a=1", "", "100000")), "a=1;");
  // Longer body than announced: only the announced bytes are read.
  EXPECT_EQ(dump(postOf("a=123456", "", "5")), "a=123;");
}

TEST(Post, OnlyExactPostMethodReadsBody) {
  TempInstall inst;
  ScopedEnv env({{"QUERY_STRING", ""}, {"REQUEST_METHOD", "post"}, {"CONTENT_LENGTH", "3"}});
  StdinFeed feed("a=1");
  EXPECT_TRUE(getQuery(nullptr).empty());
}

TEST(Post, BodyTraceCopyIsWritten) {
  TempInstall inst;
  postOf("zz=trace-copy");
  FILE* f = fopen("/tmp/velko.in", "rb");
  ASSERT_NE(f, nullptr);
  char buf[64] = {0};
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  EXPECT_EQ(std::string(buf, n), "zz=trace-copy");
}

TEST(Multipart, FieldsAndFileWithBrowserBoundary) {
  TempInstall inst;
  const std::string b = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
  std::string data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  data += "\r\n--" + b.substr(0, 10) + "\r\r\n-";  // near-misses of the delimiter
  const std::string body = part(b, "CMD", "Attach") + part(b, "Num", "ABDXY.00001") +
                           part(b, "title", "Probl\xe9me de test") +
                           filePart(b, "File", "report.bin", data) + "--" + b + "--\r\n";
  const tArgList list = postOf(body, "multipart/form-data; boundary=" + b);
  EXPECT_EQ(dump(list), "File=report.bin;title=Probl;Num=ABDXY.00001;CMD=Attach;");
  EXPECT_EQ(getQueryString(), "File=report.bin&title=Probl&Num=ABDXY.00001&CMD=Attach");
  EXPECT_EQ(inst.read("data/tmp/data" + std::to_string(getpid())), data);
}

TEST(Multipart, QuotedBoundaryAndMultiLineValue) {
  TempInstall inst;
  const std::string b = "abc123";
  const std::string body = part(b, "text", "first line\r\nsecond \"quoted\" line") +
                           part(b, "User", "joe") + "--" + b + "--\r\n";
  const tArgList list = postOf(body, "multipart/form-data; boundary=\"abc123\"");
  EXPECT_EQ(dump(list), "User=joe;text=first line;");
}

TEST(Multipart, DashRuleWithoutContentTypeAndNoFilePart) {
  TempInstall inst;
  const std::string b = std::string(27, '-') + "12345";
  const std::string body = part(b, "a", "1") + part(b, "b", "") + "--" + b + "--\r\n";
  const tArgList list = postOf(body);
  EXPECT_EQ(dump(list), "b=;a=1;");
  EXPECT_EQ(getQueryString(), "b=&a=1");
}

TEST(Multipart, FilePartEndsParsingAndEmptyFile) {
  TempInstall inst;
  const std::string b = "XyZ";
  const std::string body = filePart(b, "File", "empty.txt", "") + part(b, "after", "1") +
                           "--" + b + "--\r\n";
  const tArgList list = postOf(body, "multipart/form-data; boundary=XyZ");
  EXPECT_EQ(dump(list), "File=empty.txt;");
  EXPECT_EQ(inst.read("data/tmp/data" + std::to_string(getpid())), "");
}

TEST(Multipart, CutShortBodyAndLongLines) {
  TempInstall inst;
  const std::string b = "B0undary";
  // A value line far longer than the line limit is cut, never overflowed.
  const std::string longValue(5000, 'v');
  std::string body = part(b, "long", longValue) + filePart(b, "File", "f", "partial data");
  body.resize(body.size() - 2);  // no closing delimiter: input ends inside the file
  const tArgList list = postOf(body, "multipart/form-data; boundary=" + b);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].valeur, std::string(998, 'v'));
  EXPECT_EQ(inst.read("data/tmp/data" + std::to_string(getpid())), "partial data");
}

TEST(Replay, TestArgumentReplaysPreviousQuery) {
  TempInstall inst;
  queryOf("CMD=search&who=me");
  ScopedEnv env({}, {"QUERY_STRING", "REQUEST_METHOD"});
  const tArgList list = getQuery("TEST");
  EXPECT_EQ(dump(list), "who=me;CMD=search;");
}

TEST(ReportName, OnlyTheReportNameFormIsAccepted) {
  for (const char* ok : {"ABDXY.00012", "T_a.00001", "AB-C.123456", "x\xc3\xa9.00001"})
    EXPECT_TRUE(isReportName(ok)) << ok;
  for (const char* bad : {"", ".00001", "AB.", "AB", "../etc.00001", "a/b.00001", "AB.0001x",
                          "AB..00001", "AB.00001/", "A B.00001", "index", "TRACE_X.00001/f"})
    EXPECT_FALSE(isReportName(bad)) << bad;
}
