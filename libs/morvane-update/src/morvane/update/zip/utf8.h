// UTF-8 checks and conversions shared by the archive reader and the release document.
#ifndef MORVANE_UPDATE_ZIP_UTF8_H_
#define MORVANE_UPDATE_ZIP_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

struct Utf8Fault {
  size_t index;         // byte index of the first bad sequence
  std::string reason;   // "invalid start byte", "invalid continuation byte", "unexpected end of data"
};

// The first ill-formed sequence of |bytes| (surrogates and overlong forms are ill-formed),
// or nothing when all of it is UTF-8.
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

// |bytes| with every maximal ill-formed part replaced by U+FFFD.
std::string utf8_with_replacement(std::string_view bytes);

void append_utf8(std::string* out, uint32_t code_point);

// Decodes the code point at |*i| of valid UTF-8 and advances |*i| past it. Ill-formed
// bytes read as U+FFFD, one at a time.
uint32_t next_code_point(std::string_view text, size_t* i);

}  // namespace morvane

#endif  // MORVANE_UPDATE_ZIP_UTF8_H_
