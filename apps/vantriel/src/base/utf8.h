// UTF-8 text helpers. "Characters" here are Unicode scalar values.
#ifndef VANTRIEL_BASE_UTF8_H_
#define VANTRIEL_BASE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantriel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// `text` with every invalid sequence replaced by U+FFFD (one per maximal bad subpart).
std::string sanitize_utf8(std::string_view text);

// The first `max_chars` characters of `text` (sanitised first).
std::string utf8_prefix(std::string_view text, std::size_t max_chars);

// The number of characters of `text` (each invalid sequence counts as one).
std::size_t utf8_length(std::string_view text);

// Whether `cp` has the Unicode White_Space property.
bool is_unicode_space(char32_t cp);

// `text` without leading and trailing Unicode white space.
std::string trim_unicode(std::string_view text);

// ASCII letters A-Z lower-cased; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// ASCII letters a-z upper-cased; every other byte unchanged.
std::string ascii_upper(std::string_view text);

// Decodes `text` (sanitised) into characters.
std::u32string utf8_decode(std::string_view text);

// Appends the UTF-8 form of `cp` (a scalar value) to `out`.
void utf8_append(std::string& out, char32_t cp);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_UTF8_H_
