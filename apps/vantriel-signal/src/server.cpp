#include "server.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "bindings_file.h"
#include "conn_limits.h"
#include "flusher.h"
#include "hub.h"
#include "log.h"
#include "metrics.h"
#include "metrics_server.h"
#include "queued_socket.h"
#include "morvane/core/net/listen_options.h"
#include "redis_node.h"
#include "redis_shared.h"
#include "server_env.h"
#include "version.h"

namespace vantriel::signal {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr auto kCloseTimeout = seconds(10);       // for the closing handshake
constexpr auto kSweepEvery = seconds(30);

struct State;

// One WebSocket connection. Owned by its pending operations and, while registered, by
// the hub. Runs on the I/O thread only.
class WsSession : public Link, public std::enable_shared_from_this<WsSession> {
 public:
  enum class Kind { kHost, kJoin, kCall };

  WsSession(tcp::socket socket, State& state, Slot slot, Kind kind, std::string target);
  void start(http::request<http::empty_body> req);

  void send(std::string text) override;
  void close() override;
  const std::string& address() const override { return address_; }

 private:
  void on_accept(beast::error_code ec);
  void read();
  void on_read(beast::error_code ec, size_t bytes);
  void handle(beast::flat_buffer& frame, bool text);
  void watch_idle();
  bool within_rate();
  // A message or control frame beyond the rate: dropped, and a flood closes the socket.
  void over_rate();
  void do_close(websocket::close_code code);
  void finish();

  // Not on beast::tcp_stream: the WebSocket layer keeps its own handshake timer, and a
  // second timer per operation would only cost time on every frame.
  websocket::stream<QueuedSocket> ws_;
  State& state_;
  Slot slot_;
  std::string address_;
  Kind kind_;
  std::string target_;
  // Two buffers: the next frame is read into one while the other's is handled, so frames
  // that arrived together are handled before the round's flush and leave together.
  beast::flat_buffer buffers_[2];
  int reading_ = 0;  // the buffer the read in progress fills
  bool served_from_buffer_ = false;  // the read in progress needs no bytes from the socket
  // Silence is watched here rather than by Beast, whose idle timer is re-armed on every
  // read: a timer operation per frame. This one is re-armed once per idle period.
  net::steady_timer idle_timer_;
  std::chrono::steady_clock::time_point last_heard_;
  bool closing_ = false;       // close() called: send what is queued, then close
  bool close_sent_ = false;
  bool opened_ = false;        // the hub knows this link
  bool finished_ = false;
  double tokens_;
  std::chrono::steady_clock::time_point refilled_;
  std::chrono::steady_clock::time_point drop_window_{};
  int dropped_ = 0;  // messages dropped since drop_window_
};

// Everything the server owns. The io_context is declared (nearly) first so that it is
// destroyed last: handlers it still holds may own sessions, whose sockets need it and
// whose places in the counts, declared before it, are given back.
struct State {
  ConnLimits conns;
  ServerCounters counters;  // for the metrics
  net::io_context ioc{1};
  Flusher flusher{ioc};
  Config config;
  ServerEnv env{ioc};
  BindingsFile bindings;
  // With --redis this node shares its state with others; else the data file keeps it.
  std::unique_ptr<RedisNode> redis;
  std::unique_ptr<RedisShared> redis_shared;
  std::unique_ptr<Hub> hub_owner;
  Hub& hub;
  tcp::acceptor acceptor{ioc};
  net::steady_timer housekeeping{ioc};
  std::chrono::steady_clock::time_point last_sweep = std::chrono::steady_clock::now();

  State(const Config& c, std::shared_ptr<RedisTls> redis_tls)
      : conns(c.policy),
        config(c),
        bindings(c.data),
        redis(!c.uses_redis() ? nullptr
                              : std::make_unique<RedisNode>(ioc, config, std::move(redis_tls), env,
                                                            node_callbacks())),
        redis_shared(redis ? std::make_unique<RedisShared>(ioc, config, env, *redis) : nullptr),
        hub_owner(redis ? std::make_unique<Hub>(config, *redis_shared, *redis, env)
                        : std::make_unique<Hub>(config, bindings.store(), env)),
        hub(*hub_owner) {}

  // The node hears from the others and watches their leases only once started, after
  // the hub is made.
  RedisNode::Callbacks node_callbacks() {
    RedisNode::Callbacks c;
    c.message = [this](std::string_view message) { hub.node_message(message); };
    c.peer_nodes = [this] { return hub.peer_nodes(); };
    c.node_gone = [this](const std::string& node) { hub.node_gone(node); };
    c.replace_host = [this](const std::string& id, const std::string& token) {
      hub.replace_host(id, token);
    };
    return c;
  }

  // Writes the bindings now and then, and has stale guard counters dropped.
  void schedule_housekeeping() {
    housekeeping.expires_after(milliseconds(std::max(config.policy.flush_ms, 10)));
    housekeeping.async_wait([this](beast::error_code ec) {
      if (ec) return;
      bindings.flush();
      if (std::chrono::steady_clock::now() - last_sweep >= kSweepEvery) {
        last_sweep = std::chrono::steady_clock::now();
        hub.sweep();
      }
      schedule_housekeeping();
    });
  }
};

WsSession::WsSession(tcp::socket socket, State& state, Slot slot, Kind kind, std::string target)
    : ws_(std::move(socket), state.flusher),
      state_(state),
      slot_(std::move(slot)),
      address_(slot_.address()),
      kind_(kind),
      target_(std::move(target)),
      idle_timer_(state.ioc),
      tokens_(state.config.policy.msg_burst),
      refilled_(std::chrono::steady_clock::now()) {}

void WsSession::start(http::request<http::empty_body> req) {
  websocket::stream_base::timeout t{};
  t.handshake_timeout = kCloseTimeout;  // the upgrade reply is only queued; the close waits
  t.idle_timeout = websocket::stream_base::none();  // watch_idle() does it
  t.keep_alive_pings = false;  // pages ping us; a silent socket is a dead one
  ws_.set_option(t);
  // Control frames are no sign of life: pages send "ping" messages, and pings alone
  // would keep a socket open for ever. Each costs a pong or a wake-up all the same, so
  // they spend the message allowance.
  ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
    if (kind != websocket::frame_type::close && !closing_ && !within_rate()) over_rate();
  });
  ws_.next_layer().set_overflow_handler([this] {
    // The client does not read what it is sent; keeping it costs memory without end.
    log_line("connection from " + address_ + " closed: not reading");
    state_.counters.closed(SocketLimit::kNotReading);
    closing_ = true;
  });
  ws_.read_message_max(static_cast<size_t>(state_.config.policy.max_frame));
  ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(http::field::server, "vantriel-signal");
  }));
  ws_.next_layer().set_owner(weak_from_this());
  ws_.async_accept(req, beast::bind_front_handler(&WsSession::on_accept, shared_from_this()));
}

void WsSession::on_accept(beast::error_code ec) {
  if (ec) {
    finish();
    return;
  }
  opened_ = true;
  last_heard_ = std::chrono::steady_clock::now();
  watch_idle();
  auto self = shared_from_this();
  switch (kind_) {
    case Kind::kHost:
      state_.hub.open_host(self, target_);
      break;
    case Kind::kJoin:
      state_.hub.open_join(self, target_);
      break;
    case Kind::kCall:
      state_.hub.open_call(self, target_);
      break;
  }
  read();
}

void WsSession::watch_idle() {
  idle_timer_.expires_at(last_heard_ + seconds(state_.config.policy.idle_timeout));
  idle_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec || self->finished_) return;
    if (std::chrono::steady_clock::now() <
        self->last_heard_ + seconds(self->state_.config.policy.idle_timeout)) {
      self->watch_idle();
      return;
    }
    log_line("connection from " + self->address_ + " closed: idle");
    self->state_.counters.closed(SocketLimit::kIdle);
    beast::error_code ignored;
    self->ws_.next_layer().next_layer().close(ignored);  // the pending read ends with an error
  });
}

void WsSession::read() {
  ws_.async_read(buffers_[reading_],
                 beast::bind_front_handler(&WsSession::on_read, shared_from_this()));
}

bool WsSession::within_rate() {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - refilled_).count();
  refilled_ = now;
  const Policy& p = state_.config.policy;
  tokens_ = std::min<double>(p.msg_burst, tokens_ + elapsed * p.msg_rate);
  if (tokens_ >= 1) {
    tokens_ -= 1;
    return true;
  }
  return false;
}

void WsSession::on_read(beast::error_code ec, size_t) {
  if (served_from_buffer_) {
    served_from_buffer_ = false;
    state_.flusher.frames_waiting(-1);
  }
  if (ec) {
    if (ec == websocket::error::message_too_big) {
      log_line("connection from " + address_ + " closed: message too big");
      state_.counters.closed(SocketLimit::kMessageSize);
    }
    finish();
    return;
  }
  last_heard_ = std::chrono::steady_clock::now();
  beast::flat_buffer& frame = buffers_[reading_];
  const bool text = ws_.got_text();
  reading_ ^= 1;
  const size_t reads = ws_.next_layer().reads();
  read();
  if (ws_.next_layer().reads() == reads) {
    served_from_buffer_ = true;
    state_.flusher.frames_waiting(+1);
  }
  handle(frame, text);
  frame.consume(frame.size());
}

void WsSession::over_rate() {
  // More than one second's worth of messages dropped within a second: a flood, not a
  // burst.
  const auto now = std::chrono::steady_clock::now();
  if (now - drop_window_ > seconds(1)) {
    drop_window_ = now;
    dropped_ = 0;
  }
  if (++dropped_ <= state_.config.policy.msg_rate || closing_) return;
  log_line("connection from " + address_ + " closed: too many messages");
  state_.counters.closed(SocketLimit::kRate);
  closing_ = true;
  ws_.next_layer().discard_queued();
  // Posted: a control frame is counted inside Beast's read, which must finish first.
  net::post(ws_.get_executor(), [self = shared_from_this()] {
    self->do_close(websocket::close_code::policy_error);
  });
}

void WsSession::handle(beast::flat_buffer& frame, bool text) {
  if (closing_) return;
  ++state_.counters.frames_received;
  state_.counters.bytes_received += frame.size();
  if (!within_rate()) {
    over_rate();
    return;
  }
  if (!text) return;
  const auto data = frame.cdata();
  state_.hub.receive(this, std::string_view(static_cast<const char*>(data.data()), data.size()));
}

void WsSession::send(std::string text) {
  if (closing_ || finished_) return;
  ws_.next_layer().append_text(text);
}

void WsSession::close() {
  if (closing_ || finished_) return;
  closing_ = true;
  do_close(websocket::close_code::normal);
}

void WsSession::do_close(websocket::close_code code) {
  if (close_sent_ || finished_) return;
  close_sent_ = true;
  ws_.async_close(code, [self = shared_from_this()](beast::error_code) {});
}

void WsSession::finish() {
  if (finished_) return;
  finished_ = true;
  idle_timer_.cancel();
  if (opened_) state_.hub.closed(this);
  slot_.release();
}

// One HTTP request: a plain GET answered and closed, or a WebSocket upgrade.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, State& state, Slot slot)
      : stream_(std::move(socket)), state_(state), slot_(std::move(slot)) {}

  void start() {
    parser_.emplace();
    parser_->header_limit(8192);
    parser_->body_limit(4096);
    // One deadline for the request and the reply, however slowly the bytes come.
    stream_.expires_after(seconds(state_.config.policy.handshake_timeout));
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
    } else {
      reply(req, http::status::not_found, R"({"error":"not found"})");
    }
  }

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
        state_.conns.log_refusal(addr);
        reply(req, http::status::too_many_requests, R"({"error":"too many connections"})");
        return;
      }
      slot_.count_address(addr);
    }
    beast::get_lowest_layer(stream_).expires_never();
    auto session = std::make_shared<WsSession>(stream_.release_socket(), state_,
                                               std::move(slot_), kind, std::move(target));
    session->start(std::move(req));
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
  State& state_;
  Slot slot_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
};

void accept_next(State& state) {
  state.acceptor.async_accept([&state](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, usually: wait instead of spinning on the error.
      log_line("accept failed: " + ec.message());
      auto timer = std::make_shared<net::steady_timer>(state.ioc, milliseconds(100));
      timer->async_wait([&state, timer](beast::error_code) { accept_next(state); });
      return;
    }
    // Counted from here on, upgraded or not: bare connections hold descriptors too.
    beast::error_code ec2;
    const auto peer = socket.remote_endpoint(ec2);
    std::string addr = ec2 ? std::string() : address_key(peer.address().to_string());
    if (addr.empty()) addr = "unknown";
    const bool per_address = !state.config.trust_proxy;
    const bool full = state.conns.full();
    if (full || (per_address && state.conns.address_full(addr))) {
      state.counters.refuse(full ? ConnLimit::kTotal : ConnLimit::kPerAddress);
      state.conns.log_refusal(addr);
      socket.close(ec2);
      accept_next(state);
      return;
    }
    Slot slot(state.conns.counts());
    ++state.counters.connections;
    if (per_address) slot.count_address(addr);
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<HttpSession>(std::move(socket), state, std::move(slot))->start();
    accept_next(state);
  });
}

// What "GET /metrics" shows of this node.
std::string metrics_text(State& state, int64_t started) {
  MetricsSnapshot s;
  s.version = kVersion;
  s.start_time = started;
  s.hub = state.hub.counters();
  s.hub_now = state.hub.gauges();
  s.server = state.counters;
  s.connections_open = state.conns.total();
  if (state.redis) {
    s.clustered = true;
    s.redis = state.redis->metrics();
  }
  return render_metrics(s);
}

// Two listeners that would take the same connections: the same port on the same
// address, or on any address where one of them listens on all.
bool same_listener(const tcp::endpoint& a, const tcp::endpoint& b) {
  return a.port() == b.port() &&
         (a.address() == b.address() || a.address().is_unspecified() ||
          b.address().is_unspecified());
}

}  // namespace

std::string address_key(const std::string& text) {
  beast::error_code ec;
  auto addr = net::ip::make_address(text, ec);
  if (ec) return {};
  if (addr.is_v6() && addr.to_v6().is_v4_mapped()) {
    return net::ip::make_address_v4(net::ip::v4_mapped, addr.to_v6()).to_string();
  }
  if (addr.is_v4()) return addr.to_string();
  auto bytes = addr.to_v6().to_bytes();
  for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return net::ip::address_v6(bytes).to_string() + "/64";
}

int run_server(const Config& config) {
  // Certificates are read once, here: a file that cannot be read stops the start.
  auto redis_tls = RedisTls::make(config);
  if (!redis_tls) {
    log_line("redis: " + redis_tls.error());
    log_line("not starting");
    return 1;
  }
  if (!config.import_bindings.empty()) {
    auto imported = RedisShared::import_bindings(config, *redis_tls);
    log_line(imported ? *imported : "import failed: " + imported.error());
    return imported ? 0 : 1;
  }
  State state(config, *redis_tls);
  if (state.redis) {
    log_line("node " + state.redis->node() + ": bindings, hosts, rooms and the guard's counts "
             "shared through redis at " + config.redis_place() + "; the data file is not used");
    if (config.redis_replicas > 0) {
      log_line("redis: a host is told \"ready\" once " + std::to_string(config.redis_replicas) +
               " replica(s) hold its binding (within " + std::to_string(config.redis_wait_ms) +
               " ms, else it is refused)");
    }
  } else {
    auto loaded = state.bindings.store().load(state.env.unix_now(), config.accept_binding_loss
                                                            ? BindingStore::OnDamage::kStartEmpty
                                                            : BindingStore::OnDamage::kRefuse);
    if (!loaded) {
      log_line("bindings: " + loaded.error());
      log_line("not starting");
      return 1;
    }
    if (!loaded->empty()) log_line("bindings: " + *loaded);
    log_line("bindings: " + std::to_string(state.bindings.store().size()) + " IDs from " +
             state.bindings.store().path());
  }

  beast::error_code ec;
  const auto address = net::ip::make_address(config.host, ec);
  if (ec) {
    log_line("bad --host \"" + config.host + "\": " + ec.message());
    return 2;
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(config.port));
  state.acceptor.open(endpoint.protocol(), ec);
  if (!ec) morvane::set_listen_options(static_cast<std::intptr_t>(state.acceptor.native_handle()));
  if (!ec) state.acceptor.bind(endpoint, ec);
  if (!ec) state.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    log_line("cannot listen on " + config.host + ":" + std::to_string(config.port) + ": " +
             ec.message());
    return 1;
  }
  const auto bound = state.acceptor.local_endpoint(ec);
  std::string shown = bound.address().to_string();
  if (bound.address().is_v6()) shown = "[" + shown + "]";
  const std::string url = "http://" + shown + ":" + std::to_string(bound.port());

  // The operators' figures never share the public port: whoever reaches the pages'
  // service would read them.
  const int64_t started = state.env.unix_now();
  std::optional<MetricsListener> metrics;
  std::string metrics_url;
  if (!config.metrics_listen.empty()) {
    const auto maddress = net::ip::make_address(config.metrics_host, ec);
    if (ec) {
      log_line("bad --metrics-listen address \"" + config.metrics_host + "\": " + ec.message());
      return 2;
    }
    const tcp::endpoint mendpoint(maddress, static_cast<unsigned short>(config.metrics_port));
    if (config.metrics_port != 0 && same_listener(mendpoint, bound)) {
      log_line("--metrics-listen " + config.metrics_listen +
               " is the public address and port; give the metrics a port of their own");
      return 2;
    }
    metrics.emplace(state.ioc, config.policy.handshake_timeout,
                    [&state, started] { return metrics_text(state, started); });
    auto listening = metrics->listen(mendpoint);
    if (!listening) {
      log_line("cannot listen for metrics on " + config.metrics_listen + ": " + listening.error());
      return 1;
    }
    metrics_url = *listening;
  }

  log_line("listening on " + url);
  std::printf("listening on %s\n", url.c_str());
  if (metrics) {
    log_line("metrics on " + metrics_url);
    std::printf("metrics on %s\n", metrics_url.c_str());
  }
  std::fflush(stdout);

  net::signal_set signals(state.ioc, SIGINT, SIGTERM);
  net::steady_timer leaving(state.ioc);
  signals.async_wait([&state, &leaving, &metrics](beast::error_code, int sig) {
    log_line("stopping on signal " + std::to_string(sig));
    beast::error_code ignored;
    state.acceptor.close(ignored);
    if (metrics) metrics->stop();
    if (!state.redis) {
      state.ioc.stop();
      return;
    }
    // The other nodes learn at once that this node's hosts and rooms are gone, rather
    // than when its lease lapses; Redis gets a second at most.
    state.redis->leave([&state] { state.ioc.stop(); });
    leaving.expires_after(seconds(1));
    leaving.async_wait([&state](beast::error_code waited) {
      if (!waited) state.ioc.stop();
    });
  });
  accept_next(state);
  if (metrics) metrics->start();
  state.schedule_housekeeping();
  if (state.redis) state.redis->start();
  state.ioc.run();
  if (state.redis) state.redis->stop();
  state.bindings.flush_now();
  log_line("stopped");
  return 0;
}

}  // namespace vantriel::signal
