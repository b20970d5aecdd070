// SHA-256 against the FIPS 180 examples, HMAC-SHA-256 against RFC 4231.
#include <gtest/gtest.h>

#include "sha256.h"

namespace {

std::string hexOf(std::string_view s) { return toHex(sha256(s)); }

}  // namespace

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(hexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Lengths around the padding limits: 55 bytes fit one block, 56 need two.
  EXPECT_EQ(hexOf(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(hexOf(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(hexOf(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256, PiecewiseUpdateEqualsWhole) {
  // A million 'a' fed in uneven pieces crosses every buffer boundary case.
  Sha256 s;
  const std::string piece(997, 'a');
  size_t fed = 0;
  while (fed + piece.size() <= 1000000) {
    s.update(piece);
    fed += piece.size();
  }
  s.update(std::string(1000000 - fed, 'a'));
  EXPECT_EQ(toHex(s.digest()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(HmacSha256, Rfc4231Vectors) {
  struct Case {
    std::string key, data, mac;
  };
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4 += char(i);
  const Case cases[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key4, std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      // Case 5 is given truncated to 128 bits.
      {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      // Keys longer than a block are hashed first.
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::string(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Case& c : cases) {
    const std::string mac = toHex(hmacSha256(c.key, c.data));
    EXPECT_EQ(mac.substr(0, c.mac.size()), c.mac) << c.data;
  }
}

TEST(ConstantTimeEqual, ComparesWholeStrings) {
  EXPECT_TRUE(constantTimeEqual("", ""));
  EXPECT_TRUE(constantTimeEqual("secret", "secret"));
  EXPECT_FALSE(constantTimeEqual("secret", "secreT"));
  EXPECT_FALSE(constantTimeEqual("secret", "secret "));  // a prefix is not equal
  EXPECT_FALSE(constantTimeEqual("", " "));
  EXPECT_TRUE(constantTimeEqual(std::string("a\0b", 3), std::string("a\0b", 3)));
  EXPECT_FALSE(constantTimeEqual(std::string("a\0b", 3), "a"));
}
