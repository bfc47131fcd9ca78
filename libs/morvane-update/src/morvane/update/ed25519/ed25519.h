// Ed25519 signature verification (RFC 8032, section 5.1.7), cofactorless and strict.
#ifndef MORVANE_UPDATE_ED25519_ED25519_H_
#define MORVANE_UPDATE_ED25519_ED25519_H_

#include <cstdint>
#include <span>

namespace morvane {

// True exactly when |signature| is 64 bytes R || S, S is below the group order L, the
// public key and R decode as curve points (an encoded y of p or more, or a y with no x,
// is refused), and the encoding of [S]B equals the encoding of R + [k]A with
// k = SHA-512(R || A || message) mod L. A key that is not 32 bytes is never valid.
// Thread-safe; the base point table is built once, on first use.
bool verify_signature(std::span<const uint8_t> public_key, std::span<const uint8_t> message,
                      std::span<const uint8_t> signature);

}  // namespace morvane

#endif  // MORVANE_UPDATE_ED25519_ED25519_H_
