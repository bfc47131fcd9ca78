#include <unistd.h>

#include <string>

#include "base/data_folder.h"

namespace vantriel {

std::optional<std::filesystem::path> executable_path() {
  // readlink truncates silently; grow until the whole link fits.
  for (std::size_t size = 4096; size <= 65536; size *= 4) {
    std::string buffer(size, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return std::filesystem::path(buffer);
    }
  }
  return std::nullopt;
}

}  // namespace vantriel
