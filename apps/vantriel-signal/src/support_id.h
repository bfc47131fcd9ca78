// A PC's ID (nine digits, the first not 0) as a number: it fits in 32 bits where its
// text takes a string, and the server keeps one or two per registered PC.
#ifndef VANTRIEL_SIGNAL_SUPPORT_ID_H_
#define VANTRIEL_SIGNAL_SUPPORT_ID_H_

#include <cstdint>
#include <string_view>

namespace vantriel::signal {

// The ID's number; 0 when `id` is not an ID (its text is then kept as text, if at all).
constexpr uint32_t id_number(std::string_view id) {
  if (id.size() != 9 || id[0] == '0') return 0;
  uint32_t n = 0;
  for (const char c : id) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  return n;
}

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SUPPORT_ID_H_
