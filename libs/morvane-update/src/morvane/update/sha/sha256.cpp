#include "morvane/update/sha/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "morvane/update/sha/hex.h"
#include "morvane/update/sha/sha256_compress.h"

namespace morvane {
namespace {

constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

namespace internal {

// The message schedule lives in a 16-word ring so that it stays in registers; the round
// function is unrolled eight rounds at a time, rotating the roles of a..h instead of
// moving values.
void sha256_compress_portable(uint32_t* state, const uint8_t* data, size_t blocks) {
  uint32_t a, b, c, d, e, f, g, h, w[16];
#define MRV_S0(x) (std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22))
#define MRV_S1(x) (std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25))
#define MRV_G0(x) (std::rotr(x, 7) ^ std::rotr(x, 18) ^ ((x) >> 3))
#define MRV_G1(x) (std::rotr(x, 17) ^ std::rotr(x, 19) ^ ((x) >> 10))
#define MRV_ROUND(a, b, c, d, e, f, g, h, k, wi)                      \
  do {                                                                \
    const uint32_t t1 = h + MRV_S1(e) + (g ^ (e & (f ^ g))) + k + wi; \
    const uint32_t t2 = MRV_S0(a) + ((a & b) | (c & (a | b)));        \
    d += t1;                                                          \
    h = t1 + t2;                                                      \
  } while (0)
#define MRV_W(i) \
  (w[(i)&15] += MRV_G1(w[((i)-2) & 15]) + w[((i)-7) & 15] + MRV_G0(w[((i)-15) & 15]))
  while (blocks-- > 0) {
    a = state[0], b = state[1], c = state[2], d = state[3];
    e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    for (int i = 0; i < 16; i += 8) {
      MRV_ROUND(a, b, c, d, e, f, g, h, kK[i + 0], w[i + 0]);
      MRV_ROUND(h, a, b, c, d, e, f, g, kK[i + 1], w[i + 1]);
      MRV_ROUND(g, h, a, b, c, d, e, f, kK[i + 2], w[i + 2]);
      MRV_ROUND(f, g, h, a, b, c, d, e, kK[i + 3], w[i + 3]);
      MRV_ROUND(e, f, g, h, a, b, c, d, kK[i + 4], w[i + 4]);
      MRV_ROUND(d, e, f, g, h, a, b, c, kK[i + 5], w[i + 5]);
      MRV_ROUND(c, d, e, f, g, h, a, b, kK[i + 6], w[i + 6]);
      MRV_ROUND(b, c, d, e, f, g, h, a, kK[i + 7], w[i + 7]);
    }
    for (int i = 16; i < 64; i += 8) {
      MRV_ROUND(a, b, c, d, e, f, g, h, kK[i + 0], MRV_W(i + 0));
      MRV_ROUND(h, a, b, c, d, e, f, g, kK[i + 1], MRV_W(i + 1));
      MRV_ROUND(g, h, a, b, c, d, e, f, kK[i + 2], MRV_W(i + 2));
      MRV_ROUND(f, g, h, a, b, c, d, e, kK[i + 3], MRV_W(i + 3));
      MRV_ROUND(e, f, g, h, a, b, c, d, kK[i + 4], MRV_W(i + 4));
      MRV_ROUND(d, e, f, g, h, a, b, c, kK[i + 5], MRV_W(i + 5));
      MRV_ROUND(c, d, e, f, g, h, a, b, kK[i + 6], MRV_W(i + 6));
      MRV_ROUND(b, c, d, e, f, g, h, a, kK[i + 7], MRV_W(i + 7));
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
    data += 64;
  }
#undef MRV_S0
#undef MRV_S1
#undef MRV_G0
#undef MRV_G1
#undef MRV_ROUND
#undef MRV_W
}

Sha256Compress sha256_compress_best() {
  static const Sha256Compress best = [] {
    Sha256Compress accelerated = sha256_compress_accelerated();
    return accelerated ? accelerated : &sha256_compress_portable;
  }();
  return best;
}

}  // namespace internal

Sha256::Sha256() { reset(); }

void Sha256::reset() {
  static constexpr uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(state_, kInit, sizeof(state_));
  buffered_ = 0;
  total_ = 0;
}

void Sha256::update(const void* data, size_t size) {
  if (size == 0) return;  // |data| may then be null
  const internal::Sha256Compress compress = internal::sha256_compress_best();
  const auto* p = static_cast<const uint8_t*>(data);
  total_ += size;
  if (buffered_ > 0) {
    const size_t take = std::min(size, sizeof(buffer_) - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < sizeof(buffer_)) return;
    compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  compress(state_, p, size / 64);
  p += size / 64 * 64;
  size %= 64;
  if (size > 0) std::memcpy(buffer_, p, size);
  buffered_ = size;
}

Sha256::Digest Sha256::finish() {
  const uint64_t bits = total_ * 8;
  uint8_t pad[72] = {0x80};
  const size_t pad_size = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (int i = 0; i < 8; ++i) pad[pad_size + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  update(pad, pad_size + 8);
  Digest out;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
  }
  return out;
}

std::string Sha256::finish_hex() {
  const Digest digest = finish();
  return hex_encode(digest.data(), digest.size());
}

Sha256::Digest sha256(std::string_view data) {
  Sha256 h;
  h.update(data);
  return h.finish();
}

std::string sha256_hex(std::string_view data) {
  Sha256 h;
  h.update(data);
  return h.finish_hex();
}

}  // namespace morvane
