// What every request goes through before a route sees it: the origin checks, the token
// on POST, and the reading of the body as JSON (base/json_body.h).
#ifndef VANTRIEL_HTTP_PIPELINE_H_
#define VANTRIEL_HTTP_PIPELINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/json_body.h"
#include "http/api_context.h"
#include "http/http_message.h"

namespace vantriel {

// Runs the checks, then the routes; always returns exactly one reply.
HttpReply handle_request(const HttpRequest& request, const ApiContext& api);

// The reply of handle_request() for a request it answers from memory alone (a GET of the
// page, its files or "/api/version" that passes the checks), so the server may send it
// from its I/O thread; nothing for every other request.
std::optional<HttpReply> answer_from_memory(const HttpRequest& request, const ApiContext& api);

// The reply of handle_request() for a message of the input socket that holds a few keys,
// buttons or wheel turns and nothing that takes long (no typed text, no position, which
// reads the monitor layout), for a sink that injects at once (XTest, SendInput, the
// recording): applied on the server's I/O thread, which saves the hand-over to a worker
// on the path of every key. The token is checked as handle_request() does. Nothing for
// every other request, which a worker then handles in the socket's order as before.
inline constexpr std::size_t kInputAtOnceBytes = 1024;
inline constexpr std::size_t kInputAtOnceEvents = 8;
std::optional<HttpReply> answer_input_at_once(const HttpRequest& request, const ApiContext& api);

// What the server's I/O thread answers itself: answer_input_at_once() for socket
// messages, answer_from_memory() for requests.
std::optional<HttpReply> answer_at_once(const HttpRequest& request, const ApiContext& api);

// Whether handle_request() can make any use of the body of a request with this head: only
// a POST that passes the origin checks and carries the token. Every other request gets the
// same reply with or without its body, so the server does not read it.
bool wants_body(const HttpRequest& head, const ApiContext& api);

// Whether a WebSocket handshake with this head may open a socket: only "/api/input", from
// a page of this host (Origin present and exactly this server's own, port included, and
// the origin checks passed), with the token as the query parameter "token". Each message on it is then handled as a POST
// "/api/input" of that body: the same decoder, limits and control check.
bool opens_socket(const HttpRequest& head, const ApiContext& api);

// Whether `given` equals `secret` (a token), compared in time that does not depend on
// where they first differ. An empty secret matches nothing.
bool same_secret(std::string_view given, std::string_view secret);

// Whether an Origin value is the origin of this host's own page on `port`: "http://", then
// 127.0.0.1 or localhost, then ":" and that port (ASCII case ignored). Another port on this
// machine is another site, whatever it serves.
bool is_own_origin(std::string_view origin, std::uint16_t port);

// Whether a Host or Origin value names this machine's loopback: 127.0.0.1, localhost or
// [::1], with any port, behind any number of leading "http://".
bool is_local_host(std::string_view value);

// The decoded value (UTF-8, invalid bytes replaced) of the first query parameter `name`
// of `url`, or nothing.
std::optional<std::string> query_param(std::string_view url, std::string_view name);

// The decoded value of the query parameter "lang", or nothing.
std::optional<std::string> query_lang(std::string_view url);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_PIPELINE_H_
