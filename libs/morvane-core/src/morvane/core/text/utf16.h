// Conversions between UTF-8 and the UTF-16 that Windows, its input and its clipboard use.
// Invalid input never fails: an ill-formed UTF-8 part or an unpaired surrogate becomes
// U+FFFD.
#ifndef MORVANE_CORE_TEXT_UTF16_H_
#define MORVANE_CORE_TEXT_UTF16_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace morvane {

std::u16string utf8_to_utf16(std::string_view utf8);

std::string utf16_to_utf8(std::u16string_view utf16);

// `utf8` (invalid sequences replaced) cut after its first `max_units` UTF-16 code units;
// a character that would straddle the cut is dropped whole.
std::string utf8_prefix_by_utf16_units(std::string_view utf8, std::size_t max_units);

#ifdef _WIN32
// The same conversions for the wide strings of the Windows API, where wchar_t is a UTF-16
// code unit.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring utf8_to_wide(std::string_view utf8) {
  const std::u16string units = utf8_to_utf16(utf8);
  return std::wstring(units.begin(), units.end());
}

inline std::string wide_to_utf8(std::wstring_view wide) {
  return utf16_to_utf8(std::u16string(wide.begin(), wide.end()));
}
#endif

}  // namespace morvane

#endif  // MORVANE_CORE_TEXT_UTF16_H_
