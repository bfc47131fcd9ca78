#include "node_router.h"

#include <algorithm>

#include "node_message.h"

namespace vantriel::signal {
namespace {

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

}  // namespace

NodeRouter::NodeRouter(HubCore& core, Callbacks callbacks)
    : core_(core),
      env_(core.env()),
      cluster_(core.cluster()),
      conns_(core.conns()),
      callbacks_(std::move(callbacks)) {}

bool NodeRouter::forward(Conn& c, std::string_view text) {
  if (c.resolving) {
    c.extra().pending.emplace_back(text);
    return true;
  }
  if (const std::string& node = c.remote_node(); !node.empty()) {
    cluster_->post(node, make_node_message('m', cluster_->node(), c.token, {}, text));
    return true;
  }
  return false;
}

void NodeRouter::proxied_closed(Conn& c) {
  cluster_->post(c.remote_node(), make_node_message('x', cluster_->node(), c.token));
  proxied_.erase(c.token);
}

void NodeRouter::remote_closed(Conn& c) {
  auto* remote = static_cast<RemoteLink*>(c.link.get());
  remote_.erase(remote->node() + " " + c.token);
}

void NodeRouter::node_message(std::string_view text) {
  NodeMessage m;
  if (!parse_node_message(text, m)) return;
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
      Conn& c = core_.open(link, kind, std::string(m.args[1]));
      c.token = token;  // as its node names it
      c.remote_origin = true;
      c.web = m.args.size() > 3 && m.args[3] == "w";
      return;
    }
    case 'm':
    case 'x': {
      auto it = remote_.find(std::string(m.from) + " " + token);
      if (it == remote_.end()) return;
      LinkPtr hold = it->second;
      if (m.type == 'm') {
        callbacks_.receive(hold.get(), m.payload);
      } else {
        callbacks_.closed(hold.get());
      }
      return;
    }
    case 's':
    case 'c': {
      auto it = proxied_.find(token);
      if (it == proxied_.end()) return;
      Conn* c = conn(it->second);
      if (c == nullptr || c->remote_node() != m.from) return;
      if (m.type == 's') {
        c->heard = true;
        it->second->send(std::string(m.payload));
      } else {
        it->second->close();
      }
      return;
    }
    case 'r':
      if (!m.args.empty()) callbacks_.replace_host(std::string(m.args[0]), token);
      return;
    default:
      return;
  }
}

void NodeRouter::node_gone(const std::string& node) {
  std::vector<LinkPtr> proxied, remote;
  for (auto& [link, c] : conns_) {
    if (c.remote_node() == node) proxied.push_back(c.link);
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
  for (auto& link : remote) {
    if (Conn* c = conn(link.get())) c->lost = true;
    callbacks_.closed(link.get());
  }
}

std::vector<std::string> NodeRouter::peer_nodes() const {
  std::vector<std::string> out;
  auto add = [&out](const std::string& node) {
    if (std::find(out.begin(), out.end(), node) == out.end()) out.push_back(node);
  };
  for (auto& [token, link] : proxied_) {
    auto it = conns_.find(link);
    if (it != conns_.end()) add(it->second.remote_node());
  }
  for (auto& [key, link] : remote_) add(static_cast<RemoteLink*>(link.get())->node());
  return out;
}

void NodeRouter::route(Conn& c, const Json& msg) {
  c.resolving = true;
  LinkPtr hold = c.link;
  auto go = [this, hold, msg](const Cluster::Place& place) {
    Conn* rc = conn(hold.get());
    if (rc == nullptr) return;
    rc->resolving = false;
    std::vector<std::string> pending;
    pending.swap(rc->extra().pending);
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
    callbacks_.serve_here(*rc, msg);
    for (auto& text : pending) callbacks_.receive(hold.get(), text);
  };
  if (c.kind == Kind::kJoin) {
    cluster_->find_host(c.target, go);
  } else {
    cluster_->find_room(c.target, flag(msg, "create"), go);
  }
}

void NodeRouter::proxy(Conn& c, const std::string& node, const Json& first) {
  c.extra().remote_node = node;
  proxied_[c.token] = c.link.get();
  const std::string& self = cluster_->node();
  // A node of an older release reads the words it knows and leaves the rest.
  cluster_->post(node, make_node_message('o', self, c.token,
                                    {c.kind == Kind::kCall ? "c" : "j", c.target,
                                     c.link->address(), c.web ? "w" : "-"}));
  cluster_->post(node, make_node_message('m', self, c.token, {}, dump(first)));
}

}  // namespace vantriel::signal
