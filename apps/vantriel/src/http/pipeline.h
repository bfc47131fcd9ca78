// What every request goes through before a route sees it: the origin checks, the token
// on POST, and the reading of the body as JSON.
#ifndef VANTRIEL_HTTP_PIPELINE_H_
#define VANTRIEL_HTTP_PIPELINE_H_

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "http/app_state.h"
#include "http/http_message.h"

namespace vantriel {

// Runs the checks, then the routes; always returns exactly one reply.
HttpReply handle_request(const HttpRequest& request, const AppState& app);

// Whether a Host or Origin value names this machine's loopback: 127.0.0.1, localhost or
// [::1], with any port, behind any number of leading "http://".
bool is_local_host(std::string_view value);

// The decoded value of the query parameter "lang", or nothing.
std::optional<std::string> query_lang(std::string_view url);

// The request body as one JSON value: an empty object when it is not valid UTF-8, does
// not parse, or nests deeper than kMaxBodyNesting.
nlohmann::ordered_json parse_body(std::string_view body);

// Deeper bodies are treated as unparsable: printing such a value (as the settings route
// does with any non-text member) recurses once per level and would overflow a worker's
// stack long before the 1 MiB body limit.
inline constexpr int kMaxBodyNesting = 64;

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_PIPELINE_H_
