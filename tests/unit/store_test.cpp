// Formats of the stored files: the index line, the report file, the users
// line and the main configuration file; and the session identifier, whose
// key lives in the configuration directory.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "config.h"
#include "fileio.h"
#include "session.h"  // the session identifier
#include "request.h"
#include "utils.h"

namespace {

// One installation for the whole program: <root>/config/velko.cfg naming
// <root>/data and <root>/cfg, found through PWD.
std::string root;

void put(const std::string& rel, const std::string& text) {
  ASSERT_TRUE(replaceFile(root + rel, text));
}

std::string get(const std::string& rel) {
  std::string text;
  return readWholeFile(root + rel, &text) ? text : "<none>";
}

struct Installation : ::testing::Environment {
  void SetUp() override {
    char tmpl[] = "/tmp/velko-unit.XXXXXX";
    root = mkdtemp(tmpl);
    for (const char* d : {"/config", "/data", "/cfg"}) makeDirs(root + d);
    put("/config/velko.cfg", "DATADIR " + root + "/data/\nCONFIGDIR " + root + "/cfg/\n");
    setenv("PWD", root.c_str(), 1);
    resetRequest();
  }
  void TearDown() override {
    if (system(("rm -rf '" + root + "'").c_str()) != 0) perror("rm");
  }
};
::testing::Environment* const installation = ::testing::AddGlobalTestEnvironment(new Installation);

const std::string kLine =
    "XY|12|b|1079355909|user1|c|PROJ|GRP|mod|1.0|1.1|d|0|user2||0|||0||c|a|||0|5|Crash at start";

// kLine with field `i` (0-based) replaced by `value`.
std::string lineWith(size_t i, const std::string& value) {
  size_t start = 0;
  for (size_t k = 0; k < i; ++k) start = kLine.find('|', start) + 1;
  const size_t end = kLine.find('|', start);
  return kLine.substr(0, start) + value + (end == std::string::npos ? "" : kLine.substr(end));
}

}  // namespace

// The index line

TEST(IndexLine, AWholeLineRoundTripsAndDamagedLinesAreRefused) {
  tHeader h;
  ASSERT_TRUE(strToIndex(kLine, &h));
  EXPECT_EQ(h.number, 12);
  EXPECT_EQ(h.status, OPEN);
  EXPECT_EQ(h.title, "Crash at start");
  EXPECT_EQ(writeIndexToStr(h), kLine + "\n");
  EXPECT_EQ(indexKey(h), "PROJ,GRP,1,12");
  EXPECT_EQ(indexKeyOfLine(kLine), indexKey(h));

  const std::string refused[] = {
      "", "just a title", "XY|12|b",         // cut short
      lineWith(1, "12x"), lineWith(3, ""),   // numbers that do not read whole
      lineWith(11, "~"), lineWith(2, "bb"),  // letters out of range
      lineWith(13, "user2|extra"),           // one field too many
  };
  for (const std::string& line : refused) {
    tHeader d;
    EXPECT_FALSE(strToIndex(line, &d)) << line;
  }
}

TEST(IndexLine, SeparatorsAndLineEndsInFieldsCannotSplitTheLine) {
  tHeader h;
  ASSERT_TRUE(strToIndex(kLine, &h));
  h.title = "Crash | on <save>\nsecond line \xC3\xA9";
  h.module = "a|b";
  h.project = std::string(38, 'p') + "\xC3\xA9zz";  // cut at 39 bytes: inside the character
  const std::string line = writeIndexToStr(h);
  EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 26);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  tHeader back;
  ASSERT_TRUE(strToIndex(line.substr(0, line.size() - 1), &back));
  EXPECT_EQ(back.title, "Crash / on <save> second line \xC3\xA9");
  EXPECT_EQ(back.module, "a/b");
  EXPECT_EQ(back.project, std::string(38, 'p'));
  EXPECT_EQ(writeIndexToStr(back), line);
}

// The report file

TEST(ReportFile, TextsComeBackByteForByte) {
  tHeader h;
  ASSERT_TRUE(strToIndex(kLine, &h));
  const std::string text = "a | b <script>&amp; \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\n"
                           "=!=!=!=!=!=!=!=!=!=!=!=\n!=\n-=-=\n=|\n!= \n= \n=\n\nlast";
  addAnalyse(&h, "Title | <b>", "user1", 1000, text);
  addAnalyse(&h, "File_1", "user2", 2000, "/data/TRACE/File_1.log\n")->dataType = TYPE_ATTACHMENT;
  addAnalyse(&h, "Empty", "user3", 3000, "");
  h.history = "2004/03/15:14.05.09 Opened by user1 | \xC3\xA9\n";
  const std::string file = formatBug(h);
  EXPECT_NE(file.find("\n!= \n"), std::string::npos);   // would read as a separator: one blank more
  EXPECT_NE(file.find("\n!=  \n"), std::string::npos);  // already ending in a blank: one more
  EXPECT_NE(file.find("\nTitle / <b>|1000|user1|"), std::string::npos);

  const std::string path = root + "/data/report";
  put("/data/report", file);
  auto back = readBugPath(path);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->data.size(), 3u);
  EXPECT_EQ(back->data[0].data, text + "\n");
  EXPECT_EQ(back->data[0].title, "Title / <b>");
  EXPECT_EQ(back->data[1].dataType, TYPE_ATTACHMENT);
  EXPECT_EQ(back->data[2].data, "\n");
  EXPECT_EQ(back->history, h.history);
  EXPECT_EQ(formatBug(*back), file);
  // Cut anywhere, a file gives what was read and never more.
  for (size_t len = 0; len < file.size(); len += 7) {
    put("/data/report", file.substr(0, len));
    auto cut = readBugPath(path);
    ASSERT_NE(cut, nullptr) << len;
    for (size_t i = 0; i < cut->data.size(); ++i)
      EXPECT_EQ(h.data[i].data.compare(0, cut->data[i].data.size(), cut->data[i].data), 0) << len;
  }
  EXPECT_EQ(readBugPath(path + ".missing"), nullptr);
}

TEST(ReportFile, SeparatorTypes) {
  const std::pair<const char*, tAttachType> cases[] = {
      {"=!=!=!=!=!=!=!=!=!=!=!=", TYPE_ANALYSE},    {"!=", TYPE_ANALYSE},
      {"=|=|=|=|=|=|=|=|=|=|=|=", TYPE_ATTACHMENT}, {"|=", TYPE_ATTACHMENT},
      {"=-=-=-=-=-=-=-=-=-=-=-=", TYPE_HISTORY},    {"-=-=", TYPE_HISTORY},
      {"=", TYPE_UNKNOWN},  // one character is text
      {"", TYPE_UNKNOWN},   {"=!", TYPE_UNKNOWN},   {"=|", TYPE_UNKNOWN},  {"!= ", TYPE_UNKNOWN},
      {"x=!=!=!=!=!=!=!=!=!=!=!=", TYPE_UNKNOWN},  // longer than a separator
  };
  for (const auto& [line, type] : cases) EXPECT_EQ(getDataType(line), type) << line;
}

// Configuration files

TEST(Config, UsersLineInBothForms) {
  tUserEntry a, b;
  ASSERT_TRUE(parseUserLine("jo :jo@x.org:secret:YES: :YES:YES: : :YES\n", &a));
  ASSERT_TRUE(parseUserLine("jo:jo@x.org:secret:YES: :YES:YES: : :YES\r\n", &b));
  for (const tUserEntry* u : {&a, &b}) {
    EXPECT_EQ(u->name + "|" + u->email + "|" + u->password, "jo|jo@x.org|secret");
    const char* flags[7] = {"YES", " ", "YES", "YES", " ", " ", "YES"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(u->flags[i], flags[i]) << i;
  }
  const struct {
    const char* line;
    const char* fields;  // name|email|password|first flag
  } cases[] = {
      {"al\t:al@x :pw", "al|al@x|pw|"},  // a tab ends the name, a blank the address
      {"admin :admin@localhost\n", "admin|admin@localhost||"},
      {"lonely", "lonely|||"},
      {"u:u@x::YES", "u|u@x||YES"},
  };
  for (const auto& c : cases) {
    tUserEntry u;
    ASSERT_TRUE(parseUserLine(c.line, &u)) << c.line;
    EXPECT_EQ(u.name + "|" + u.email + "|" + u.password + "|" + u.flags[0], c.fields);
  }
  tUserEntry u;
  for (const char* bad : {"", "\n", " :x@y:pw", ":x@y:pw"}) EXPECT_FALSE(parseUserLine(bad, &u));
  ASSERT_TRUE(parseUserLine("big:" + std::string(5000, 'e') + ":pw", &u));
  EXPECT_EQ(u.email.size(), 1020u);  // the line is cut at 1024 bytes
}

TEST(Config, MainFileKeys) {
  put("/config/velko.cfg", "DATADIR " + root + "/data/\nCONFIGDIR " + root + "/cfg/\n" +
                               "WWW   bugs  \r\nMAILSERV first\nMAILSERV\tlast one \n" +
                               "HOSTNAMEX no\nx HOSTNAME in the middle\n# PRINT commented\n" +
                               "LONG " + std::string(150, 'v') + "\nEMPTY\n");
  EXPECT_EQ(getCfgKey("WWW"), "bugs");  // blanks cut at both ends
  EXPECT_EQ(getCfgKey("MAILSERV"), "\tlast one");  // the last wins; a tab stays
  EXPECT_EQ(getCfgKey("HOSTNAME"), "in the middle");  // a word anywhere on a line
  EXPECT_EQ(getCfgKey("PRINT"), "commented");  // a comment is words too
  EXPECT_EQ(getCfgKey("LONG"), std::string(98, 'v'));
  EXPECT_EQ(getCfgKey("EMPTY"), "");
  EXPECT_EQ(getCfgKey("ABSENT"), "");
  EXPECT_EQ(getCfgKey("DATADIR"), root + "/data/");
}

// The session identifier

TEST(Session, IdentifierKeepsItsVisibleFormAndDecodes) {
  EXPECT_EQ(encodeUIDText("ab", "P", 1234), "cd#R#1234");
  // The end of the session follows the visible part: 12 hours by default.
  const std::string uid = encodeUID("ab", "P", 1234);
  ASSERT_EQ(uid.rfind("cd#R#1234#44434#", 0), 0u) << uid;
  EXPECT_EQ(uid.size(), 16u + 64u);
  EXPECT_EQ(uid.find_first_not_of("0123456789abcdef", 16), std::string::npos);
  EXPECT_TRUE(verifyUID(uid));
  EXPECT_EQ(encodeUID("ab", "P", 1234, 5000).rfind("cd#R#1234#5000#", 0), 0u);
  EXPECT_EQ(sessionLifetime(0), 43200);
  EXPECT_EQ(sessionLifetime(3), 2592000);
  EXPECT_EQ(sessionLifetime(7), 43200);
  std::string user, project;
  EXPECT_TRUE(decodeUID(uid, &user, &project));
  EXPECT_EQ(user + "/" + project, "ab/P");
  EXPECT_TRUE(decodeUID("cd#R#1234", &user, &project));  // the unsigned form reads the same
  EXPECT_EQ(user + "/" + project, "ab/P");
  EXPECT_FALSE(decodeUID(" cd#R#1", &user, &project));
  EXPECT_EQ(user + project, "");
  // Bytes near the top of the range wrap around and come back.
  EXPECT_TRUE(decodeUID(encodeUID("\xC3\xBF~", "\xFE", 5), &user, &project));
  EXPECT_EQ(user + "/" + project, "\xC3\xBF~/\xFE");
  // The key: created once, 64 hexadecimal digits, for its owner only.
  const std::string key = get("/cfg/session.key");
  EXPECT_EQ(key.size(), 65u);
  struct stat st;
  ASSERT_EQ(stat((root + "/cfg/session.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(encodeUID("ab", "P", 1234), uid);
  // Signed, but long ended: no session.
  EXPECT_EQ(sessionState(uid), kSessionEnded);
}

TEST(Session, AlteredOrForgedIdentifiersDoNotVerify) {
  const std::string uid = encodeUID("ab", "A", 1000);
  ASSERT_TRUE(verifyUID(uid));
  std::string upper = uid;
  for (size_t i = 10; i < upper.size(); ++i) upper[i] = static_cast<char>(toupper(upper[i]));
  const std::string forged[] = {
      "d" + uid.substr(1),                          // another user
      uid.substr(0, 5) + "2" + uid.substr(6),       // another login time
      uid.substr(0, 10) + "9" + uid.substr(11),     // another end
      uid.substr(0, uid.size() - 1) + (uid.back() == '0' ? "1" : "0"),  // another MAC
      uid.substr(0, uid.size() - 1), uid + "#", uid + "0",
      "cd#C#1000", "", upper,
      encodeUID("a!b", "A", 1000),  // '!' would shift to '#' and read as another user
  };
  for (const std::string& f : forged) {
    if (f == uid) continue;  // an upper-case MAC without letters
    EXPECT_FALSE(verifyUID(f)) << f;
  }
}

TEST(Session, PasswordsPlainOrHashed) {
  EXPECT_TRUE(passwordMatches("wonder", "wonder"));
  EXPECT_FALSE(passwordMatches("wonder", "wonder "));
  EXPECT_TRUE(passwordMatches("", ""));
  // A plain password that merely begins like a hash is compared as text.
  EXPECT_TRUE(passwordMatches("$6$short", "$6$short"));
  for (const char* prefix : {"$y$", "$2b$", "$6$", "$5$"}) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_TRUE(crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting)) << prefix;
    crypt_data data{};
    const std::string hash = crypt_r("s3cret", setting, &data);
    ASSERT_EQ(hash.rfind(prefix, 0), 0u) << hash;
    EXPECT_TRUE(passwordMatches(hash, "s3cret")) << hash;
    EXPECT_FALSE(passwordMatches(hash, "s3cre")) << hash;
    EXPECT_FALSE(passwordMatches(hash, std::string("s3cret\0x", 8))) << hash;
    EXPECT_FALSE(passwordMatches(hash, hash)) << hash;  // the hash is not the password
  }
}
