#include "hub.h"

#include <algorithm>

#include "morvane/core/json_depth.h"
#include "crypto.h"

namespace vantriel::signal {
namespace {

constexpr size_t kMaxName = 64;     // bytes of a display name kept
constexpr size_t kMaxPass = 64;     // bytes of an offered access code relayed
constexpr size_t kMaxKey = 512;     // bytes of a host key
constexpr size_t kMaxReason = 32;   // bytes of a refusal reason relayed
constexpr size_t kRoomSize = 8;

// The member `name` if it is a string, cut to at most `max` bytes without splitting a
// UTF-8 sequence; else "".
std::string text(const Json& msg, const char* name, size_t max) {
  auto it = msg.find(name);
  if (it == msg.end() || !it->is_string()) return {};
  std::string s = it->get<std::string>();
  if (s.size() > max) {
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  return s;
}

bool flag(const Json& msg, const char* name) {
  auto it = msg.find(name);
  return it != msg.end() && it->is_boolean() && it->get<bool>();
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

Hub::Hub(const Config& config, BindingStore& bindings, HubEnv& env)
    : config_(config), bindings_(bindings), env_(env), guard_(config.policy) {
  ice_.stun = config.stun;
  ice_.turn = config.turn;
  ice_.turn_secret = config.turn_secret;
  ice_.turn_user = config.turn_user;
  ice_.turn_ttl = config.turn_ttl;
}

Json Hub::ice() const { return ice_servers(ice_, env_.unix_now()); }

void Hub::open(const LinkPtr& link, Kind kind, const std::string& target) {
  Conn c;
  c.kind = kind;
  c.link = link;
  c.target = target;
  conns_.emplace(link.get(), std::move(c));
}
void Hub::open_host(const LinkPtr& link, const std::string& id) { open(link, Kind::kHost, id); }
void Hub::open_join(const LinkPtr& link, const std::string& id) { open(link, Kind::kJoin, id); }
void Hub::open_call(const LinkPtr& link, const std::string& code) {
  open(link, Kind::kCall, code);
}

Hub::Conn* Hub::conn(Link* link) {
  auto it = conns_.find(link);
  return it == conns_.end() ? nullptr : &it->second;
}

void Hub::send(Link* link, const Json& msg) { link->send(dump(msg)); }

void Hub::send_and_close(Link* link, const Json& msg) {
  send(link, msg);
  link->close();
}

void Hub::receive(Link* link, std::string_view text) {
  const SignalView signal_view = read_signal(text, kMaxDepth, scratch_);
  if (signal_view.usable) {
    signal(link, signal_view);
    return;
  }
  if (morvane::json_nesting_depth(text) > kMaxDepth) return;
  const Json msg = Json::parse(text, nullptr, false);
  if (msg.is_discarded() || !msg.is_object()) return;
  auto t = msg.find("t");
  if (t != msg.end() && t->is_string()) message(link, msg);
}

void Hub::message(Link* link, const Json& msg) {
  Conn* c = conn(link);
  if (c == nullptr) return;
  const std::string& t = msg["t"].get_ref<const std::string&>();
  if (t == "ping") return;
  if (t == "signal") {
    // Written in a way the fast reader leaves to the parser (escapes, say): relay the
    // parsed form by the same rules.
    std::string data, sid = text(msg, "sid", 64), to = text(msg, "to", 64);
    SignalView v;
    v.usable = true;
    if (auto it = msg.find("data"); it != msg.end() && it->is_object()) data = dump(*it);
    v.data = data;
    v.sid = sid;
    v.to = to;
    on_signal(*c, v);
    return;
  }
  switch (c->kind) {
    case Kind::kHost:
      if (t == "hello") {
        on_hello(*c, msg);
      } else if (!c->started) {
        return;  // nothing counts before a valid hello
      } else if (t == "answer") {
        on_answer(*c, msg);
      } else if (t == "bye") {
        on_host_bye(*c, msg);
      }
      break;
    case Kind::kJoin:
      if (t == "join") {
        on_join(*c, msg);
      } else if (t == "bye" || t == "cancel") {
        on_tech_leave(*c, t == "bye");
      }
      break;
    case Kind::kCall:
      if (t == "join") {
        on_call_join(*c, msg);
      } else if (t == "state") {
        on_call_state(*c, msg);
      } else if (t == "kick") {
        on_kick(*c, msg);
      }
      break;
  }
}

void Hub::signal(Link* link, const SignalView& view) {
  if (Conn* c = conn(link)) on_signal(*c, view);
}

void Hub::on_signal(Conn& c, const SignalView& v) {
  if (v.data.empty()) return;  // only objects are relayed
  switch (c.kind) {
    case Kind::kHost:
      if (c.started) on_host_signal(c, v);
      break;
    case Kind::kJoin:
      on_tech_signal(c, v);
      break;
    case Kind::kCall:
      on_call_signal(c, v);
      break;
  }
}

void Hub::closed(Link* link) {
  Conn* c = conn(link);
  if (c == nullptr) return;
  switch (c->kind) {
    case Kind::kHost:
      host_gone(*c, "left");
      break;
    case Kind::kJoin:
      on_tech_leave(*c, true);
      break;
    case Kind::kCall:
      leave_room(*c);
      break;
  }
  conns_.erase(link);
}

void Hub::sweep() { guard_.sweep(env_.now()); }

// ---- host socket ----

void Hub::on_hello(Conn& c, const Json& msg) {
  if (c.started) return;
  const std::string key = text(msg, "key", kMaxKey + 1);
  if (key.empty() || key.size() > kMaxKey) return;  // a hello without a usable key waits
  Link* link = c.link.get();
  const std::string& id = c.target;
  const std::string& addr = link->address();
  switch (bindings_.check(id, key)) {
    case BindingStore::Check::kMismatch:
      env_.log("host " + id + " from " + addr + ": taken (another key)");
      send_and_close(link, {{"t", "taken"}});
      return;
    case BindingStore::Check::kNew:
      if (!guard_.allow_new_id(addr, env_.now())) {
        env_.log("host " + id + " from " + addr + ": refused, too many new IDs from address");
        link->close();
        return;
      }
      bindings_.bind(id, key, env_.unix_now());
      env_.log("host " + id + " from " + addr + ": new binding");
      break;
    case BindingStore::Check::kMatch:
      bindings_.touch(id, env_.unix_now());
      break;
  }
  c.started = true;
  c.name = text(msg, "name", kMaxName);
  if (auto it = hosts_.find(id); it != hosts_.end() && it->second != link) {
    Link* old = it->second;
    if (Conn* oc = conn(old)) {
      env_.log("host " + id + " replaced by a connection from " + addr);
      send(old, {{"t", "replaced"}});
      host_gone(*oc, "replaced");
      old->close();
    }
  }
  hosts_[id] = link;
  env_.log("host " + id + " from " + addr + ": ready");
  send(link, {{"t", "ready"}});
  if (int mins = guard_.id_lock_minutes(id, env_.now()); mins > 0) {
    send(link, {{"t", "locked"}, {"mins", mins}});
  }
}

// The host's connection ends or is taken over: end what it was in and unregister.
void Hub::host_gone(Conn& c, const char* why) {
  if (!c.started) return;
  c.started = false;
  if (!c.sid.empty()) {
    auto it = sessions_.find(c.sid);
    if (it != sessions_.end()) {
      env_.log("session " + c.sid + " on " + c.target + ": host " + why);
      Link* tech = it->second.tech;
      drop_session(c.sid);
      send_and_close(tech, {{"t", "ended"}, {"reason", "hostgone"}});
    }
    c.sid.clear();
  }
  auto it = hosts_.find(c.target);
  if (it != hosts_.end() && it->second == c.link.get()) {
    hosts_.erase(it);
    env_.log("host " + c.target + ": " + why);
  }
}

void Hub::on_answer(Conn& c, const Json& msg) {
  const std::string sid = text(msg, "sid", 64);
  auto it = sessions_.find(sid);
  if (sid.empty() || it == sessions_.end() || it->second.host != c.link.get() ||
      it->second.accepted) {
    return;
  }
  Session& s = it->second;
  Link* tech = s.tech;
  if (flag(msg, "ok")) {
    s.accepted = true;
    guard_.accepted(s.id);
    env_.log("session " + sid + " on " + s.id + ": accepted");
    send(tech, {{"t", "accepted"}, {"name", c.name}, {"iceServers", ice()}});
    return;
  }
  std::string reason = text(msg, "reason", kMaxReason);
  if (reason.empty()) reason = "denied";
  const std::string id = s.id, addr = s.tech_addr;
  drop_session(sid);
  if (reason != "badkey") {
    env_.log("session " + sid + " on " + id + ": denied (" + reason + ")");
    send_and_close(tech, {{"t", "denied"}, {"reason", reason}});
    return;
  }
  const Guard::Verdict v = guard_.wrong_code(id, addr, env_.now());
  env_.log("session " + sid + " on " + id + ": wrong code from " + addr);
  if (v.id_lock_minutes > 0) {
    env_.log("ID " + id + " locked for " + std::to_string(v.id_lock_minutes) + " min");
    send(c.link.get(), {{"t", "locked"}, {"mins", v.id_lock_minutes}});
  }
  if (v.addr_lock_minutes > 0) {
    env_.log("address " + addr + " locked for " + std::to_string(v.addr_lock_minutes) + " min");
  }
  Json reply = {{"t", "denied"}, {"reason", "badkey"}};
  if (v.id_lock_minutes > 0 || v.addr_lock_minutes > 0) {
    reply = {{"t", "locked"}, {"mins", std::max(v.id_lock_minutes, v.addr_lock_minutes)}};
  }
  // The refusal waits so that guessing one code after another is slow; the link is
  // held by the task so the frame still goes if nothing else closes it meanwhile.
  auto tech_conn = conns_.find(tech);
  if (tech_conn == conns_.end()) return;
  LinkPtr hold = tech_conn->second.link;
  env_.after(v.delay, [this, hold, reply] {
    if (conns_.count(hold.get()) != 0) send_and_close(hold.get(), reply);
  });
}

// Relayed signals are spliced, not re-written: "data" reaches the peer byte for byte.
void Hub::on_host_signal(Conn& c, const SignalView& v) {
  if (c.sid.empty() || v.sid != c.sid) return;
  auto it = sessions_.find(c.sid);
  if (it == sessions_.end() || !it->second.accepted) return;
  std::string frame;
  frame.reserve(v.data.size() + 24);
  frame += R"({"t":"signal","data":)";
  frame += v.data;
  frame += '}';
  it->second.tech->send(std::move(frame));
}

void Hub::on_host_bye(Conn& c, const Json& msg) {
  const std::string sid = text(msg, "sid", 64);
  if (sid.empty() || sid != c.sid) return;
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return;
  Link* tech = it->second.tech;
  env_.log("session " + sid + " on " + c.target + ": ended by the host");
  drop_session(sid);
  send_and_close(tech, {{"t", "ended"}, {"reason", "bye"}});
}

void Hub::drop_session(const std::string& sid) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return;
  if (Conn* h = conn(it->second.host); h != nullptr && h->sid == sid) h->sid.clear();
  if (Conn* t = conn(it->second.tech); t != nullptr && t->sid == sid) t->sid.clear();
  sessions_.erase(it);
}

// ---- join socket ----

void Hub::on_join(Conn& c, const Json& msg) {
  if (c.started) return;
  c.started = true;
  Link* link = c.link.get();
  const std::string& id = c.target;
  const std::string& addr = link->address();
  const auto now = env_.now();
  if (int mins = guard_.addr_lock_minutes(addr, now); mins > 0) {
    env_.log("join " + id + " from " + addr + ": address locked");
    send_and_close(link, {{"t", "locked"}, {"mins", mins}});
    return;
  }
  if (!guard_.allow_join(addr, now)) {
    env_.log("join " + id + " from " + addr + ": too many joins from address");
    send_and_close(link, {{"t", "locked"}, {"mins", 1}});
    return;
  }
  if (int mins = guard_.id_lock_minutes(id, now); mins > 0) {
    env_.log("join " + id + " from " + addr + ": ID locked");
    send_and_close(link, {{"t", "locked"}, {"mins", mins}});
    return;
  }
  auto host_it = hosts_.find(id);
  if (host_it == hosts_.end()) {
    env_.log("join " + id + " from " + addr + ": offline");
    send_and_close(link, {{"t", "offline"}});
    return;
  }
  Conn* host = conn(host_it->second);
  if (host == nullptr || !host->sid.empty() || guard_.held(id, addr, now)) {
    env_.log("join " + id + " from " + addr + ": busy");
    send_and_close(link, {{"t", "busy"}});
    return;
  }
  Session s;
  s.sid = random_hex(8);
  s.id = id;
  s.host = host_it->second;
  s.tech = link;
  s.tech_name = text(msg, "name", kMaxName);
  s.tech_addr = addr;
  c.sid = s.sid;
  host->sid = s.sid;
  const std::string sid = s.sid;
  env_.log("join " + id + " from " + addr + ": request " + sid);
  send(s.host, {{"t", "req"},
                {"sid", sid},
                {"name", s.tech_name},
                {"pass", text(msg, "pass", kMaxPass)},
                {"iceServers", ice()}});
  sessions_.emplace(sid, std::move(s));
  send(link, {{"t", "waiting"}, {"timeout", config_.policy.request_timeout}});
  env_.after(std::chrono::seconds(config_.policy.request_timeout),
             [this, sid] { expire_request(sid); });
}

void Hub::expire_request(const std::string& sid) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end() || it->second.accepted) return;
  Link* host = it->second.host;
  Link* tech = it->second.tech;
  env_.log("session " + sid + " on " + it->second.id + ": no answer, withdrawn");
  drop_session(sid);
  send(host, {{"t", "cancel"}, {"sid", sid}});
  send_and_close(tech, {{"t", "denied"}, {"reason", "timeout"}});
}

void Hub::on_tech_signal(Conn& c, const SignalView& v) {
  if (c.sid.empty()) return;
  auto it = sessions_.find(c.sid);
  if (it == sessions_.end() || !it->second.accepted) return;
  // The sid is ours (hex), so it needs no escaping.
  std::string frame;
  frame.reserve(v.data.size() + c.sid.size() + 32);
  frame += R"({"t":"signal","sid":")";
  frame += c.sid;
  frame += R"(","data":)";
  frame += v.data;
  frame += '}';
  it->second.host->send(std::move(frame));
}

// The technician gave up ("cancel"), ended ("bye") or its socket closed.
void Hub::on_tech_leave(Conn& c, bool said_bye) {
  if (c.sid.empty()) return;
  auto it = sessions_.find(c.sid);
  if (it == sessions_.end()) return;
  const std::string sid = c.sid;
  const bool accepted = it->second.accepted;
  Link* host = it->second.host;
  env_.log("session " + sid + " on " + c.target + ": technician left");
  drop_session(sid);
  const char* t = accepted && said_bye ? "left" : "cancel";
  send(host, {{"t", t}, {"sid", sid}});
  c.link->close();
}

// ---- call rooms ----

Hub::Conn* Hub::member(Room& room, std::string_view member_id) {
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
void Hub::on_call_join(Conn& c, const Json& msg) {
  if (c.started) return;
  c.started = true;
  Link* link = c.link.get();
  const std::string& addr = link->address();
  const auto now = env_.now();
  const Json notfound = {{"t", "notfound"}};
  if (guard_.addr_lock_minutes(addr, now) > 0) {
    env_.log("call join from " + addr + ": address locked");
    send_and_close(link, notfound);
    return;
  }
  if (!guard_.allow_join(addr, now)) {
    env_.log("call join from " + addr + ": too many joins from address");
    send_and_close(link, notfound);
    return;
  }
  auto it = rooms_.find(c.target);
  if (it == rooms_.end()) {
    if (!flag(msg, "create")) {
      env_.log("call join from " + addr + ": no such room");
      if (int mins = guard_.room_missed(addr, now); mins > 0) {
        env_.log("address " + addr + " locked for " + std::to_string(mins) +
                 " min (call codes not found)");
      }
      send_and_close(link, notfound);
      return;
    }
    // Opening is finding nothing too: without an allowance, "create" would probe
    // codes with no miss counted.
    if (!guard_.allow_new_room(addr, now)) {
      env_.log("call join from " + addr + ": too many new rooms from address");
      send_and_close(link, notfound);
      return;
    }
    it = rooms_.emplace(c.target, Room{c.target, {}, {}}).first;
    env_.log("room " + c.target + " opened from " + addr);
  }
  Room& room = it->second;
  if (room.members.size() >= kRoomSize) {
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
  send(link, {{"t", "welcome"},
              {"id", c.member},
              {"host", room.host},
              {"iceServers", ice()},
              {"peers", std::move(peers)}});
}

void Hub::on_call_signal(Conn& c, const SignalView& v) {
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
  target->link->send(std::move(frame));
}

void Hub::on_call_state(Conn& c, const Json& msg) {
  auto it = rooms_.find(c.target);
  if (c.member.empty() || it == rooms_.end()) return;
  const std::string frame =
      Json{{"t", "state"}, {"id", c.member}, {"talk", flag(msg, "talk")},
           {"muted", flag(msg, "muted")}}
          .dump();
  for (Link* l : it->second.members) {
    if (l != c.link.get()) l->send(frame);
  }
}

void Hub::on_kick(Conn& c, const Json& msg) {
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

void Hub::leave_room(Conn& c) {
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
    return;
  }
  if (room.host == gone) room.host = conn(room.members.front())->member;
  const std::string frame = Json{{"t", "peer-leave"}, {"id", gone}, {"host", room.host}}.dump();
  for (Link* l : room.members) l->send(frame);
}

}  // namespace vantriel::signal
