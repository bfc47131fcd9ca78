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

#include "acceptor.h"
#include "bindings_file.h"
#include "conn_limits.h"
#include "hub.h"
#include "log.h"
#include "metrics.h"
#include "metrics_server.h"
#include "morvane/core/net/listen_options.h"
#include "redis_node.h"
#include "redis_shared.h"
#include "server_env.h"
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
  ServerState state(config, *redis_tls);
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

  error_code ec;
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
  signals.async_wait([&state, &leaving, &metrics](error_code, int sig) {
    log_line("stopping on signal " + std::to_string(sig));
    error_code ignored;
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
    leaving.async_wait([&state](error_code waited) {
      if (!waited) state.ioc.stop();
    });
  });
  accept_connections(state);
  if (metrics) metrics->start();
  net::steady_timer housekeeping(state.ioc);
  auto last_sweep = state.env.now();
  // Writes the bindings now and then, and has stale guard counters dropped.
  std::function<void()> schedule_housekeeping = [&] {
    housekeeping.expires_after(milliseconds(std::max(config.policy.flush_ms, 10)));
    housekeeping.async_wait([&](error_code waited) {
      if (waited) return;
      state.bindings.flush();
      if (state.env.now() - last_sweep >= kSweepEvery) {
        last_sweep = state.env.now();
        state.hub.sweep();
      }
      schedule_housekeeping();
    });
  };
  schedule_housekeeping();
  if (state.redis) state.redis->start();
  state.ioc.run();
  if (state.redis) state.redis->stop();
  state.bindings.flush_now();
  log_line("stopped");
  return 0;
}

}  // namespace vantriel::signal
