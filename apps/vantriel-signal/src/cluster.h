// The other nodes of a deployment, as the hub sees them (redis_node.h). A node names a
// connection of its own to the others as "<node> <token>": the holder of a host ID,
// the owner of a proxied socket.
#ifndef VANTRIEL_SIGNAL_CLUSTER_H_
#define VANTRIEL_SIGNAL_CLUSTER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

  // What a call room needs to go on when its node dies: the node that keeps it writes
  // its members and host as they change; the node that takes the room over reads them
  // when the members come back (call_rooms.h). What a dead node kept expires by itself.
  struct KeptMember {
    std::string id;
    std::string name;
    std::string proof;   // hex SHA-1 of the member's secret; the secret itself is never kept
    uint64_t order = 0;  // of arrival in the room
    bool muted = false;
    bool talk = false;
  };
  struct KeptRoom {
    bool unavailable = false;  // the shared state cannot be reached
    std::string host;
    std::vector<KeptMember> members;  // in order of arrival; none: nothing is kept
  };
  virtual void load_room(const std::string& code, std::function<void(KeptRoom)> done) = 0;
  // Writes the member whole (a new one, or its changed state).
  virtual void keep_member(const std::string& code, const KeptMember& member) = 0;
  virtual void keep_host(const std::string& code, const std::string& host) = 0;
  virtual void forget_member(const std::string& code, const std::string& id) = 0;
  // The room is over: nothing of it is kept.
  virtual void forget_room(const std::string& code) = 0;

  // Hands a message (node_message.h) to `node`; messages to one node arrive in order.
  virtual void post(const std::string& node, std::string message) = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_CLUSTER_H_
