#include "hub.h"

#include "morvane/core/json_depth.h"
#include "call_rooms.h"
#include "hub_core.h"
#include "node_router.h"
#include "session_broker.h"

namespace vantriel::signal {

Hub::Hub(const Config& config, BindingStore& bindings, HubEnv& env)
    : own_shared_(std::make_unique<LocalShared>(config.policy, bindings, env)),
      core_(std::make_unique<HubCore>(config, env, *own_shared_, nullptr)),
      broker_(std::make_unique<SessionBroker>(*core_)),
      rooms_(std::make_unique<CallRooms>(*core_)) {}

Hub::Hub(const Config& config, Shared& shared, Cluster& cluster, HubEnv& env)
    : core_(std::make_unique<HubCore>(config, env, shared, &cluster)),
      broker_(std::make_unique<SessionBroker>(*core_)),
      rooms_(std::make_unique<CallRooms>(*core_)) {
  NodeRouter::Callbacks callbacks;
  callbacks.serve_here = [this](Conn& c, const Json& first) { serve_here(c, first); };
  callbacks.receive = [this](Link* link, std::string_view text) { receive(link, text); };
  callbacks.closed = [this](Link* link) { closed(link); };
  callbacks.replace_host = [this](const std::string& id, const std::string& token) {
    replace_host(id, token);
  };
  router_ = std::make_unique<NodeRouter>(*core_, std::move(callbacks));
}

Hub::~Hub() = default;

Json Hub::ice() const { return core_->ice(); }

void Hub::open_host(const LinkPtr& link, const std::string& id) {
  core_->open(link, Conn::Kind::kHost, id);
}
void Hub::open_join(const LinkPtr& link, const std::string& id, bool web) {
  core_->open(link, Conn::Kind::kJoin, id).web = web;
}
void Hub::open_call(const LinkPtr& link, const std::string& code) {
  core_->open(link, Conn::Kind::kCall, code);
}

void Hub::receive(Link* link, std::string_view text) {
  if (router_ != nullptr) {
    Conn* c = core_->conn(link);
    if (c != nullptr && router_->forward(*c, text)) return;
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
  Conn* c = core_->conn(link);
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
    case Conn::Kind::kHost:
      if (t == "hello") {
        broker_->on_hello(*c, msg);
      } else if (!c->started) {
        return;  // nothing counts before a valid hello
      } else if (t == "answer") {
        broker_->on_answer(*c, msg);
      } else if (t == "bye") {
        broker_->on_host_bye(*c, msg);
      }
      break;
    case Conn::Kind::kJoin:
      if (t == "join") {
        on_join(*c, msg);
      } else if (t == "bye" || t == "cancel") {
        broker_->on_tech_leave(*c, t == "bye");
      }
      break;
    case Conn::Kind::kCall:
      if (t == "join") {
        on_join(*c, msg);
      } else if (t == "state") {
        rooms_->on_call_state(*c, msg);
      } else if (t == "kick") {
        rooms_->on_kick(*c, msg);
      }
      break;
  }
}

void Hub::signal(Link* link, const SignalView& view) {
  if (Conn* c = core_->conn(link)) on_signal(*c, view);
}

void Hub::on_signal(Conn& c, const SignalView& v) {
  if (v.data.empty()) return;  // only objects are relayed
  switch (c.kind) {
    case Conn::Kind::kHost:
      if (c.started) broker_->on_host_signal(c, v);
      break;
    case Conn::Kind::kJoin:
      broker_->on_tech_signal(c, v);
      break;
    case Conn::Kind::kCall:
      rooms_->on_call_signal(c, v);
      break;
  }
}

void Hub::on_join(Conn& c, const Json& msg) {
  if (c.started) return;
  c.started = true;
  if (router_ != nullptr && !c.remote_origin) {
    router_->route(c, msg);
  } else {
    serve_here(c, msg);
  }
}

void Hub::serve_here(Conn& c, const Json& msg) {
  if (c.kind == Conn::Kind::kJoin) {
    broker_->join_here(c, msg);
  } else {
    rooms_->call_join_here(c, msg);
  }
}

void Hub::closed(Link* link) {
  Conn* c = core_->conn(link);
  if (c == nullptr) return;
  if (!c->remote_node().empty()) {  // served elsewhere: that node ends what it was in
    router_->proxied_closed(*c);
    core_->conns().erase(link);
    return;
  }
  switch (c->kind) {
    case Conn::Kind::kHost:
      broker_->host_gone(*c, "left");
      break;
    case Conn::Kind::kJoin:
      broker_->tech_dropped(*c);
      break;
    case Conn::Kind::kCall:
      rooms_->leave_room(*c);
      break;
  }
  if (c->remote_origin) router_->remote_closed(*c);
  core_->conns().erase(link);  // may free the link: last
}

void Hub::sweep() { core_->shared().sweep(); }

size_t Hub::hosts() const { return broker_->hosts(); }
size_t Hub::sessions() const { return broker_->sessions(); }
size_t Hub::rooms() const { return rooms_->rooms(); }
const HubCounters& Hub::counters() const { return core_->counters(); }

HubGauges Hub::gauges() const {
  HubGauges g;
  broker_->gauge(g);
  rooms_->gauge(g);
  return g;
}

// ---- other nodes ----

void Hub::node_message(std::string_view text) {
  if (router_ != nullptr) router_->node_message(text);
}

void Hub::node_gone(const std::string& node) {
  if (router_ != nullptr) router_->node_gone(node);
}

std::vector<std::string> Hub::peer_nodes() const {
  return router_ != nullptr ? router_->peer_nodes() : std::vector<std::string>();
}

void Hub::replace_host(const std::string& id, const std::string& token) {
  broker_->replace_host(id, token);
}

}  // namespace vantriel::signal
