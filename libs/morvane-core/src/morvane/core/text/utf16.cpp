#include "morvane/core/text/utf16.h"

#include "morvane/core/text/utf8.h"

namespace morvane {
namespace {

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp > 0xFFFF) {
    out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

std::size_t utf16_units(char32_t cp) { return cp > 0xFFFF ? 2 : 1; }

}  // namespace

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) append_utf16(out, decode_code_point(utf8, &i));
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
    const char32_t cp = decode_code_point(utf8, &i);
    units += utf16_units(cp);
    if (units > max_units) break;
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace morvane
