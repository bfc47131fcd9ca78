// Random numbers from the operating system's generator.
#ifndef VANTRIEL_BASE_RANDOM_H_
#define VANTRIEL_BASE_RANDOM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantriel {

// Fills `out` with `n` random bytes. Never fails: if the OS generator reports an error,
// the bytes come from SipHash-1-3 under per-run keys instead.
void random_bytes(void* out, std::size_t n);

// `bytes` random bytes as 2*bytes lower-case hexadecimal digits.
std::string random_hex(std::size_t bytes);

// A uniformly distributed number in [0, n). REQUIRES: n > 0 (0 gives 0).
std::uint32_t random_below(std::uint32_t n);

// `length` characters each drawn uniformly from `alphabet`. REQUIRES: `alphabet` not empty.
std::string random_text(std::string_view alphabet, std::size_t length);

// SipHash-1-3 of the 8 little-endian bytes of `value` under the key (k0, k1).
std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t value);

// SipHash with `c` compression and `d` finalisation rounds over `data` (for tests with
// the published SipHash-2-4 vectors).
std::uint64_t siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, const void* data,
                      std::size_t size);

// The fallback filler, exposed for tests.
void fallback_random_bytes(unsigned char* out, std::size_t n);

// The OS half: fills `out` from the system generator; false when the call fails.
bool os_random_bytes(void* out, std::size_t n);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_RANDOM_H_
