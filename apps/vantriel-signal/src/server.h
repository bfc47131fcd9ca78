// The signalling server: one I/O thread that accepts TCP connections on the public port,
// answers "/health" and "/ice", upgrades "/host/<id>", "/join/<id>" and "/call/<code>" to
// WebSocket, enforces the per-connection limits and hands parsed messages to the Hub;
// with --metrics-listen, the operators' figures on a port of their own; with --redis, a
// node among others. It writes the bindings now and then and has the guard's stale
// counts dropped. Every clock read and log line goes through its ServerEnv.
#ifndef VANTRIEL_SIGNAL_SERVER_H_
#define VANTRIEL_SIGNAL_SERVER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config.h"

namespace vantriel::signal {

class MetricsListener;
struct ServerState;

// Why a server did not open: a line a person can act on, and the exit code that tells
// a supervisor whether a setting is wrong (2) or the machine or a file refused (1).
struct OpenError {
  std::string message;
  int exit_code = 1;
};

class Server {
 public:
  explicit Server(Config config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the Redis certificates or the bindings file, binds the public port and the
  // metrics port, and writes "listening on http://ADDRESS:PORT" (then "metrics on URL")
  // on standard output, with the real port when the configured one is 0. Call once.
  std::optional<OpenError> open();
  // The public port as bound. REQUIRES: open() succeeded.
  uint16_t port() const;
  // Serves until stop(), SIGINT or SIGTERM, then writes what the bindings hold.
  // REQUIRES: open() succeeded. Called on the thread that becomes the I/O thread.
  void run();
  // Stops accepting and ends run(); with Redis, the other nodes are told first (a second
  // at most). Any thread; before run() it makes run() return at once.
  void stop();

 private:
  void begin_stop(const std::string& why);
  void schedule_housekeeping();

  const Config config_;
  std::unique_ptr<ServerState> state_;
  std::unique_ptr<MetricsListener> metrics_;  // after state_: it goes first, its
                                              // connections run on the state's io_context
  uint16_t port_ = 0;
  int64_t started_ = 0;   // unix time, for the metrics
  bool stopping_ = false;  // I/O thread only
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SERVER_H_
