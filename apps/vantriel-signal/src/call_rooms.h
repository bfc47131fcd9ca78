// Call rooms: up to eight members by room code, the first one to arrive their host, who
// may remove others. Part of the hub (hub.h); runs on the I/O thread only.
//
// A member proves it is the same member coming back with the secret its welcome handed
// it: a later "join" carrying {"id", "secret"} takes that member's place (same id, name,
// host role and state), and a place is never given for the room code alone: a wrong or
// missing secret joins as a new member. Only a hash of the secret is kept, here and in
// Redis.
//
// With several nodes, the node that keeps a room writes its members and host through the
// Cluster as they change. When that node dies its members reconnect through any node;
// the first one to come back has its node take the room over from what was kept, with
// every member away until they too come back. A member whose own node died while the
// room's node lives is away in the same way. Away members hold their places for
// kAwayGrace, then leave as if they had closed their sockets, so members that never come
// back do not keep a room full. One node alone keeps nothing outside its memory.
#ifndef VANTRIEL_SIGNAL_CALL_ROOMS_H_
#define VANTRIEL_SIGNAL_CALL_ROOMS_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hub_core.h"
#include "raw_json.h"

namespace vantriel::signal {

// How long a member lost with a node keeps its place in the room.
inline constexpr std::chrono::milliseconds kAwayGrace{60000};

class CallRooms {
 public:
  explicit CallRooms(HubCore& core);

  // A call socket's "join", served by this node: the guard, then the room, opened with
  // "create".
  void call_join_here(Conn& c, const Json& msg);
  void on_call_signal(Conn& c, const SignalView& v);
  void on_call_state(Conn& c, const Json& msg);
  void on_kick(Conn& c, const Json& msg);
  // The member's socket is gone: it leaves its room, or with `c.lost` stays away for
  // kAwayGrace. The last member to leave closes the room.
  void leave_room(Conn& c);

  size_t rooms() const { return rooms_.size(); }
  // Adds the open rooms and their members.
  void gauge(HubGauges& g) const;

 private:
  struct Member {
    std::string id;
    std::string name;
    std::string proof;  // hex SHA-1 of its secret
    uint64_t order = 0;
    bool muted = false;
    bool talk = false;
    Link* link = nullptr;  // none: away, expected back
    uint64_t away = 0;     // counts its absences; a grace timer ends only the one it began in
  };
  struct Room {
    std::string code;
    std::string host;              // member id
    std::vector<Member> members;   // in order of arrival
    uint64_t next_order = 0;
  };

  // Opens the room, or answers "notfound", as the join and the guard decide.
  void open_or_miss(const LinkPtr& hold, const Json& msg);
  // The room's node died: the room goes on here from what was kept.
  void take_over(const std::string& code, const Cluster::KeptRoom& kept);
  void enter_room(Conn& c, const Json& msg);
  // Sends the welcome to `m`, which has just entered or come back.
  void welcome(Room& room, const Member& m, const std::string& secret);
  Member* find(Room& room, std::string_view member_id);
  // The member's socket, when it is present.
  Conn* member(Room& room, std::string_view member_id);
  void away(Room& room, Member& m);
  // Removes the member (kept no more) and tells the others; closes an empty room. The
  // room may be gone on return.
  void remove(Room& room, const std::string& id);
  void keep(const Room& room, const Member& m);

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
