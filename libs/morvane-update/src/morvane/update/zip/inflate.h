// Raw deflate decompression (RFC 1951: no zlib or gzip wrapper).
#ifndef MORVANE_UPDATE_ZIP_INFLATE_H_
#define MORVANE_UPDATE_ZIP_INFLATE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "morvane/core/result.h"

namespace morvane {

// Decodes blocks up to the one marked final; bytes after it are ignored. |size_hint| is
// the expected output size (the output buffer starts at min(size_hint, 256 MiB) and grows
// as needed). Errors all begin with "Error -3 while decompressing data: " followed by
// "invalid stored block lengths", "invalid block type", "invalid code", "invalid distance
// too far back" or, when the input ends before the final block does, "datos incompletos".
// Huffman codes are decoded with the meaning of the plain bit-by-bit canonical decoder:
// over-subscribed and incomplete code sets are accepted, and a bit string that matches
// no code is an error only once 15 bits of it have been read.
Result<std::vector<uint8_t>> inflate(std::span<const uint8_t> compressed, size_t size_hint);

}  // namespace morvane

#endif  // MORVANE_UPDATE_ZIP_INFLATE_H_
