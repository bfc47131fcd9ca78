#include "morvane/update/zip/crc32.h"

namespace morvane {
namespace {

// Eight tables for slicing by eight bytes: table[k][b] is the CRC of byte b followed by
// k zero bytes. Built once per process, on first use.
struct Tables {
  uint32_t t[8][256];
  Tables() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b;
      for (int i = 0; i < 8; ++i) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b) {
      for (int k = 1; k < 8; ++k) t[k][b] = t[0][t[k - 1][b] & 0xFF] ^ (t[k - 1][b] >> 8);
    }
  }
};

const Tables& tables() {
  static const Tables instance;
  return instance;
}

}  // namespace

uint32_t crc32(uint32_t crc, const void* data, size_t size) {
  const auto& t = tables().t;
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~crc;
  while (size >= 8) {
    const uint32_t lo = c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                             uint32_t{p[3]} << 24);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace morvane
