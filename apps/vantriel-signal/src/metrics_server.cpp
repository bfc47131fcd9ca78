#include "metrics_server.h"

#include <chrono>
#include <map>
#include <optional>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "morvane/core/net/listen_options.h"

namespace vantriel::signal {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Shared with the connections, which may outlive the listener in the io_context's
// queue when the server stops; they touch `render` only in handlers that run.
struct MetricsListener::Impl : std::enable_shared_from_this<MetricsListener::Impl> {
  Impl(net::io_context& ioc, HubEnv& e, int timeout_s, std::function<std::string()> r)
      : acceptor(ioc), env(e), timeout(std::chrono::seconds(timeout_s)), render(std::move(r)) {}

  void accept();

  tcp::acceptor acceptor;
  HubEnv& env;
  std::chrono::seconds timeout;
  std::function<std::string()> render;
  int open = 0;
  // Open connections by the client's address, so that one scraper (or one host probing
  // the port) cannot hold every place and starve the others. Entries go with their last
  // connection.
  std::map<net::ip::address, int> open_by_address;
  bool stopped = false;
  std::chrono::steady_clock::time_point refusal_logged{};
};

namespace {

class MetricsConnection : public std::enable_shared_from_this<MetricsConnection> {
 public:
  MetricsConnection(tcp::socket socket, net::ip::address from,
                    std::shared_ptr<MetricsListener::Impl> owner)
      : stream_(std::move(socket)), from_(from), owner_(std::move(owner)) {
    ++owner_->open;
    ++owner_->open_by_address[from_];
  }
  ~MetricsConnection() {
    --owner_->open;
    if (auto it = owner_->open_by_address.find(from_); it != owner_->open_by_address.end() &&
                                                        --it->second <= 0) {
      owner_->open_by_address.erase(it);
    }
  }

  void start() {
    parser_.emplace();
    parser_->header_limit(8192);
    parser_->body_limit(4096);
    stream_.expires_after(owner_->timeout);  // one deadline for the request and the reply
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&MetricsConnection::on_read, shared_from_this()));
  }

 private:
  void on_read(beast::error_code ec, size_t) {
    if (ec) return;
    const auto& req = parser_->get();
    std::string_view path(req.target().data(), req.target().size());
    if (const size_t q = path.find('?'); q != std::string_view::npos) path = path.substr(0, q);
    auto res = std::make_shared<http::response<http::string_body>>(http::status::ok, req.version());
    res->set(http::field::server, "vantriel-signal");
    res->set(http::field::cache_control, "no-store");
    res->keep_alive(false);
    const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
    if (path != "/metrics") {
      res->result(http::status::not_found);
      res->set(http::field::content_type, "text/plain; charset=utf-8");
      res->body() = "not found\n";
    } else if (!get) {
      res->result(http::status::method_not_allowed);
      res->set(http::field::allow, "GET, HEAD");
      res->set(http::field::content_type, "text/plain; charset=utf-8");
      res->body() = "method not allowed\n";
    } else {
      res->set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      res->body() = owner_->render();
    }
    if (req.method() == http::verb::head) {
      res->content_length(res->body().size());  // what GET would send, without it
      res->body().clear();
    } else {
      res->prepare_payload();
    }
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code, size_t) { self->done(); });
  }

  void done() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  const net::ip::address from_;
  std::shared_ptr<MetricsListener::Impl> owner_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
};

}  // namespace

void MetricsListener::Impl::accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (self->stopped || ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, usually: wait instead of spinning on the error.
      auto timer = std::make_shared<net::steady_timer>(self->acceptor.get_executor(),
                                                       std::chrono::milliseconds(100));
      timer->async_wait([self, timer](beast::error_code) { self->accept(); });
      return;
    }
    beast::error_code peer_error;
    const auto peer = socket.remote_endpoint(peer_error);
    const char* refusal = nullptr;
    if (peer_error) {
      refusal = nullptr;  // already gone: nothing to answer, nothing to log
    } else if (self->open >= kMaxConnections) {
      refusal = "too many connections";
    } else if (auto it = self->open_by_address.find(peer.address());
               it != self->open_by_address.end() && it->second >= kMaxConnectionsPerAddress) {
      refusal = "too many connections from one address";
    }
    if (peer_error || refusal) {
      const auto now = self->env.now();
      if (refusal && now - self->refusal_logged >= std::chrono::seconds(1)) {
        self->env.log(std::string("metrics: connection refused: ") + refusal);
        self->refusal_logged = now;
      }
      socket.close(ec);
    } else {
      std::make_shared<MetricsConnection>(std::move(socket), peer.address(), self)->start();
    }
    self->accept();
  });
}

MetricsListener::MetricsListener(net::io_context& ioc, HubEnv& env, int handshake_timeout_s,
                                 std::function<std::string()> render)
    : impl_(std::make_shared<Impl>(ioc, env, handshake_timeout_s, std::move(render))) {}

MetricsListener::~MetricsListener() { stop(); }

morvane::Result<std::string> MetricsListener::listen(const tcp::endpoint& at) {
  beast::error_code ec;
  tcp::acceptor& a = impl_->acceptor;
  a.open(at.protocol(), ec);
  if (!ec) morvane::set_listen_options(static_cast<std::intptr_t>(a.native_handle()));
  if (!ec) a.bind(at, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return morvane::make_error(ec.message());
  const auto bound = a.local_endpoint(ec);
  std::string shown = bound.address().to_string();
  if (bound.address().is_v6()) shown = "[" + shown + "]";
  return "http://" + shown + ":" + std::to_string(bound.port()) + "/metrics";
}

void MetricsListener::start() { impl_->accept(); }

void MetricsListener::stop() {
  impl_->stopped = true;
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

}  // namespace vantriel::signal
