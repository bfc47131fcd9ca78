// The SHA-256 block function in its interchangeable forms. Sha256 picks one once per
// process; tests and benchmarks reach each form directly.
#ifndef MORVANE_UPDATE_SHA_SHA256_COMPRESS_H_
#define MORVANE_UPDATE_SHA_SHA256_COMPRESS_H_

#include <cstddef>
#include <cstdint>

namespace morvane::internal {

// Compresses |blocks| 64-byte blocks at |data| into the eight state words.
using Sha256Compress = void (*)(uint32_t* state, const uint8_t* data, size_t blocks);

// Plain C++; runs everywhere.
void sha256_compress_portable(uint32_t* state, const uint8_t* data, size_t blocks);

// The processor's own SHA-256 instructions (x86 SHA extensions), or null when this
// processor or build has none.
Sha256Compress sha256_compress_accelerated();

// The fastest form this processor runs, chosen on first use.
Sha256Compress sha256_compress_best();

}  // namespace morvane::internal

#endif  // MORVANE_UPDATE_SHA_SHA256_COMPRESS_H_
