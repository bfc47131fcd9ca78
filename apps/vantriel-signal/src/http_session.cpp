#include "http_session.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "acceptor.h"
#include "server_state.h"
#include "version.h"
#include "web_page.h"
#include "ws_session.h"

namespace vantriel::signal {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, ServerState& state, Slot slot)
      : stream_(std::move(socket)), state_(state), slot_(std::move(slot)) {}

  void start() {
    parser_.emplace();
    parser_->header_limit(8192);
    parser_->body_limit(4096);
    // One deadline for the request and the reply, however slowly the bytes come.
    stream_.expires_after(std::chrono::seconds(state_.config.policy.handshake_timeout));
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::on_read, shared_from_this()));
  }

 private:
  // Without a trusted proxy, the address counted since accept.
  std::string client_address(const http::request<http::empty_body>& req) {
    if (!state_.config.trust_proxy) return slot_.address();
    beast::error_code ec;
    const auto peer = stream_.socket().remote_endpoint(ec);
    std::string addr = ec ? std::string() : address_key(peer.address().to_string());
    // Behind our own reverse proxy every peer is the proxy; it names the client.
    std::string forwarded(req["X-Real-IP"]);
    if (forwarded.empty()) {
      const std::string chain(req["X-Forwarded-For"]);
      const size_t comma = chain.find_last_of(',');
      forwarded = comma == std::string::npos ? chain : chain.substr(comma + 1);
    }
    const size_t b = forwarded.find_first_not_of(' ');
    const size_t e = forwarded.find_last_not_of(' ');
    if (b != std::string::npos) {
      std::string key = address_key(forwarded.substr(b, e - b + 1));
      if (!key.empty()) addr = key;
    }
    return addr.empty() ? std::string("unknown") : addr;
  }

  void on_read(beast::error_code ec, size_t) {
    if (ec) {
      if (ec == beast::error::timeout) {
        state_.counters.refuse(HandshakeLimit::kTime);
      } else if (ec == http::error::header_limit || ec == http::error::body_limit) {
        state_.counters.refuse(HandshakeLimit::kSize);
      }
      return;
    }
    auto req = parser_->release();
    std::string path(req.target());
    if (const size_t q = path.find('?'); q != std::string::npos) path.resize(q);
    if (websocket::is_upgrade(req)) {
      upgrade(std::move(req), path);
      return;
    }
    if (req.method() == http::verb::options) {
      reply(req, http::status::no_content, "");
    } else if (req.method() != http::verb::get && req.method() != http::verb::head) {
      reply(req, http::status::method_not_allowed, R"({"error":"method"})");
    } else if (path == "/health") {
      Json health = {{"app", "vantriel"}, {"v", kVersion}};
      auto status = http::status::ok;
      if (state_.redis) {
        // A node that lost Redis serves no new registration: the proxy should send
        // pages elsewhere.
        const bool up = state_.redis->healthy();
        health["node"] = state_.redis->node();
        health["redis"] = up ? "up" : "down";
        if (!up) status = http::status::service_unavailable;
      }
      reply(req, status, health.dump());
    } else if (path == "/ice") {
      reply(req, http::status::ok, Json{{"iceServers", state_.hub.ice()}}.dump());
    } else if (!serve_page(req, path)) {
      reply(req, http::status::not_found, R"({"error":"not found"})");
    }
  }

  // A file of the technician's page, with the headers web_page.h decides; false when
  // the page is off or has no file at `path`.
  bool serve_page(const http::request<http::empty_body>& req, const std::string& path) {
    if (!state_.web) return false;
    const bool head = req.method() == http::verb::head;
    auto page = state_.web->answer(path, head, text_of(req[http::field::if_none_match]));
    if (!page) return false;
    using Body = http::span_body<const char>;
    auto res = std::make_shared<http::response<Body>>(static_cast<http::status>(page->status),
                                                      req.version());
    res->set(http::field::server, "vantriel-signal");
    for (const auto& [name, value] : page->headers) res->set(name, value);
    res->keep_alive(false);
    if (page->status == 200) {
      res->body() = Body::value_type(page->body.data(), page->body.size());
      res->content_length(page->content_length);  // HEAD: the file's, with no body
    }
    http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code, size_t) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    });
    return true;
  }

  static std::string_view text_of(beast::string_view s) { return {s.data(), s.size()}; }

  static bool valid_id(std::string_view s) {
    if (s.size() != 9 || s[0] == '0') return false;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
    }
    return true;
  }
  static bool valid_code(std::string_view s) {
    if (s.size() != 6) return false;
    for (char c : s) {
      if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
  }

  void upgrade(http::request<http::empty_body> req, const std::string& path) {
    WsSession::Kind kind;
    std::string target;
    auto tail = [&](std::string_view prefix) {
      return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size())
                                                         : std::string("\x01");
    };
    if (target = tail("/host/"); valid_id(target)) {
      kind = WsSession::Kind::kHost;
    } else if (target = tail("/join/"); valid_id(target)) {
      kind = WsSession::Kind::kJoin;
    } else if (target = tail("/call/"); valid_code(target)) {
      kind = WsSession::Kind::kCall;
    } else {
      reply(req, http::status::not_found, R"({"error":"not found"})");
      return;
    }
    if (slot_.address().empty()) {
      // Behind the proxy: the client is known only now.
      const std::string addr = client_address(req);
      if (state_.conns.address_full(addr)) {
        state_.counters.refuse(ConnLimit::kPerAddress);
        state_.conns.log_refusal(addr, state_.env);
        reply(req, http::status::too_many_requests, R"({"error":"too many connections"})");
        return;
      }
      slot_.count_address(addr);
    }
    // A technician on this server's own page: the person is told (session_broker.cpp).
    const bool own_page = kind == WsSession::Kind::kJoin && state_.web &&
                          same_origin(text_of(req[http::field::origin]),
                                      text_of(req[http::field::host]));
    beast::get_lowest_layer(stream_).expires_never();
    auto session =
        std::make_shared<WsSession>(stream_.release_socket(), state_, std::move(slot_));
    session->start(std::move(req), kind, std::move(target), own_page);
  }

  void reply(const http::request<http::empty_body>& req, http::status status, std::string body) {
    auto res = std::make_shared<http::response<http::string_body>>(status, req.version());
    res->set(http::field::server, "vantriel-signal");
    res->set(http::field::content_type, "application/json");
    res->set(http::field::cache_control, "no-store");
    res->set(http::field::access_control_allow_origin, "*");
    if (req.method() == http::verb::options) {
      res->set(http::field::access_control_allow_methods, "GET");
      res->set(http::field::access_control_allow_headers, "*");
    }
    res->keep_alive(false);
    if (req.method() != http::verb::head) res->body() = std::move(body);
    res->prepare_payload();
    http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code, size_t) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    });
  }

  beast::tcp_stream stream_;
  ServerState& state_;
  Slot slot_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
};

}  // namespace

void start_http_session(tcp::socket socket, ServerState& state, Slot slot) {
  std::make_shared<HttpSession>(std::move(socket), state, std::move(slot))->start();
}

}  // namespace vantriel::signal
