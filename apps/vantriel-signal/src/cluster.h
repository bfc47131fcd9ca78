// The other nodes of a deployment, as the hub sees them (redis_node.h). A node names a
// connection of its own to the others as "<node> <token>": the holder of a host ID,
// the owner of a proxied socket.
#ifndef VANTRIEL_SIGNAL_CLUSTER_H_
#define VANTRIEL_SIGNAL_CLUSTER_H_

#include <functional>
#include <string>

namespace vantriel::signal {

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

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_CLUSTER_H_
