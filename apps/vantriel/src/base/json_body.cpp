#include "base/json_body.h"

#include "morvane/core/json_depth.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

nlohmann::ordered_json parse_body(std::string_view body) {
  if (body.empty() || !morvane::is_valid_utf8(body) || morvane::json_nesting_depth(body) > kMaxBodyNesting) {
    return nlohmann::ordered_json::object();
  }
  auto value = nlohmann::ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return nlohmann::ordered_json::object();
  return value;
}

}  // namespace vantriel
