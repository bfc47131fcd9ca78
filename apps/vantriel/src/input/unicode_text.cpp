#include "input/unicode_text.h"

#include "base/utf8.h"

#include <cstdint>

namespace vantriel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at `i`, advancing `i` past it (past one maximal bad subpart
// when it is invalid, which yields U+FFFD).
char32_t next_char(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  uint8_t lo = 0x80;
  uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return kReplacement;
  }
  ++i;
  for (int k = 1; k < len; ++k) {
    if (i >= s.size()) return kReplacement;
    const uint8_t b = byte(i);
    if (b < lo || b > hi) return kReplacement;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

std::size_t utf16_units(char32_t cp) { return cp > 0xFFFF ? 2 : 1; }

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  utf8_append(out, cp);
}

std::u32string decode_utf8(std::string_view utf8, std::size_t max_chars) {
  std::u32string out;
  std::size_t i = 0;
  while (i < utf8.size() && out.size() < max_chars) out.push_back(next_char(utf8, i));
  return out;
}

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const char32_t cp = next_char(utf8, i);
    if (cp > 0xFFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
      ++i;
    } else {
      append_utf8(out, u);  // a lone surrogate becomes U+FFFD there
    }
  }
  return out;
}

std::string utf8_prefix_by_utf16_units(std::string_view utf8, std::size_t max_units) {
  std::string out;
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const char32_t cp = next_char(utf8, i);
    units += utf16_units(cp);
    if (units > max_units) break;
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace vantriel
