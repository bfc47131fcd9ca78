#include "base/random.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace vantriel {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The per-run keys of the fallback. They only matter when the OS generator fails, so
// they are mixed from what differs between runs without it: the clocks, the addresses
// that address-space randomisation moves, and the thread's identity.
struct FallbackKeys {
  std::atomic<std::uint64_t> k0;
  std::uint64_t k1;
};

FallbackKeys& fallback_keys() {
  static FallbackKeys keys = [] {
    static int anchor;
    const auto wall =
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    const auto mono =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto here = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&anchor));
    const auto stack = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&wall));
    const auto thread =
        static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    return FallbackKeys{{siphash13_u64(wall, here, mono ^ thread)},
                        siphash13_u64(mono, stack, wall ^ rotl(thread, 29))};
  }();
  return keys;
}

}  // namespace

std::uint64_t siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, const void* data,
                      std::size_t size) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t full = size - size % 8;
  for (std::size_t i = 0; i < full; i += 8) {
    const std::uint64_t m = load_le64(p + i);
    s.v3 ^= m;
    for (int r = 0; r < c; ++r) s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(size & 0xFF) << 56;
  for (std::size_t i = 0; i < size % 8; ++i)
    last |= static_cast<std::uint64_t>(p[full + i]) << (8 * i);
  s.v3 ^= last;
  for (int r = 0; r < c; ++r) s.round();
  s.v0 ^= last;
  s.v2 ^= 0xFF;
  for (int r = 0; r < d; ++r) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  return siphash(1, 3, k0, k1, bytes, sizeof bytes);
}

void fallback_random_bytes(unsigned char* out, std::size_t n) {
  FallbackKeys& keys = fallback_keys();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k0 = keys.k0.fetch_add(1, std::memory_order_relaxed);
    out[i] = static_cast<unsigned char>(siphash13_u64(k0, keys.k1, i) & 0xFF);
  }
}

void random_bytes(void* out, std::size_t n) {
  if (n == 0) return;
  if (!os_random_bytes(out, n)) fallback_random_bytes(static_cast<unsigned char*>(out), n);
}

std::string random_hex(std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string raw(bytes, '\0');
  random_bytes(raw.data(), raw.size());
  std::string out;
  out.reserve(bytes * 2);
  for (const char c : raw) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::uint32_t random_below(std::uint32_t n) {
  if (n == 0) return 0;
  constexpr std::uint32_t kMax = 0xFFFFFFFFu;
  // Values from `limit` up form an incomplete block of n values and are drawn again, so
  // every result in [0, n) is equally likely. Each draw is accepted with probability above
  // 1/2, so the loop ends quickly.
  const std::uint32_t limit = kMax - kMax % n;
  for (;;) {
    unsigned char b[4];
    random_bytes(b, sizeof b);
    const std::uint32_t r =
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    if (r < limit) return r % n;
  }
}

std::string random_text(std::string_view alphabet, std::size_t length) {
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(alphabet[random_below(static_cast<std::uint32_t>(alphabet.size()))]);
  }
  return text;
}

}  // namespace vantriel
