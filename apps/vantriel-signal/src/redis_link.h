// One connection to Redis (TCP, or TLS over it) on the server's I/O thread: commands
// pipelined in order, their replies handed back in order, or, on a subscriber link, the
// messages of one channel. It reconnects by itself, after 0.1 s and then up to a second
// apart; while it is down every command fails at once with an error reply, so no caller
// waits on a link that is gone. Behind Sentinel it asks the sentinels for the master
// before each connection, checks that the server is the master (ROLE), and drops the
// connection when a reply says the server became a replica (-READONLY) or the sentinels
// name another master. Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_REDIS_LINK_H_
#define VANTRIEL_SIGNAL_REDIS_LINK_H_

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "hub_env.h"
#include "redis_stream.h"
#include "resp.h"

namespace vantriel::signal {

class RedisSentinels;

// How a link reaches its Redis.
struct RedisServer {
  std::string address;  // "host:port", "[v6]:port" or a host (port 6379); unused with sentinels
  std::string password;  // empty: no AUTH
  std::shared_ptr<RedisTls> tls;  // nullptr: plain TCP
  std::string tls_name;  // the name the certificate must carry; empty: the host connected to
  RedisSentinels* sentinels = nullptr;  // when set, outlives the link
};

// "host:port" split; a bare host gets 6379.
void split_redis_address(const std::string& address, std::string& host, std::string& port);

class RedisLink {
 public:
  using Reply = std::function<void(const RespValue&)>;

  // `env` (the clock and log) outlives the link.
  RedisLink(boost::asio::io_context& ioc, HubEnv& env, RedisServer server, std::string what);
  ~RedisLink();
  RedisLink(const RedisLink&) = delete;
  RedisLink& operator=(const RedisLink&) = delete;

  // Turns the link into a subscriber of `channel` (before start()); each message's
  // payload goes to `on_message`.
  void subscribe(std::string channel, std::function<void(std::string_view)> on_message);
  // Turns the link into one that only publishes (before start()): Redis is asked not to
  // reply (CLIENT REPLY OFF), which spares it a write and us a reply per message.
  void publish_only() { publish_only_ = true; }
  // Called with true once connected (and subscribed), with false when the link is lost.
  void on_state(std::function<void(bool up)> handler) { on_state_ = std::move(handler); }
  void start();
  // Closes the link for good.
  void stop();

  bool up() const { return up_; }
  void command(std::vector<std::string> args, Reply done = nullptr);
  // PUBLISH without building an argument list; the reply is dropped. Nothing is sent
  // while the link is down.
  void publish(std::string_view channel, std::string_view payload);
  // A reply stands for the link's loss when it is this error.
  static bool lost(const RespValue& reply);
  // The address connected to ("host:port"); empty while down.
  const std::string& address() const { return connected_; }
  // Drops the connection (and reconnects) unless it is to `master`: the sentinels name
  // another master now.
  void master_is(const std::string& master);

  // Milliseconds a command may wait for its reply before the link counts as lost.
  static constexpr int kReplyTimeoutMs = 3000;

 private:
  void connect();
  void connect_to(const std::string& address, unsigned gen);
  void on_connected();
  void read();
  void flush();
  void schedule_flush();
  void fail(const std::string& why);
  void watch();
  void dispatch(RespValue& value);

  boost::asio::io_context& ioc_;
  HubEnv& env_;
  RedisServer server_;
  std::string what_;
  std::string host_, port_;  // of this connection (the sentinels may name another next)
  std::string connected_;
  boost::asio::ip::tcp::resolver resolver_;
  std::shared_ptr<RedisStream> stream_;  // this connection's; a new one per connection
  boost::asio::steady_timer retry_timer_, watch_timer_;
  int retry_ms_ = kFirstRetryMs;
  static constexpr int kFirstRetryMs = 100, kMaxRetryMs = 1000;
  RespReader reader_;
  std::vector<char> in_;
  std::string out_, sending_;
  bool writing_ = false, flush_posted_ = false;
  struct Pending {
    Reply done;
    std::chrono::steady_clock::time_point sent;
  };
  std::deque<Pending> pending_;
  bool up_ = false, stopped_ = false, connecting_ = false;
  std::chrono::steady_clock::time_point connect_started_;
  int handshake_left_ = 0;  // replies of AUTH/ROLE/SUBSCRIBE still awaited before "up"
  unsigned generation_ = 0;  // bumped per connection, so stale handlers do nothing
  bool logged_down_ = false;
  std::string channel_;
  bool publish_only_ = false;
  std::function<void(std::string_view)> on_message_;
  std::function<void(bool)> on_state_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_LINK_H_
