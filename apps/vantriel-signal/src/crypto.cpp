#include "crypto.h"

#include <cstring>
#include <random>

namespace vantriel::signal {
namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

class Sha1 {
 public:
  void update(std::string_view data) {
    for (char c : data) {
      block_[fill_++] = static_cast<uint8_t>(c);
      if (fill_ == 64) {
        compress();
        fill_ = 0;
      }
    }
    length_ += data.size();
  }

  Sha1Digest finish() {
    const uint64_t bits = length_ * 8;
    block_[fill_++] = 0x80;
    if (fill_ > 56) {
      while (fill_ < 64) block_[fill_++] = 0;
      compress();
      fill_ = 0;
    }
    while (fill_ < 56) block_[fill_++] = 0;
    for (int i = 7; i >= 0; --i) block_[fill_++] = static_cast<uint8_t>(bits >> (i * 8));
    compress();
    Sha1Digest out;
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    }
    return out;
  }

 private:
  void compress() {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = (uint32_t{block_[i * 4]} << 24) | (uint32_t{block_[i * 4 + 1]} << 16) |
             (uint32_t{block_[i * 4 + 2]} << 8) | uint32_t{block_[i * 4 + 3]};
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = rotl(b, 30);
      b = a;
      a = t;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
  }

  uint32_t h_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  uint8_t block_[64] = {};
  size_t fill_ = 0;
  uint64_t length_ = 0;
};

}  // namespace

Sha1Digest sha1(std::string_view data) {
  Sha1 s;
  s.update(data);
  return s.finish();
}

Sha1Digest hmac_sha1(std::string_view key, std::string_view message) {
  constexpr size_t kBlock = 64;
  uint8_t k[kBlock] = {};
  if (key.size() > kBlock) {
    const Sha1Digest d = sha1(key);
    std::memcpy(k, d.data(), d.size());
  } else {
    std::memcpy(k, key.data(), key.size());
  }
  char ipad[kBlock], opad[kBlock];
  for (size_t i = 0; i < kBlock; ++i) {
    ipad[i] = static_cast<char>(k[i] ^ 0x36);
    opad[i] = static_cast<char>(k[i] ^ 0x5c);
  }
  Sha1 inner;
  inner.update({ipad, kBlock});
  inner.update(message);
  const Sha1Digest inner_digest = inner.finish();
  Sha1 outer;
  outer.update({opad, kBlock});
  outer.update(as_bytes(inner_digest));
  return outer.finish();
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{static_cast<uint8_t>(bytes[i])} << 16) |
                       (uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8) |
                       uint32_t{static_cast<uint8_t>(bytes[i + 2])};
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (rest == 2) v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string hex_encode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    out += kDigits[static_cast<uint8_t>(c) >> 4];
    out += kDigits[static_cast<uint8_t>(c) & 15];
  }
  return out;
}

std::string random_hex(size_t count) {
  // random_device reads the system generator (getrandom on Linux, rand_s on Windows).
  static thread_local std::random_device device;
  std::string bytes;
  bytes.reserve(count + 4);
  while (bytes.size() < count) {
    const uint32_t v = device();
    for (int i = 0; i < 4 && bytes.size() < count; ++i) bytes += static_cast<char>(v >> (8 * i));
  }
  return hex_encode(bytes);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace vantriel::signal
