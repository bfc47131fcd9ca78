// What the nodes of a deployment must agree on, kept in Redis (redis_scripts.h): the ID
// bindings and the guard's counts, decided by scripts on Redis so that every node meets
// the same numbers. Speaks to Redis through its node's command link (redis_node.h);
// runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_REDIS_SHARED_H_
#define VANTRIEL_SIGNAL_REDIS_SHARED_H_

#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "config.h"
#include "hub_env.h"
#include "redis_node.h"
#include "resp.h"
#include "shared.h"

namespace vantriel::signal {

class RedisShared : public Shared {
 public:
  // `node` outlives this.
  RedisShared(boost::asio::io_context& ioc, const Config& config, HubEnv& env, RedisNode& node);

  void register_host(const std::string& id, const std::string& secret, const std::string& addr,
                     const std::string& holder, std::function<void(Registration)> done) override;
  void join_gate(const std::string& addr, const std::string& id,
                 std::function<void(JoinGate)> done) override;
  void call_gate(const std::string& addr, std::function<void(CallGate)> done) override;
  void room_missed(const std::string& addr, std::function<void(int)> done) override;
  void allow_new_room(const std::string& addr, std::function<void(bool)> done) override;
  void wrong_code(const std::string& id, const std::string& addr,
                  std::function<void(Guard::Verdict, bool)> done) override;
  void accepted(const std::string& id) override;
  void sweep() override {}

  // Copies the bindings of a data file into Redis, keeping any binding already there.
  // Runs an io_context of its own until done; returns what to print, or an error.
  static morvane::Result<std::string> import_bindings(const Config& config,
                                                      std::shared_ptr<RedisTls> tls);

 private:
  void register_known(const std::string& id, const std::string& holder, const std::string& salt,
                      const std::string& hash, const std::string& secret, const std::string& addr,
                      int tries, std::function<void(Registration)> done);
  void register_step(const std::string& id, const std::string& secret, const std::string& addr,
                     const std::string& holder, int tries, std::function<void(Registration)> done);
  void replicated(const std::string& id, const std::string& holder, std::function<void(bool)> done);
  void ready(const std::string& id, const std::string& holder, const std::string& salt,
             const std::string& hash, const RespValue& reply,
             const std::function<void(Registration)>& done);
  void later(std::function<void()> task);

  boost::asio::io_context& ioc_;
  Config config_;
  HubEnv& env_;
  RedisNode& node_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_SHARED_H_
