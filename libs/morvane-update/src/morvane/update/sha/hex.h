// Hexadecimal text <-> bytes.
#ifndef MORVANE_UPDATE_SHA_HEX_H_
#define MORVANE_UPDATE_SHA_HEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/core/result.h"

namespace morvane {

// Lower-case hexadecimal digits, two per byte.
std::string hex_encode(const void* data, size_t size);

// Decodes hexadecimal text (UTF-8). Before each byte any space, tab, line feed, carriage
// return or form feed is skipped; the two digits of a byte must stand together. A
// character that is not a digit where one is expected (the end of the text included)
// fails with "non-hexadecimal number found in fromhex() arg at position N", N counting
// characters, not bytes, from zero. Published key files and signatures are written in
// this form, and scripts match the message, so its wording is fixed.
Result<std::vector<uint8_t>> hex_decode(std::string_view text);

}  // namespace morvane

#endif  // MORVANE_UPDATE_SHA_HEX_H_
