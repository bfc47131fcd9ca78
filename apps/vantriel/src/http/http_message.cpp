#include "http/http_message.h"

namespace vantriel {

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equals_ignoring_ascii_case(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::string_view HttpRequest::path() const {
  std::string_view t = target;
  return t.substr(0, t.find('?'));
}

}  // namespace vantriel
