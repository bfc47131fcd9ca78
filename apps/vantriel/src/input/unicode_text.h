// Conversions between the program's UTF-8 and the UTF-16 that Windows input and the
// Windows clipboard use. Invalid input never fails: it becomes U+FFFD.
#ifndef VANTRIEL_INPUT_UNICODE_TEXT_H_
#define VANTRIEL_INPUT_UNICODE_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace vantriel {

// The characters of `utf8`, at most `max_chars` of them; each invalid sequence (one per
// maximal bad subpart) is one U+FFFD.
std::u32string decode_utf8(std::string_view utf8, std::size_t max_chars = std::u32string::npos);

std::u16string utf8_to_utf16(std::string_view utf8);

// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

// `utf8` (invalid sequences replaced) cut after its first `max_units` UTF-16 code units;
// a character that would straddle the cut is dropped whole.
std::string utf8_prefix_by_utf16_units(std::string_view utf8, std::size_t max_units);

void append_utf8(std::string& out, char32_t cp);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_UNICODE_TEXT_H_
