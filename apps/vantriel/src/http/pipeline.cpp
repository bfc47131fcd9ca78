#include "http/pipeline.h"

#include <algorithm>

#include "http/reply.h"
#include "http/routes.h"
#include "input/desktop.h"
#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

bool passes_origin_checks(const HttpRequest& request) {
  if (auto host = request.header("Host"); host && !is_local_host(*host)) return false;
  if (request.method == "POST") {
    if (auto origin = request.header("Origin"); origin && !is_local_host(*origin)) return false;
  }
  if (auto site = request.header("Sec-Fetch-Site")) {
    std::string v = morvane::ascii_lower(*site);
    if (v == "same-site" || v == "cross-site") return false;
  }
  if (auto dest = request.header("Sec-Fetch-Dest")) {
    std::string v = morvane::ascii_lower(*dest);
    if (v == "frame" || v == "iframe" || v == "embed" || v == "object") return false;
  }
  return true;
}

bool has_token(const HttpRequest& request, const std::string& token) {
  for (const auto& [name, value] : request.headers) {
    if (morvane::equals_ignoring_ascii_case(name, "X-Token") && same_secret(value, token)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool same_secret(std::string_view given, std::string_view secret) {
  // Every byte of `given` is compared, whatever matched before, so the time taken tells
  // nothing about how much of a guess was right; only its length, which the guesser chose.
  unsigned char differ = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    const char expected = secret.empty() ? '\0' : secret[i % secret.size()];
    differ |= static_cast<unsigned char>(given[i] ^ expected);
  }
  return differ == 0 && !secret.empty();
}

bool is_own_origin(std::string_view origin, std::uint16_t port) {
  if (port == 0) return false;
  const std::string port_text = ":" + std::to_string(port);
  const std::string value = morvane::ascii_lower(origin);
  return value == "http://127.0.0.1" + port_text || value == "http://localhost" + port_text;
}

bool is_local_host(std::string_view value) {
  std::string rest = morvane::ascii_lower(value);
  std::string_view v = rest;
  while (v.substr(0, 7) == "http://") v.remove_prefix(7);
  if (auto colon = v.rfind(':'); colon != std::string_view::npos) v = v.substr(0, colon);
  return v == "127.0.0.1" || v == "localhost" || v == "[::1]";
}

std::optional<std::string> query_param(std::string_view url, std::string_view wanted) {
  auto question = url.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::string_view query = url.substr(question + 1);
  while (true) {
    auto amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    auto eq = pair.find('=');
    std::string_view name = pair.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (name == wanted) {
      std::string bytes;
      for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '+') {
          bytes += ' ';
        } else if (c == '%' && i + 2 < value.size() && morvane::hex_digit_value(value[i + 1]) >= 0 && morvane::hex_digit_value(value[i + 2]) >= 0) {
          bytes += static_cast<char>(morvane::hex_digit_value(value[i + 1]) * 16 + morvane::hex_digit_value(value[i + 2]));
          i += 2;
        } else {
          bytes += c;
        }
      }
      return morvane::sanitize_utf8(bytes);
    }
    if (amp == std::string_view::npos) return std::nullopt;
    query.remove_prefix(amp + 1);
  }
}

std::optional<std::string> query_lang(std::string_view url) { return query_param(url, "lang"); }

std::optional<HttpReply> answer_from_memory(const HttpRequest& request, const ApiContext& api) {
  if (request.from_socket || request.method != "GET" || !passes_origin_checks(request)) {
    return std::nullopt;
  }
  const std::string_view path = request.path();
  if (!is_memory_route(path)) return std::nullopt;
  return route_get(request, path, api);
}

std::optional<HttpReply> answer_input_at_once(const HttpRequest& request, const ApiContext& api) {
  if (!request.from_socket || request.body.size() > kInputAtOnceBytes) return std::nullopt;
  if (!injects_at_once(api.desktop.input_reach())) return std::nullopt;
  auto token = query_param(request.target, "token");
  if (!token || !same_secret(*token, api.token)) return reply_bad_token();
  const InputBatch batch = read_input_batch(request.body, kMaxBodyNesting);
  const bool quick =
      batch.events.size() <= kInputAtOnceEvents &&
      std::none_of(batch.events.begin(), batch.events.end(), [](const InputEvent& e) {
        return e.kind == InputEvent::Kind::kText || (e.x && e.y);
      });
  if (!quick) return std::nullopt;
  return apply_input_batch(batch, api);
}

std::optional<HttpReply> answer_at_once(const HttpRequest& request, const ApiContext& api) {
  return request.from_socket ? answer_input_at_once(request, api) : answer_from_memory(request, api);
}

bool wants_body(const HttpRequest& head, const ApiContext& api) {
  return head.method == "POST" && passes_origin_checks(head) && has_token(head, api.token);
}

// A browser sends Origin with every WebSocket handshake and the page cannot set headers
// on one, so the token comes in the query; no other route takes a socket.
bool opens_socket(const HttpRequest& head, const ApiContext& api) {
  auto origin = head.header("Origin");
  if (!origin || !is_own_origin(*origin, api.port) || !passes_origin_checks(head)) return false;
  if (head.path() != "/api/input") return false;
  auto token = query_param(head.target, "token");
  return token && same_secret(*token, api.token);
}

HttpReply handle_request(const HttpRequest& request, const ApiContext& api) {
  // A message on the input socket, its head's checks passed when it opened. The token is
  // asked again: it is a comparison, and a handler that forgot a check would take input.
  if (request.from_socket) {
    auto token = query_param(request.target, "token");
    if (!token || !same_secret(*token, api.token)) return reply_bad_token();
    return route_input(request, api);
  }
  if (!passes_origin_checks(request)) return reply_not_local();
  std::string_view path = request.path();
  if (request.method == "GET") return route_get(request, path, api);
  if (request.method == "POST") {
    if (!has_token(request, api.token)) return reply_bad_token();
    // Remote input reads its own body text, without the JSON tree (see route_input).
    if (path == "/api/input") return route_input(request, api);
    return route_post(request, path, parse_body(request.body), api);
  }
  return reply_method_not_allowed();
}

}  // namespace vantriel
