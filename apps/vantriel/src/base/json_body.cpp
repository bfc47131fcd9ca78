#include "base/json_body.h"

#include <algorithm>

#include "base/utf8.h"

namespace vantriel {

int nesting_depth(std::string_view text) {
  int depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

nlohmann::ordered_json parse_body(std::string_view body) {
  if (body.empty() || !is_valid_utf8(body) || nesting_depth(body) > kMaxBodyNesting) {
    return nlohmann::ordered_json::object();
  }
  auto value = nlohmann::ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return nlohmann::ordered_json::object();
  return value;
}

}  // namespace vantriel
