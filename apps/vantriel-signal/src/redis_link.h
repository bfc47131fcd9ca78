// One TCP connection to Redis on the server's I/O thread: commands pipelined in order,
// their replies handed back in order, or, on a subscriber link, the messages of one
// channel. It reconnects by itself; while it is down every command fails at once with
// an error reply, so no caller waits on a link that is gone. Runs on the I/O thread only.
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

#include "resp.h"

namespace vantriel::signal {

class RedisLink {
 public:
  using Reply = std::function<void(const RespValue&)>;

  // `address` is "host:port"; `password` may be empty.
  RedisLink(boost::asio::io_context& ioc, std::string address, std::string password,
            std::string what);
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

  // Milliseconds a command may wait for its reply before the link counts as lost.
  static constexpr int kReplyTimeoutMs = 3000;

 private:
  void connect();
  void on_connected();
  void read();
  void flush();
  void schedule_flush();
  void fail(const std::string& why);
  void watch();
  void dispatch(RespValue& value);

  boost::asio::io_context& ioc_;
  std::string host_, port_, password_, what_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer retry_timer_, watch_timer_;
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
  int handshake_left_ = 0;  // replies of AUTH/SUBSCRIBE still awaited before "up"
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
