// Reading keys of the main configuration file and locating it.
#include <gtest/gtest.h>

#include "config.h"
#include "html.h"
#include "testutil.h"

namespace {

// An installation whose velko.cfg holds exactly `text`.
struct CfgFile {
  TempInstall inst;
  explicit CfgFile(const std::string& text) {
    inst.write("config/velko.cfg", text);
    clearConfigCache();
  }
};

}  // namespace

TEST(MainCfg, BlanksAroundValueAndLineEnds) {
  CfgFile f("DATADIR   /srv/data/   \r\nCONFIGDIR\t/c/\n");
  EXPECT_EQ(getCfgKey("DATADIR"), "/srv/data/");
  EXPECT_EQ(getCfgKey("CONFIGDIR"), "\t/c/");  // tabs are not skipped at the start
  EXPECT_EQ(getDataDir(), "/srv/data/");
}

TEST(MainCfg, LastOccurrenceWinsAndEmptyValue) {
  CfgFile f("DATADIR /one/\nPRINT\nDATADIR /two/\nSECURITY yes\n");
  EXPECT_EQ(getCfgKey("DATADIR"), "/two/");
  EXPECT_EQ(getCfgKey("PRINT"), "");
  EXPECT_EQ(getCfgKey("ABSENT"), "");
  EXPECT_EQ(useSecurity(), 0);  // only "YES" switches security on
}

TEST(MainCfg, CommentsAreWordsToo) {
  CfgFile f("# DATADIR /commented/\n#CONFIGDIR /glued/\nLANGUAGE EN\n");
  EXPECT_EQ(getCfgKey("DATADIR"), "/commented/");
  EXPECT_EQ(getCfgKey("CONFIGDIR"), "");
  // A value word equal to a key counts as that key.
  CfgFile g("PRINT lpr\nHOSTNAME WWW wwwpart\n");
  EXPECT_EQ(getCfgKey("WWW"), "wwwpart");
  EXPECT_EQ(getCfgKey("HOSTNAME"), "WWW wwwpart");
  EXPECT_EQ(getCfgKey("wwwpart"), "");
}

TEST(MainCfg, ValuesAreCutAt99Characters) {
  const std::string longValue(150, 'x');
  CfgFile f("PRINT " + longValue + "\nSECURITY YES\n");
  EXPECT_EQ(getCfgKey("PRINT"), std::string(98, 'x'));  // 99 read, the first is the blank
  EXPECT_EQ(useSecurity(), 1);
}

TEST(MainCfg, DirectoriesAreCachedForTheRun) {
  CfgFile f("DATADIR /d/\n");
  EXPECT_EQ(getDataDir(), "/d/");
  EXPECT_EQ(getStatsDir(), "/d//Stats/");
  EXPECT_EQ(getSynchDir(), "/d//Synchro/");
  f.inst.write("config/velko.cfg", "DATADIR /changed/\n");
  EXPECT_EQ(getDataDir(), "/d/");
  EXPECT_EQ(getCfgKey("DATADIR"), "/changed/");
}

TEST(MainCfg, LocationFromPwdOrScriptFilename) {
  {
    ScopedEnv env(EnvVars{{"PWD", "/srv/www"}, {"SCRIPT_FILENAME", "/other/cgi-bin/velko"}});
    clearConfigCache();
    EXPECT_EQ(getCfgFile(), "/srv/www/config/velko.cfg");
  }
  {
    ScopedEnv env({{"SCRIPT_FILENAME", "/var/www/cgi-bin/tracker"}}, {"PWD"});
    clearConfigCache();
    EXPECT_EQ(getCfgFile(), "/var/www/cgi-bin/config/velko.cfg");
  }
  {
    ScopedEnv env({{"SCRIPT_FILENAME", "C:\\web\\velko.exe"}}, {"PWD"});
    clearConfigCache();
    EXPECT_EQ(getMainCfgDir(), "C:\\web/config");
  }
  {
    ScopedEnv env({{"SCRIPT_FILENAME", "velko"}}, {"PWD"});
    clearConfigCache();
    EXPECT_EQ(getMainCfgDir(), "/config");
  }
  clearConfigCache();
}

TEST(MainCfg, MissingFileSendsHeaderOnceAndCommentsEachTime) {
  ScopedEnv env(EnvVars{{"PWD", "/nonexistent-velko"}, {"SCRIPT_NAME", "/cgi-bin/velko"}},
                {"SCRIPT_FILENAME"});
  clearConfigCache();
  resetOutput();
  const std::string out = captureOutput([] {
    EXPECT_EQ(getCfgKey("DATADIR"), "");
    EXPECT_EQ(getCfgKey("CONFIGDIR"), "");
    sendHeader();  // a page's own header is not sent a second time
  });
  const std::string comments =
      "<!script : /cgi-bin/velko>\n<!pwd : /nonexistent-velko>\n<!script : >\n"
      "<!Unable to open : /nonexistent-velko/config/velko.cfg>\n";
  EXPECT_EQ(out, "Content-type: text/html\n\n" + comments + comments);
  clearConfigCache();
  resetOutput();
}
