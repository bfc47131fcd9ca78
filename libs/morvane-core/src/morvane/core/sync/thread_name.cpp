#include "morvane/core/sync/thread_name.h"

namespace morvane {

std::string thread_name_prefix(std::string_view name, std::size_t max_bytes) {
  if (name.size() <= max_bytes) return std::string(name);
  std::size_t end = max_bytes;
  // Back to the start of the character that would be cut: continuation bytes are 10xxxxxx.
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return std::string(name.substr(0, end));
}

}  // namespace morvane
