#include "base/utf8.h"

namespace vantriel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at text[i]. Returns its length in bytes and sets `cp`; an invalid
// sequence yields U+FFFD and the length of its maximal bad subpart (at least 1), the way
// the Unicode standard recommends replacing it.
std::size_t decode_one(std::string_view text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t need;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    value = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    value = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    cp = kReplacement;
    return 1;
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= text.size()) break;
    const unsigned char b = byte(i + k);
    const unsigned char low = k == 1 ? lo : 0x80;
    const unsigned char high = k == 1 ? hi : 0xBF;
    if (b < low || b > high) break;
    value = (value << 6) | (b & 0x3Fu);
  }
  if (k <= need) {
    cp = kReplacement;
    return k;
  }
  cp = value;
  return need + 1;
}

template <typename F>
void for_each_char(std::string_view text, F&& f) {
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    const std::size_t n = decode_one(text, i, cp);
    if (!f(cp, text.substr(i, n))) return;
    i += n;
  }
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  bool valid = true;
  for_each_char(text, [&](char32_t cp, std::string_view raw) {
    // A literal U+FFFD in the text is valid; only a replaced sequence is not.
    if (cp == kReplacement && raw != "\xEF\xBF\xBD") valid = false;
    return valid;
  });
  return valid;
}

void utf8_append(std::string& out, char32_t cp) {
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

std::string sanitize_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_char(text, [&](char32_t cp, std::string_view raw) {
    if (cp == kReplacement) {
      utf8_append(out, cp);
    } else {
      out.append(raw);
    }
    return true;
  });
  return out;
}

std::string utf8_prefix(std::string_view text, std::size_t max_chars) {
  std::string out;
  std::size_t count = 0;
  for_each_char(text, [&](char32_t cp, std::string_view raw) {
    if (count == max_chars) return false;
    if (cp == kReplacement) {
      utf8_append(out, cp);
    } else {
      out.append(raw);
    }
    ++count;
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

std::u32string utf8_decode(std::string_view text) {
  std::u32string out;
  for_each_char(text, [&](char32_t cp, std::string_view) {
    out.push_back(cp);
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

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace vantriel
