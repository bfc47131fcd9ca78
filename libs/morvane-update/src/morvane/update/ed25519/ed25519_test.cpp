#include "morvane/update/ed25519/ed25519.h"

#include <gtest/gtest.h>

#include <sstream>

#include "morvane/update/testing/test_util.h"

namespace morvane {
namespace {

using testing::from_hex;

struct Case {
  std::vector<uint8_t> key, message, signature;
};

// RFC 8032's sign.input: "secret||public:public:message:signature||message:" per line.
std::vector<Case> sign_input() {
  std::istringstream in(testing::read_file(std::string(MORVANE_VECTORS_DIR) +
                                           "/asymmetric/Ed25519/sign.input"));
  std::vector<Case> out;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, ':')) f.push_back(field);
    if (f.size() < 4) continue;
    out.push_back(Case{from_hex(f[1]), from_hex(f[2]), from_hex(f[3].substr(0, 128))});
  }
  return out;
}

bool verify(const Case& c) { return verify_signature(c.key, c.message, c.signature); }

TEST(Ed25519Test, EveryLineOfSignInputVerifies) {
  const auto cases = sign_input();
  ASSERT_EQ(cases.size(), 1024u);
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_TRUE(verify(cases[i])) << "line " << i + 1;
}

TEST(Ed25519Test, AnyChangedBitFails) {
  const auto cases = sign_input();
  // Every 8th line, a bit of R, of S, of the key and of the message in turn.
  for (size_t i = 0; i < cases.size(); i += 8) {
    Case c = cases[i];
    const size_t bit = i % 256;
    switch (i / 8 % 4) {
      case 0: c.signature[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8)); break;
      case 1: c.signature[32 + bit / 8 % 31] ^= static_cast<uint8_t>(1 << (bit % 8)); break;
      case 2: c.key[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8)); break;
      default:
        if (c.message.empty()) c.message.push_back(0); else c.message[i % c.message.size()] ^= 1;
    }
    EXPECT_FALSE(verify(c)) << "line " << i + 1;
  }
}

// Adds L to the little-endian 256-bit number in |s|; returns false if it overflows.
bool add_l(uint8_t* s) {
  const auto l = from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned v = s[i] + l[i] + carry;
    s[i] = static_cast<uint8_t>(v);
    carry = v >> 8;
  }
  return carry == 0;
}

TEST(Ed25519Test, RefusesMalleableAndMalformedInput) {
  const Case good = sign_input()[3];
  ASSERT_TRUE(verify(good));
  // S + L satisfies the same equation and must still be refused.
  Case c = good;
  ASSERT_TRUE(add_l(c.signature.data() + 32));
  EXPECT_FALSE(verify(c));
  // Wrong sizes.
  c = good;
  c.signature.pop_back();
  EXPECT_FALSE(verify(c));
  c = good;
  c.key.push_back(0);
  EXPECT_FALSE(verify(c));
  // A key whose y is p or more (here y = p + 1, which would reduce to the point y = 1).
  c = good;
  c.key = from_hex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  EXPECT_FALSE(verify(c));
  // A y with no x on the curve (y = 2).
  c = good;
  c.key = from_hex("0200000000000000000000000000000000000000000000000000000000000000");
  EXPECT_FALSE(verify(c));
  // R as the identity with the sign bit set: x = 0 with sign 1 does not decode.
  c = good;
  c.signature[0] = 1;
  for (int i = 1; i < 32; ++i) c.signature[i] = 0;
  c.signature[31] = 0x80;
  EXPECT_FALSE(verify(c));
}

}  // namespace
}  // namespace morvane
