// The request and reply as the local API sees them, free of the HTTP library's types so
// that only local_server.cpp compiles Boost.Beast.
#ifndef VANTRIEL_HTTP_HTTP_MESSAGE_H_
#define VANTRIEL_HTTP_HTTP_MESSAGE_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantriel {

// The largest request body read; bytes beyond it are left unread and the connection is
// closed after the reply.
inline constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

struct HttpRequest {
  std::string method;  // as sent, case-sensitive
  std::string target;  // path and optional query
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
  std::string body;    // at most kMaxBodyBytes
  bool body_cut = false;
  // A message of a WebSocket: `body` is the message and `target` its handshake's target;
  // `method` and `headers` are empty.
  bool from_socket = false;

  // The value of the first header named `name` (compared without regard to ASCII case).
  std::optional<std::string_view> header(std::string_view name) const;

  // The target up to, not including, the first "?".
  std::string_view path() const;
};

struct HttpReply {
  int status = 200;
  std::string content_type;
  std::string cache_control;
  // Shared so that embedded files go out without a copy per reply.
  std::shared_ptr<const std::string> body;
  // Runs on the I/O thread once the reply has been written (or could not be).
  std::function<void()> on_sent;

  std::string_view body_view() const { return body ? std::string_view(*body) : std::string_view(); }
};

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_HTTP_MESSAGE_H_
