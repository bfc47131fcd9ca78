#include "crypto.h"

#include <gtest/gtest.h>

#include "ice.h"

namespace vantriel::signal {
namespace {

std::string hex(const Sha1Digest& d) { return hex_encode(as_bytes(d)); }

TEST(Sha1, KnownAnswersAcrossBlockBoundaries) {
  EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // 56 bytes: the length no longer fits in the first block.
  EXPECT_EQ(hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex(sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(HmacSha1, Rfc2202Vectors) {
  EXPECT_EQ(hex(hmac_sha1(std::string(20, '\x0b'), "Hi There")),
            "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(hex(hmac_sha1("Jefe", "what do ya want for nothing?")),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(hex(hmac_sha1(std::string(20, '\xaa'), std::string(50, '\xdd'))),
            "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  // A key longer than the block is hashed first.
  EXPECT_EQ(hex(hmac_sha1(std::string(80, '\xaa'),
                          "Test Using Larger Than Block-Size Key - Hash Key First")),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
}

TEST(Base64, PaddingOfEveryRemainder) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64_encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(RandomHex, LengthAndAlphabet) {
  const std::string a = random_hex(8), b = random_hex(8);
  EXPECT_EQ(a.size(), 16u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
}

TEST(IceServers, TurnCredentialsFollowTheRestScheme) {
  IceSettings s;
  s.stun = {"stun:stun.example.org:3478"};
  s.turn = {"turn:turn.example.org:3478?transport=udp", "turns:turn.example.org:5349"};
  s.turn_user = "vantriel";
  s.turn_ttl = 600;
  // Without a secret no TURN entry is handed out.
  auto list = ice_servers(s, 1700000000);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].dump(), R"({"urls":["stun:stun.example.org:3478"]})");

  s.turn_secret = "north";
  list = ice_servers(s, 1700000000);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]["username"], "1700000600:vantriel");
  // Expected value from `openssl dgst -sha1 -hmac north -binary | base64`.
  EXPECT_EQ(list[1]["credential"], "PbGX5rpeWQtiee7Xb3QDfRBnsK8=");
  EXPECT_EQ(list[1]["urls"].size(), 2u);

  s.stun.clear();
  s.turn.clear();
  EXPECT_TRUE(ice_servers(s, 0).empty());
}

}  // namespace
}  // namespace vantriel::signal
