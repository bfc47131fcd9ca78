#include <unistd.h>

#include <string>

#include "base/data_folder.h"

namespace vantriel {

std::optional<std::filesystem::path> executable_path() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return std::filesystem::path(buffer);
}

}  // namespace vantriel
