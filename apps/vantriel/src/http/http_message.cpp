#include "http/http_message.h"

#include "morvane/core/text/ascii.h"

namespace vantriel {

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (morvane::equals_ignoring_ascii_case(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::string_view HttpRequest::path() const {
  std::string_view t = target;
  return t.substr(0, t.find('?'));
}

}  // namespace vantriel
