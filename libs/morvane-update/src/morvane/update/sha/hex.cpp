#include "morvane/update/sha/hex.h"

#include "morvane/core/text/ascii.h"

namespace morvane {
namespace {

bool is_skipped_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Position in characters of byte |index|: UTF-8 continuation bytes do not start one.
size_t char_position(std::string_view text, size_t index) {
  size_t position = 0;
  for (size_t i = 0; i < index && i < text.size(); ++i) {
    if ((static_cast<uint8_t>(text[i]) & 0xC0) != 0x80) ++position;
  }
  return position;
}

Error bad_digit(std::string_view text, size_t index) {
  return make_error("non-hexadecimal number found in fromhex() arg at position " +
                    std::to_string(char_position(text, index)));
}

}  // namespace

std::string hex_encode(const void* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

Result<std::vector<uint8_t>> hex_decode(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 2);
  size_t i = 0;
  for (;;) {
    while (i < text.size() && is_skipped_space(text[i])) ++i;
    if (i == text.size()) break;
    const int high = hex_digit_value(text[i]);
    if (high < 0) return bad_digit(text, i);
    const int low = i + 1 < text.size() ? hex_digit_value(text[i + 1]) : -1;
    if (low < 0) return bad_digit(text, i + 1);
    out.push_back(static_cast<uint8_t>(high << 4 | low));
    i += 2;
  }
  return out;
}

}  // namespace morvane
