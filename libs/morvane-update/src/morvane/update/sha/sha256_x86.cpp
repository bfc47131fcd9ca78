// SHA-256 on the x86 SHA extensions (SHA256RNDS2, SHA256MSG1/2), four rounds per step.
// The function carries its own target attribute and runs only after CPUID has reported
// the extensions, so the rest of the library stays plain x86-64.
#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#include "morvane/update/sha/sha256_compress.h"

namespace morvane::internal {
namespace {

#define MRV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

alignas(16) constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Rounds 4i..4i+3. |m| holds the schedule words of the last four steps, step j in
// m[j % 4]; the step also finishes the words of step i+1 (SHA256MSG2) and starts those
// of step i+3 (SHA256MSG1) while they are still needed.
template <int i>
MRV_SHA_TARGET inline __attribute__((always_inline)) void four_rounds(__m128i& abef, __m128i& cdgh,
                                                                      __m128i (&m)[4]) {
  __m128i words =
      _mm_add_epi32(m[i % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(kK + 4 * i)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
  if constexpr (i >= 3 && i <= 14) {
    __m128i previous = _mm_alignr_epi8(m[i % 4], m[(i + 3) % 4], 4);
    m[(i + 1) % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(i + 1) % 4], previous), m[i % 4]);
  }
  words = _mm_shuffle_epi32(words, 0x0E);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
  if constexpr (i >= 1 && i <= 12) m[(i + 3) % 4] = _mm_sha256msg1_epu32(m[(i + 3) % 4], m[i % 4]);
}

template <size_t... I>
MRV_SHA_TARGET inline __attribute__((always_inline)) void all_rounds(__m128i& abef, __m128i& cdgh,
                                                                     __m128i (&m)[4],
                                                                     std::index_sequence<I...>) {
  (four_rounds<static_cast<int>(I)>(abef, cdgh, m), ...);
}

MRV_SHA_TARGET void compress_sha_extensions(uint32_t* state, const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions keep the state as {A,B,E,F} and {C,D,G,H}, highest word first.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    __m128i m[4];
    for (int j = 0; j < 4; ++j) {
      m[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * j)),
                              byte_swap);
    }
    all_rounds(abef, cdgh, m, std::make_index_sequence<16>());
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef MRV_SHA_TARGET

bool cpu_has_sha_extensions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3_sse41 = (ecx & bit_SSSE3) && (ecx & bit_SSE4_1);
  if (!ssse3_sse41 || __get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx & bit_SHA) != 0;
}

}  // namespace

Sha256Compress sha256_compress_accelerated() {
  static const bool has = cpu_has_sha_extensions();
  return has ? &compress_sha_extensions : nullptr;
}

}  // namespace morvane::internal
