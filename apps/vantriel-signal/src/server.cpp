#include "server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "acceptor.h"
#include "metrics.h"
#include "metrics_server.h"
#include "morvane/core/net/listen_options.h"
#include "redis_stream.h"
#include "server_state.h"
#include "version.h"

namespace vantriel::signal {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr auto kSweepEvery = seconds(30);

// What "GET /metrics" shows of this node.
std::string metrics_text(ServerState& state, int64_t started) {
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

Server::Server(Config config) : config_(std::move(config)) {}

Server::~Server() = default;

std::optional<OpenError> Server::open() {
  // Certificates are read once, here: a file that cannot be read stops the start.
  auto redis_tls = RedisTls::make(config_);
  if (!redis_tls) return OpenError{"redis: " + redis_tls.error(), 1};
  state_ = std::make_unique<ServerState>(config_, *redis_tls);
  ServerState& state = *state_;
  HubEnv& env = state.env;
  if (state.redis) {
    env.log("node " + state.redis->node() + ": bindings, hosts, rooms and the guard's counts "
            "shared through redis at " + config_.redis_place() + "; the data file is not used");
    if (config_.redis_replicas > 0) {
      env.log("redis: a host is told \"ready\" once " + std::to_string(config_.redis_replicas) +
              " replica(s) hold its binding (within " + std::to_string(config_.redis_wait_ms) +
              " ms, else it is refused)");
    }
  } else {
    auto loaded = state.bindings.store().load(env.unix_now(), config_.accept_binding_loss
                                                                  ? BindingStore::OnDamage::kStartEmpty
                                                                  : BindingStore::OnDamage::kRefuse);
    if (!loaded) return OpenError{"bindings: " + loaded.error(), 1};
    if (!loaded->empty()) env.log("bindings: " + *loaded);
    env.log("bindings: " + std::to_string(state.bindings.store().size()) + " IDs from " +
            state.bindings.store().path());
  }

  error_code ec;
  const auto address = net::ip::make_address(config_.host, ec);
  if (ec) return OpenError{"bad --host \"" + config_.host + "\": " + ec.message(), 2};
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(config_.port));
  state.acceptor.open(endpoint.protocol(), ec);
  if (!ec) morvane::set_listen_options(static_cast<std::intptr_t>(state.acceptor.native_handle()));
  if (!ec) state.acceptor.bind(endpoint, ec);
  if (!ec) state.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    return OpenError{"cannot listen on " + config_.host + ":" + std::to_string(config_.port) +
                         ": " + ec.message(),
                     1};
  }
  const auto bound = state.acceptor.local_endpoint(ec);
  port_ = bound.port();
  std::string shown = bound.address().to_string();
  if (bound.address().is_v6()) shown = "[" + shown + "]";
  const std::string url = "http://" + shown + ":" + std::to_string(bound.port());

  // The operators' figures never share the public port: whoever reaches the pages'
  // service would read them.
  started_ = env.unix_now();
  std::string metrics_url;
  if (!config_.metrics_listen.empty()) {
    const auto maddress = net::ip::make_address(config_.metrics_host, ec);
    if (ec) {
      return OpenError{
          "bad --metrics-listen address \"" + config_.metrics_host + "\": " + ec.message(), 2};
    }
    const tcp::endpoint mendpoint(maddress, static_cast<unsigned short>(config_.metrics_port));
    if (config_.metrics_port != 0 && same_listener(mendpoint, bound)) {
      return OpenError{"--metrics-listen " + config_.metrics_listen +
                           " is the public address and port; give the metrics a port of their own",
                       2};
    }
    metrics_ = std::make_unique<MetricsListener>(
        state.ioc, env, config_.policy.handshake_timeout,
        [this] { return metrics_text(*state_, started_); });
    auto listening = metrics_->listen(mendpoint);
    if (!listening) {
      return OpenError{
          "cannot listen for metrics on " + config_.metrics_listen + ": " + listening.error(), 1};
    }
    metrics_url = *listening;
  }

  env.log("listening on " + url + (state.web ? ", the technician's page for browsers at /"
                                               : ", no page for browsers (--no-web)"));
  std::printf("listening on %s\n", url.c_str());
  if (metrics_) {
    env.log("metrics on " + metrics_url);
    std::printf("metrics on %s\n", metrics_url.c_str());
  }
  std::fflush(stdout);
  return std::nullopt;
}

uint16_t Server::port() const { return port_; }

void Server::run() {
  ServerState& state = *state_;
  net::signal_set signals(state.ioc, SIGINT, SIGTERM);
  signals.async_wait([this](error_code ec, int sig) {
    if (!ec) begin_stop("stopping on signal " + std::to_string(sig));
  });
  accept_connections(state);
  if (metrics_) metrics_->start();
  schedule_housekeeping();
  if (state.redis) state.redis->start();
  state.ioc.run();
  if (state.redis) state.redis->stop();
  state.bindings.flush_now();
  state.env.log("stopped");
}

void Server::stop() {
  if (!state_) return;  // never opened: nothing runs
  net::post(state_->ioc, [this] { begin_stop("stopping"); });
}

void Server::begin_stop(const std::string& why) {
  if (stopping_) return;
  stopping_ = true;
  ServerState& state = *state_;
  state.env.log(why);
  error_code ignored;
  state.acceptor.close(ignored);
  if (metrics_) metrics_->stop();
  if (!state.redis) {
    state.ioc.stop();
    return;
  }
  // The other nodes learn at once that this node's hosts and rooms are gone, rather
  // than when its lease lapses; Redis gets a second at most.
  state.redis->leave([&state] { state.ioc.stop(); });
  state.env.after(seconds(1), [&state] { state.ioc.stop(); });
}

// Writes the bindings now and then, and has stale guard counters dropped.
void Server::schedule_housekeeping() {
  ServerState& state = *state_;
  state.housekeeping.expires_after(milliseconds(std::max(config_.policy.flush_ms, 10)));
  state.housekeeping.async_wait([this, &state](error_code ec) {
    if (ec) return;
    state.bindings.flush();
    if (state.env.now() - state.last_sweep >= kSweepEvery) {
      state.last_sweep = state.env.now();
      state.hub.sweep();
    }
    schedule_housekeeping();
  });
}

}  // namespace vantriel::signal
