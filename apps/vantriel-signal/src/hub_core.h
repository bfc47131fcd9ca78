// What the parts of the hub share: the open connections, the services the hub was
// given, its counters, and how messages are read and replies written. The Hub owns it;
// its parts (session_broker.h, call_rooms.h, node_router.h) hold it by reference.
// Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_HUB_CORE_H_
#define VANTRIEL_SIGNAL_HUB_CORE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "cluster.h"
#include "config.h"
#include "hub_env.h"
#include "ice.h"
#include "link.h"
#include "metrics.h"
#include "shared.h"

namespace vantriel::signal {

using Json = nlohmann::ordered_json;

// One open socket and what the hub knows of it. Nearly every connection is an idle host,
// so what only call members and connections routed between nodes need is in a part made
// when first needed.
struct Conn {
  enum class Kind : uint8_t { kHost, kJoin, kCall };
  struct Extra {
    std::string name_json;  // call: `name` as a JSON string, for every relayed signal
    std::string member;     // call: own member id
    // With a cluster: frames arriving while the first message is being routed.
    std::vector<std::string> pending;
    std::string remote_node;  // proxied: every frame goes to this node, which serves it
  };

  LinkPtr link;
  std::string target;  // ID or room code
  std::string name;
  std::string sid;     // host: the request or session it is in; join: its own
  std::string token;   // names it to other nodes (with a cluster)
  Kind kind = Kind::kHost;
  bool started = false;      // "hello" or "join" seen
  bool registering = false;  // host: a hello is being checked
  bool web = false;          // join: from the server's own page for browsers
  // With a cluster: the first message is being routed (its node looked up); frames
  // arriving meanwhile wait in `pending`.
  bool resolving = false;
  bool heard = false;          // proxied: the serving node has sent something
  bool remote_origin = false;  // the link is a socket of another node (RemoteLink)
  // A socket of another node that died with it, rather than closed by its client: a
  // call member is expected back through another node (call_rooms.h).
  bool lost = false;

  // The part above, made on first use.
  Extra& extra() {
    if (!extra_) extra_ = std::make_unique<Extra>();
    return *extra_;
  }
  // "" while the part is not made.
  const std::string& member() const { return extra_ ? extra_->member : none(); }
  const std::string& name_json() const { return extra_ ? extra_->name_json : none(); }
  const std::string& remote_node() const { return extra_ ? extra_->remote_node : none(); }

 private:
  static const std::string& none() {
    static const std::string empty;
    return empty;
  }
  std::unique_ptr<Extra> extra_;
};

class HubCore {
 public:
  // `shared` and `cluster` (none for one node) outlive the core.
  HubCore(const Config& config, HubEnv& env, Shared& shared, Cluster* cluster);

  // Adds the socket; with a cluster it gets the next token.
  Conn& open(const LinkPtr& link, Conn::Kind kind, const std::string& target);
  Conn* conn(Link* link);
  // "<node> <token>" of a connection of this node; "" for one node.
  std::string holder(const Conn& c) const;
  // The ICE list handed out now.
  Json ice() const;

  const Config& config() const { return config_; }
  HubEnv& env() { return env_; }
  Shared& shared() { return shared_; }
  Cluster* cluster() { return cluster_; }  // none for one node
  std::unordered_map<Link*, Conn>& conns() { return conns_; }
  HubCounters& counters() { return counters_; }
  const HubCounters& counters() const { return counters_; }

 private:
  const Config config_;
  IceSettings ice_;
  HubEnv& env_;
  Shared& shared_;
  Cluster* const cluster_;
  std::unordered_map<Link*, Conn> conns_;
  HubCounters counters_;
  uint64_t last_token_ = 0;
};

// The member `name` if it is a string, cut to at most `max` bytes without splitting a
// UTF-8 sequence; else "".
std::string text(const Json& msg, const char* name, size_t max);
// The member `name` is the boolean true.
bool flag(const Json& msg, const char* name);
// Compact, with invalid UTF-8 replaced.
std::string dump(const Json& value);
void send(Link* link, const Json& msg);
void send_and_close(Link* link, const Json& msg);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_HUB_CORE_H_
