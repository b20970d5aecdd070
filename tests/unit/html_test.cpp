// The one-header rule of the output and the escaping helpers.
#include <gtest/gtest.h>

#include "html.h"
#include "testutil.h"

TEST(Output, TextBeforeHeaderFollowsIt) {
  resetOutput();
  const std::string out = captureOutput([] {
    emitComment("early");
    sendHeader("Content-type: text/plain\n\n");
    emit("body");
    EXPECT_FALSE(sendHeader());
  });
  EXPECT_EQ(out, "Content-type: text/plain\n\n<!early>body");
  resetOutput();
}

TEST(Output, PendingTextAloneGetsDefaultHeader) {
  resetOutput();
  EXPECT_EQ(captureOutput([] { emitf("<!%d>", 7); }), "Content-type: text/html\n\n<!7>");
  resetOutput();
  EXPECT_EQ(captureOutput([] {}), "");  // nothing printed: no header either
  resetOutput();
}

TEST(Escaping, TextAndAttributes) {
  EXPECT_EQ(escapeHtml("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;'");
  EXPECT_EQ(escapeAttr("it's \"q\""), "it&#39;s &quot;q&quot;");
  EXPECT_EQ(strprintf("%s-%05d", "AB", 12), "AB-00012");
  const std::string big(2000, 'z');
  EXPECT_EQ(strprintf("%s!", big.c_str()), big + "!");
}
