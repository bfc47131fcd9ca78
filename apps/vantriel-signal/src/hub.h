// The hub: what every socket of "/host/<id>", "/join/<id>" and "/call/<code>" is in.
// It knows nothing of sockets: the server hands it each connection as a Link and each
// parsed message, and it answers through Links. It reads each frame and hands the
// message to the part that owns its concern: support sessions (session_broker.h),
// call rooms (call_rooms.h) and, with a cluster, routing between nodes (node_router.h).
// Single-threaded by contract: every method runs on the server's one I/O thread.
#ifndef VANTRIEL_SIGNAL_HUB_H_
#define VANTRIEL_SIGNAL_HUB_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bindings.h"
#include "cluster.h"
#include "config.h"
#include "guard.h"
#include "hub_env.h"
#include "link.h"
#include "metrics.h"
#include "raw_json.h"
#include "shared.h"

namespace vantriel::signal {

using Json = nlohmann::ordered_json;

// Messages nested deeper than this (morvane::json_nesting_depth) are dropped before the
// parser sees them, so neither parsing nor relaying them can exhaust the stack.
inline constexpr int kMaxDepth = 32;

class CallRooms;
class HubCore;
class NodeRouter;
class SessionBroker;
struct Conn;

class Hub {
 public:
  // One node: bindings in the store, the guard in memory.
  Hub(const Config& config, BindingStore& bindings, HubEnv& env);
  // A node of several: `shared` keeps bindings and counters, `cluster` reaches the other
  // nodes. Both outlive the hub.
  Hub(const Config& config, Shared& shared, Cluster& cluster, HubEnv& env);
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // A socket was opened on "/host/<id>", "/join/<id>" or "/call/<code>"; the caller has
  // checked the ID (9 digits, first not 0) or code (6 of A-Z 0-9). `web`: the join
  // socket came from the server's own page for browsers.
  void open_host(const LinkPtr& link, const std::string& id);
  void open_join(const LinkPtr& link, const std::string& id, bool web = false);
  void open_call(const LinkPtr& link, const std::string& code);
  // One text frame as received. Relayed signals are read without a document; anything
  // else goes through the parser and message(). Frames that are not one JSON object
  // with a string member "t", or nested deeper than kMaxDepth, are ignored.
  void receive(Link* link, std::string_view text);
  // One message: a JSON object with a string member "t".
  void message(Link* link, const Json& msg);
  // A "signal" message read by read_signal(); the same rules as through message().
  void signal(Link* link, const SignalView& view);
  // The socket is gone; called exactly once for every opened link.
  void closed(Link* link);

  // A message from another node, as the cluster received it.
  void node_message(std::string_view text);
  // `node` stopped holding its lease: its proxied sockets and its side of sessions and
  // rooms end here as if those sockets had closed.
  void node_gone(const std::string& node);
  // The nodes this one relays for, whose lease the cluster watches.
  std::vector<std::string> peer_nodes() const;
  // A host socket of this node, named by its holder, lost its ID to a registration
  // elsewhere; `replaced` as on one node.
  void replace_host(const std::string& id, const std::string& token);

  // Drops stale guard counters; the server calls it now and then.
  void sweep();
  // The ICE list handed out now.
  Json ice() const;

  size_t hosts() const;
  size_t sessions() const;
  size_t rooms() const;
  // For the metrics: what happened so far, and what is open now (walks the sessions and
  // rooms; called once per scrape, not per frame).
  const HubCounters& counters() const;
  HubGauges gauges() const;

 private:
  void on_signal(Conn& c, const SignalView& v);
  // A technician's or call member's first "join": served here, or routed to the node
  // that serves its host or room.
  void on_join(Conn& c, const Json& msg);
  void serve_here(Conn& c, const Json& msg);

  std::unique_ptr<Shared> own_shared_;  // one node
  std::unique_ptr<HubCore> core_;
  std::unique_ptr<SessionBroker> broker_;
  std::unique_ptr<CallRooms> rooms_;
  std::unique_ptr<NodeRouter> router_;  // none for one node
  std::vector<RawMember> scratch_;  // read_signal's, kept to spare an allocation per frame
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_HUB_H_
