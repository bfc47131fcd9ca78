#include "morvane/core/text/utf8.h"

#include <cstdint>

namespace morvane {
namespace {

// The sequence that starts at text[i]: how many of its bytes are well-formed (0 when the
// first byte cannot start one) and how many a complete sequence has.
struct Sequence {
  std::size_t valid;
  std::size_t needed;
};

Sequence scan(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<std::uint8_t>(text[i]);
  if (b0 < 0x80) return {1, 1};
  std::size_t needed;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    needed = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    needed = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    needed = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1};
  }
  std::size_t k = 1;
  while (k < needed && i + k < text.size()) {
    const auto b = static_cast<std::uint8_t>(text[i + k]);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    ++k;
  }
  return {k, needed};
}

// Calls f(cp, raw) for each character (or maximal ill-formed part, as U+FFFD) of `text`,
// `raw` being its bytes, until f returns false.
template <typename F>
void for_each_char(std::string_view text, F&& f) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    const char32_t cp = decode_code_point(text, &i);
    if (!f(cp, text.substr(start, i - start))) return;
  }
}

// A character's bytes as they stand, or U+FFFD for an ill-formed part.
void append_sanitized(std::string& out, char32_t cp, std::string_view raw) {
  if (cp == kReplacementCharacter) {
    append_utf8(out, cp);
  } else {
    out.append(raw);
  }
}

}  // namespace

char32_t decode_code_point(std::string_view text, std::size_t* index) {
  const std::size_t i = *index;
  const Sequence s = scan(text, i);
  if (s.valid != s.needed) {
    *index += s.valid == 0 ? 1 : s.valid;
    return kReplacementCharacter;
  }
  const auto b0 = static_cast<std::uint8_t>(text[i]);
  char32_t cp = s.needed == 1   ? b0
                : s.needed == 2 ? (b0 & 0x1Fu)
                : s.needed == 3 ? (b0 & 0x0Fu)
                                : (b0 & 0x07u);
  for (std::size_t k = 1; k < s.needed; ++k) {
    cp = cp << 6 | (static_cast<std::uint8_t>(text[i + k]) & 0x3Fu);
  }
  *index += s.needed;
  return cp;
}

std::u32string decode_utf8(std::string_view text, std::size_t max_chars) {
  std::u32string out;
  std::size_t i = 0;
  while (i < text.size() && out.size() < max_chars) out.push_back(decode_code_point(text, &i));
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacementCharacter;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::optional<Utf8Fault> find_utf8_fault(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const Sequence s = scan(text, i);
    if (s.valid == s.needed) {
      i += s.valid;
      continue;
    }
    if (s.valid == 0) return Utf8Fault{i, "invalid start byte"};
    if (i + s.valid == text.size()) return Utf8Fault{i, "unexpected end of data"};
    return Utf8Fault{i, "invalid continuation byte"};
  }
  return std::nullopt;
}

bool is_valid_utf8(std::string_view text) { return !find_utf8_fault(text); }

std::string sanitize_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_char(text, [&](char32_t cp, std::string_view raw) {
    append_sanitized(out, cp, raw);
    return true;
  });
  return out;
}

std::size_t utf8_length(std::string_view text) {
  std::size_t count = 0;
  for_each_char(text, [&](char32_t, std::string_view) {
    ++count;
    return true;
  });
  return count;
}

std::string utf8_prefix(std::string_view text, std::size_t max_chars) {
  std::string out;
  std::size_t count = 0;
  for_each_char(text, [&](char32_t cp, std::string_view raw) {
    if (count == max_chars) return false;
    append_sanitized(out, cp, raw);
    ++count;
    return true;
  });
  return out;
}

bool is_unicode_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

std::string trim_unicode(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  std::size_t i = 0;
  for_each_char(text, [&](char32_t cp, std::string_view raw) {
    if (!is_unicode_space(cp)) {
      if (begin == text.size()) begin = i;
      end = i + raw.size();
    }
    i += raw.size();
    return true;
  });
  if (begin >= end) return std::string();
  return std::string(text.substr(begin, end - begin));
}

}  // namespace morvane
