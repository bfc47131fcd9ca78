// One node of several sharing their state through Redis. It keeps, under "vtr:":
//   id:<id>          hash salt, hash (HMAC-SHA1(salt, key)), seen (unix s); expires
//                    400 days after its last use, like the data file's entries
//   host:<id>        "<node> <token>": the host socket that holds the ID now
//   room:<code>      the node that keeps the call room
//   node:<node>      the node's lease, renewed every fifth of --redis-lease-ms; a node
//                    whose lease lapsed is dead: its hosts and rooms count as gone
//   g:id:<id>, g:addr:<addr>, g:miss:<addr>   the guard's failure counts and locks
//   g:join:<addr>, g:newid:<addr>, g:room:<addr>   the guard's allowances
// and listens on the channel "vtr:n:<node>" for messages from the other nodes
// (node_message.h). The guard's clock is Redis's own (TIME), so nodes whose clocks
// differ still count alike. Keys are never given access codes, host keys or names.
// Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_REDIS_NODE_H_
#define VANTRIEL_SIGNAL_REDIS_NODE_H_

#include <chrono>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "config.h"
#include "hub.h"
#include "metrics.h"
#include "redis_link.h"
#include "shared.h"

namespace vantriel::signal {

class RedisNode : public Shared, public Cluster {
 public:
  RedisNode(boost::asio::io_context& ioc, const Config& config, HubEnv& env);
  ~RedisNode() override;

  void set_hub(Hub& hub) { hub_ = &hub; }
  void start();
  // Gives up this node's lease, hosts and rooms in Redis, then runs `done` (at once when
  // Redis cannot be reached). Before a planned stop.
  void leave(std::function<void()> done);
  void stop();
  // Both links up and the lease renewed within its time: "/health" says so.
  bool healthy() const;
  // The links, the nodes seen and the messages exchanged, for the metrics.
  RedisMetrics metrics() const;

  // Shared
  void register_host(const std::string& id, const std::string& key, const std::string& addr,
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

  // Cluster
  const std::string& node() const override { return node_; }
  void find_host(const std::string& id, std::function<void(Place)> done) override;
  void find_room(const std::string& code, bool create, std::function<void(Place)> done) override;
  void host_left(const std::string& id, const std::string& holder) override;
  void room_opened(const std::string& code) override;
  void room_closed(const std::string& code) override;
  void post(const std::string& node, std::string message) override;

  // Copies the bindings of a data file into Redis, keeping any binding already there.
  // Runs `ioc` until done; returns what to print, or an error.
  static morvane::Result<std::string> import_bindings(const Config& config);

  struct Script {
    std::string body;
    std::string sha;  // hex SHA-1 of the body, as EVALSHA names it
  };

 private:
  // EVALSHA, falling back to EVAL once when Redis does not know the script (a restart).
  void eval(const Script& script, std::vector<std::string> keys, std::vector<std::string> args,
            RedisLink::Reply done);
  void register_known(const std::string& id, const std::string& holder, const std::string& salt,
                      const std::string& hash, const std::string& key, const std::string& addr,
                      int tries, std::function<void(Registration)> done);
  void register_step(const std::string& id, const std::string& key, const std::string& addr,
                     const std::string& holder, int tries, std::function<void(Registration)> done);
  void ready(const std::string& id, const std::string& holder, const std::string& salt,
             const std::string& hash, const RespValue& reply,
             const std::function<void(Registration)>& done);
  // Both links up: this node can decide with the others and hear from them.
  bool usable() const;
  void later(std::function<void()> task);
  void renew_lease();
  void on_link(bool up);
  void reassert();

  boost::asio::io_context& ioc_;
  Config config_;
  HubEnv& env_;
  Hub* hub_ = nullptr;
  std::string node_;
  RedisLink commands_;
  RedisLink events_;     // this node's channel
  RedisLink publisher_;  // messages to the other nodes, in order, without replies
  boost::asio::steady_timer lease_timer_;
  std::chrono::steady_clock::time_point lease_ok_{};
  bool lease_lapsed_ = true;  // our lease is not known to be held (start, outage)
  // Hosts registered here, by holder, with what their binding needs to be written again
  // after Redis lost it (a restart without persistence): no key is kept.
  struct LocalHost {
    std::string id, salt, hash;
  };
  std::unordered_map<std::string, LocalHost> hosts_;
  std::unordered_set<std::string> rooms_;
  // For the metrics: the nodes listening on their channels (asked with each lease
  // renewal, only when the metrics are served) and the messages to and from them.
  size_t nodes_seen_ = 0;
  uint64_t sent_ = 0, sent_bytes_ = 0, received_ = 0, received_bytes_ = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_NODE_H_
