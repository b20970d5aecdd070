// The configuration writers: the main file's text read back key by key,
// the values refused because they would add a line or a key, table cells,
// password hashes, and the replacement through a symbolic link.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "config.h"
#include "fileio.h"
#include "request.h"

namespace {

class CfgWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velko-unit.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(mkdir((dir_ + "/config").c_str(), 0755), 0);
    setenv("PWD", dir_.c_str(), 1);
    resetRequest();
  }
  void TearDown() override {
    resetRequest();
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) perror("rm");
  }
  static tVelkoCfg values() {
    tVelkoCfg v;
    v.data = "/srv/velko data/";
    v.cfg = "/srv/cfg/";
    v.img = "/velko/images/";
    v.prt = "lp -o2 %%s";
    v.mel = "mail.example.org:2525";
    v.hst = "tracker";
    v.dom = "example.org";
    v.sec = " ";
    v.lang = "FR";
    v.pop = "localhost";
    v.popU = "#";
    v.popP = "p a:ss";
    v.www = "www";
    v.persist = 3;
    return v;
  }
  std::string dir_;
};

}  // namespace

TEST_F(CfgWriteTest, MainFileReadsBackKeyByKey) {
  const tVelkoCfg v = values();
  ASSERT_EQ(createVelkoCfg(dir_ + "/config", v), 1);
  std::string text;
  ASSERT_TRUE(readWholeFile(dir_ + "/config/velko.cfg", &text));
  EXPECT_EQ(text.substr(0, 52 + dir_.size()),
            "#\n# Fichier de Configuration Principal de Velko\n#\n# " + dir_);
  EXPECT_EQ(getCfgKey("DATADIR"), v.data);
  EXPECT_EQ(getCfgKey("PRINT"), v.prt);
  EXPECT_EQ(getCfgKey("SECURITY"), "");
  EXPECT_EQ(getCfgKey("PERSIST"), "3");
  EXPECT_EQ(getCfgKey("POP3PASS"), v.popP);
  EXPECT_EQ(getCfgKey("WWW"), "www");
}

TEST_F(CfgWriteTest, ValuesThatWouldAddALineOrAKeyAreRefused) {
  EXPECT_EQ(badCfgValue(values()), "");
  const std::pair<std::string tVelkoCfg::*, std::string> bad[] = {
      {&tVelkoCfg::www, "x\nSECURITY YES"}, {&tVelkoCfg::popU, "me DATADIR"},
      {&tVelkoCfg::prt, "lp\r"},            {&tVelkoCfg::hst, std::string("a\0b", 3)},
      {&tVelkoCfg::mel, std::string(99, 'm')}, {&tVelkoCfg::popP, "SECURITY\tYES"}};
  for (const auto& [member, value] : bad) {
    tVelkoCfg v = values();
    v.*member = value;
    EXPECT_NE(badCfgValue(v), "") << value;
    EXPECT_EQ(createVelkoCfg(dir_ + "/config", v), 0);
  }
  tVelkoCfg v = values();
  v.lang = "../../etc/x";
  EXPECT_EQ(badCfgValue(v), "LANGUAGE");
  v = values();
  v.persist = 7;
  EXPECT_EQ(badCfgValue(v), "PERSIST");
  tVelkoCfg fine = values();
  fine.popU = "DATADIRS #SECURITY";  // words that only contain a key name
  fine.mel = std::string(98, 'm');
  EXPECT_EQ(badCfgValue(fine), "");
  EXPECT_NE(access((dir_ + "/config/velko.cfg").c_str(), F_OK), 0);
}

TEST_F(CfgWriteTest, CellsAndPasswords) {
  EXPECT_EQ(cfgCell("a:b\r\nc\td"), "abc d");
  const std::string hash = cryptPassword("s3cr:et");
  ASSERT_EQ(hash.compare(0, 3, "$y$"), 0) << hash;
  EXPECT_EQ(hash.find(':'), std::string::npos);
  crypt_data data{};
  EXPECT_EQ(std::string(crypt_r("s3cr:et", hash.c_str(), &data)), hash);
  EXPECT_NE(cryptPassword("s3cr:et"), hash);  // a new salt each time
  EXPECT_EQ(cryptPassword(std::string("a\0b", 3)), "");
}

TEST_F(CfgWriteTest, ReplacedThroughTheLinkKeepingTheMode) {
  const std::string target = dir_ + "/real.cfg", link = dir_ + "/config/velko.cfg";
  ASSERT_EQ(writeCfgFile(target, "old\n", 0600), kCfgWritten);
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(cfgWriteTarget(link), target);
  ASSERT_EQ(updateCfgFile(link,
                          [](const std::string* old, std::string* text) {
                            *text = (old ? *old : "") + "new\n";
                            return true;
                          }),
            kCfgWritten);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  std::string text;
  ASSERT_TRUE(readWholeFile(link, &text));
  EXPECT_EQ(text, "old\nnew\n");
  // A maker that refuses leaves the file as it was.
  EXPECT_EQ(updateCfgFile(link, [](const std::string*, std::string*) { return false; }),
            kCfgRefused);
  ASSERT_TRUE(readWholeFile(target, &text));
  EXPECT_EQ(text, "old\nnew\n");
  // A folder that cannot be written: nothing made.
  EXPECT_EQ(writeCfgFile(dir_ + "/missing/x.cfg", "x"), kCfgNotCreated);
}
