// ASCII-only text helpers: letter case and hexadecimal digits. Bytes outside ASCII are
// left as they are, so UTF-8 passes through unchanged.
#ifndef MORVANE_CORE_TEXT_ASCII_H_
#define MORVANE_CORE_TEXT_ASCII_H_

#include <string>
#include <string_view>

namespace morvane {

// The letter A-Z lower-cased; every other byte unchanged.
constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII letters A-Z lower-cased; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// ASCII letters a-z upper-cased; every other byte unchanged.
std::string ascii_upper(std::string_view text);

// Whether `a` and `b` are equal once their ASCII letters are lower-cased.
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// The value of a hexadecimal digit (0-9, a-f, A-F), or -1 for any other character.
int hex_digit_value(char c);

}  // namespace morvane

#endif  // MORVANE_CORE_TEXT_ASCII_H_
