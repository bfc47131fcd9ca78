// The few primitives the server needs for TURN credentials and stored key hashes:
// SHA-1 (FIPS 180-4), HMAC-SHA1 (RFC 2104), base64 (RFC 4648, with padding) and
// random identifiers. Written here so the server links no TLS library.
#ifndef VANTRIEL_SIGNAL_CRYPTO_H_
#define VANTRIEL_SIGNAL_CRYPTO_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantriel::signal {

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest sha1(std::string_view data);
Sha1Digest hmac_sha1(std::string_view key, std::string_view message);

std::string base64_encode(std::string_view bytes);
std::string hex_encode(std::string_view bytes);
inline std::string_view as_bytes(const Sha1Digest& d) {
  return {reinterpret_cast<const char*>(d.data()), d.size()};
}

// `count` random bytes from the system's generator, written as 2*count lower-case
// hexadecimal digits. Used for session and member ids and for salts.
std::string random_hex(size_t count);

// Compares without an early exit so that timing does not tell how much matched.
bool constant_time_equal(std::string_view a, std::string_view b);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_CRYPTO_H_
