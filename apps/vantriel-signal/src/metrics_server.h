// The operators' listener: "GET /metrics" on an address and port of its own, never the
// public one, so that a firewall or a private address keeps the figures from the pages'
// clients. Everything else there is 404 (or 405 for another method on "/metrics"). It
// holds at most kMaxConnections connections at once, kMaxConnectionsPerAddress of them
// from any one address (a scraper needs one), each for one request of at most
// 8 KiB of headers within the handshake time-out, and closes after the reply, as the
// public port does. Runs on the server's I/O thread, where the counts it shows are kept.
#ifndef VANTRIEL_SIGNAL_METRICS_SERVER_H_
#define VANTRIEL_SIGNAL_METRICS_SERVER_H_

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "hub_env.h"
#include "morvane/core/result.h"

namespace vantriel::signal {

class MetricsListener {
 public:
  static constexpr int kMaxConnections = 16;
  static constexpr int kMaxConnectionsPerAddress = 4;

  // `render` makes the reply's body; it is called on the I/O thread while the
  // io_context runs. `env` (the clock and log) outlives the io_context's run.
  MetricsListener(boost::asio::io_context& ioc, HubEnv& env, int handshake_timeout_s,
                  std::function<std::string()> render);
  ~MetricsListener();
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  // Binds and listens; the URL of the figures ("http://ADDRESS:PORT/metrics", with the
  // real port when `at` has port 0), or why it cannot.
  morvane::Result<std::string> listen(const boost::asio::ip::tcp::endpoint& at);
  void start();
  // Stops accepting; requests being answered finish.
  void stop();

  struct Impl;  // shared with the connections (metrics_server.cpp)

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_METRICS_SERVER_H_
