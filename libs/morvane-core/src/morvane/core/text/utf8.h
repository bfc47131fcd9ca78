// UTF-8 text: decoding, encoding, checking and repairing. "Characters" are Unicode scalar
// values. Strict UTF-8 throughout: no overlong forms, no surrogates, nothing above
// U+10FFFF. Wherever invalid input is read rather than refused, each maximal ill-formed
// part (the longest start of a well-formed sequence, or one byte) reads as U+FFFD.
#ifndef MORVANE_CORE_TEXT_UTF8_H_
#define MORVANE_CORE_TEXT_UTF8_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the character at text[*index] and advances *index past it, or past one maximal
// ill-formed part, which yields U+FFFD. *index must be below text.size().
char32_t decode_code_point(std::string_view text, std::size_t* index);

// The characters of `text`, at most `max_chars` of them.
std::u32string decode_utf8(std::string_view text, std::size_t max_chars = std::u32string::npos);

// Appends the UTF-8 form of `cp`; a surrogate or a value above U+10FFFF appends U+FFFD.
void append_utf8(std::string& out, char32_t cp);

struct Utf8Fault {
  std::size_t index;  // byte index of the first bad sequence
  std::string
      reason;  // "invalid start byte", "invalid continuation byte", "unexpected end of data"
};

// The first ill-formed sequence of `text`, or nothing when all of it is UTF-8.
std::optional<Utf8Fault> find_utf8_fault(std::string_view text);

bool is_valid_utf8(std::string_view text);

// `text` with every maximal ill-formed part replaced by U+FFFD.
std::string sanitize_utf8(std::string_view text);

// The number of characters of `text` (each invalid sequence counts as one).
std::size_t utf8_length(std::string_view text);

// The first `max_chars` characters of `text`, sanitised.
std::string utf8_prefix(std::string_view text, std::size_t max_chars);

// Whether `cp` has the Unicode White_Space property.
bool is_unicode_space(char32_t cp);

// `text` without leading and trailing Unicode white space.
std::string trim_unicode(std::string_view text);

}  // namespace morvane

#endif  // MORVANE_CORE_TEXT_UTF8_H_
