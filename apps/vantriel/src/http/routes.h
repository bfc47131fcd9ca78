// The local API: every path the page may ask for, after the checks of the pipeline.
#ifndef VANTRIEL_HTTP_ROUTES_H_
#define VANTRIEL_HTTP_ROUTES_H_

#include <string_view>

#include <nlohmann/json.hpp>

#include "http/api_context.h"
#include "http/http_message.h"
#include "input/input_batch.h"

namespace vantriel {

// The embedded files and the GET routes; the 404 reply for any other path.
HttpReply route_get(const HttpRequest& request, std::string_view path, const ApiContext& api);

// Whether route_get() answers `path` from memory alone, touching no file, lock or device:
// the page, its embedded files and "/api/version".
bool is_memory_route(std::string_view path);

// The POST routes but "/api/input"; the no-such-action reply for any other path. `body`
// is the request JSON (an empty object when the body was not JSON).
HttpReply route_post(const HttpRequest& request, std::string_view path,
                     const nlohmann::ordered_json& body, const ApiContext& api);

// POST "/api/input". It reads its body text itself: batches of hundreds of events arrive
// many times a second while the technician moves the mouse, and building a JSON tree
// for each would be most of their cost.
HttpReply route_input(const HttpRequest& request, const ApiContext& api);
// The rest of route_input() once the body is read: the control check, then the events.
HttpReply apply_input_batch(const InputBatch& batch, const ApiContext& api);

// The document of GET "/api/estado".
nlohmann::ordered_json status_document(const ApiContext& api);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_ROUTES_H_
