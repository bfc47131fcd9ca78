#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/environment.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

std::optional<std::string> env_var(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!morvane::is_valid_utf8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> system_host_name() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return std::nullopt;
  std::string text(buffer);
  if (!morvane::is_valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace vantriel
