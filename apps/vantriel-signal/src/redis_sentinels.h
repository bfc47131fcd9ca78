// Where the master is, behind Redis Sentinel: one link to each sentinel, asked
// "SENTINEL get-master-addr-by-name" before a link to the master connects, and every
// two seconds while the node runs, so that links still up on a demoted master (a
// network split rather than a crash) move to the promoted one. Sentinels are asked in
// turn, starting after the one that answered last; the first that names a master wins
// (the link then checks its ROLE, so a stale answer costs one more try). Runs on the
// I/O thread only.
#ifndef VANTRIEL_SIGNAL_REDIS_SENTINELS_H_
#define VANTRIEL_SIGNAL_REDIS_SENTINELS_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "redis_link.h"

namespace vantriel::signal {

class RedisSentinels {
 public:
  // `sentinel` says how to reach each address in `addresses` (password, TLS).
  RedisSentinels(boost::asio::io_context& ioc, HubEnv& env,
                 const std::vector<std::string>& addresses, std::string master_name,
                 const RedisServer& sentinel);
  ~RedisSentinels();
  RedisSentinels(const RedisSentinels&) = delete;
  RedisSentinels& operator=(const RedisSentinels&) = delete;

  void start();
  void stop();
  // The master's "host:port", or "" and why none is known.
  void ask(std::function<void(const std::string& master, const std::string& error)> done);
  // Told the master's address after each periodic check.
  void on_master(std::function<void(const std::string& master)> handler) {
    on_master_ = std::move(handler);
  }

 private:
  void ask_from(size_t index, size_t left, std::string errors,
                std::function<void(const std::string&, const std::string&)> done);
  void check();

  boost::asio::io_context& ioc_;
  std::string name_;
  std::vector<std::unique_ptr<RedisLink>> links_;
  size_t next_ = 0;
  boost::asio::steady_timer check_timer_;
  std::function<void(const std::string&)> on_master_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_SENTINELS_H_
