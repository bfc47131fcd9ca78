// One node of several sharing their state through Redis (redis_scripts.h): its links to
// Redis, its lease, and the messages it exchanges with the other nodes. It listens on
// the channel "vtr:n:<node>" for messages from them (node_message.h) and, as the hub's
// Cluster, finds the nodes of hosts and rooms. The bindings and the guard's counts go
// through the same command link (redis_shared.h). Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_REDIS_NODE_H_
#define VANTRIEL_SIGNAL_REDIS_NODE_H_

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "cluster.h"
#include "config.h"
#include "hub_env.h"
#include "metrics.h"
#include "redis_link.h"
#include "redis_scripts.h"
#include "redis_sentinels.h"

namespace vantriel::signal {

class RedisNode : public Cluster {
 public:
  // What the node hands to the hub; all four are needed, and none runs before start().
  struct Callbacks {
    // A message from another node (Hub::node_message).
    std::function<void(std::string_view message)> message;
    // The nodes this one relays for, whose lease is watched (Hub::peer_nodes).
    std::function<std::vector<std::string>()> peer_nodes;
    // A node's lease lapsed, or ours did (Hub::node_gone).
    std::function<void(const std::string& node)> node_gone;
    // A host of this node lost its ID while Redis was out of reach (Hub::replace_host).
    std::function<void(const std::string& id, const std::string& token)> replace_host;
  };
  // `tls` from RedisTls::make(config).
  RedisNode(boost::asio::io_context& ioc, const Config& config, std::shared_ptr<RedisTls> tls,
            HubEnv& env, Callbacks callbacks);
  ~RedisNode() override;

  // How the links of `config` reach Redis: its address or `sentinels`, the password, TLS.
  static RedisServer server_of(const Config& config, std::shared_ptr<RedisTls> tls,
                               RedisSentinels* sentinels);
  // The sentinels of `config`, or nullptr without them.
  static std::unique_ptr<RedisSentinels> sentinels_of(boost::asio::io_context& ioc, HubEnv& env,
                                                      const Config& config,
                                                      std::shared_ptr<RedisTls> tls);

  void start();
  // Gives up this node's lease, hosts and rooms in Redis, then runs `done` (at once when
  // Redis cannot be reached). Before a planned stop.
  void leave(std::function<void()> done);
  void stop();
  // Both links up and the lease renewed within its time: "/health" says so.
  bool healthy() const;
  // The links, the nodes seen and the messages exchanged, for the metrics.
  RedisMetrics metrics() const;

  // For the shared state. All three links up: this node can decide with the others and
  // hear from them.
  bool usable() const;
  void command(std::vector<std::string> args, RedisLink::Reply done);
  // EVALSHA, falling back to EVAL once when Redis does not know the script (a restart).
  void eval(const RedisScript& script, std::vector<std::string> keys,
            std::vector<std::string> args, RedisLink::Reply done);
  // The same on the binding link: registrations write bindings there and WAIT for the
  // replicas, which holds that connection only, never the command link's lease and gates.
  void bind_command(std::vector<std::string> args, RedisLink::Reply done);
  void bind_eval(const RedisScript& script, std::vector<std::string> keys,
                 std::vector<std::string> args, RedisLink::Reply done);
  // A host registered here, by holder, with what its binding needs to be written again
  // after Redis lost it (a restart without persistence): no key is kept. Forgotten with
  // host_left().
  void hold_host(const std::string& holder, const std::string& id, const std::string& salt,
                 const std::string& hash);

  // Cluster
  const std::string& node() const override { return node_; }
  void find_host(const std::string& id, std::function<void(Place)> done) override;
  void find_room(const std::string& code, bool create, std::function<void(Place)> done) override;
  void host_left(const std::string& id, const std::string& holder) override;
  void room_opened(const std::string& code) override;
  void room_closed(const std::string& code) override;
  void load_room(const std::string& code, std::function<void(KeptRoom)> done) override;
  void keep_member(const std::string& code, const KeptMember& member) override;
  void keep_host(const std::string& code, const std::string& host) override;
  void forget_member(const std::string& code, const std::string& id) override;
  void forget_room(const std::string& code) override;
  void post(const std::string& node, std::string message) override;

 private:
  void later(std::function<void()> task);
  void eval_on(RedisLink& link, const RedisScript& script, std::vector<std::string> keys,
               std::vector<std::string> args, RedisLink::Reply done);
  void renew_lease();
  void on_link(bool up);
  void reassert();

  boost::asio::io_context& ioc_;
  Config config_;
  HubEnv& env_;
  Callbacks callbacks_;
  std::string node_;
  std::unique_ptr<RedisSentinels> sentinels_;  // before the links, which use it
  RedisLink commands_;
  RedisLink binder_;     // registrations: their bindings and the WAIT for replicas
  RedisLink events_;     // this node's channel
  RedisLink publisher_;  // messages to the other nodes, in order, without replies
  boost::asio::steady_timer lease_timer_;
  std::chrono::steady_clock::time_point lease_ok_{};
  bool lease_lapsed_ = true;  // our lease is not known to be held (start, outage)
  struct LocalHost {
    std::string id, salt, hash;
  };
  std::unordered_map<std::string, LocalHost> hosts_;  // by holder, as hold_host()
  std::unordered_set<std::string> rooms_;
  std::chrono::steady_clock::time_point rooms_renewed_{};  // their kept state's time
  // For the metrics: the nodes listening on their channels (asked with each lease
  // renewal, only when the metrics are served) and the messages to and from them.
  size_t nodes_seen_ = 0;
  uint64_t sent_ = 0, sent_bytes_ = 0, received_ = 0, received_bytes_ = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_NODE_H_
