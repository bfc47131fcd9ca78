#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "morvane/core/process/executable_path.h"

namespace morvane {

Result<std::filesystem::path> executable_path() {
  // readlink truncates silently; grow until the whole link fits.
  for (std::size_t size = 4096; size <= 65536; size *= 4) {
    std::string buffer(size, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return make_error(std::generic_category().message(errno));
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return std::filesystem::path(buffer);
    }
  }
  return make_error(std::generic_category().message(ENAMETOOLONG));
}

}  // namespace morvane
