// Call rooms: up to eight members by room code, the first one to arrive their host, who
// may remove others. Part of the hub (hub.h); runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_CALL_ROOMS_H_
#define VANTRIEL_SIGNAL_CALL_ROOMS_H_

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hub_core.h"
#include "raw_json.h"

namespace vantriel::signal {

class CallRooms {
 public:
  explicit CallRooms(HubCore& core);

  // A call socket's "join", served by this node: the guard, then the room, opened with
  // "create".
  void call_join_here(Conn& c, const Json& msg);
  void on_call_signal(Conn& c, const SignalView& v);
  void on_call_state(Conn& c, const Json& msg);
  void on_kick(Conn& c, const Json& msg);
  // The member leaves its room (its socket closed, or it was removed); the last one
  // closes the room.
  void leave_room(Conn& c);

  size_t rooms() const { return rooms_.size(); }
  // Adds the open rooms and their members.
  void gauge(HubGauges& g) const;

 private:
  struct Room {
    std::string code;
    std::string host;                 // member id
    std::vector<Link*> members;       // in order of arrival
  };

  void enter_room(Conn& c, const Json& msg);
  Conn* member(Room& room, std::string_view member_id);

  Conn* conn(Link* link) { return core_.conn(link); }
  Json ice() const { return core_.ice(); }

  HubCore& core_;
  HubEnv& env_;
  Shared& shared_;
  Cluster* const cluster_;  // none for one node
  HubCounters& counters_;
  std::unordered_map<Link*, Conn>& conns_;
  std::unordered_map<std::string, Room> rooms_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_CALL_ROOMS_H_
