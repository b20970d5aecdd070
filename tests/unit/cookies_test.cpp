// Session identifiers, their MAC, the password check and the rights.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config.h"
#include "cookies.h"
#include "display.h"
#include "html.h"
#include "testutil.h"

namespace {

// An installation with project A (prefix AA) and project B, in that file
// order, and their users files.
class CookiesTest : public ::testing::Test {
 protected:
  explicit CookiesTest(const std::string& extra = "") : inst_(extra) {
    resetSessionState();
    inst_.write("cfg/project.cfg", "A:AA:mgr:val:\nB:BB:mgr:val:\n");
    inst_.write("cfg/langue.EN", "1,EN\n2,v4.6\n500,Error\n513,Wrong password\n");
    // ab: view YES, create N, config blank, project YES, stats N, unsolved
    // YES, solved blank. nf: the form without a blank after the name.
    inst_.write("cfg/A_users.cfg",
                "ab :ab@x:pw:YES:N: :YES:N:YES: \n"
                "nf:nf@x:secret:YES:YES:YES:YES:YES:YES:YES\n"
                "both :both@a:same:N:N:N:N:N:N:N\n"
                "nopw :nopw@x\n");
    inst_.write("cfg/B_users.cfg", "both :both@b:same:YES:YES:YES:YES:YES:YES:YES\n");
  }
  ~CookiesTest() override { resetSessionState(); }

  TempInstall inst_;
};

class SecureTest : public CookiesTest {
 protected:
  SecureTest() : CookiesTest("SECURITY YES\n") {}
};

tArgList withUid(const std::string& uid) { return {{"Uid", uid}}; }

bool isLowerHex(const std::string& s) {
  return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

TEST_F(CookiesTest, IdentifierKeepsItsVisibleFormAndDecodes) {
  EXPECT_EQ(encodeUIDText("ab", "P", 1234), "cd#R#1234");
  const std::string uid = encodeUID("ab", "P", 1234);
  ASSERT_EQ(uid.rfind("cd#R#1234#", 0), 0u) << uid;
  const std::string mac = uid.substr(10);
  EXPECT_EQ(mac.size(), 64u);
  EXPECT_TRUE(isLowerHex(mac));
  EXPECT_TRUE(verifyUID(uid));

  std::string user, project;
  EXPECT_TRUE(decodeUID(uid, &user, &project));
  EXPECT_EQ(user, "ab");
  EXPECT_EQ(project, "P");
  EXPECT_TRUE(decodeUID("cd#R#1234", &user, &project));  // the unsigned form reads the same
  EXPECT_EQ(user + "/" + project, "ab/P");
  EXPECT_FALSE(decodeUID(" cd#R#1", &user, &project));
  EXPECT_EQ(user + project, "");
  EXPECT_FALSE(decodeUID("", &user, &project));
  // Bytes near the top of the range wrap around and come back.
  EXPECT_TRUE(decodeUID(encodeUID("\xC3\xBF~", "\xFE", 5), &user, &project));
  EXPECT_EQ(user, "\xC3\xBF~");
  EXPECT_EQ(project, "\xFE");
  // Without a time given, the login time is now.
  const long now = static_cast<long>(time(nullptr));
  const std::string t = encodeUID("ab", "P").substr(5, 10);
  EXPECT_LE(std::labs(atol(t.c_str()) - now), 5);
}

TEST_F(CookiesTest, AlteredOrForgedIdentifiersDoNotVerify) {
  const std::string uid = encodeUID("ab", "A", 1000);
  ASSERT_TRUE(verifyUID(uid));
  std::string other = uid;
  other[0] = 'd';  // another user
  EXPECT_FALSE(verifyUID(other));
  other = uid;
  other[5] = '2';  // another login time
  EXPECT_FALSE(verifyUID(other));
  other = uid;
  other.back() = other.back() == '0' ? '1' : '0';  // another MAC
  EXPECT_FALSE(verifyUID(other));
  EXPECT_FALSE(verifyUID("cd#C#1000"));                 // the classic unsigned form
  EXPECT_FALSE(verifyUID(uid.substr(0, uid.size() - 1)));  // a MAC cut short
  EXPECT_FALSE(verifyUID(uid + "#"));
  EXPECT_FALSE(verifyUID(""));
  // A MAC in upper case is not the MAC.
  other = uid;
  for (size_t i = 10; i < other.size(); ++i) other[i] = static_cast<char>(toupper(other[i]));
  if (other != uid) {
    EXPECT_FALSE(verifyUID(other));
  }
  // A user name holding '!' would shift to '#' and read as another user:
  // its identifier is refused instead.
  EXPECT_FALSE(verifyUID(encodeUID("a!b", "A", 1000)));
  // A signed identifier of another installation is no session here.
  std::string foreign;
  {
    TempInstall elsewhere;
    resetSessionState();
    foreign = encodeUID("ab", "A", 1000);
  }
  setenv("PWD", inst_.root().c_str(), 1);  // back to this installation
  clearConfigCache();
  resetSessionState();
  EXPECT_NE(foreign, uid);
  EXPECT_FALSE(verifyUID(foreign));
}

TEST_F(CookiesTest, KeyIsCreatedOnceWithOwnerOnlyMode) {
  EXPECT_FALSE(inst_.exists("cfg/session.key"));
  const std::string mac = uidMac("cd#C#1");
  ASSERT_TRUE(inst_.exists("cfg/session.key"));
  struct stat st;
  ASSERT_EQ(stat((inst_.root() + "/cfg/session.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string key = inst_.read("cfg/session.key");
  EXPECT_EQ(key.size(), 65u);
  EXPECT_TRUE(isLowerHex(key.substr(0, 64)));
  // A later request reads the same key back.
  resetSessionState();
  EXPECT_EQ(uidMac("cd#C#1"), mac);
  EXPECT_EQ(inst_.read("cfg/session.key"), key);
}

TEST_F(CookiesTest, DamagedKeyMeansNoSession) {
  inst_.write("cfg/session.key", "short\n");
  std::string out = captureOutput([] {
    EXPECT_EQ(uidMac("x"), "");
    EXPECT_FALSE(verifyUID(encodeUID("ab", "A", 1)));
  });
  EXPECT_NE(out.find("is damaged"), std::string::npos);
  EXPECT_EQ(inst_.read("cfg/session.key"), "short\n");  // left for the administrator
}

TEST_F(CookiesTest, UrlEncodingAndLinks) {
  EXPECT_EQ(encode("a b&c/\xC3\xA9#Z9"), "a+b%26c%2F%C3%A9%23Z9");
  std::string s = "x=";
  encode(&s, "1 2");
  EXPECT_EQ(s, "x=1+2");
  ScopedEnv env(EnvVars{{"SCRIPT_NAME", "/cgi-bin/velko"}});
  EXPECT_EQ(getPageUrl({}, 1), "/cgi-bin/velko?Login=1");
  EXPECT_EQ(getPageUrl({}, 0), "/cgi-bin/velko?");
  // Security off: links carry no identifier, whatever the request sent.
  setCookie("cd#C#1");
  EXPECT_EQ(getCookie(), "cd#C#1");
  EXPECT_EQ(addUid(), "");
}

TEST_F(SecureTest, AddUidCarriesTheCurrentIdentifier) {
  EXPECT_EQ(addUid(), "");
  setCookie(" ");
  EXPECT_EQ(addUid(), "");
  setCookie("cd#C#1#ab");
  EXPECT_EQ(addUid(), "&Uid=cd%23C%231%23ab");
}

TEST_F(CookiesTest, RightsWithSecurityOffFollowTheFlags) {
  const tArgList none;
  std::string out = captureOutput([&] {
    EXPECT_EQ(accessRight(none), 1);
    EXPECT_EQ(createRight(none), 1);
    EXPECT_EQ(solvedRight(none), 1);
  });
  EXPECT_EQ(out, "");  // no identifier: granted without a word

  // One flag column per right, in the order of the rights.
  const tArgList ab = withUid("cd#C#1");  // unsigned: security is off
  out = captureOutput([&] {
    EXPECT_EQ(accessRight(ab), 1);    // YES
    EXPECT_EQ(createRight(ab), 0);    // N
    EXPECT_EQ(configRight(ab), 1);    // blank
    EXPECT_EQ(projectRight(ab), 1);   // YES
    EXPECT_EQ(statsRight(ab), 0);     // N
    EXPECT_EQ(unsolvedRight(ab), 1);  // YES
    EXPECT_EQ(solvedRight(ab), 1);    // blank
  });
  EXPECT_NE(out.find("<!Access granted for ab in 1>\n"), std::string::npos);
  EXPECT_NE(out.find("<!Access denied for ab in 2>\n"), std::string::npos);
  EXPECT_NE(out.find("<!Access denied for ab in 5>\n"), std::string::npos);
  EXPECT_NE(out.find("<!Access granted for ab in 7>\n"), std::string::npos);

  // A missing users file, or a user without a line, grants.
  EXPECT_EQ(createRight(withUid("cd#Z#1")), 1);
  EXPECT_EQ(createRight(withUid("zz#C#1")), 1);
  // A download gets no comment.
  out = captureOutput([&] {
    tArgList excel = ab;
    excel.push_back({"excel", "X"});
    EXPECT_EQ(createRight(excel), 0);
    EXPECT_EQ(accessRight(excel), 1);
  });
  EXPECT_EQ(out, "");
}

TEST_F(SecureTest, NoValidSessionNoRights) {
  const tArgList cases[] = {
      {},                                          // no identifier
      withUid(" "),                                // absent
      withUid("cd#C#1"),                           // the classic form, unsigned
      withUid("cd#C#1#" + std::string(64, '0')),  // a forged MAC
  };
  for (const tArgList& list : cases) {
    const std::string out = captureOutput([&] {
      EXPECT_EQ(accessRight(list), 0);
      EXPECT_EQ(configRight(list), 0);
      EXPECT_EQ(solvedRight(list), 0);
      EXPECT_FALSE(validSession(list));
    });
    EXPECT_EQ(out.find("granted"), std::string::npos) << out;
  }

  // A valid session follows the flags.
  const tArgList ab = withUid(encodeUID("ab", "A"));
  EXPECT_TRUE(validSession(ab));
  EXPECT_EQ(accessRight(ab), 1);
  EXPECT_EQ(createRight(ab), 0);
  EXPECT_EQ(configRight(ab), 1);
  EXPECT_EQ(statsRight(ab), 0);

  // A user taken out of the users file loses the session at once, though
  // the identifier itself never expires.
  const tArgList nf = withUid(encodeUID("nf", "A"));
  EXPECT_EQ(createRight(nf), 1);
  inst_.write("cfg/A_users.cfg", "ab :ab@x:pw:YES:N: :YES:N:YES: \n");
  clearConfigCache();
  resetSessionState();
  EXPECT_EQ(createRight(nf), 0);
  EXPECT_FALSE(validSession(nf));
  // So does one whose project's users file is gone.
  EXPECT_EQ(accessRight(withUid(encodeUID("ab", "Gone"))), 0);
}

TEST_F(CookiesTest, PasswordCheck) {
  std::string project;
  EXPECT_EQ(checkPassword("ab", "pw", &project), 1);
  EXPECT_EQ(project, "A");
  EXPECT_EQ(checkPassword("nf", "secret", &project), 1);  // no blank after the name
  EXPECT_EQ(checkPassword("nf", "secre", &project), 0);
  EXPECT_EQ(checkPassword("nf", "secrets", &project), 0);
  EXPECT_EQ(checkPassword("nf", "nf@x", &project), 0);  // the address is not the password
  EXPECT_EQ(checkPassword("nopw", "", &project), 1);    // no password field: empty password
  EXPECT_EQ(checkPassword("nopw", " ", &project), 0);
  EXPECT_EQ(checkPassword("nobody", "", &project), 0);
  EXPECT_EQ(checkPassword("a", "pw", &project), 0);  // a prefix of a name is not the name
  // In two projects with the same password: the first in getProjects order.
  const tCharList order = getProjects("");
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(checkPassword("both", "same", &project), 1);
  EXPECT_EQ(project, order.front());
  // A success earlier in the request does not let another password in.
  EXPECT_EQ(checkPassword("ab", "pw", &project), 1);
  EXPECT_EQ(checkPassword("ab", "wrong", &project), 0);
}

TEST_F(CookiesTest, RequireSessionIsFreeWithSecurityOff) {
  tArgList list = {{"CMD", "Corrected"}};
  std::string out = captureOutput([&] { EXPECT_TRUE(requireSession(list)); });
  EXPECT_EQ(out, "");
}

TEST_F(SecureTest, RequireSessionRefusesWithALoginPage) {
  ScopedEnv env(EnvVars{{"SCRIPT_NAME", "/cgi-bin/velko"}});
  tArgList list = {{"Num", "AA.00001\"><x>"}, {"CMD", "Corrected"}, {"Uid", "cd#C#1"}};
  const std::string out = captureOutput([&] { EXPECT_FALSE(requireSession(list)); });
  EXPECT_EQ(out.rfind("Content-type: text/html\n\n", 0), 0u);
  EXPECT_NE(out.find("<TITLE>VELKO</TITLE>"), std::string::npos);
  EXPECT_NE(out.find("<FONT COLOR=RED><H1>Error</H1></font>"), std::string::npos);
  EXPECT_NE(out.find("<FORM NAME=\"mainform\" METHOD=POST ACTION=\"/cgi-bin/velko\">"),
            std::string::npos);
  EXPECT_NE(out.find("<INPUT TYPE=hidden NAME=\"Login\" VALUE=\"2\">"), std::string::npos);
  // The request's arguments are carried, escaped, in their order; not the
  // old identifier.
  const size_t cmd = out.find("<INPUT TYPE=hidden NAME=\"CMD\" VALUE=\"Corrected\">");
  const size_t num = out.find("<INPUT TYPE=hidden NAME=\"Num\" VALUE=\"AA.00001&quot;&gt;&lt;x&gt;\">");
  ASSERT_NE(cmd, std::string::npos);
  ASSERT_NE(num, std::string::npos);
  EXPECT_LT(cmd, num);
  EXPECT_EQ(out.find("NAME=\"Uid\""), std::string::npos);
  EXPECT_EQ(out.find("<x>"), std::string::npos);

  // After the page head was printed, the refusal adds only its box and form.
  resetOutput();
  const std::string late = captureOutput([&] {
    printHead(nullptr, "Corrected", nullptr, &list);
    EXPECT_FALSE(requireSession(list));
  });
  EXPECT_EQ(late.find("<HTML>"), late.rfind("<HTML>"));

  tArgList ok = {{"CMD", "Corrected"}, {"Uid", encodeUID("ab", "A")}};
  resetOutput();
  EXPECT_EQ(captureOutput([&] { EXPECT_TRUE(requireSession(ok)); }), "");
}

TEST_F(SecureTest, BypassCheckSendsToTheLoginPage) {
  ScopedEnv env(EnvVars{{"SCRIPT_NAME", "/cgi-bin/velko"}});
  const std::string redirect = "document.location = \"/cgi-bin/velko?Login=1\";";
  std::string out = captureOutput([] { checkBypass(withUid("x")); });
  EXPECT_NE(out.find(redirect), std::string::npos);
  out = captureOutput([] { checkBypass(withUid("cd#C#1")); });
  EXPECT_NE(out.find(redirect), std::string::npos);
  out = captureOutput([] { checkBypass(withUid(encodeUID("ab", "A"))); });
  EXPECT_EQ(out.find("document.location"), std::string::npos);
}

TEST_F(CookiesTest, BypassCheckDoesNothingWithSecurityOff) {
  EXPECT_EQ(captureOutput([] { checkBypass({}); }), "");
}
