// Processors without SHA-256 instructions of ours: the portable form only.
#include "morvane/update/sha/sha256_compress.h"

namespace morvane::internal {

Sha256Compress sha256_compress_accelerated() { return nullptr; }

}  // namespace morvane::internal
