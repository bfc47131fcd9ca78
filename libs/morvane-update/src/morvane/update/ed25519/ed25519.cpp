// Field elements are five 51-bit limbs (radix 2^51) multiplied through 128-bit products;
// points use extended twisted Edwards coordinates. Verification computes
// [S]B + [k](-A) with signed sliding windows (width 8 over a table of B built once,
// width 5 over a table of A built per call) and compares its encoding with R.
#include "morvane/update/ed25519/ed25519.h"

#include <array>
#include <cstring>

#include "morvane/update/sha/sha512.h"

namespace morvane {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr uint64_t kMask51 = (uint64_t{1} << 51) - 1;

struct Fe {
  uint64_t v[5];
};

Fe fe_from_u64(uint64_t x) { return Fe{{x & kMask51, x >> 51, 0, 0, 0}}; }

// Inputs may carry limbs up to about 2^54; outputs are below 2^52.
Fe fe_add(const Fe& a, const Fe& b) {
  return Fe{{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3], a.v[4] + b.v[4]}};
}

Fe fe_carry(Fe a) {
  uint64_t c;
  c = a.v[0] >> 51, a.v[0] &= kMask51, a.v[1] += c;
  c = a.v[1] >> 51, a.v[1] &= kMask51, a.v[2] += c;
  c = a.v[2] >> 51, a.v[2] &= kMask51, a.v[3] += c;
  c = a.v[3] >> 51, a.v[3] &= kMask51, a.v[4] += c;
  c = a.v[4] >> 51, a.v[4] &= kMask51, a.v[0] += c * 19;
  return a;
}

// a - b computed as a + 4p - b so that no limb goes negative, then carried.
Fe fe_sub(const Fe& a, const Fe& b) {
  constexpr uint64_t k4p0 = 0x1FFFFFFFFFFFB4, k4pi = 0x1FFFFFFFFFFFFC;
  return fe_carry(Fe{{a.v[0] + k4p0 - b.v[0], a.v[1] + k4pi - b.v[1], a.v[2] + k4pi - b.v[2],
                      a.v[3] + k4pi - b.v[3], a.v[4] + k4pi - b.v[4]}});
}

Fe fe_neg(const Fe& a) { return fe_sub(Fe{{0, 0, 0, 0, 0}}, a); }

Fe fe_reduce_wide(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
  Fe h;
  r1 += static_cast<uint64_t>(r0 >> 51);
  h.v[0] = static_cast<uint64_t>(r0) & kMask51;
  r2 += static_cast<uint64_t>(r1 >> 51);
  h.v[1] = static_cast<uint64_t>(r1) & kMask51;
  r3 += static_cast<uint64_t>(r2 >> 51);
  h.v[2] = static_cast<uint64_t>(r2) & kMask51;
  r4 += static_cast<uint64_t>(r3 >> 51);
  h.v[3] = static_cast<uint64_t>(r3) & kMask51;
  const u128 t = static_cast<u128>(static_cast<uint64_t>(r4 >> 51)) * 19 + h.v[0];
  h.v[4] = static_cast<uint64_t>(r4) & kMask51;
  h.v[0] = static_cast<uint64_t>(t) & kMask51;
  h.v[1] += static_cast<uint64_t>(t >> 51);
  return h;
}

Fe fe_mul(const Fe& a, const Fe& b) {
  const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const uint64_t b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
  const uint64_t b1_19 = b1 * 19, b2_19 = b2 * 19, b3_19 = b3 * 19, b4_19 = b4 * 19;
  const u128 r0 = static_cast<u128>(a0) * b0 + static_cast<u128>(a1) * b4_19 +
                  static_cast<u128>(a2) * b3_19 + static_cast<u128>(a3) * b2_19 +
                  static_cast<u128>(a4) * b1_19;
  const u128 r1 = static_cast<u128>(a0) * b1 + static_cast<u128>(a1) * b0 +
                  static_cast<u128>(a2) * b4_19 + static_cast<u128>(a3) * b3_19 +
                  static_cast<u128>(a4) * b2_19;
  const u128 r2 = static_cast<u128>(a0) * b2 + static_cast<u128>(a1) * b1 +
                  static_cast<u128>(a2) * b0 + static_cast<u128>(a3) * b4_19 +
                  static_cast<u128>(a4) * b3_19;
  const u128 r3 = static_cast<u128>(a0) * b3 + static_cast<u128>(a1) * b2 +
                  static_cast<u128>(a2) * b1 + static_cast<u128>(a3) * b0 +
                  static_cast<u128>(a4) * b4_19;
  const u128 r4 = static_cast<u128>(a0) * b4 + static_cast<u128>(a1) * b3 +
                  static_cast<u128>(a2) * b2 + static_cast<u128>(a3) * b1 +
                  static_cast<u128>(a4) * b0;
  return fe_reduce_wide(r0, r1, r2, r3, r4);
}

Fe fe_sq(const Fe& a) {
  const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
  const uint64_t d0 = a0 * 2, d1 = a1 * 2, d2 = a2 * 2, a3_19 = a3 * 19, a4_19 = a4 * 19;
  const u128 r0 = static_cast<u128>(a0) * a0 + static_cast<u128>(d1) * a4_19 +
                  static_cast<u128>(d2) * a3_19;
  const u128 r1 = static_cast<u128>(d0) * a1 + static_cast<u128>(d2) * a4_19 +
                  static_cast<u128>(a3) * a3_19;
  const u128 r2 = static_cast<u128>(d0) * a2 + static_cast<u128>(a1) * a1 +
                  static_cast<u128>(a3 * 2) * a4_19;
  const u128 r3 = static_cast<u128>(d0) * a3 + static_cast<u128>(d1) * a2 +
                  static_cast<u128>(a4) * a4_19;
  const u128 r4 = static_cast<u128>(d0) * a4 + static_cast<u128>(d1) * a3 +
                  static_cast<u128>(a2) * a2;
  return fe_reduce_wide(r0, r1, r2, r3, r4);
}

Fe fe_sq_n(Fe a, int n) {
  while (n-- > 0) a = fe_sq(a);
  return a;
}

// z^(2^250 - 1), with z^11 on the side; shared by inversion and square roots.
Fe fe_pow_2_250_1(const Fe& z, Fe* z11) {
  const Fe z2 = fe_sq(z);
  const Fe z9 = fe_mul(fe_sq_n(z2, 2), z);
  *z11 = fe_mul(z9, z2);
  const Fe z_5 = fe_mul(fe_sq(*z11), z9);               // 2^5 - 1
  const Fe z_10 = fe_mul(fe_sq_n(z_5, 5), z_5);         // 2^10 - 1
  const Fe z_20 = fe_mul(fe_sq_n(z_10, 10), z_10);      // 2^20 - 1
  const Fe z_40 = fe_mul(fe_sq_n(z_20, 20), z_20);      // 2^40 - 1
  const Fe z_50 = fe_mul(fe_sq_n(z_40, 10), z_10);      // 2^50 - 1
  const Fe z_100 = fe_mul(fe_sq_n(z_50, 50), z_50);     // 2^100 - 1
  const Fe z_200 = fe_mul(fe_sq_n(z_100, 100), z_100);  // 2^200 - 1
  return fe_mul(fe_sq_n(z_200, 50), z_50);              // 2^250 - 1
}

Fe fe_invert(const Fe& z) {  // z^(p - 2) = z^(2^255 - 21)
  Fe z11;
  const Fe t = fe_pow_2_250_1(z, &z11);
  return fe_mul(fe_sq_n(t, 5), z11);
}

Fe fe_pow22523(const Fe& z) {  // z^((p - 5) / 8) = z^(2^252 - 3)
  Fe z11;
  const Fe t = fe_pow_2_250_1(z, &z11);
  return fe_mul(fe_sq_n(t, 2), z);
}

void fe_to_bytes(uint8_t out[32], const Fe& a) {
  Fe t = fe_carry(fe_carry(a));
  // t < 2^255 + small; add 19 to find out whether t >= p, then subtract p by adding 19
  // and dropping bit 255.
  uint64_t q = (t.v[0] + 19) >> 51;
  q = (t.v[1] + q) >> 51;
  q = (t.v[2] + q) >> 51;
  q = (t.v[3] + q) >> 51;
  q = (t.v[4] + q) >> 51;
  t.v[0] += 19 * q;
  t.v[1] += t.v[0] >> 51, t.v[0] &= kMask51;
  t.v[2] += t.v[1] >> 51, t.v[1] &= kMask51;
  t.v[3] += t.v[2] >> 51, t.v[2] &= kMask51;
  t.v[4] += t.v[3] >> 51, t.v[3] &= kMask51;
  t.v[4] &= kMask51;
  const uint64_t w0 = t.v[0] | t.v[1] << 51;
  const uint64_t w1 = t.v[1] >> 13 | t.v[2] << 38;
  const uint64_t w2 = t.v[2] >> 26 | t.v[3] << 25;
  const uint64_t w3 = t.v[3] >> 39 | t.v[4] << 12;
  const uint64_t words[4] = {w0, w1, w2, w3};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<uint8_t>(words[i] >> (8 * j));
  }
}

uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The low 255 bits of |in|; the caller deals with the top bit and with values >= p.
Fe fe_from_bytes(const uint8_t in[32]) {
  const uint64_t w0 = load_le64(in), w1 = load_le64(in + 8), w2 = load_le64(in + 16),
                 w3 = load_le64(in + 24);
  return Fe{{w0 & kMask51, (w0 >> 51 | w1 << 13) & kMask51, (w1 >> 38 | w2 << 26) & kMask51,
             (w2 >> 25 | w3 << 39) & kMask51, (w3 >> 12) & kMask51}};
}

bool fe_equal(const Fe& a, const Fe& b) {
  uint8_t x[32], y[32];
  fe_to_bytes(x, a);
  fe_to_bytes(y, b);
  return std::memcmp(x, y, 32) == 0;
}

bool fe_is_zero(const Fe& a) {
  uint8_t x[32];
  fe_to_bytes(x, a);
  uint8_t acc = 0;
  for (uint8_t b : x) acc |= b;
  return acc == 0;
}

bool fe_is_odd(const Fe& a) {
  uint8_t x[32];
  fe_to_bytes(x, a);
  return x[0] & 1;
}

struct P2 {  // (X : Y : Z)
  Fe x, y, z;
};
struct P3 {  // (X : Y : Z : T), x = X/Z, y = Y/Z, xy = T/Z
  Fe x, y, z, t;
};
struct P1P1 {  // ((X : Z), (Y : T)), the result of an addition or doubling
  Fe x, y, z, t;
};
struct Cached {  // (Y + X, Y - X, Z, 2dT): a point prepared for additions
  Fe ypx, ymx, z, t2d;
};
struct Precomp {  // (y + x, y - x, 2dxy) of an affine point
  Fe ypx, ymx, xy2d;
};

struct Constants {
  Fe d, d2, sqrtm1;
  P3 base;
  Precomp base_odd[64];  // B, 3B, 5B, ..., 127B
};

const Constants& constants();

P2 to_p2(const P1P1& p) { return P2{fe_mul(p.x, p.t), fe_mul(p.y, p.z), fe_mul(p.z, p.t)}; }

P3 to_p3(const P1P1& p) {
  return P3{fe_mul(p.x, p.t), fe_mul(p.y, p.z), fe_mul(p.z, p.t), fe_mul(p.x, p.y)};
}

Cached to_cached(const P3& p, const Fe& d2) {
  return Cached{fe_add(p.y, p.x), fe_sub(p.y, p.x), p.z, fe_mul(p.t, d2)};
}

P1P1 dbl(const P2& p) {
  const Fe xx = fe_sq(p.x), yy = fe_sq(p.y);
  const Fe zz = fe_sq(p.z);
  const Fe zz2 = fe_add(zz, zz);
  const Fe s = fe_sq(fe_add(p.x, p.y));
  P1P1 r;
  r.y = fe_add(yy, xx);
  r.z = fe_sub(yy, xx);
  r.x = fe_sub(s, r.y);
  r.t = fe_sub(zz2, r.z);
  return r;
}

P1P1 add(const P3& p, const Cached& q, bool subtract) {
  const Fe a = fe_mul(fe_add(p.y, p.x), subtract ? q.ymx : q.ypx);
  const Fe b = fe_mul(fe_sub(p.y, p.x), subtract ? q.ypx : q.ymx);
  const Fe c = fe_mul(q.t2d, p.t);
  const Fe zz = fe_mul(p.z, q.z);
  const Fe d = fe_add(zz, zz);
  P1P1 r;
  r.x = fe_sub(a, b);
  r.y = fe_add(a, b);
  r.z = subtract ? fe_sub(d, c) : fe_add(d, c);
  r.t = subtract ? fe_add(d, c) : fe_sub(d, c);
  return r;
}

P1P1 madd(const P3& p, const Precomp& q, bool subtract) {
  const Fe a = fe_mul(fe_add(p.y, p.x), subtract ? q.ymx : q.ypx);
  const Fe b = fe_mul(fe_sub(p.y, p.x), subtract ? q.ypx : q.ymx);
  const Fe c = fe_mul(q.xy2d, p.t);
  const Fe d = fe_add(p.z, p.z);
  P1P1 r;
  r.x = fe_sub(a, b);
  r.y = fe_add(a, b);
  r.z = subtract ? fe_sub(d, c) : fe_add(d, c);
  r.t = subtract ? fe_add(d, c) : fe_sub(d, c);
  return r;
}

void encode(uint8_t out[32], const P2& p) {
  const Fe zi = fe_invert(p.z);
  const Fe x = fe_mul(p.x, zi), y = fe_mul(p.y, zi);
  fe_to_bytes(out, y);
  out[31] ^= static_cast<uint8_t>(fe_is_odd(x) << 7);
}

// RFC 8032 section 5.1.3, strict: y >= p and a y with no x are refused, and so is x = 0
// with the sign bit set.
bool decode(P3* out, const uint8_t in[32], const Constants& k) {
  bool y_below_p = false;
  if ((in[31] & 0x7F) != 0x7F) y_below_p = true;
  for (int i = 30; i >= 1 && !y_below_p; --i) y_below_p = in[i] != 0xFF;
  if (!y_below_p && in[0] < 0xED) y_below_p = true;
  if (!y_below_p) return false;
  const bool x_sign = in[31] >> 7;
  const Fe y = fe_from_bytes(in);
  const Fe one = fe_from_u64(1);
  const Fe yy = fe_sq(y);
  const Fe u = fe_sub(yy, one);
  const Fe v = fe_add(fe_mul(yy, k.d), one);
  const Fe v3 = fe_mul(fe_sq(v), v);
  const Fe v7 = fe_mul(fe_sq(v3), v);
  Fe x = fe_mul(fe_mul(u, v3), fe_pow22523(fe_mul(u, v7)));
  const Fe vxx = fe_mul(v, fe_sq(x));
  if (!fe_equal(vxx, u)) {
    if (!fe_equal(vxx, fe_neg(u))) return false;
    x = fe_mul(x, k.sqrtm1);
  }
  if (fe_is_zero(x) && x_sign) return false;
  if (fe_is_odd(x) != x_sign) x = fe_neg(x);
  out->x = x;
  out->y = y;
  out->z = one;
  out->t = fe_mul(x, y);
  return true;
}

Constants make_constants() {
  Constants k;
  k.d = fe_neg(fe_mul(fe_from_u64(121665), fe_invert(fe_from_u64(121666))));
  k.d2 = fe_add(k.d, k.d);
  // sqrt(-1) = 2^((p - 1) / 4) = (2^((p - 5) / 8))^2 * 2.
  const Fe two = fe_from_u64(2);
  k.sqrtm1 = fe_mul(fe_sq(fe_pow22523(two)), two);
  // B: y = 4/5 with an even x.
  uint8_t encoded[32];
  fe_to_bytes(encoded, fe_mul(fe_from_u64(4), fe_invert(fe_from_u64(5))));
  decode(&k.base, encoded, k);
  const Cached b2 = to_cached(to_p3(dbl(P2{k.base.x, k.base.y, k.base.z})), k.d2);
  P3 odd = k.base;
  for (int i = 0; i < 64; ++i) {
    const Fe zi = fe_invert(odd.z);
    const Fe x = fe_mul(odd.x, zi), y = fe_mul(odd.y, zi);
    k.base_odd[i] = Precomp{fe_add(y, x), fe_sub(y, x), fe_mul(fe_mul(x, y), k.d2)};
    odd = to_p3(add(odd, b2, false));
  }
  return k;
}

const Constants& constants() {
  static const Constants k = make_constants();  // thread-safe one-time initialisation
  return k;
}

// Signed digits r[0..255] of |a| (little-endian, below 2^253), each zero or odd with
// magnitude at most |limit|, such that a = sum r[i] 2^i.
void slide(int8_t r[256], const uint8_t a[32], int limit) {
  for (int i = 0; i < 256; ++i) r[i] = static_cast<int8_t>(1 & (a[i >> 3] >> (i & 7)));
  for (int i = 0; i < 256; ++i) {
    if (!r[i]) continue;
    for (int b = 1; b <= 8 && i + b < 256; ++b) {
      if (!r[i + b]) continue;
      const int shifted = r[i + b] << b;
      if (r[i] + shifted <= limit) {
        r[i] = static_cast<int8_t>(r[i] + shifted);
        r[i + b] = 0;
      } else if (r[i] - shifted >= -limit) {
        r[i] = static_cast<int8_t>(r[i] - shifted);
        for (int j = i + b; j < 256; ++j) {
          if (!r[j]) {
            r[j] = 1;
            break;
          }
          r[j] = 0;
        }
      } else {
        break;
      }
    }
  }
}

// L = 2^252 + 27742317777372353535851937790883648493, as four little-endian words.
constexpr uint64_t kL[4] = {0x5812631a5cf5d3ed, 0x14def9dea2f79cd6, 0, 0x1000000000000000};

bool below_l(const uint8_t s[32]) {
  for (int i = 3; i >= 0; --i) {
    const uint64_t w = load_le64(s + 8 * i);
    if (w != kL[i]) return w < kL[i];
  }
  return false;
}

// |wide| (64 bytes, little-endian) modulo L, shifting one bit in at a time. It runs
// once per verification; its cost is small next to the point arithmetic.
void reduce_mod_l(uint8_t out[32], const uint8_t wide[64]) {
  uint64_t r[5] = {0, 0, 0, 0, 0};
  for (int bit = 511; bit >= 0; --bit) {
    for (int i = 4; i > 0; --i) r[i] = r[i] << 1 | r[i - 1] >> 63;
    r[0] = r[0] << 1 | ((wide[bit >> 3] >> (bit & 7)) & 1);
    bool ge = r[4] != 0;
    if (!ge) {
      ge = true;
      for (int i = 3; i >= 0; --i) {
        if (r[i] != kL[i]) {
          ge = r[i] > kL[i];
          break;
        }
      }
    }
    if (ge) {
      uint64_t borrow = 0;
      for (int i = 0; i < 4; ++i) {
        const u128 diff = static_cast<u128>(r[i]) - kL[i] - borrow;
        r[i] = static_cast<uint64_t>(diff);
        borrow = static_cast<uint64_t>(diff >> 64) & 1;
      }
      r[4] -= borrow;
    }
  }
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 8; ++j) out[8 * i + j] = static_cast<uint8_t>(r[i] >> (8 * j));
  }
}

}  // namespace

bool verify_signature(std::span<const uint8_t> public_key, std::span<const uint8_t> message,
                      std::span<const uint8_t> signature) {
  if (public_key.size() != 32 || signature.size() != 64) return false;
  const uint8_t* r_bytes = signature.data();
  const uint8_t* s_bytes = signature.data() + 32;
  if (!below_l(s_bytes)) return false;
  const Constants& k = constants();
  P3 a, r;
  if (!decode(&a, public_key.data(), k) || !decode(&r, r_bytes, k)) return false;

  Sha512 h;
  h.update(r_bytes, 32);
  h.update(public_key.data(), 32);
  h.update(message.data(), message.size());
  const Sha512::Digest digest = h.finish();
  uint8_t k_scalar[32];
  reduce_mod_l(k_scalar, digest.data());

  // -A, then its odd multiples -A, -3A, ..., -15A.
  a.x = fe_neg(a.x);
  a.t = fe_neg(a.t);
  Cached a_odd[8];
  a_odd[0] = to_cached(a, k.d2);
  const Cached a2 = to_cached(to_p3(dbl(P2{a.x, a.y, a.z})), k.d2);
  P3 acc = a;
  for (int i = 1; i < 8; ++i) {
    acc = to_p3(add(acc, a2, false));
    a_odd[i] = to_cached(acc, k.d2);
  }

  int8_t ks[256], ss[256];
  slide(ks, k_scalar, 15);
  slide(ss, s_bytes, 127);
  int i = 255;
  while (i >= 0 && !ks[i] && !ss[i]) --i;
  P2 sum{fe_from_u64(0), fe_from_u64(1), fe_from_u64(1)};
  for (; i >= 0; --i) {
    P1P1 t = dbl(sum);
    if (ks[i] > 0) {
      t = add(to_p3(t), a_odd[ks[i] / 2], false);
    } else if (ks[i] < 0) {
      t = add(to_p3(t), a_odd[-ks[i] / 2], true);
    }
    if (ss[i] > 0) {
      t = madd(to_p3(t), k.base_odd[ss[i] / 2], false);
    } else if (ss[i] < 0) {
      t = madd(to_p3(t), k.base_odd[-ss[i] / 2], true);
    }
    sum = to_p2(t);
  }
  uint8_t check[32];
  encode(check, sum);
  return std::memcmp(check, r_bytes, 32) == 0;
}

}  // namespace morvane
