// What the network side of one server shares: the I/O context and its flusher, the
// configuration, the environment (clocks and log), the connection counts and figures,
// the bindings, the hub and, with --redis, the node's link to the others. The sessions
// and the acceptor hold it by reference; the server owns it and outlives them all.
// Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_SERVER_STATE_H_
#define VANTRIEL_SIGNAL_SERVER_STATE_H_

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "bindings_file.h"
#include "config.h"
#include "conn_limits.h"
#include "flusher.h"
#include "hub.h"
#include "idle_watch.h"
#include "metrics.h"
#include "redis_node.h"
#include "redis_shared.h"
#include "server_env.h"
#include "web_page.h"

namespace vantriel::signal {

// The io_context is declared (nearly) first so that it is destroyed last: handlers it
// still holds may own sessions, whose sockets need it and whose places in the counts,
// declared before it, are given back.
struct ServerState {
  ConnLimits conns;
  ServerCounters counters;  // for the metrics
  boost::asio::io_context ioc{1};
  Flusher flusher{ioc};
  Config config;
  ServerEnv env{ioc};
  BindingsFile bindings;
  // The technician's page for browsers; none with --no-web.
  std::unique_ptr<const WebPage> web;
  // With --redis this node shares its state with others; else the data file keeps it.
  std::unique_ptr<RedisNode> redis;
  std::unique_ptr<RedisShared> redis_shared;
  std::unique_ptr<Hub> hub_owner;
  Hub& hub;
  // Closes WebSocket connections silent for the idle time-out; after ioc, whose handlers
  // may still hold connections when it goes (they then leave it untouched).
  IdleWatch idle{ioc, std::chrono::seconds(config.policy.idle_timeout)};
  boost::asio::ip::tcp::acceptor acceptor{ioc};
  // The server's housekeeping: the bindings written now and then, the guard swept.
  boost::asio::steady_timer housekeeping{ioc};
  std::chrono::steady_clock::time_point last_sweep = env.now();

  // `redis_tls` from RedisTls::make(config).
  ServerState(const Config& c, std::shared_ptr<RedisTls> redis_tls)
      : conns(c.policy),
        config(c),
        bindings(c.data),
        web(c.no_web ? nullptr : std::make_unique<const WebPage>(WebPage::compiled())),
        redis(!c.uses_redis() ? nullptr
                              : std::make_unique<RedisNode>(ioc, config, std::move(redis_tls), env,
                                                            node_callbacks())),
        redis_shared(redis ? std::make_unique<RedisShared>(ioc, config, env, *redis) : nullptr),
        hub_owner(redis ? std::make_unique<Hub>(config, *redis_shared, *redis, env)
                        : std::make_unique<Hub>(config, bindings.store(), env)),
        hub(*hub_owner) {}
  ServerState(const ServerState&) = delete;
  ServerState& operator=(const ServerState&) = delete;

 private:
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
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SERVER_STATE_H_
