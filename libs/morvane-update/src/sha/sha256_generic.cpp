// Processors without SHA-256 instructions of ours: the portable form only.
#include "sha/sha256_compress.h"

namespace morvane::internal {

Sha256Compress sha256_compress_accelerated() { return nullptr; }

}  // namespace morvane::internal
