// Routing between nodes: a technician's or call member's socket whose host or room
// another node serves is proxied there, frame by frame, and the sockets other nodes
// proxy here are served as RemoteLinks. Part of the hub (hub.h), made only with a
// cluster; runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_NODE_ROUTER_H_
#define VANTRIEL_SIGNAL_NODE_ROUTER_H_

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hub_core.h"

namespace vantriel::signal {

class NodeRouter {
 public:
  // What the router hands back to the hub, on the frames and sockets it routes.
  struct Callbacks {
    // The first message of a socket that this node serves.
    std::function<void(Conn& c, const Json& first)> serve_here;
    // A frame for a socket served here, as if it came from the socket.
    std::function<void(Link* link, std::string_view text)> receive;
    // A socket served here is gone.
    std::function<void(Link* link)> closed;
    // A host socket of this node lost its ID elsewhere.
    std::function<void(const std::string& id, const std::string& token)> replace_host;
  };
  // `core` has a cluster.
  NodeRouter(HubCore& core, Callbacks callbacks);

  // Takes a frame of a socket that waits for its route or is served elsewhere; false
  // when the hub handles it.
  bool forward(Conn& c, std::string_view text);
  // Finds the node that serves the first message of `c` and proxies the socket there,
  // or serves it here.
  void route(Conn& c, const Json& msg);
  // A socket of this node served elsewhere closed: that node ends what it was in.
  void proxied_closed(Conn& c);
  // A socket of another node served here is done with; its link is forgotten.
  void remote_closed(Conn& c);

  // As Hub::node_message, Hub::node_gone and Hub::peer_nodes.
  void node_message(std::string_view text);
  void node_gone(const std::string& node);
  std::vector<std::string> peer_nodes() const;

 private:
  using Kind = Conn::Kind;
  void proxy(Conn& c, const std::string& node, const Json& first);
  Conn* conn(Link* link) { return core_.conn(link); }

  HubCore& core_;
  HubEnv& env_;
  Cluster* const cluster_;
  std::unordered_map<Link*, Conn>& conns_;
  Callbacks callbacks_;
  std::unordered_map<std::string, Link*> proxied_;  // token -> socket served elsewhere
  std::unordered_map<std::string, LinkPtr> remote_;  // "<node> <token>" -> RemoteLink
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_NODE_ROUTER_H_
