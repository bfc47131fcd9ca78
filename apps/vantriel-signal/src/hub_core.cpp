#include "hub_core.h"

namespace vantriel::signal {

HubCore::HubCore(const Config& config, HubEnv& env, Shared& shared, Cluster* cluster)
    : config_(config), env_(env), shared_(shared), cluster_(cluster) {
  ice_.stun = config.stun;
  ice_.turn = config.turn;
  ice_.turn_secret = config.turn_secret;
  ice_.turn_user = config.turn_user;
  ice_.turn_ttl = config.turn_ttl;
}

Conn& HubCore::open(const LinkPtr& link, Conn::Kind kind, const std::string& target) {
  Conn c;
  c.kind = kind;
  c.link = link;
  c.target = target;
  if (cluster_ != nullptr) c.token = std::to_string(++last_token_);
  return conns_.insert_or_assign(link.get(), std::move(c)).first->second;
}

Conn* HubCore::conn(Link* link) {
  auto it = conns_.find(link);
  return it == conns_.end() ? nullptr : &it->second;
}

std::string HubCore::holder(const Conn& c) const {
  return cluster_ == nullptr ? std::string() : cluster_->node() + " " + c.token;
}

Json HubCore::ice() const { return ice_servers(ice_, env_.unix_now()); }

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

void send(Link* link, const Json& msg) { link->send(dump(msg)); }

void send_and_close(Link* link, const Json& msg) {
  send(link, msg);
  link->close();
}

}  // namespace vantriel::signal
