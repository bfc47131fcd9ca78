// The rule for reading a request body as JSON, shared by every route: the generic reading
// here, and the remote input route's own reader, which must accept exactly the same texts.
#ifndef VANTRIEL_BASE_JSON_BODY_H_
#define VANTRIEL_BASE_JSON_BODY_H_

#include <string_view>

#include <nlohmann/json.hpp>

namespace vantriel {

// Deeper bodies are treated as unparsable: printing such a value (as the settings route
// does with any non-text member) recurses once per level and would overflow a worker's
// stack long before the 1 MiB body limit.
inline constexpr int kMaxBodyNesting = 64;

// The request body as one JSON value: an empty object when it is not valid UTF-8, does
// not parse, or nests deeper than kMaxBodyNesting.
nlohmann::ordered_json parse_body(std::string_view body);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_JSON_BODY_H_
