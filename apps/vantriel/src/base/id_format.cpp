#include "base/id_format.h"

namespace vantriel {

bool is_valid_id(std::string_view id) {
  if (id.size() != 9 || id.front() == '0') return false;
  for (const char c : id) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string format_id(std::string_view id) {
  if (id.size() != 9) return std::string(id);
  std::string out;
  out.reserve(11);
  out.append(id.substr(0, 3)).append(" ").append(id.substr(3, 3)).append(" ").append(id.substr(6));
  return out;
}

}  // namespace vantriel
