#include "call_rooms.h"

#include <algorithm>

#include "crypto.h"

namespace vantriel::signal {
namespace {

constexpr size_t kMaxName = 64;  // bytes of a display name kept
constexpr size_t kRoomSize = 8;
constexpr size_t kSecretBytes = 16;

std::string proof_of(const std::string& secret) { return hex_encode(as_bytes(sha1(secret))); }

Json described(const std::string& id, const std::string& name, bool muted, bool talk) {
  return {{"id", id}, {"name", name}, {"muted", muted}, {"talk", talk}};
}

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
  for (const auto& [code, room] : rooms_) {
    for (const Member& m : room.members) g.call_members += m.link != nullptr ? 1 : 0;
  }
}

CallRooms::Member* CallRooms::find(Room& room, std::string_view member_id) {
  for (Member& m : room.members) {
    if (m.id == member_id) return &m;
  }
  return nullptr;
}

Conn* CallRooms::member(Room& room, std::string_view member_id) {
  Member* m = find(room, member_id);
  return m != nullptr && m->link != nullptr ? conn(m->link) : nullptr;
}

void CallRooms::keep(const Room& room, const Member& m) {
  if (cluster_ == nullptr) return;
  cluster_->keep_member(room.code,
                        Cluster::KeptMember{m.id, m.name, m.proof, m.order, m.muted, m.talk});
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
    if (cluster_ == nullptr) {
      open_or_miss(hold, msg);
      return;
    }
    // Not open here: a room whose node died may be kept, to be taken over.
    const std::string code = gc->target;
    cluster_->load_room(code, [this, hold, msg, code](const Cluster::KeptRoom& kept) {
      if (kept.unavailable) {
        if (conns_.count(hold.get()) == 0) return;
        env_.log("call join from " + hold->address() + ": refused, shared state unreachable");
        counters_.refuse(Refusal::kCallUnavailable);
        hold->close();
        return;
      }
      // Taken over even when the joiner is gone meanwhile: the claim is this node's now,
      // and the others come back here.
      if (rooms_.count(code) == 0 && !kept.members.empty()) take_over(code, kept);
      Conn* lc = conn(hold.get());
      if (lc == nullptr) return;
      if (rooms_.count(code) != 0) {
        enter_room(*lc, msg);
      } else {
        open_or_miss(hold, msg);
      }
    });
  });
}

void CallRooms::open_or_miss(const LinkPtr& hold, const Json& msg) {
  const std::string addr = hold->address();
  const Json notfound = {{"t", "notfound"}};
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
  shared_.allow_new_room(addr, [this, hold, msg, addr, notfound](bool allowed) {
    Conn* nc = conn(hold.get());
    if (nc == nullptr) return;
    if (!allowed) {
      env_.log("call join from " + addr + ": too many new rooms from address");
      counters_.refuse(Refusal::kCallNewRooms);
      if (cluster_ != nullptr && rooms_.count(nc->target) == 0) cluster_->room_closed(nc->target);
      send_and_close(hold.get(), notfound);
      return;
    }
    if (rooms_.count(nc->target) == 0) {
      rooms_.emplace(nc->target, Room{nc->target, {}, {}, 0});
      env_.log("room " + nc->target + " opened from " + addr);
      ++counters_.rooms_opened;
      if (cluster_ != nullptr) cluster_->room_opened(nc->target);
    }
    enter_room(*nc, msg);
  });
}

void CallRooms::take_over(const std::string& code, const Cluster::KeptRoom& kept) {
  Room fresh{code, kept.host, {}, 0};
  for (const Cluster::KeptMember& k : kept.members) {
    if (k.id.empty() || find(fresh, k.id) != nullptr) continue;
    Member m;
    m.id = k.id;
    m.name = k.name;
    m.proof = k.proof;
    m.order = k.order;
    m.muted = k.muted;
    m.talk = k.talk;
    fresh.next_order = std::max(fresh.next_order, k.order + 1);
    fresh.members.push_back(std::move(m));
  }
  if (fresh.members.empty()) return;
  if (find(fresh, fresh.host) == nullptr) fresh.host = fresh.members.front().id;
  Room& room = rooms_.emplace(code, std::move(fresh)).first->second;
  env_.log("room " + code + " taken over with " + std::to_string(room.members.size()) +
           " members kept from its node");
  cluster_->room_opened(code);
  for (Member& m : room.members) away(room, m);
}

void CallRooms::away(Room& room, Member& m) {
  m.link = nullptr;
  const uint64_t absence = ++m.away;
  env_.after(kAwayGrace, [this, code = room.code, id = m.id, absence] {
    auto it = rooms_.find(code);
    if (it == rooms_.end()) return;
    Member* gone = find(it->second, id);
    if (gone == nullptr || gone->link != nullptr || gone->away != absence) return;
    env_.log("room " + code + ": a member did not come back");
    remove(it->second, id);
  });
}

void CallRooms::enter_room(Conn& c, const Json& msg) {
  Link* link = c.link.get();
  Room& room = rooms_.find(c.target)->second;
  const std::string claimed = text(msg, "id", 64);
  const std::string secret = text(msg, "secret", 64);
  if (!claimed.empty()) {
    Member* back = find(room, claimed);
    if (back != nullptr && !secret.empty() && constant_time_equal(back->proof, proof_of(secret))) {
      // Its old socket may not be known to be gone yet: the new one takes its place.
      if (back->link != nullptr && back->link != link) {
        Link* old = back->link;
        if (Conn* oc = conn(old)) oc->extra().member.clear();
        old->close();
      }
      back->link = link;
      ++back->away;
      c.name = back->name;
      c.extra().member = back->id;
      c.extra().name_json = dump(Json(c.name));
      const Json joined = {{"t", "peer-join"},
                           {"peer", described(back->id, back->name, back->muted, back->talk)}};
      for (const Member& o : room.members) {
        if (o.link != nullptr && o.link != link) send(o.link, joined);
      }
      ++counters_.call_joins;
      welcome(room, *back, secret);
      return;
    }
    // Knowing the room code and a member's id is not being that member.
    env_.log("room " + room.code + ": a rejoin without its member's secret joins as new");
  }
  if (room.members.size() >= kRoomSize) {
    counters_.refuse(Refusal::kCallFull);
    send_and_close(link, {{"t", "full"}});
    return;
  }
  Member m;
  m.name = text(msg, "name", kMaxName);
  do {
    m.id = random_hex(4);
  } while (find(room, m.id) != nullptr);
  const std::string own_secret = random_hex(kSecretBytes);
  m.proof = proof_of(own_secret);
  m.order = room.next_order++;
  m.link = link;
  c.name = m.name;
  c.extra().name_json = dump(Json(c.name));
  c.extra().member = m.id;
  const bool first = room.members.empty();
  if (first) room.host = m.id;
  const Json joined = {{"t", "peer-join"}, {"peer", described(m.id, m.name, false, false)}};
  for (const Member& o : room.members) {
    if (o.link != nullptr) send(o.link, joined);
  }
  room.members.push_back(std::move(m));
  const Member& added = room.members.back();
  keep(room, added);
  if (first && cluster_ != nullptr) cluster_->keep_host(room.code, room.host);
  ++counters_.call_joins;
  welcome(room, added, own_secret);
}

// The secret goes to the member alone, here; the others never see it.
void CallRooms::welcome(Room& room, const Member& m, const std::string& secret) {
  Json peers = Json::array(), away = Json::array();
  for (const Member& o : room.members) {
    if (o.id == m.id) continue;
    (o.link != nullptr ? peers : away).push_back(described(o.id, o.name, o.muted, o.talk));
  }
  send(m.link, {{"t", "welcome"},
                {"id", m.id},
                {"host", room.host},
                {"iceServers", ice()},
                {"peers", std::move(peers)},
                {"away", std::move(away)},
                {"secret", secret}});
}

void CallRooms::on_call_signal(Conn& c, const SignalView& v) {
  auto it = rooms_.find(c.target);
  const std::string& own = c.member();
  if (own.empty() || it == rooms_.end()) return;
  Conn* target = v.to == own ? nullptr : member(it->second, v.to);
  if (target == nullptr) return;
  std::string frame;
  frame.reserve(v.data.size() + own.size() + c.name_json().size() + 40);
  frame += R"({"t":"signal","from":")";
  frame += own;  // ours (hex)
  frame += R"(","name":)";
  frame += c.name_json();
  frame += R"(,"data":)";
  frame += v.data;
  frame += '}';
  counters_.relayed(RelayKind::kCall, frame.size());
  target->link->send(std::move(frame));
}

void CallRooms::on_call_state(Conn& c, const Json& msg) {
  auto it = rooms_.find(c.target);
  if (c.member().empty() || it == rooms_.end()) return;
  Room& room = it->second;
  const bool talk = flag(msg, "talk"), muted = flag(msg, "muted");
  if (Member* m = find(room, c.member()); m != nullptr && (m->talk != talk || m->muted != muted)) {
    m->talk = talk;
    m->muted = muted;
    keep(room, *m);
  }
  const std::string frame =
      Json{{"t", "state"}, {"id", c.member()}, {"talk", talk}, {"muted", muted}}.dump();
  for (const Member& o : room.members) {
    if (o.link == nullptr || o.link == c.link.get()) continue;
    counters_.relayed(RelayKind::kCall, frame.size());
    o.link->send(frame);
  }
}

// The host may remove an away member too: its place is freed at once.
void CallRooms::on_kick(Conn& c, const Json& msg) {
  auto it = rooms_.find(c.target);
  if (c.member().empty() || it == rooms_.end() || it->second.host != c.member()) return;
  const std::string who = text(msg, "id", 64);
  Member* target = who == c.member() ? nullptr : find(it->second, who);
  if (target == nullptr) return;
  env_.log("room " + c.target + ": member removed by the host");
  if (Link* l = target->link) {
    send(l, {{"t", "kicked"}});
    if (Conn* tc = conn(l)) tc->extra().member.clear();
    l->close();
  }
  remove(it->second, who);
}

void CallRooms::leave_room(Conn& c) {
  auto it = rooms_.find(c.target);
  if (c.member().empty() || it == rooms_.end()) return;
  Room& room = it->second;
  const std::string gone = c.member();
  c.extra().member.clear();
  Member* m = find(room, gone);
  if (m == nullptr || m->link != c.link.get()) return;
  if (c.lost && cluster_ != nullptr) {
    env_.log("room " + room.code + ": a member lost with its node is away");
    away(room, *m);
    return;
  }
  remove(room, gone);
}

void CallRooms::remove(Room& room, const std::string& id) {
  auto pos = std::find_if(room.members.begin(), room.members.end(),
                          [&id](const Member& m) { return m.id == id; });
  if (pos == room.members.end()) return;
  room.members.erase(pos);
  if (room.members.empty()) {
    const std::string code = room.code;
    env_.log("room " + code + " closed");
    rooms_.erase(code);
    if (cluster_ != nullptr) {
      cluster_->forget_room(code);
      cluster_->room_closed(code);
    }
    return;
  }
  if (cluster_ != nullptr) cluster_->forget_member(room.code, id);
  if (room.host == id) {
    // The oldest member present, or else the oldest away.
    auto next = std::find_if(room.members.begin(), room.members.end(),
                             [](const Member& m) { return m.link != nullptr; });
    room.host = (next != room.members.end() ? *next : room.members.front()).id;
    if (cluster_ != nullptr) cluster_->keep_host(room.code, room.host);
  }
  const std::string frame = Json{{"t", "peer-leave"}, {"id", id}, {"host", room.host}}.dump();
  for (const Member& o : room.members) {
    if (o.link != nullptr) o.link->send(frame);
  }
}

}  // namespace vantriel::signal
