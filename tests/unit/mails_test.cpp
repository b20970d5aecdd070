// Recipient rules, the POP3 end-of-answer rule, the SMTP and POP3
// dialogues against a scripted fake server (tests/mail/fakeserver.py), and
// against the real postfix and dovecot of scripts/mailservers.sh when they
// run (LiveMail; skipped otherwise).
#include "mails.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "config.h"
#include "html.h"
#include "testutil.h"
#include "utils.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Recipient lists
// ---------------------------------------------------------------------------

// The default rules as the installation writes them.
const char* kDefaultRules =
    "new M V\nChange_Header M\nObserved s\nAnalyse M a\nCopy\nAssign a\nOpen a\n"
    "Not_a_Bug M s\nNot_Reproducible M s\nDuplicate s\nPostpone s\nCorrected M V\n"
    "For_Verification v\nVerified M V c\nRejected M V\nAbandoned M s\nEdit M a\nAttach M a\n";

class MailListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.write("cfg/project.cfg", "PRJ:AB:p,q:val:\n");
    // Both forms of a users line occur; the first line of a user counts.
    inst_.write("cfg/PRJ_users.cfg",
                "p :p@x.org:pw:YES:YES: : : : :\n"
                "q:q@x.org:pw\n"
                "val :val@x.org:pw\n"
                "sub :sub@x.org:pw\n"
                "x :x@x.org:pw\n"
                "y :y@x.org:pw\n"
                "p :second@x.org:pw\n"
                "noaddr ::pw\n");
    inst_.write("cfg/sendmail.cfg", kDefaultRules);
    bug_.project = "PRJ";
    bug_.submitter = "sub";
    bug_.assignedTo = "y";
    bug_.corrector = "x";
    bug_.verifiedBy = "val";
  }
  std::string list(int act, const char* by) {
    std::string r;
    captureOutput([&] { r = getMailList(bug_, act, by); });
    return r;
  }
  TempInstall inst_;
  tHeader bug_;
};

TEST_F(MailListTest, DefaultRulesFollowTheRoles) {
  EXPECT_EQ(list(E_Assign, "x"), "y@x.org");
  bug_.assignedTo = "x";
  EXPECT_EQ(list(E_Assign, "x"), "");  // assigning to oneself mails nobody
  // M is p,q: the most recently added name comes first.
  EXPECT_EQ(list(E_Change_Header, "x"), "q@x.org,p@x.org");
  EXPECT_EQ(list(E_New, nullptr), "val@x.org,q@x.org,p@x.org");
  EXPECT_EQ(list(E_Verified, "y"), "x@x.org,val@x.org,q@x.org,p@x.org");
  EXPECT_EQ(list(E_Copy, "x"), "");
}

TEST_F(MailListTest, ActorAndDuplicatesAreLeftOut) {
  bug_.submitter = "p";  // bug manager and submitter
  EXPECT_EQ(list(E_Not_a_Bug, "x"), "q@x.org,p@x.org");
  EXPECT_EQ(list(E_Not_a_Bug, "p"), "q@x.org");
  // Only the whole acting user is left out, not a name it begins with.
  EXPECT_EQ(list(E_Not_a_Bug, "q,p"), "q@x.org,p@x.org");
}

TEST_F(MailListTest, RuleFileDetails) {
  inst_.write("cfg/sendmail.cfg",
              "Verified M\n"
              "NEW M\n"
              "\tVerified\tsub,y, x noaddr unknown\r\n"
              "Verifiedx val\n"
              "Edit Z\n");
  // Two lines of one action add up; names without an address, unknown
  // names and other actions' lines give nobody.
  EXPECT_EQ(list(E_Verified, "nobody"), "x@x.org,y@x.org,sub@x.org,q@x.org,p@x.org");
  EXPECT_EQ(list(E_New, "nobody"), "");  // action names are case-sensitive
  EXPECT_EQ(list(E_Edit, "nobody"), "");  // a one-letter user name
  bug_.project = "NONE";                  // no users file
  EXPECT_EQ(list(E_Verified, "nobody"), "");
  unlink((inst_.cfgDir() + "sendmail.cfg").c_str());
  bug_.project = "PRJ";
  EXPECT_EQ(list(E_Verified, "nobody"), "");
}

TEST_F(MailListTest, TracesEveryName) {
  const std::string page = captureOutput([&] {
    tMailList l;
    addMailList(&l, "M", bug_, "q");
    addMailList(&l, "s", bug_, nullptr);
    addMailList(&l, "p,x", bug_, nullptr);
    addMailList(&l, " ", bug_, nullptr);
    EXPECT_EQ(l, (tMailList{"x", "sub", "p"}));
  });
  EXPECT_TRUE(contains(page, "<! Mail :p:q:1, q>\n<! Mail :q:q:0, >\n<! Mail :sub:(null):1, >\n"
                             "<! Mail :p:(null):0, x>\n<! Mail :x:(null):1, >\n"))
      << page;
}

TEST_F(MailListTest, AddressesAndNames) {
  captureOutput([&] {
    EXPECT_EQ(getMailAddr("PRJ", "p"), "p@x.org");  // first line counts
    EXPECT_EQ(getMailAddr("PRJ", "q"), "q@x.org");
    EXPECT_EQ(getMailAddr("PRJ", "noaddr"), "");
    EXPECT_EQ(getMailAddr("PRJ", "zz"), "");
    EXPECT_EQ(getMailAddr("NONE", "p"), "");
    EXPECT_EQ(translateName("s", bug_), "sub");
    EXPECT_EQ(translateName("v", bug_), "val");
    EXPECT_EQ(translateName("c", bug_), "x");
    EXPECT_EQ(translateName("V", bug_), "val");
    EXPECT_EQ(translateName("Q", bug_), "Q");
    EXPECT_EQ(translateName("ss", bug_), "ss");
  });
  EXPECT_STREQ(getAction(E_New), "new");
  EXPECT_STREQ(getAction(E_Not_Reproducible), "Not_Reproducible");
  EXPECT_STREQ(getAction(E_END), "");
  EXPECT_STREQ(getAction(99), "");
}

// ---------------------------------------------------------------------------
// End of a multi-line POP3 answer
// ---------------------------------------------------------------------------

TEST(LineEnd, FollowsTheGreetingsLineEnd) {
  endChar("+OK ready\r\n");
  EXPECT_EQ(endChar(nullptr), '\n');
  EXPECT_EQ(lineEnd(""), 1);  // a wait that yielded nothing
  EXPECT_EQ(lineEnd(".\r\n"), 1);
  EXPECT_EQ(lineEnd("+OK\r\nbody\r\n.\r\n"), 1);
  EXPECT_EQ(lineEnd("+OK\r\nbody\r\n"), 0);
  EXPECT_EQ(lineEnd("+OK\r\n..\r\nx"), 0);
  EXPECT_EQ(lineEnd("+OK\r\nbody\n.\n"), 0);
  endChar("+OK ready\r");
  EXPECT_EQ(lineEnd("+OK\rbody\r.\r"), 1);
  EXPECT_EQ(lineEnd("+OK\r\nbody\r\n.\r\n"), 0);
  endChar("+OK ready");
  EXPECT_EQ(lineEnd("+OK\r\nbody\r\n.\r\n"), 0);
  endChar("+OK\r\n");
}

TEST(HostPort, PortIsOptional) {
  std::string h, p;
  splitHostPort("127.0.0.1:2525", "25", &h, &p);
  EXPECT_EQ(h + " " + p, "127.0.0.1 2525");
  splitHostPort("mail.example.org", "110", &h, &p);
  EXPECT_EQ(h + " " + p, "mail.example.org 110");
  splitHostPort("mail:x", "25", &h, &p);
  EXPECT_EQ(h + " " + p, "mail:x 25");
}

TEST(LocalMail, AddressCharacters) {
  for (const char* ok : {"alice@velko.test", "o'brien+tag@x.org", "root", "a.b-c_d@x.y"})
    EXPECT_TRUE(isSafeMailAddress(ok)) << ok;
  for (const char* bad : {"", "a b@x", "-oQ/tmp@x", "+inbox", "|touch /tmp/x", "/etc/passwd",
                          "a;b@x", "a\"b@x", "<a@x>", "a@x\n", "a`b`$(c)@x.org/"})
    EXPECT_FALSE(isSafeMailAddress(bad)) << bad;
  // Nothing valid: the command is never started.
  const std::string page = captureOutput([] {
    EXPECT_EQ(runLocalMail("a b@x, ;rm -rf ~", "/nonexistent"), 0);
  });
  EXPECT_TRUE(contains(page, "<! mail : address left out : a b@x >")) << page;
  EXPECT_TRUE(contains(page, "<! mail : address left out : ;rm -rf ~ >")) << page;
}

// ---------------------------------------------------------------------------
// Dialogues with the scripted fake server
// ---------------------------------------------------------------------------

// One run of tests/mail/fakeserver.py: started with a JSON script, it
// prints its port; log() waits for its end and returns what it received.
class FakeServer {
 public:
  explicit FakeServer(const std::string& script) {
    char tmpl[] = "/tmp/velko-fake.XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::ofstream(dir_ + "/script.json") << script;
    const std::string cmd = "python3 " VELKO_SOURCE_DIR "/tests/mail/fakeserver.py " + dir_ +
                            "/script.json " + dir_ + "/log";
    pipe_ = popen(cmd.c_str(), "r");
    char line[32] = {0};
    if (pipe_ && fgets(line, sizeof line, pipe_)) port_ = atoi(line);
  }
  ~FakeServer() {
    log();
    const std::string rm = "rm -rf '" + dir_ + "'";
    if (system(rm.c_str()) != 0) perror("rm");
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  const std::string& log() {
    if (pipe_) {
      pclose(pipe_);
      pipe_ = nullptr;
      log_ = readFile(dir_ + "/log");
    }
    return log_;
  }

 private:
  std::string dir_, log_;
  FILE* pipe_ = nullptr;
  int port_ = 0;
};

// A fresh installation whose velko.cfg names `pop3` and holds `extra`.
std::string popCfg(const std::string& pop3) {
  return "POP3 " + pop3 + "\nPOP3USER synch\nPOP3PASS secret\n";
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class DialogueTest : public ::testing::Test {
 protected:
  void SetUp() override { setMailWait(5); }
  void TearDown() override { setMailWait(0); }
};

TEST_F(DialogueTest, SmtpFollowsRfc5321AndStuffsDots) {
  FakeServer srv(R"([
    ["send", "220 fake ESMTP\r\n"],
    ["line"], ["send", "250 fake\r\n"],
    ["line"], ["send", "250 ok\r\n"],
    ["line"], ["send", "250 ok\r\n"],
    ["line"], ["send", "550 5.1.1 <b@y>: no such user\r\n"],
    ["line"], ["send", "354 go ahead\r\n"],
    ["until", "\r\n.\r\n"], ["send", "250 queued\r\n"],
    ["line"], ["send", "221 bye\r\n"]
  ])");
  TempInstall inst("DOMAIN example.org\n");
  inst.write("data/tmp/mail", "Subject: test\n \n<HTML>\n.\n.hidden\r\nlast");
  const std::string page = captureOutput(
      [&] { monmail(srv.host(), "a@x, b@y,c@z>\r\nDATA", inst.dataDir() + "tmp/mail"); });
  const std::string& log = srv.log();
  EXPECT_TRUE(contains(log, "MAIL FROM:<www@example.org>\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@y>\r\n"
                            "DATA\r\n"))
      << log;
  // Every line ends with CR LF; a line that begins with "." gets another.
  EXPECT_TRUE(contains(log, "DATA\r\nSubject: test\r\n \r\n<HTML>\r\n..\r\n..hidden\r\nlast\r\n"
                            "\r\n\r\n.\r\nquit\r\n"))
      << log;
  EXPECT_EQ(log.rfind("HELO ", 0), 0u) << log;
  EXPECT_TRUE(contains(page, "<! sock : ")) << page;
  EXPECT_TRUE(contains(page, "<! sending mail to : a@x >\n<! read : ")) << page;
  EXPECT_TRUE(contains(page, "<! read : 16 220 [220 fake ESMTP..]>\n")) << page;
  EXPECT_TRUE(contains(page, "<! refused RCPT TO : 550 5.1.1 <b@y}: no such user >")) << page;
  EXPECT_FALSE(contains(page, "<b@y>")) << page;
  EXPECT_TRUE(contains(page, "<! address left out : c@z} >")) << page;
}

TEST_F(DialogueTest, RefusedDataSendsNoMailText) {
  FakeServer srv(R"([
    ["send", "220 fake\r\n"],
    ["line"], ["send", "250 fake\r\n"],
    ["line"], ["send", "250 ok\r\n"],
    ["line"], ["send", "550 no such user\r\n"],
    ["line"], ["send", "554 no valid recipients\r\n"],
    ["line"], ["send", "221 bye\r\n"]
  ])");
  TempInstall inst;
  inst.write("data/tmp/mail", "Subject: x\nRCPT TO:<victim@x>\n");
  const std::string page =
      captureOutput([&] { monmail(srv.host(), "a@x", inst.dataDir() + "tmp/mail"); });
  EXPECT_TRUE(contains(srv.log(), "RCPT TO:<a@x>\r\nDATA\r\nquit\r\n")) << srv.log();
  EXPECT_FALSE(contains(srv.log(), "victim")) << srv.log();
  EXPECT_TRUE(contains(page, "<! refused DATA : 554 no valid recipients >")) << page;
}

TEST_F(DialogueTest, SilentSmtpServerCostsOneBoundedWait) {
  setMailWait(2);
  FakeServer srv(R"([["sleep", 3]])");
  TempInstall inst;
  inst.write("data/tmp/mail", "Subject: x\n");
  const auto start = std::chrono::steady_clock::now();
  const std::string page =
      captureOutput([&] { monmail(srv.host(), "a@x", inst.dataDir() + "tmp/mail"); });
  EXPECT_LT(seconds(start), 4.0);
  EXPECT_TRUE(contains(page, "<! Read: 0 err 0 >\n")) << page;
  EXPECT_TRUE(contains(page, "<! no greeting from the mail server >")) << page;
}

TEST_F(DialogueTest, ConnectionFailuresAreTraced) {
  int port;
  {
    FakeServer closed(R"([["close"]])");  // a port that nobody listens on afterwards
    port = closed.port();
    captureOutput([&] { clientDisconnect(clientConnect("127.0.0.1", std::to_string(port))); });
  }
  std::string page = captureOutput(
      [&] { EXPECT_EQ(clientConnect("127.0.0.1", std::to_string(port)), -2); });
  EXPECT_TRUE(contains(page, "<! impossible to connect to 127.0.0.1: error 111>\n<! ")) << page;
  page = captureOutput([&] { EXPECT_EQ(clientConnect("", "25"), -3); });
  EXPECT_TRUE(contains(page, "<! impossible to find host >\n")) << page;
  TempInstall inst;
  page = captureOutput([&] { monmail("127.0.0.1:" + std::to_string(port), "a@x", "/none"); });
  EXPECT_TRUE(contains(page, "<! sock : -2 >\n")) << page;
}

// A POP3 server session: greeting, USER, PASS, then `rest`.
std::string popScript(const std::string& rest) {
  return R"([
    ["send", "+OK fake POP3 <1.2@fake>\r\n"],
    ["line"], ["send", "+OK user <synch> known\r\n"],
    ["line"], ["send", "+OK logged in\r\n"],)" +
         rest + "]";
}

// A message of `size` bytes whose headers are `headers`.
std::string topReply(const std::string& headers) {
  return "[\"line\"], [\"send\", \"+OK\\r\\n" + headers + "\\r\\n\\r\\nbody\\r\\n.\\r\\n\"],";
}

TEST_F(DialogueTest, PopFetchesOnlySynchronisationMessages) {
  // Received headers that push the subject past one read of 1023 bytes.
  std::string padding;
  for (int i = 0; i < 16; ++i)
    padding += "Received: from somewhere.example.org by mail.example.org id " +
               std::to_string(1000000 + i) + "\\r\\n";
  FakeServer srv(popScript(
      // LIST, the list cut in the middle of a line.
      R"(["line"], ["send", "+OK 3 messages\r\n1 12"], ["sleep", 0.3],
         ["send", "0\r\n2 200\r\n3 300\r\n.\r\n"],)"
      // TOP for each message, last first.
      + topReply("Subject: other mail") +
      topReply(padding + "Subject: Velko-Synchro PRJ s00002") +
      topReply("subject: Velko-Synchro PRJ s00001") +
      // RETR 1, its end cut between two pieces; DELE 1.
      R"(["line"], ["send", "+OK 120 octets\r\nSubject: Velko-Synchro PRJ s00001\r\n\r\n..begin\r\n."],
         ["sleep", 0.3], ["send", "\r\n"],
         ["line"], ["send", "+OK deleted\r\n"],)"
      // RETR 2 and DELE 2, QUIT.
      R"(["line"], ["send", "+OK\r\nSubject: Velko-Synchro PRJ s00002\r\n\r\nline\r\n.\r\n"],
         ["line"], ["send", "+OK deleted\r\n"],
         ["line"], ["send", "+OK bye\r\n"])"));
  TempInstall inst(popCfg(srv.host()));
  inst.write("data/Synchro/in/PRJ/.keep", "");
  const std::string page = captureOutput([] { getSynchMails(); });
  const std::string& log = srv.log();
  EXPECT_TRUE(contains(log, "USER synch\r\nPASS secret\r\nLIST\r\nTOP 3 1\r\nTOP 2 1\r\nTOP 1 1\r\n"
                            "RETR 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"))
      << log << page;
  EXPECT_EQ(inst.read("data/Synchro/in/PRJ/s00001.txt"),
            "+OK 120 octets\r\nSubject: Velko-Synchro PRJ s00001\r\n\r\n..begin\r\n.\r\n");
  EXPECT_EQ(inst.read("data/Synchro/in/PRJ/s00002.txt"),
            "+OK\r\nSubject: Velko-Synchro PRJ s00002\r\n\r\nline\r\n.\r\n");
  EXPECT_TRUE(contains(page, "<! synchfile :'1 PRJ s00001 120' >")) << page;
  // A reply holding ">" is traced with "}" in its place.
  EXPECT_TRUE(contains(page, "<!+OK user <synch} known\r\n>\n")) << page;
  EXPECT_TRUE(contains(page, "<! popLogin>\n")) << page;
}

TEST_F(DialogueTest, MessageThatCannotBeStoredStaysOnTheServer) {
  FakeServer srv(popScript(
      R"(["line"], ["send", "+OK\r\n1 50\r\n2 60\r\n.\r\n"],)" +
      topReply("Subject: Velko-Synchro PRJ s00003") +   // message 2
      topReply("Subject: Velko-Synchro GONE s00001") +  // message 1
      // RETR 1 (its folder is missing: kept), RETR 2 cut off by the server.
      R"(["line"], ["send", "+OK\r\nSubject: Velko-Synchro GONE s00001\r\n\r\nx\r\n.\r\n"],
         ["line"], ["send", "+OK\r\nSubject: Velko-Synchro PRJ s00003\r\n\r\nhalf"],
         ["sleep", 3], ["line"], ["send", "+OK bye\r\n"])"));
  setMailWait(1);
  TempInstall inst(popCfg(srv.host()));
  inst.write("data/Synchro/in/PRJ/.keep", "");
  const std::string page = captureOutput([] { getSynchMails(); });
  const std::string& log = srv.log();
  EXPECT_TRUE(contains(log, "RETR 1\r\nRETR 2\r\nQUIT\r\n")) << log;
  EXPECT_FALSE(contains(log, "DELE")) << log;
  EXPECT_FALSE(inst.exists("data/Synchro/in/PRJ/s00003.txt"));
  EXPECT_TRUE(contains(page, "<! cannot store ")) << page;
  EXPECT_TRUE(contains(page, "<! RETR incomplete >")) << page;
  // No temporary file is left behind.
  DIR* d = opendir((inst.dataDir() + "Synchro/in/PRJ").c_str());
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".keep"}));
}

TEST_F(DialogueTest, UnsafeSubjectsAndRefusals) {
  FakeServer srv(popScript(
      R"(["line"], ["send", "+OK\r\n1 50\r\n2 60\r\n.\r\n"],)" +
      topReply("Subject: Velko-Synchro ../../etc s00001") +
      R"(["line"], ["send", "-ERR no such message\r\n"],
         ["line"], ["send", "+OK bye\r\n"])"));
  TempInstall inst(popCfg(srv.host()));
  const std::string page = captureOutput([] { getSynchMails(); });
  const std::string& log = srv.log();
  EXPECT_TRUE(contains(log, "TOP 2 1\r\nTOP 1 1\r\nQUIT\r\n")) << log;
  EXPECT_TRUE(contains(page, "<! synch subject refused : ../../etc s00001 >")) << page;
}

TEST_F(DialogueTest, RefusedPasswordEndsTheSession) {
  FakeServer srv(R"([
    ["send", "+OK ready\r\n"],
    ["line"], ["send", "+OK\r\n"],
    ["line"], ["send", "-ERR [AUTH] wrong password\r\n"]
  ])");
  TempInstall inst(popCfg(srv.host()));
  int sock = -1;
  std::string page = captureOutput([&] { EXPECT_EQ(popLogin(&sock), 0); });
  EXPECT_GE(sock, 0);
  clientDisconnect(sock);
  EXPECT_TRUE(contains(page, "<!-ERR [AUTH] wrong password\r\n>\n")) << page;
  EXPECT_TRUE(contains(srv.log(), "PASS secret\r\n"));
}

TEST_F(DialogueTest, SilentPopServerIsBounded) {
  setMailWait(2);
  FakeServer srv(R"([["sleep", 4]])");
  TempInstall inst(popCfg(srv.host()));
  const auto start = std::chrono::steady_clock::now();
  const std::string page = captureOutput([] { getSynchMails(); });
  EXPECT_LT(seconds(start), 4.0) << page;
  EXPECT_TRUE(contains(page, "<! no greeting from the POP3 server >")) << page;
  EXPECT_TRUE(srv.log().empty()) << srv.log();
}

// ---------------------------------------------------------------------------
// Notification messages
// ---------------------------------------------------------------------------

TEST(MailTopic, SubjectTextOfEachAction) {
  const std::map<int, int> texts = {
      {E_New, 200},           {E_Change_Header, 140},     {E_Observed, 141},
      {E_Analyse, 142},       {E_Copy, 144},              {E_Assign, 145},
      {E_Open, 146},          {E_Not_a_Bug, 147},         {E_Not_Reproducible, 148},
      {E_Duplicate, 149},     {E_Postpone, 150},          {E_Corrected, 151},
      {E_For_Verification, 152}, {E_Verified, 153},       {E_Rejected, 154},
      {E_Abandoned, 155},     {E_Edit, 2024},             {E_Attach, 143},
      {E_END, 200},           {-1, 200},                  {99, 200}};
  for (const auto& [act, text] : texts) EXPECT_EQ(MailTopic(act), text) << act;
}

// Decodes the encoded words of a header value (test helper).
std::string decodeWords(const std::string& value) {
  auto sextet = [](char c) -> int {
    const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = strchr(a, c);
    return p && c ? static_cast<int>(p - a) : -1;
  };
  std::string out;
  size_t pos = 0;
  bool lastEncoded = false;
  while (pos < value.size()) {
    const size_t start = value.find("=?UTF-8?B?", pos);
    std::string plain = value.substr(pos, start == std::string::npos ? start : start - pos);
    // The blanks between two encoded words are no text.
    if (!(lastEncoded && start != std::string::npos &&
          plain.find_first_not_of(' ') == std::string::npos))
      out += plain;
    if (start == std::string::npos) break;
    const size_t end = value.find("?=", start + 10);
    const std::string b64 = value.substr(start + 10, end - start - 10);
    unsigned acc = 0;
    int bits = 0;
    for (char c : b64) {
      const int v = sextet(c);
      if (v < 0) break;
      acc = acc << 6 | static_cast<unsigned>(v);
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out += static_cast<char>((acc >> bits) & 0xFF);
      }
    }
    pos = end + 2;
    lastEncoded = true;
  }
  return out;
}

TEST(MailHeader, AsciiStaysEncodedWordsForTheRest) {
  EXPECT_EQ(mailHeaderText("Bug TS10.00001 Correction by alice"),
            "Bug TS10.00001 Correction by alice");
  // A line end in a value would start a header of the value's making.
  EXPECT_EQ(mailHeaderText("Bug X by a\r\nBcc: victim@x"), "Bug X by a  Bcc: victim@x");
  // Only the run of words holding non-ASCII bytes is encoded.
  EXPECT_EQ(mailHeaderText("Bug TS10.00001 Pour v\xC3\xA9rification by carol"),
            "Bug TS10.00001 Pour =?UTF-8?B?dsOpcmlmaWNhdGlvbg==?= by carol");
  // Blanks inside the run are encoded with it.
  EXPECT_EQ(mailHeaderText("Bug X Pi\xC3\xA8" "ce jointe by \xC3\xA9ric"),
            "Bug X =?UTF-8?B?UGnDqGNlIGpvaW50ZSBieSDDqXJpYw==?=");
  EXPECT_EQ(mailHeaderText("\xC3\xA9t\xC3\xA9"), "=?UTF-8?B?w6l0w6k=?=");

  // A long value: several words of at most 75 characters, no UTF-8
  // character cut between two of them, and the text comes back whole.
  std::string longText = "Bug TS10.00001 ";
  for (int i = 0; i < 30; ++i) longText += "\xC3\xA9\xE2\x82\xAC ";
  longText += "by \xC3\xA9ric";
  const std::string enc = mailHeaderText(longText);
  EXPECT_EQ(enc.rfind("Bug TS10.00001 =?UTF-8?B?", 0), 0u) << enc;
  size_t words = 0;
  for (size_t p = enc.find("=?"); p != std::string::npos; p = enc.find("=?", p + 2)) {
    const size_t e = enc.find("?=", p + 10);
    ASSERT_NE(e, std::string::npos);
    EXPECT_LE(e + 2 - p, 75u);
    const std::string raw = decodeWords(enc.substr(p, e + 2 - p));
    ASSERT_FALSE(raw.empty());
    EXPECT_NE(static_cast<unsigned char>(raw[0]) & 0xC0, 0x80u) << "cut character";
    ++words;
    p = e;
  }
  EXPECT_GT(words, 2u);
  EXPECT_EQ(decodeWords(enc), longText);
  EXPECT_EQ(enc.find_first_of("\r\n"), std::string::npos);
}

TEST(MailFile, UniqueNamesInTheDataTmpFolder) {
  TempInstall inst;
  const std::string stem = inst.dataDir() + "/tmp/bugmail." + std::to_string(getpid()) + "l";
  std::string first, second;
  FILE* a = createMailFile("bugmail", &first);
  FILE* b = createMailFile("bugmail", &second);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(first, stem);
  EXPECT_EQ(second, stem + ".1");  // the first is never written over
  struct stat st;
  ASSERT_EQ(stat(first.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  fclose(a);
  fclose(b);
  TempInstall noTmp;
  rmdir((noTmp.dataDir() + "tmp").c_str());
  std::string path;
  EXPECT_EQ(createMailFile("synch", &path), nullptr);
  EXPECT_EQ(path, noTmp.dataDir() + "/tmp/synch." + std::to_string(getpid()) + "l");
}

// An installation with the English texts, project PRJ (managers p and q,
// validation manager val), users with addresses, the default rules and
// report PR__.00001 submitted by sub and assigned to y.
class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setMailWait(5);
    inst_ = std::make_unique<TempInstall>(
        "WWW bugs\nHOSTNAME tracker.example\nDOMAIN example.org\nMAILSERV " + server() + "\n");
    inst_->write("cfg/langue.EN", readFile(VELKO_SOURCE_DIR "/config/langue.EN"));
    inst_->write("cfg/project.cfg", "PRJ:PR:p,q:val:\n");
    inst_->write("cfg/PRJ_users.cfg",
                 "p :p@x.org:pw\nq :q@x.org:pw\nval :val@x.org:pw\nsub :sub@x.org:pw\n"
                 "y :y@x.org:pw\n");
    inst_->write("cfg/sendmail.cfg", kDefaultRules);
    tHeader h;
    h.prefix = "10";
    h.number = 1;
    h.date = 1100000000;
    h.submitter = "sub";
    h.severity = 2;
    h.project = "PRJ";
    h.subProject = "g";
    h.title = "Title <b>";
    h.assignedTo = "y";
    ASSERT_GE(writeBug(h), 0);
    bug_ = h;
    name_ = getBugName(h);
  }
  void TearDown() override {
    inst_.reset();
    setMailWait(0);
  }
  virtual std::string server() { return "127.0.0.1:1"; }
  // The mail files left in the data directory's tmp folder.
  std::vector<std::string> mailFiles() {
    std::vector<std::string> out;
    if (DIR* d = opendir((inst_->dataDir() + "tmp").c_str())) {
      while (dirent* e = readdir(d))
        if (!strncmp(e->d_name, "bugmail", 7) || !strncmp(e->d_name, "synch", 5))
          out.push_back(e->d_name);
      closedir(d);
    }
    return out;
  }
  std::unique_ptr<TempInstall> inst_;
  tHeader bug_;
  std::string name_;  // "PR__.00001": no phase or group letters are configured
};

TEST_F(NotifyTest, MailFileHeadersAndBody) {
  const std::string path = inst_->dataDir() + "tmp/m";
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  captureOutput([&] { writeBugMail(f, bug_, name_, E_Assign, "x"); });
  fclose(f);
  const std::string mail = readFile(path);
  EXPECT_EQ(mail.rfind("Content-Type: text/html; charset=UTF-8\n"
                       "Subject: Bug " + name_ + " Assignment by x\n"
                       "From: \"Bug Manager\" <bugs@tracker.example>\n"
                       " \n<HTML>\n<a name=",
                       0),
            0u)
      << mail;
  // The action bar and the report, with absolute links.
  EXPECT_TRUE(contains(mail, "<A HREF=http://tracker.example?CMD=Assign&Num=" + name_)) << mail;
  EXPECT_TRUE(contains(mail, "Title &lt;b&gt;")) << mail;

  // Without an acting user the subject has no " by" part; WWW defaults.
  TempInstall plain("HOSTNAME h\n");
  plain.write("cfg/langue.EN", "145,Assignment\n200,New\n");
  f = fopen(path.c_str(), "w");
  captureOutput([&] { writeBugMail(f, bug_, name_, E_New, ""); });
  fclose(f);
  EXPECT_EQ(readFile(path).rfind("Content-Type: text/html; charset=UTF-8\n"
                                 "Subject: Bug " + name_ + " New\nFrom: \"Bug Manager\" <www@h>\n \n",
                                 0),
            0u)
      << readFile(path);
}

TEST_F(NotifyTest, NobodyToMailOpensNoConnection) {
  // Assigned to y by y: the rule "Assign a" leaves nobody.
  const std::string page = captureOutput([this] { sendMailBug(name_, E_Assign, "y"); });
  EXPECT_TRUE(contains(page, "<! Send Mail ")) << page;
  EXPECT_TRUE(contains(page, ",errno:0, file:" + inst_->dataDir() + "/tmp/bugmail.")) << page;
  EXPECT_TRUE(contains(page, "<! Mail :y:y:0, >\n<! No mail to send, destination empty >\n"))
      << page;
  EXPECT_FALSE(contains(page, "<! sock")) << page;
  EXPECT_TRUE(mailFiles().empty());
}

TEST_F(NotifyTest, UnreadableReportMailsNothing) {
  for (const char* num : {"PR__.00002", "../cfg/PRJ_users.cfg", ""}) {
    const std::string page = captureOutput([&] { sendMailBug(num, E_Assign, "x"); });
    EXPECT_TRUE(contains(page, "<! Send Mail ")) << page;
    EXPECT_FALSE(contains(page, "<! Mail :")) << page;
    EXPECT_FALSE(contains(page, "<! mail ")) << page;
  }
  EXPECT_TRUE(mailFiles().empty());
}

TEST_F(NotifyTest, NoTmpFolderStopsAtOnce) {
  rmdir((inst_->dataDir() + "tmp").c_str());
  const std::string page = captureOutput([this] { sendMailBug(name_, E_Assign, "x"); });
  EXPECT_TRUE(contains(page, "<! Send Mail 0,errno:2, file:" + inst_->dataDir() +
                                 "/tmp/bugmail." + std::to_string(getpid()) + "l>\n"))
      << page;
  EXPECT_FALSE(contains(page, "<! Mail :")) << page;
}

TEST_F(NotifyTest, StoppedServerIsTracedAndTheFileRemoved) {
  const auto start = std::chrono::steady_clock::now();
  const std::string page = captureOutput([this] { sendMailBug(name_, E_Corrected, "p"); });
  EXPECT_LT(seconds(start), 3.0);
  // Managers q (p acts) and val, the most recently met first.
  EXPECT_TRUE(contains(page, "<! mail val@x.org,q@x.org - " + inst_->dataDir() +
                                 "/tmp/bugmail." + std::to_string(getpid()) +
                                 "l >\n<! sending through 127.0.0.1:1 >\n"))
      << page;
  EXPECT_TRUE(contains(page, "<! sock : -2 >")) << page;
  EXPECT_TRUE(mailFiles().empty());
}

// The same installation, mailing through the scripted SMTP server.
class NotifySmtpTest : public NotifyTest {
 protected:
  void SetUp() override {
    srv_ = std::make_unique<FakeServer>(R"([
      ["send", "220 fake\r\n"],
      ["line"], ["send", "250 fake\r\n"],
      ["line"], ["send", "250 ok\r\n"],
      ["line"], ["send", "250 ok\r\n"],
      ["line"], ["send", "250 ok\r\n"],
      ["line"], ["send", "354 go ahead\r\n"],
      ["until", "\r\n.\r\n"], ["send", "250 queued\r\n"],
      ["line"], ["send", "221 bye\r\n"]
    ])");
    NotifyTest::SetUp();
  }
  std::string server() override { return srv_->host(); }
  std::unique_ptr<FakeServer> srv_;
};

TEST_F(NotifySmtpTest, ActionMailsTheRulesRecipients) {
  const std::string page = captureOutput([this] { sendMailBug(name_, E_Corrected, "p"); });
  const std::string& log = srv_->log();
  EXPECT_TRUE(contains(log, "MAIL FROM:<bugs@example.org>\r\nRCPT TO:<val@x.org>\r\n"
                            "RCPT TO:<q@x.org>\r\nDATA\r\n"
                            "Content-Type: text/html; charset=UTF-8\r\n"
                            "Subject: Bug " + name_ + " Correction by p\r\n"
                            "From: \"Bug Manager\" <bugs@tracker.example>\r\n \r\n<HTML>\r\n"))
      << log;
  EXPECT_FALSE(contains(log, "<p@x.org>")) << log;
  EXPECT_TRUE(contains(log, "</TABLE><P>\r\n\r\n\r\n.\r\nquit\r\n")) << log;
  EXPECT_TRUE(contains(page, "<! read : 12 250 [250 queued..]>")) << page;
  EXPECT_TRUE(mailFiles().empty());
}

TEST_F(NotifySmtpTest, SynchronisationMail) {
  inst_->write("data/Synchro/out/PRJ/s00012.txt", "filetype: b 1 h \nbegin 644 x\n.\nend\n");
  const std::string page = captureOutput(
      [] { sendMailFile("ignored", "site2@x.org,site3@x.org", "PRJ", 12); });
  const std::string& log = srv_->log();
  EXPECT_TRUE(contains(log, "RCPT TO:<site2@x.org>\r\nRCPT TO:<site3@x.org>\r\nDATA\r\n"
                            "Content-Type: text/html; charset=us-ascii\r\n"
                            "Subject: Velko-Synchro PRJ s00012\r\n"
                            "From: \"Vivaz Odurari\" <bugs@example.org>\r\n \r\n"
                            "filetype: b 1 h \r\nbegin 644 x\r\n..\r\nend\r\n\r\n\r\n.\r\n"))
      << log;
  EXPECT_TRUE(contains(page, "<! Send Mail ")) << page;
  EXPECT_TRUE(contains(page, "/tmp/synch." + std::to_string(getpid()) + "l>\n")) << page;
  EXPECT_TRUE(mailFiles().empty());
}

TEST_F(NotifyTest, SynchronisationMailWithoutDestination) {
  const std::string page = captureOutput([] { sendMailFile("", "", "PRJ", 3); });
  EXPECT_TRUE(contains(page, "<! No mail to send, destination empty >\n")) << page;
  EXPECT_FALSE(contains(page, "<! sock")) << page;
  EXPECT_TRUE(mailFiles().empty());
}

// ---------------------------------------------------------------------------
// The real servers of scripts/mailservers.sh
// ---------------------------------------------------------------------------

class LiveMail : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* envFile = getenv("VELKO_MAIL_ENV");
    std::ifstream in(envFile ? envFile : "/var/tmp/velko-mail/env");
    if (!in) GTEST_SKIP() << "mail servers not started (scripts/mailservers.sh start)";
    std::string line;
    while (std::getline(in, line)) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    // The servers listen inside their own network namespace: this test
    // process joins it (each test runs in a process of its own).
    const std::string ns = env_["VELKO_MAIL_NETNS"];
    if (!ns.empty()) {
      const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0) << "cannot open the namespace " << ns;
      ASSERT_EQ(setns(fd, CLONE_NEWNET), 0) << "cannot join the namespace " << ns;
      close(fd);
    }
    setMailWait(10);
  }
  void TearDown() override { setMailWait(0); }

  std::string box(const std::string& user) { return env_["VELKO_MAIL_BOXES"] + "/" + user; }
  std::string addr(const std::string& user) { return user + "@" + env_["VELKO_MAIL_DOMAIN"]; }

  // The files of a Maildir (new and cur).
  std::vector<std::string> messages(const std::string& user) {
    std::vector<std::string> out;
    for (const char* sub : {"/new", "/cur"}) {
      const std::string dir = box(user) + sub;
      if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
          if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
      }
    }
    return out;
  }
  // The message of `user` that holds `token`, waiting up to 15 seconds.
  std::string awaitMessage(const std::string& user, const std::string& token) {
    for (int i = 0; i < 150; ++i) {
      for (const std::string& f : messages(user)) {
        const std::string text = readFile(f);
        if (contains(text, token)) return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
  }
  std::string token() {
    return "tok" + std::to_string(getpid()) + "x" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  }

  std::map<std::string, std::string> env_;
};

TEST_F(LiveMail, MonmailDeliversToRealMailboxes) {
  const std::string tok = token();
  TempInstall inst("DOMAIN velko.test\nWWW bugs\n");
  inst.write("data/tmp/bugmail",
             "Content-Type: text/html; charset=us-ascii\nSubject: Bug AB.00001 " + tok +
                 " by x\nFrom: \"Bug Manager\" <bugs@localhost>\n \n<HTML>\n.\nafter the dot\n");
  const std::string page = captureOutput([&] {
    monmail(env_["VELKO_MAIL_SMTP"], addr("alice") + "," + addr("bob"),
            inst.dataDir() + "tmp/bugmail");
  });
  EXPECT_FALSE(contains(page, "<! refused")) << page;
  for (const char* user : {"alice", "bob"}) {
    const std::string mail = awaitMessage(user, tok);
    ASSERT_FALSE(mail.empty()) << user << page;
    EXPECT_TRUE(contains(mail, "Return-Path: <bugs@velko.test>\n")) << mail;
    EXPECT_TRUE(contains(mail, "\nSubject: Bug AB.00001 " + tok + " by x\n")) << mail;
    EXPECT_TRUE(contains(mail, "\nFrom: \"Bug Manager\" <bugs@localhost>\n")) << mail;
    // The "." line did not end the mail.
    EXPECT_TRUE(contains(mail, "<HTML>\n.\nafter the dot\n")) << mail;
  }
  // Both have arrived, so a message for carol would have too.
  for (const std::string& f : messages("carol")) EXPECT_FALSE(contains(readFile(f), tok));
}

TEST_F(LiveMail, LocalMailCommandDelivers) {
  const std::string tok = token();
  TempInstall inst;
  // A line typed by a user may begin with the mail command's escape "~":
  // from a file it is text, never a command.
  const std::string marker = inst.dataDir() + "tmp/escaped";
  inst.write("data/tmp/bugmail",
             "Subject: Bug AB.00002 " + tok + "\n \n<HTML>\n~!touch " + marker + "\nbody\n");
  ScopedEnv env({{"MAIL_CONFIG", env_["VELKO_MAIL_CONFIG"]}});
  int sent = 0;
  const std::string page = captureOutput(
      [&] { sent = runLocalMail(addr("carol") + ",bad address", inst.dataDir() + "tmp/bugmail"); });
  EXPECT_EQ(sent, 1) << page;
  const std::string mail = awaitMessage("carol", tok);
  ASSERT_FALSE(mail.empty()) << page;
  EXPECT_TRUE(contains(mail, "Subject: Bug AB.00002 " + tok + "\n")) << mail;
  EXPECT_TRUE(contains(mail, "\n~!touch " + marker + "\nbody\n")) << mail;
  EXPECT_FALSE(inst.exists("data/tmp/escaped"));
}

TEST_F(LiveMail, PopFetchesAndDeletesOnlySynchronisationMessages) {
  // The mailbox is filled directly: three messages, two for synchronisation.
  for (const std::string& f : messages("synch")) unlink(f.c_str());
  const std::string tok = token();
  struct stat st;
  ASSERT_EQ(stat(box("synch").c_str(), &st), 0);
  const std::pair<const char*, const char*> mails[] = {
      {"1", "Subject: Velko-Synchro PRJ s00007\nFrom: \"Vivaz Odurari\" <www@velko.test>\n \nbegin 644 x\n.\n"},
      {"2", "Subject: weekly report\n\nnot for us\n"},
      {"3", "Subject: Velko-Synchro PRJ s00008\n \nsecond\n"}};
  for (const auto& m : mails) {
    const std::string path = box("synch") + "/new/" + tok + "." + m.first + ".test";
    std::ofstream(path) << "Received: by mail.velko.test\nMessage-Id: <" << m.first << tok
                        << "@velko.test>\n" << m.second;
    ASSERT_EQ(chown(path.c_str(), st.st_uid, st.st_gid), 0);
  }
  TempInstall inst(popCfg(env_["VELKO_MAIL_POP3"]));
  inst.write("data/Synchro/in/PRJ/.keep", "");
  const auto start = std::chrono::steady_clock::now();
  const std::string page = captureOutput([] { getSynchMails(); });
  EXPECT_LT(seconds(start), 15.0);
  const std::string first = inst.read("data/Synchro/in/PRJ/s00007.txt");
  EXPECT_EQ(first.rfind("+OK", 0), 0u) << first << page;
  // The stored answer keeps the server's dot-stuffing and its end line.
  EXPECT_TRUE(contains(first, "\r\nbegin 644 x\r\n..\r\n.\r\n")) << first;
  EXPECT_TRUE(contains(inst.read("data/Synchro/in/PRJ/s00008.txt"), "\r\nsecond\r\n.\r\n"));
  // The server removes the deleted files as it logs out; on a busy machine
  // that may trail its answer a little.
  std::vector<std::string> left = messages("synch");
  for (int i = 0; i < 50 && left.size() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    left = messages("synch");
  }
  ASSERT_EQ(left.size(), 1u) << page;
  EXPECT_TRUE(contains(readFile(left[0]), "Subject: weekly report")) << page;
}

TEST_F(LiveMail, StoppedServerFailsFast) {
  TempInstall inst(popCfg("127.0.0.1:1"));
  inst.write("data/tmp/mail", "Subject: x\n");
  const auto start = std::chrono::steady_clock::now();
  const std::string page = captureOutput([&] {
    monmail("127.0.0.1:1", addr("alice"), inst.dataDir() + "tmp/mail");
    getSynchMails();
  });
  EXPECT_LT(seconds(start), 2.0);
  EXPECT_TRUE(contains(page, "<! sock : -2 >")) << page;
  EXPECT_TRUE(contains(page, "<! popLogin>\n<! impossible to connect to 127.0.0.1: error 111>"))
      << page;
}

}  // namespace
