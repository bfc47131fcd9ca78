// The ZIP CRC-32: reflected polynomial 0xEDB88320, initial value and final XOR all ones.
#ifndef MORVANE_UPDATE_ZIP_CRC32_H_
#define MORVANE_UPDATE_ZIP_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace morvane {

// |crc| is the value of the bytes before |data| (0 for none), so that a stream can be
// checked piece by piece: crc32(crc32(0, a), b) == crc32 of a followed by b.
uint32_t crc32(uint32_t crc, const void* data, size_t size);
inline uint32_t crc32(const void* data, size_t size) { return crc32(0, data, size); }

}  // namespace morvane

#endif  // MORVANE_UPDATE_ZIP_CRC32_H_
