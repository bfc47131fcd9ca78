// The hub: who is registered under which ID, pending requests and sessions between a
// host and a technician, and call rooms. It knows nothing of sockets: the server hands
// it each connection as a Link and each parsed message, and it answers through Links.
// Single-threaded by contract: every method runs on the server's one I/O thread.
#ifndef VANTRIEL_SIGNAL_HUB_H_
#define VANTRIEL_SIGNAL_HUB_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "bindings.h"
#include "config.h"
#include "guard.h"
#include "ice.h"
#include "metrics.h"
#include "raw_json.h"
#include "shared.h"

namespace vantriel::signal {

using Json = nlohmann::ordered_json;

// One WebSocket connection as the hub sees it.
class Link {
 public:
  virtual ~Link() = default;
  // Queues one text frame. Frames queued before close() are still sent.
  virtual void send(std::string text) = 0;
  // Closes after the queued frames have gone. The server still calls Hub::closed.
  virtual void close() = 0;
  // The client's address as the limits count it.
  virtual const std::string& address() const = 0;
};
using LinkPtr = std::shared_ptr<Link>;

// Messages nested deeper than this (morvane::json_nesting_depth) are dropped before the
// parser sees them, so neither parsing nor relaying them can exhaust the stack.
inline constexpr int kMaxDepth = 32;

// What the hub needs from its surroundings.
class HubEnv {
 public:
  virtual ~HubEnv() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual int64_t unix_now() = 0;
  virtual void after(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  virtual void log(const std::string& line) = 0;
};

// The other nodes of a deployment, as the hub sees them (redis_node.h). A node names a
// connection of its own to the others as "<node> <token>": the holder of a host ID,
// the owner of a proxied socket.
class Cluster {
 public:
  virtual ~Cluster() = default;
  virtual const std::string& node() const = 0;
  struct Place {
    bool unavailable = false;  // the shared state cannot be reached
    std::string node;          // "" when no live node holds it
  };
  // The node whose host holds `id`.
  virtual void find_host(const std::string& id, std::function<void(Place)> done) = 0;
  // The node that keeps room `code`; with `create`, a code no live node keeps is claimed
  // for this one.
  virtual void find_room(const std::string& code, bool create,
                         std::function<void(Place)> done) = 0;
  // The host connection `holder` no longer holds `id` (when it still does).
  virtual void host_left(const std::string& id, const std::string& holder) = 0;
  virtual void room_opened(const std::string& code) = 0;
  virtual void room_closed(const std::string& code) = 0;
  // Hands a message (node_message.h) to `node`; messages to one node arrive in order.
  virtual void post(const std::string& node, std::string message) = 0;
};

class Hub {
 public:
  // One node: bindings in the store, the guard in memory.
  Hub(const Config& config, BindingStore& bindings, HubEnv& env);
  // A node of several: `shared` keeps bindings and counters, `cluster` reaches the other
  // nodes. Both outlive the hub.
  Hub(const Config& config, Shared& shared, Cluster& cluster, HubEnv& env);

  // A socket was opened on "/host/<id>", "/join/<id>" or "/call/<code>"; the caller has
  // checked the ID (9 digits, first not 0) or code (6 of A-Z 0-9).
  void open_host(const LinkPtr& link, const std::string& id);
  void open_join(const LinkPtr& link, const std::string& id);
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

  size_t hosts() const { return hosts_.size(); }
  size_t sessions() const { return sessions_.size(); }
  size_t rooms() const { return rooms_.size(); }
  // For the metrics: what happened so far, and what is open now (walks the sessions and
  // rooms; called once per scrape, not per frame).
  const HubCounters& counters() const { return counters_; }
  HubGauges gauges() const;

 private:
  enum class Kind { kHost, kJoin, kCall };
  struct Conn {
    Kind kind = Kind::kHost;
    LinkPtr link;
    std::string target;  // ID or room code
    bool started = false;  // "hello" or "join" seen
    std::string name;
    std::string name_json;  // call: `name` as a JSON string, for every relayed signal
    std::string sid;     // host: the request or session it is in; join: its own
    std::string member;  // call: own member id
    std::string token;   // names it to other nodes (with a cluster)
    bool registering = false;  // host: a hello is being checked
    std::string resume;  // host: the session its hello asks to take over from the ID's
                         // older connection
    // With a cluster: the first message is being routed (its node looked up); frames
    // arriving meanwhile wait in `pending`.
    bool resolving = false;
    std::vector<std::string> pending;
    std::string remote_node;     // proxied: every frame goes to this node, which serves it
    bool heard = false;          // proxied: the serving node has sent something
    bool remote_origin = false;  // the link is a socket of another node (RemoteLink)
  };
  struct Session {
    std::string sid;
    std::string id;
    Link* host = nullptr;
    Link* tech = nullptr;
    std::string tech_name;
    std::string tech_addr;
    bool accepted = false;
  };
  struct Room {
    std::string code;
    std::string host;                 // member id
    std::vector<Link*> members;       // in order of arrival
  };

  Conn& open(const LinkPtr& link, Kind kind, const std::string& target);
  std::string holder(const Conn& c) const;
  void send(Link* link, const Json& msg);
  void send_and_close(Link* link, const Json& msg);

  void on_hello(Conn& c, const Json& msg);
  void registered(const LinkPtr& link, const std::string& name, const Shared::Registration& r);
  void on_answer(Conn& c, const Json& msg);
  void on_signal(Conn& c, const SignalView& v);
  void on_host_signal(Conn& c, const SignalView& v);
  void on_host_bye(Conn& c, const Json& msg);
  void on_join(Conn& c, const Json& msg);
  void join_here(Conn& c, const Json& msg);
  void join_gated(const LinkPtr& link, const Json& msg, const Shared::JoinGate& g);
  // With a cluster: finds the node that serves the first message of `c` and proxies the
  // socket there, or serves it here.
  void route(Conn& c, const Json& msg);
  void proxy(Conn& c, const std::string& node, const Json& first);
  void on_tech_signal(Conn& c, const SignalView& v);
  void on_tech_leave(Conn& c, bool said_bye);
  void expire_request(const std::string& sid);
  // Forgets the session and frees its host, counting why it ended; the links stay as they
  // are.
  void drop_session(const std::string& sid, Ending why);
  void host_gone(Conn& c, const char* why);
  // Moves the accepted session of `old` to the new registration `c` of the same ID.
  void carry_session(Conn& old, Conn& c);

  void on_call_join(Conn& c, const Json& msg);
  void call_join_here(Conn& c, const Json& msg);
  void enter_room(Conn& c, const Json& msg);
  void on_call_signal(Conn& c, const SignalView& v);
  void on_call_state(Conn& c, const Json& msg);
  void on_kick(Conn& c, const Json& msg);
  void leave_room(Conn& c);

  Conn* conn(Link* link);
  Conn* member(Room& room, std::string_view member_id);

  Config config_;
  IceSettings ice_;
  HubEnv& env_;
  std::unique_ptr<Shared> own_shared_;  // one node
  Shared& shared_;
  Cluster* cluster_ = nullptr;  // none for one node
  uint64_t last_token_ = 0;
  std::unordered_map<std::string, Link*> proxied_;  // token -> socket served elsewhere
  std::unordered_map<std::string, LinkPtr> remote_;  // "<node> <token>" -> RemoteLink
  std::unordered_map<Link*, Conn> conns_;
  std::unordered_map<std::string, Link*> hosts_;  // ID -> registered host link
  std::unordered_map<std::string, Session> sessions_;
  std::unordered_map<std::string, Room> rooms_;
  std::vector<RawMember> scratch_;  // read_signal's, kept to spare an allocation per frame
  HubCounters counters_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_HUB_H_
