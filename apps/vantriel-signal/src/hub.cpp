#include "hub.h"

#include <algorithm>

#include "morvane/core/json_depth.h"
#include "crypto.h"
#include "node_message.h"

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

// A socket of another node, served here: what the hub sends it goes to that node, which
// writes it to the socket. Closed once; the hub hears of the socket's end from that
// node ('x') or when the node's lease lapses.
class RemoteLink : public Link {
 public:
  RemoteLink(Cluster& cluster, std::string node, std::string token, std::string address)
      : cluster_(cluster),
        node_(std::move(node)),
        token_(std::move(token)),
        address_(std::move(address)) {}
  void send(std::string text) override {
    if (!closed_) cluster_.post(node_, make_node_message('s', cluster_.node(), token_, {}, text));
  }
  void close() override {
    if (closed_) return;
    closed_ = true;
    cluster_.post(node_, make_node_message('c', cluster_.node(), token_));
  }
  const std::string& address() const override { return address_; }
  const std::string& node() const { return node_; }

 private:
  Cluster& cluster_;
  std::string node_;
  std::string token_;
  std::string address_;
  bool closed_ = false;
};

void set_ice(IceSettings& ice, const Config& config) {
  ice.stun = config.stun;
  ice.turn = config.turn;
  ice.turn_secret = config.turn_secret;
  ice.turn_user = config.turn_user;
  ice.turn_ttl = config.turn_ttl;
}

}  // namespace

Hub::Hub(const Config& config, BindingStore& bindings, HubEnv& env)
    : config_(config),
      env_(env),
      own_shared_(std::make_unique<LocalShared>(config.policy, bindings, env)),
      shared_(*own_shared_) {
  set_ice(ice_, config);
}

Hub::Hub(const Config& config, Shared& shared, Cluster& cluster, HubEnv& env)
    : config_(config), env_(env), shared_(shared), cluster_(&cluster) {
  set_ice(ice_, config);
}

Json Hub::ice() const { return ice_servers(ice_, env_.unix_now()); }

Hub::Conn& Hub::open(const LinkPtr& link, Kind kind, const std::string& target) {
  Conn c;
  c.kind = kind;
  c.link = link;
  c.target = target;
  if (cluster_ != nullptr) c.token = std::to_string(++last_token_);
  return conns_.insert_or_assign(link.get(), std::move(c)).first->second;
}

std::string Hub::holder(const Conn& c) const {
  return cluster_ == nullptr ? std::string() : cluster_->node() + " " + c.token;
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
  if (cluster_ != nullptr) {
    Conn* c = conn(link);
    if (c != nullptr && c->resolving) {
      c->pending.emplace_back(text);
      return;
    }
    if (c != nullptr && !c->remote_node.empty()) {
      cluster_->post(c->remote_node, make_node_message('m', cluster_->node(), c->token, {}, text));
      return;
    }
  }
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
  if (!c->remote_node.empty()) {  // served elsewhere: that node ends what it was in
    cluster_->post(c->remote_node, make_node_message('x', cluster_->node(), c->token));
    proxied_.erase(c->token);
    conns_.erase(link);
    return;
  }
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
  if (c->remote_origin) {
    auto* remote = static_cast<RemoteLink*>(link);
    remote_.erase(remote->node() + " " + c->token);  // may free the link: last
    conns_.erase(link);
    return;
  }
  conns_.erase(link);
}

void Hub::sweep() { shared_.sweep(); }

HubGauges Hub::gauges() const {
  HubGauges g;
  g.hosts = hosts_.size();
  for (const auto& [sid, s] : sessions_) ++(s.accepted ? g.sessions_open : g.requests_pending);
  g.rooms = rooms_.size();
  for (const auto& [code, room] : rooms_) g.call_members += room.members.size();
  return g;
}

// ---- other nodes ----

void Hub::node_message(std::string_view text) {
  NodeMessage m;
  if (cluster_ == nullptr || !parse_node_message(text, m)) return;
  const std::string token(m.token);
  switch (m.type) {
    case 'o': {  // a socket of m.from, served here
      if (m.args.size() < 3) return;
      const Kind kind = m.args[0] == "c" ? Kind::kCall : Kind::kJoin;
      const std::string key = std::string(m.from) + " " + token;
      if (remote_.count(key) != 0) return;
      auto link = std::make_shared<RemoteLink>(*cluster_, std::string(m.from), token,
                                               std::string(m.args[2]));
      remote_[key] = link;
      Conn& c = open(link, kind, std::string(m.args[1]));
      c.token = token;  // as its node names it
      c.remote_origin = true;
      return;
    }
    case 'm':
    case 'x': {
      auto it = remote_.find(std::string(m.from) + " " + token);
      if (it == remote_.end()) return;
      LinkPtr hold = it->second;
      if (m.type == 'm') {
        receive(hold.get(), m.payload);
      } else {
        closed(hold.get());
      }
      return;
    }
    case 's':
    case 'c': {
      auto it = proxied_.find(token);
      if (it == proxied_.end()) return;
      Conn* c = conn(it->second);
      if (c == nullptr || c->remote_node != m.from) return;
      if (m.type == 's') {
        c->heard = true;
        it->second->send(std::string(m.payload));
      } else {
        it->second->close();
      }
      return;
    }
    case 'r':
      if (!m.args.empty()) replace_host(std::string(m.args[0]), token);
      return;
    default:
      return;
  }
}

void Hub::replace_host(const std::string& id, const std::string& token) {
  auto it = hosts_.find(id);
  if (it == hosts_.end()) return;
  Link* old = it->second;
  Conn* oc = conn(old);
  if (oc == nullptr || oc->token != token) return;
  env_.log("host " + id + " replaced by a connection to another node");
  send(old, {{"t", "replaced"}});
  host_gone(*oc, "replaced");
  old->close();
}

void Hub::node_gone(const std::string& node) {
  std::vector<LinkPtr> proxied, remote;
  for (auto& [link, c] : conns_) {
    if (c.remote_node == node) proxied.push_back(c.link);
  }
  for (auto& [key, link] : remote_) {
    if (static_cast<RemoteLink*>(link.get())->node() == node) remote.push_back(link);
  }
  if (proxied.empty() && remote.empty()) return;
  env_.log("node " + node + " is gone: " + std::to_string(proxied.size()) +
           " sockets served there and " + std::to_string(remote.size()) +
           " of its sockets served here end");
  for (auto& link : proxied) {
    Conn* c = conn(link.get());
    if (c == nullptr) continue;
    // A technician whose request or session lived there: its host is gone with it.
    if (c->kind == Kind::kJoin && c->heard) send(link.get(), {{"t", "ended"}, {"reason", "hostgone"}});
    link->close();
  }
  for (auto& link : remote) closed(link.get());
}

std::vector<std::string> Hub::peer_nodes() const {
  std::vector<std::string> out;
  auto add = [&out](const std::string& node) {
    if (std::find(out.begin(), out.end(), node) == out.end()) out.push_back(node);
  };
  for (auto& [token, link] : proxied_) {
    auto it = conns_.find(link);
    if (it != conns_.end()) add(it->second.remote_node);
  }
  for (auto& [key, link] : remote_) add(static_cast<RemoteLink*>(link.get())->node());
  return out;
}

void Hub::route(Conn& c, const Json& msg) {
  c.resolving = true;
  LinkPtr hold = c.link;
  auto go = [this, hold, msg](const Cluster::Place& place) {
    Conn* rc = conn(hold.get());
    if (rc == nullptr) return;
    rc->resolving = false;
    std::vector<std::string> pending = std::move(rc->pending);
    rc->pending.clear();
    if (place.unavailable) {
      env_.log(std::string(rc->kind == Kind::kJoin ? "join " + rc->target : "call join") +
               " from " + hold->address() + ": refused, shared state unreachable");
      hold->close();
      return;
    }
    if (!place.node.empty() && place.node != cluster_->node()) {
      proxy(*rc, place.node, msg);
      for (auto& text : pending) {
        cluster_->post(place.node, make_node_message('m', cluster_->node(), rc->token, {}, text));
      }
      return;
    }
    if (rc->kind == Kind::kJoin) {
      join_here(*rc, msg);
    } else {
      call_join_here(*rc, msg);
    }
    for (auto& text : pending) receive(hold.get(), text);
  };
  if (c.kind == Kind::kJoin) {
    cluster_->find_host(c.target, go);
  } else {
    cluster_->find_room(c.target, flag(msg, "create"), go);
  }
}

void Hub::proxy(Conn& c, const std::string& node, const Json& first) {
  c.remote_node = node;
  proxied_[c.token] = c.link.get();
  const std::string& self = cluster_->node();
  cluster_->post(node, make_node_message('o', self, c.token,
                                    {c.kind == Kind::kCall ? "c" : "j", c.target,
                                     c.link->address()}));
  cluster_->post(node, make_node_message('m', self, c.token, {}, dump(first)));
}

// ---- host socket ----

void Hub::on_hello(Conn& c, const Json& msg) {
  if (c.started || c.registering) return;
  const std::string key = text(msg, "key", kMaxKey + 1);
  if (key.empty() || key.size() > kMaxKey) return;  // a hello without a usable key waits
  c.registering = true;
  c.resume = text(msg, "sid", 64);
  LinkPtr hold = c.link;
  std::string name = text(msg, "name", kMaxName);
  const std::string id = c.target, who = holder(c);
  shared_.register_host(id, key, hold->address(), who,
                        [this, hold, name = std::move(name), id, who](const Shared::Registration& r) {
                          if (conn(hold.get()) != nullptr) {
                            registered(hold, name, r);
                          } else if (cluster_ != nullptr &&
                                     r.outcome == Shared::Registration::kReady) {
                            cluster_->host_left(id, who);  // gone while being registered
                          }
                        });
}

void Hub::registered(const LinkPtr& hold, const std::string& name,
                     const Shared::Registration& r) {
  Conn& c = *conn(hold.get());
  c.registering = false;
  Link* link = hold.get();
  const std::string& id = c.target;
  const std::string& addr = link->address();
  switch (r.outcome) {
    case Shared::Registration::kTaken:
      env_.log("host " + id + " from " + addr + ": taken (another key)");
      counters_.refuse(Refusal::kHostTaken);
      send_and_close(link, {{"t", "taken"}});
      return;
    case Shared::Registration::kTooManyNewIds:
      env_.log("host " + id + " from " + addr + ": refused, too many new IDs from address");
      counters_.refuse(Refusal::kHostNewIds);
      link->close();
      return;
    case Shared::Registration::kUnavailable:
      // Acting alone could hand the ID to any key: the page retries through its back-off.
      env_.log("host " + id + " from " + addr + ": refused, shared state unreachable");
      counters_.refuse(Refusal::kHostUnavailable);
      link->close();
      return;
    case Shared::Registration::kReady:
      if (r.new_binding) env_.log("host " + id + " from " + addr + ": new binding");
      break;
  }
  c.started = true;
  c.name = name;
  if (auto it = hosts_.find(id); it != hosts_.end() && it->second != link) {
    Link* old = it->second;
    if (Conn* oc = conn(old)) {
      env_.log("host " + id + " replaced by a connection from " + addr);
      if (!c.resume.empty() && c.resume == oc->sid) carry_session(*oc, c);
      send(old, {{"t", "replaced"}});
      host_gone(*oc, "replaced");
      old->close();
    }
  }
  hosts_[id] = link;
  ++counters_.hosts_registered;
  env_.log("host " + id + " from " + addr + ": ready");
  send(link, {{"t", "ready"}});
  if (r.id_lock_minutes > 0) send(link, {{"t", "locked"}, {"mins", r.id_lock_minutes}});
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
      drop_session(c.sid, Ending::kHostGone);
      send_and_close(tech, {{"t", "ended"}, {"reason", "hostgone"}});
    }
    c.sid.clear();
  }
  auto it = hosts_.find(c.target);
  if (it != hosts_.end() && it->second == c.link.get()) {
    hosts_.erase(it);
    env_.log("host " + c.target + ": " + why);
    if (cluster_ != nullptr) cluster_->host_left(c.target, holder(c));
  }
}

// A page registers again during a session when its socket may be dead without knowing
// it (the PC's address changed under it): the session's peer connection is still there
// to be mended, so the session goes on with the new connection. Only an accepted
// session moves, and only to a connection that proved the ID's key.
void Hub::carry_session(Conn& old, Conn& c) {
  auto it = sessions_.find(old.sid);
  if (it == sessions_.end() || !it->second.accepted || it->second.host != old.link.get()) return;
  it->second.host = c.link.get();
  c.sid = old.sid;
  old.sid.clear();
  env_.log("session " + c.sid + " on " + c.target + ": carried over to the host's new connection");
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
    ++counters_.accepted;
    shared_.accepted(s.id);
    env_.log("session " + sid + " on " + s.id + ": accepted");
    send(tech, {{"t", "accepted"}, {"name", c.name}, {"iceServers", ice()}});
    return;
  }
  std::string reason = text(msg, "reason", kMaxReason);
  if (reason.empty()) reason = "denied";
  const std::string id = s.id, addr = s.tech_addr;
  drop_session(sid, reason == "badkey" ? Ending::kBadKey : Ending::kDenied);
  if (reason != "badkey") {
    env_.log("session " + sid + " on " + id + ": denied (" + reason + ")");
    send_and_close(tech, {{"t", "denied"}, {"reason", reason}});
    return;
  }
  auto tech_conn = conns_.find(tech);
  LinkPtr hold = tech_conn == conns_.end() ? nullptr : tech_conn->second.link;
  LinkPtr host = c.link;
  ++counters_.wrong_codes;
  shared_.wrong_code(id, addr, [this, sid, id, addr, hold, host](const Guard::Verdict& v,
                                                                  bool unavailable) {
    env_.log("session " + sid + " on " + id + ": wrong code from " + addr);
    if (unavailable) {
      env_.log("wrong code not counted: shared state unreachable");
      if (hold && conns_.count(hold.get()) != 0) {
        send_and_close(hold.get(), {{"t", "denied"}, {"reason", "badkey"}});
      }
      return;
    }
    if (v.id_lock_minutes > 0) {
      counters_.lock(LockScope::kId);
      env_.log("ID " + id + " locked for " + std::to_string(v.id_lock_minutes) + " min");
      if (conns_.count(host.get()) != 0) send(host.get(), {{"t", "locked"}, {"mins", v.id_lock_minutes}});
    }
    if (v.addr_lock_minutes > 0) {
      counters_.lock(LockScope::kAddress);
      env_.log("address " + addr + " locked for " + std::to_string(v.addr_lock_minutes) + " min");
    }
    Json reply = {{"t", "denied"}, {"reason", "badkey"}};
    if (v.id_lock_minutes > 0 || v.addr_lock_minutes > 0) {
      reply = {{"t", "locked"}, {"mins", std::max(v.id_lock_minutes, v.addr_lock_minutes)}};
    }
    // The refusal waits so that guessing one code after another is slow; the link is
    // held by the task so the frame still goes if nothing else closes it meanwhile.
    if (!hold || conns_.count(hold.get()) == 0) return;
    env_.after(v.delay, [this, hold, reply] {
      if (conns_.count(hold.get()) != 0) send_and_close(hold.get(), reply);
    });
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
  counters_.relayed(RelayKind::kSupport, frame.size());
  it->second.tech->send(std::move(frame));
}

void Hub::on_host_bye(Conn& c, const Json& msg) {
  const std::string sid = text(msg, "sid", 64);
  if (sid.empty() || sid != c.sid) return;
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return;
  Link* tech = it->second.tech;
  env_.log("session " + sid + " on " + c.target + ": ended by the host");
  drop_session(sid, Ending::kBye);
  send_and_close(tech, {{"t", "ended"}, {"reason", "bye"}});
}

void Hub::drop_session(const std::string& sid, Ending why) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return;
  counters_.end(why);
  if (Conn* h = conn(it->second.host); h != nullptr && h->sid == sid) h->sid.clear();
  if (Conn* t = conn(it->second.tech); t != nullptr && t->sid == sid) t->sid.clear();
  sessions_.erase(it);
}

// ---- join socket ----

void Hub::on_join(Conn& c, const Json& msg) {
  if (c.started) return;
  c.started = true;
  if (cluster_ != nullptr && !c.remote_origin) {
    route(c, msg);
  } else {
    join_here(c, msg);
  }
}

void Hub::join_here(Conn& c, const Json& msg) {
  LinkPtr hold = c.link;
  shared_.join_gate(hold->address(), c.target, [this, hold, msg](const Shared::JoinGate& g) {
    if (conn(hold.get()) != nullptr) join_gated(hold, msg, g);
  });
}

void Hub::join_gated(const LinkPtr& hold, const Json& msg, const Shared::JoinGate& g) {
  Conn& c = *conn(hold.get());
  Link* link = hold.get();
  const std::string& id = c.target;
  const std::string& addr = link->address();
  if (g.unavailable) {
    env_.log("join " + id + " from " + addr + ": refused, shared state unreachable");
    counters_.refuse(Refusal::kJoinUnavailable);
    link->close();
    return;
  }
  if (g.addr_lock_minutes > 0) {
    env_.log("join " + id + " from " + addr + ": address locked");
    counters_.refuse(Refusal::kJoinAddrLocked);
    send_and_close(link, {{"t", "locked"}, {"mins", g.addr_lock_minutes}});
    return;
  }
  if (!g.allowed) {
    env_.log("join " + id + " from " + addr + ": too many joins from address");
    counters_.refuse(Refusal::kJoinRate);
    send_and_close(link, {{"t", "locked"}, {"mins", 1}});
    return;
  }
  if (g.id_lock_minutes > 0) {
    env_.log("join " + id + " from " + addr + ": ID locked");
    counters_.refuse(Refusal::kJoinIdLocked);
    send_and_close(link, {{"t", "locked"}, {"mins", g.id_lock_minutes}});
    return;
  }
  auto host_it = hosts_.find(id);
  if (host_it == hosts_.end()) {
    env_.log("join " + id + " from " + addr + ": offline");
    counters_.refuse(Refusal::kJoinOffline);
    send_and_close(link, {{"t", "offline"}});
    return;
  }
  Conn* host = conn(host_it->second);
  if (host == nullptr || !host->sid.empty() || g.held) {
    env_.log("join " + id + " from " + addr + ": busy");
    counters_.refuse(Refusal::kJoinBusy);
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
  ++counters_.requests;
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
  drop_session(sid, Ending::kTimeout);
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
  counters_.relayed(RelayKind::kSupport, frame.size());
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
  drop_session(sid, accepted ? Ending::kLeft : Ending::kCancel);
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
  if (cluster_ != nullptr && !c.remote_origin) {
    route(c, msg);
  } else {
    call_join_here(c, msg);
  }
}

void Hub::call_join_here(Conn& c, const Json& msg) {
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

void Hub::enter_room(Conn& c, const Json& msg) {
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
  counters_.relayed(RelayKind::kCall, frame.size());
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
    if (l == c.link.get()) continue;
    counters_.relayed(RelayKind::kCall, frame.size());
    l->send(frame);
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
    if (cluster_ != nullptr) cluster_->room_closed(c.target);
    return;
  }
  if (room.host == gone) room.host = conn(room.members.front())->member;
  const std::string frame = Json{{"t", "peer-leave"}, {"id", gone}, {"host", room.host}}.dump();
  for (Link* l : room.members) l->send(frame);
}

}  // namespace vantriel::signal
