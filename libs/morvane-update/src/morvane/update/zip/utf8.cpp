#include "morvane/update/zip/utf8.h"

namespace morvane {
namespace {

// Length of the well-formed prefix of the sequence at |i| (0 when the lead byte cannot
// start one) and the length a complete sequence would have.
struct Prefix {
  size_t valid;
  size_t needed;
};

Prefix scan(std::string_view s, size_t i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) return {1, 1};
  size_t needed;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    needed = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    needed = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    needed = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1};
  }
  size_t k = 1;
  while (k < needed && i + k < s.size()) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    ++k;
  }
  return {k, needed};
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const Prefix p = scan(bytes, i);
    if (p.valid == p.needed) {
      i += p.valid;
      continue;
    }
    if (p.valid == 0) return Utf8Fault{i, "invalid start byte"};
    if (i + p.valid == bytes.size()) return Utf8Fault{i, "unexpected end of data"};
    return Utf8Fault{i, "invalid continuation byte"};
  }
  return std::nullopt;
}

void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string utf8_with_replacement(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const Prefix p = scan(bytes, i);
    if (p.valid == p.needed) {
      out.append(bytes.substr(i, p.valid));
      i += p.valid;
    } else {
      append_utf8(&out, 0xFFFD);
      i += p.valid == 0 ? 1 : p.valid;
    }
  }
  return out;
}

uint32_t next_code_point(std::string_view s, size_t* i) {
  const Prefix p = scan(s, *i);
  if (p.valid != p.needed) {
    ++*i;
    return 0xFFFD;
  }
  const auto b0 = static_cast<uint8_t>(s[*i]);
  uint32_t cp = p.needed == 1 ? b0 : p.needed == 2 ? (b0 & 0x1F) : p.needed == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < p.needed; ++k) cp = cp << 6 | (static_cast<uint8_t>(s[*i + k]) & 0x3F);
  *i += p.needed;
  return cp;
}

}  // namespace morvane
