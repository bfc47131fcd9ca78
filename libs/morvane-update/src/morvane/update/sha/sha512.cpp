#include "morvane/update/sha/sha512.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace morvane {
namespace {

constexpr uint64_t kK[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

inline uint64_t load_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

// Same shape as the SHA-256 compression: a 16-word schedule ring and eight unrolled
// rounds per step with rotating roles.
void compress(uint64_t* state, const uint8_t* data, size_t blocks) {
  uint64_t a, b, c, d, e, f, g, h, w[16];
#define MRV_S0(x) (std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39))
#define MRV_S1(x) (std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41))
#define MRV_G0(x) (std::rotr(x, 1) ^ std::rotr(x, 8) ^ ((x) >> 7))
#define MRV_G1(x) (std::rotr(x, 19) ^ std::rotr(x, 61) ^ ((x) >> 6))
#define MRV_ROUND(a, b, c, d, e, f, g, h, k, wi)                      \
  do {                                                                \
    const uint64_t t1 = h + MRV_S1(e) + (g ^ (e & (f ^ g))) + k + wi; \
    const uint64_t t2 = MRV_S0(a) + ((a & b) | (c & (a | b)));        \
    d += t1;                                                          \
    h = t1 + t2;                                                      \
  } while (0)
#define MRV_W(i) \
  (w[(i)&15] += MRV_G1(w[((i)-2) & 15]) + w[((i)-7) & 15] + MRV_G0(w[((i)-15) & 15]))
  while (blocks-- > 0) {
    a = state[0], b = state[1], c = state[2], d = state[3];
    e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 16; ++i) w[i] = load_be64(data + 8 * i);
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
    for (int i = 16; i < 80; i += 8) {
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
    data += 128;
  }
#undef MRV_S0
#undef MRV_S1
#undef MRV_G0
#undef MRV_G1
#undef MRV_ROUND
#undef MRV_W
}

}  // namespace

Sha512::Sha512() { reset(); }

void Sha512::reset() {
  static constexpr uint64_t kInit[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b,
                                        0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
                                        0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                        0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
  std::memcpy(state_, kInit, sizeof(state_));
  buffered_ = 0;
  total_ = 0;
}

void Sha512::update(const void* data, size_t size) {
  if (size == 0) return;  // |data| may then be null
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
  compress(state_, p, size / 128);
  p += size / 128 * 128;
  size %= 128;
  if (size > 0) std::memcpy(buffer_, p, size);
  buffered_ = size;
}

Sha512::Digest Sha512::finish() {
  // The length field is 128 bits; its high half is zero for any message we can hold.
  const uint64_t bits = total_ * 8;
  uint8_t pad[144] = {0x80};
  const size_t pad_size = (buffered_ < 112 ? 112 : 240) - buffered_;
  for (int i = 0; i < 8; ++i) pad[pad_size + 8 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  update(pad, pad_size + 16);
  Digest out;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<uint8_t>(state_[i] >> (56 - 8 * j));
  }
  return out;
}

Sha512::Digest sha512(std::string_view data) {
  Sha512 h;
  h.update(data);
  return h.finish();
}

}  // namespace morvane
