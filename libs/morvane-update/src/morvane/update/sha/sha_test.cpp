#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "morvane/update/sha/hex.h"
#include "morvane/update/sha/sha256.h"
#include "morvane/update/sha/sha256_compress.h"
#include "morvane/update/sha/sha512.h"
#include "morvane/update/testing/test_util.h"

namespace morvane {
namespace {

using testing::from_hex;

const std::string kDir = std::string(MORVANE_VECTORS_DIR) + "/hashes/SHA2/";

struct Vector {
  size_t bits;
  std::vector<uint8_t> message;
  std::string digest;
};

// The "Len = / Msg = / MD =" records of a NIST ShortMsg or LongMsg file.
std::vector<Vector> read_vectors(const std::string& file) {
  std::istringstream in(testing::read_file(kDir + file));
  std::vector<Vector> out;
  std::string line;
  Vector v{};
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("Len = ")) v.bits = std::stoul(line.substr(6));
    if (line.starts_with("Msg = ")) v.message = from_hex(line.substr(6));
    if (line.starts_with("MD = ")) {
      v.digest = line.substr(5);
      if (v.bits == 0) v.message.clear();
      out.push_back(v);
    }
  }
  return out;
}

template <typename Hash>
std::string hex_of(const typename Hash::Digest& d) {
  return hex_encode(d.data(), d.size());
}

// Feeds the message in pieces of growing odd sizes, so that every buffering path runs.
template <typename Hash>
std::string hash_in_pieces(const std::vector<uint8_t>& m) {
  Hash h;
  size_t pos = 0, piece = 1;
  while (pos < m.size()) {
    const size_t n = std::min(piece, m.size() - pos);
    h.update(m.data() + pos, n);
    pos += n;
    piece = piece * 3 % 251 + 1;
  }
  return hex_of<Hash>(h.finish());
}

template <typename Hash>
void check_file(const std::string& file, size_t min_count) {
  const auto vectors = read_vectors(file);
  ASSERT_GE(vectors.size(), min_count) << file;
  for (const Vector& v : vectors) {
    Hash h;
    h.update(v.message.data(), v.message.size());
    EXPECT_EQ(hex_of<Hash>(h.finish()), v.digest) << file << " Len = " << v.bits;
    EXPECT_EQ(hash_in_pieces<Hash>(v.message), v.digest) << file << " Len = " << v.bits;
  }
}

// NIST's Monte Carlo test: each checkpoint hashes the last three digests a thousand times.
template <typename Hash>
void check_monte(const std::string& file) {
  std::istringstream in(testing::read_file(kDir + file));
  std::string line, seed;
  std::vector<std::string> expected;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("Seed = ")) seed = line.substr(7);
    if (line.starts_with("MD = ")) expected.push_back(line.substr(5));
  }
  ASSERT_EQ(expected.size(), 100u) << file;
  std::vector<uint8_t> md = from_hex(seed);
  for (const std::string& checkpoint : expected) {
    std::vector<uint8_t> a = md, b = md, c = md;
    for (int i = 0; i < 1000; ++i) {
      Hash h;
      h.update(a.data(), a.size());
      h.update(b.data(), b.size());
      h.update(c.data(), c.size());
      const auto d = h.finish();
      a = std::move(b);
      b = std::move(c);
      c.assign(d.begin(), d.end());
    }
    md = c;
    EXPECT_EQ(hex_encode(md.data(), md.size()), checkpoint) << file;
  }
}

TEST(Sha256Test, NistShortLongAndMonte) {
  check_file<Sha256>("SHA256ShortMsg.rsp", 65);
  check_file<Sha256>("SHA256LongMsg.rsp", 64);
  check_monte<Sha256>("SHA256Monte.rsp");
}

// The vectors above run through the form this processor uses; the others must agree with
// it block for block, from any state.
TEST(Sha256Test, BlockFunctionFormsAgree) {
  internal::Sha256Compress accelerated = internal::sha256_compress_accelerated();
  if (!accelerated) GTEST_SKIP() << "this processor has no SHA-256 instructions";
  EXPECT_EQ(internal::sha256_compress_best(), accelerated);
  std::mt19937 rng(7);
  std::vector<uint8_t> data(64 * 40);
  for (size_t blocks = 0; blocks <= 40; ++blocks) {
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint32_t portable_state[8], accelerated_state[8];
    for (int i = 0; i < 8; ++i) portable_state[i] = accelerated_state[i] = rng();
    internal::sha256_compress_portable(portable_state, data.data(), blocks);
    accelerated(accelerated_state, data.data(), blocks);
    EXPECT_EQ(std::vector<uint32_t>(portable_state, portable_state + 8),
              std::vector<uint32_t>(accelerated_state, accelerated_state + 8))
        << blocks << " blocks";
  }
}

TEST(Sha512Test, NistShortLongAndMonte) {
  check_file<Sha512>("SHA512ShortMsg.rsp", 129);
  check_file<Sha512>("SHA512LongMsg.rsp", 128);
  check_monte<Sha512>("SHA512Monte.rsp");
}

TEST(Sha256Test, HexDigestAndReuse) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 h;
  h.update("ab");
  h.update("c");
  EXPECT_EQ(h.finish_hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  h.reset();
  h.update("abc");
  EXPECT_EQ(h.finish_hex(), sha256_hex("abc"));
}

TEST(HexTest, DecodesWithBlanksBetweenBytes) {
  auto r = hex_decode(" 0a\tFF\n\r\f01 ");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, (std::vector<uint8_t>{0x0a, 0xff, 0x01}));
  EXPECT_TRUE(hex_decode("").ok());
  EXPECT_EQ(hex_encode("\x00\xab", 2), "00ab");
}

TEST(HexTest, ErrorsNameTheCharacterPosition) {
  const std::string prefix = "non-hexadecimal number found in fromhex() arg at position ";
  EXPECT_EQ(hex_decode("0g").error(), prefix + "1");
  EXPECT_EQ(hex_decode("0 1").error(), prefix + "1");  // a blank inside a pair
  EXPECT_EQ(hex_decode("abc").error(), prefix + "3");  // the text ends inside a pair
  EXPECT_EQ(hex_decode("00\v00").error(), prefix + "2");  // vertical tab is not skipped
  // Positions count characters: "é" is two bytes but one character.
  EXPECT_EQ(hex_decode("\xc3\xa9" "00").error(), prefix + "0");
  EXPECT_EQ(hex_decode("00\xc3\xa9zz").error(), prefix + "2");
  EXPECT_EQ(hex_decode("00 \xc3\xa9 zz").error(), prefix + "3");
}

}  // namespace
}  // namespace morvane
