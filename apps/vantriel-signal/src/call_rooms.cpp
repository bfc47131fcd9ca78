#include "call_rooms.h"

#include <algorithm>

#include "crypto.h"

namespace vantriel::signal {
namespace {

constexpr size_t kMaxName = 64;  // bytes of a display name kept
constexpr size_t kRoomSize = 8;

}  // namespace

CallRooms::CallRooms(HubCore& core)
    : core_(core),
      env_(core.env()),
      shared_(core.shared()),
      cluster_(core.cluster()),
      counters_(core.counters()),
      conns_(core.conns()) {}

void CallRooms::gauge(HubGauges& g) const {
  g.rooms = rooms_.size();
  for (const auto& [code, room] : rooms_) g.call_members += room.members.size();
}

Conn* CallRooms::member(Room& room, std::string_view member_id) {
  for (Link* l : room.members) {
    Conn* m = conn(l);
    if (m != nullptr && m->member == member_id) return m;
  }
  return nullptr;
}

// Call joins pass the guard of support joins: a found room shows its members' names and
// then sends them their voice. The call socket has no "locked": every refusal is
// "notfound", whether the room exists or not, so guessing past a limit learns nothing.
// Guessed codes are not logged.
void CallRooms::call_join_here(Conn& c, const Json& msg) {
  LinkPtr hold = c.link;
  shared_.call_gate(hold->address(), [this, hold, msg](const Shared::CallGate& g) {
    Conn* gc = conn(hold.get());
    if (gc == nullptr) return;
    Link* link = hold.get();
    const std::string& addr = link->address();
    const Json notfound = {{"t", "notfound"}};
    // A code this node claimed for a room it then does not open is given back.
    auto release = [this](const std::string& code) {
      if (cluster_ != nullptr && rooms_.count(code) == 0) cluster_->room_closed(code);
    };
    if (g.unavailable) {
      env_.log("call join from " + addr + ": refused, shared state unreachable");
      counters_.refuse(Refusal::kCallUnavailable);
      link->close();
      return;
    }
    if (g.addr_locked) {
      env_.log("call join from " + addr + ": address locked");
      counters_.refuse(Refusal::kCallAddrLocked);
      if (flag(msg, "create")) release(gc->target);
      send_and_close(link, notfound);
      return;
    }
    if (!g.allowed) {
      env_.log("call join from " + addr + ": too many joins from address");
      counters_.refuse(Refusal::kCallRate);
      if (flag(msg, "create")) release(gc->target);
      send_and_close(link, notfound);
      return;
    }
    if (rooms_.count(gc->target) != 0) {
      enter_room(*gc, msg);
      return;
    }
    if (!flag(msg, "create")) {
      shared_.room_missed(addr, [this, hold, addr, notfound](int mins) {
        if (conns_.count(hold.get()) == 0) return;
        env_.log("call join from " + addr + ": no such room");
        counters_.refuse(Refusal::kCallNotFound);
        if (mins > 0) {
          counters_.lock(LockScope::kAddress);
          env_.log("address " + addr + " locked for " + std::to_string(mins) +
                   " min (call codes not found)");
        }
        send_and_close(hold.get(), notfound);
      });
      return;
    }
    // Opening is finding nothing too: without an allowance, "create" would probe
    // codes with no miss counted.
    shared_.allow_new_room(addr, [this, hold, msg, addr, notfound, release](bool allowed) {
      Conn* nc = conn(hold.get());
      if (nc == nullptr) return;
      if (!allowed) {
        env_.log("call join from " + addr + ": too many new rooms from address");
        counters_.refuse(Refusal::kCallNewRooms);
        release(nc->target);
        send_and_close(hold.get(), notfound);
        return;
      }
      if (rooms_.count(nc->target) == 0) {
        rooms_.emplace(nc->target, Room{nc->target, {}, {}});
        env_.log("room " + nc->target + " opened from " + addr);
        ++counters_.rooms_opened;
        if (cluster_ != nullptr) cluster_->room_opened(nc->target);
      }
      enter_room(*nc, msg);
    });
  });
}

void CallRooms::enter_room(Conn& c, const Json& msg) {
  Link* link = c.link.get();
  Room& room = rooms_.find(c.target)->second;
  if (room.members.size() >= kRoomSize) {
    counters_.refuse(Refusal::kCallFull);
    send_and_close(link, {{"t", "full"}});
    return;
  }
  c.name = text(msg, "name", kMaxName);
  c.name_json = dump(Json(c.name));
  do {
    c.member = random_hex(4);
  } while (member(room, c.member) != nullptr);
  if (room.members.empty()) room.host = c.member;
  Json peers = Json::array();
  for (Link* l : room.members) {
    Conn* m = conn(l);
    peers.push_back({{"id", m->member}, {"name", m->name}});
    send(l, {{"t", "peer-join"}, {"peer", {{"id", c.member}, {"name", c.name}}}});
  }
  room.members.push_back(link);
  ++counters_.call_joins;
  send(link, {{"t", "welcome"},
              {"id", c.member},
              {"host", room.host},
              {"iceServers", ice()},
              {"peers", std::move(peers)}});
}

void CallRooms::on_call_signal(Conn& c, const SignalView& v) {
  auto it = rooms_.find(c.target);
  if (c.member.empty() || it == rooms_.end()) return;
  Conn* target = v.to == c.member ? nullptr : member(it->second, v.to);
  if (target == nullptr) return;
  std::string frame;
  frame.reserve(v.data.size() + c.member.size() + c.name_json.size() + 40);
  frame += R"({"t":"signal","from":")";
  frame += c.member;  // ours (hex)
  frame += R"(","name":)";
  frame += c.name_json;
  frame += R"(,"data":)";
  frame += v.data;
  frame += '}';
  counters_.relayed(RelayKind::kCall, frame.size());
  target->link->send(std::move(frame));
}

void CallRooms::on_call_state(Conn& c, const Json& msg) {
  auto it = rooms_.find(c.target);
  if (c.member.empty() || it == rooms_.end()) return;
  const std::string frame =
      Json{{"t", "state"}, {"id", c.member}, {"talk", flag(msg, "talk")},
           {"muted", flag(msg, "muted")}}
          .dump();
  for (Link* l : it->second.members) {
    if (l == c.link.get()) continue;
    counters_.relayed(RelayKind::kCall, frame.size());
    l->send(frame);
  }
}

void CallRooms::on_kick(Conn& c, const Json& msg) {
  auto it = rooms_.find(c.target);
  if (c.member.empty() || it == rooms_.end() || it->second.host != c.member) return;
  const std::string who = text(msg, "id", 64);
  Conn* target = who == c.member ? nullptr : member(it->second, who);
  if (target == nullptr) return;
  env_.log("room " + c.target + ": member removed by the host");
  Link* l = target->link.get();
  send(l, {{"t", "kicked"}});
  leave_room(*target);
  l->close();
}

void CallRooms::leave_room(Conn& c) {
  auto it = rooms_.find(c.target);
  if (c.member.empty() || it == rooms_.end()) return;
  Room& room = it->second;
  room.members.erase(std::remove(room.members.begin(), room.members.end(), c.link.get()),
                     room.members.end());
  const std::string gone = c.member;
  c.member.clear();
  if (room.members.empty()) {
    env_.log("room " + c.target + " closed");
    rooms_.erase(it);
    if (cluster_ != nullptr) cluster_->room_closed(c.target);
    return;
  }
  if (room.host == gone) room.host = conn(room.members.front())->member;
  const std::string frame = Json{{"t", "peer-leave"}, {"id", gone}, {"host", room.host}}.dump();
  for (Link* l : room.members) l->send(frame);
}

}  // namespace vantriel::signal
