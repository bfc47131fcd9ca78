#include "redis_node.h"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include "crypto.h"

namespace vantriel::signal {

namespace net = boost::asio;
using std::chrono::milliseconds;

namespace {

constexpr size_t kMaxKeptMembers = 8;  // a room's size
constexpr size_t kMaxKeptText = 64;    // bytes of an id or name read back

std::string call_key(const std::string& code) { return "vtr:call:" + code; }

// A kept member as written by keep_member(); false when the value is not one.
bool read_kept(const std::string& field, const std::string& value, Cluster::KeptMember& m) {
  using Json = nlohmann::json;
  if (field.size() < 3 || field.compare(0, 2, "m:") != 0) return false;
  const Json j = Json::parse(value, nullptr, false);
  if (!j.is_object()) return false;
  auto str = [&j](const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto yes = [&j](const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_boolean() && it->get<bool>();
  };
  m.id = field.substr(2);
  m.name = str("name");
  m.proof = str("proof");
  auto order = j.find("order");
  if (order == j.end() || !order->is_number_unsigned()) return false;
  m.order = order->get<uint64_t>();
  m.muted = yes("muted");
  m.talk = yes("talk");
  return m.id.size() <= kMaxKeptText && m.name.size() <= kMaxKeptText && !m.proof.empty();
}

}  // namespace

RedisServer RedisNode::server_of(const Config& config, std::shared_ptr<RedisTls> tls,
                                 RedisSentinels* sentinels) {
  RedisServer s;
  s.address = config.redis;
  s.password = config.redis_password;
  s.tls = std::move(tls);
  s.tls_name = config.redis_tls_name;
  s.sentinels = sentinels;
  return s;
}

std::unique_ptr<RedisSentinels> RedisNode::sentinels_of(net::io_context& ioc, HubEnv& env,
                                                        const Config& config,
                                                        std::shared_ptr<RedisTls> tls) {
  if (config.redis_sentinels.empty()) return nullptr;
  RedisServer sentinel = server_of(config, std::move(tls), nullptr);
  sentinel.password = config.redis_sentinel_password;
  return std::make_unique<RedisSentinels>(ioc, env, config.redis_sentinels, config.redis_master,
                                          sentinel);
}

RedisNode::RedisNode(net::io_context& ioc, const Config& config, std::shared_ptr<RedisTls> tls,
                     HubEnv& env, Callbacks callbacks)
    : ioc_(ioc),
      config_(config),
      env_(env),
      callbacks_(std::move(callbacks)),
      node_(random_hex(6)),
      sentinels_(sentinels_of(ioc, env, config, tls)),
      commands_(ioc, env, server_of(config, tls, sentinels_.get()), "command link"),
      binder_(ioc, env, server_of(config, tls, sentinels_.get()), "binding link"),
      events_(ioc, env, server_of(config, tls, sentinels_.get()), "event link"),
      publisher_(ioc, env, server_of(config, tls, sentinels_.get()), "publish link"),
      lease_timer_(ioc) {}
RedisNode::~RedisNode() { stop(); }

void RedisNode::start() {
  if (sentinels_) {
    sentinels_->on_master([this](const std::string& master) {
      for (RedisLink* link : {&commands_, &binder_, &events_, &publisher_}) link->master_is(master);
    });
    sentinels_->start();
  }
  commands_.on_state([this](bool up) { on_link(up); });
  events_.subscribe("vtr:n:" + node_, [this](std::string_view message) {
    ++received_;
    received_bytes_ += message.size();
    callbacks_.message(message);
  });
  publisher_.publish_only();
  commands_.start();
  binder_.start();
  events_.start();
  publisher_.start();
  renew_lease();
}

void RedisNode::leave(std::function<void()> done) {
  lease_timer_.cancel();
  if (!commands_.up()) {
    done();
    return;
  }
  env_.log("redis: leaving: giving up " + std::to_string(hosts_.size()) + " hosts and " +
           std::to_string(rooms_.size()) + " rooms");
  for (const auto& [holder, h] : hosts_) {
    eval(RedisScripts::delete_if(), {"vtr:host:" + h.id}, {holder}, nullptr);
  }
  for (const auto& code : rooms_) {
    eval(RedisScripts::delete_if(), {"vtr:room:" + code}, {node_}, nullptr);
  }
  // Replies come in order: the lease's is the last.
  commands_.command({"DEL", "vtr:node:" + node_},
                    [done = std::move(done)](const RespValue&) { done(); });
}

void RedisNode::stop() {
  lease_timer_.cancel();
  if (sentinels_) sentinels_->stop();
  commands_.stop();
  binder_.stop();
  events_.stop();
  publisher_.stop();
}

bool RedisNode::healthy() const {
  return usable() && !lease_lapsed_ &&
         env_.now() - lease_ok_ < milliseconds(config_.redis_lease_ms);
}

RedisMetrics RedisNode::metrics() const {
  RedisMetrics m;
  m.node = node_;
  m.healthy = healthy();
  m.command_link = commands_.up();
  m.event_link = events_.up();
  m.publish_link = publisher_.up();
  m.nodes = commands_.up() ? nodes_seen_ : 0;
  m.messages_sent = sent_;
  m.bytes_sent = sent_bytes_;
  m.messages_received = received_;
  m.bytes_received = received_bytes_;
  return m;
}

void RedisNode::eval(const RedisScript& script, std::vector<std::string> keys,
                     std::vector<std::string> args, RedisLink::Reply done) {
  eval_on(commands_, script, std::move(keys), std::move(args), std::move(done));
}

void RedisNode::bind_eval(const RedisScript& script, std::vector<std::string> keys,
                          std::vector<std::string> args, RedisLink::Reply done) {
  eval_on(binder_, script, std::move(keys), std::move(args), std::move(done));
}

void RedisNode::bind_command(std::vector<std::string> args, RedisLink::Reply done) {
  binder_.command(std::move(args), std::move(done));
}

void RedisNode::eval_on(RedisLink& link, const RedisScript& script, std::vector<std::string> keys,
                        std::vector<std::string> args, RedisLink::Reply done) {
  std::vector<std::string> command = {"EVALSHA", script.sha, std::to_string(keys.size())};
  for (auto& k : keys) command.push_back(std::move(k));
  for (auto& a : args) command.push_back(std::move(a));
  std::vector<std::string> again = command;
  link.command(std::move(command), [&link, &script, &env = env_, again = std::move(again),
                                    done = std::move(done)](const RespValue& r) mutable {
    if (r.is_error() && r.str.rfind("NOSCRIPT", 0) == 0) {
      again[0] = "EVAL";
      again[1] = script.body;
      link.command(std::move(again), std::move(done));
      return;
    }
    if (r.is_error() && !RedisLink::lost(r)) env.log("redis: script failed: " + r.str);
    if (done) done(r);
  });
}

// ---- for the shared state ----

bool RedisNode::usable() const {
  return commands_.up() && binder_.up() && events_.up() && publisher_.up();
}

void RedisNode::later(std::function<void()> task) { net::post(ioc_, std::move(task)); }

void RedisNode::command(std::vector<std::string> args, RedisLink::Reply done) {
  commands_.command(std::move(args), std::move(done));
}

void RedisNode::hold_host(const std::string& holder, const std::string& id,
                          const std::string& salt, const std::string& hash) {
  hosts_[holder] = LocalHost{id, salt, hash};
}

// ---- Cluster ----

void RedisNode::find_host(const std::string& id, std::function<void(Place)> done) {
  if (!usable()) return later([done] { done(Place{true, {}}); });
  eval(RedisScripts::find_host(), {"vtr:host:" + id}, {}, [done](const RespValue& r) {
    Place p;
    p.unavailable = r.type != RespValue::kString;
    if (!p.unavailable) p.node = r.str;
    done(p);
  });
}

void RedisNode::find_room(const std::string& code, bool create, std::function<void(Place)> done) {
  if (!usable()) return later([done] { done(Place{true, {}}); });
  eval(RedisScripts::find_room(), {"vtr:room:" + code, call_key(code)}, {node_, create ? "1" : "0"},
       [done](const RespValue& r) {
         Place p;
         p.unavailable = r.type != RespValue::kString;
         if (!p.unavailable) p.node = r.str;
         done(p);
       });
}

void RedisNode::host_left(const std::string& id, const std::string& holder) {
  hosts_.erase(holder);
  eval(RedisScripts::delete_if(), {"vtr:host:" + id}, {holder}, nullptr);
}

void RedisNode::room_opened(const std::string& code) {
  rooms_.insert(code);
  eval(RedisScripts::find_room(), {"vtr:room:" + code, call_key(code)}, {node_, "1"}, nullptr);
}

void RedisNode::room_closed(const std::string& code) {
  rooms_.erase(code);
  eval(RedisScripts::delete_if(), {"vtr:room:" + code}, {node_}, nullptr);
}

void RedisNode::load_room(const std::string& code, std::function<void(KeptRoom)> done) {
  if (!usable()) return later([done] { done(KeptRoom{true, {}, {}}); });
  commands_.command({"HGETALL", call_key(code)}, [done](const RespValue& r) {
    KeptRoom room;
    if (r.type != RespValue::kArray) {
      room.unavailable = true;
      done(room);
      return;
    }
    for (size_t i = 0; i + 1 < r.items.size(); i += 2) {
      const std::string& field = r.items[i].str;
      if (field == "host") {
        room.host = r.items[i + 1].str;
        continue;
      }
      KeptMember m;
      if (read_kept(field, r.items[i + 1].str, m)) room.members.push_back(std::move(m));
    }
    std::sort(room.members.begin(), room.members.end(),
              [](const KeptMember& a, const KeptMember& b) { return a.order < b.order; });
    if (room.members.size() > kMaxKeptMembers) room.members.resize(kMaxKeptMembers);
    done(std::move(room));
  });
}

void RedisNode::keep_member(const std::string& code, const KeptMember& member) {
  const nlohmann::json value = {{"name", member.name}, {"proof", member.proof},
                                {"order", member.order}, {"muted", member.muted},
                                {"talk", member.talk}};
  eval(RedisScripts::keep_call(), {call_key(code)},
       {std::to_string(kKeptRoomTtl), "m:" + member.id,
        value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)},
       nullptr);
}

void RedisNode::keep_host(const std::string& code, const std::string& host) {
  eval(RedisScripts::keep_call(), {call_key(code)}, {std::to_string(kKeptRoomTtl), "host", host},
       nullptr);
}

void RedisNode::forget_member(const std::string& code, const std::string& id) {
  eval(RedisScripts::keep_call(), {call_key(code)}, {std::to_string(kKeptRoomTtl), "m:" + id, ""},
       nullptr);
}

void RedisNode::forget_room(const std::string& code) {
  commands_.command({"DEL", call_key(code)}, nullptr);
}

void RedisNode::post(const std::string& node, std::string message) {
  if (publisher_.up()) {  // else publish() drops it
    ++sent_;
    sent_bytes_ += message.size();
  }
  publisher_.publish("vtr:n:" + node, message);
}

// ---- lease and links ----

void RedisNode::on_link(bool up) {
  if (!up) {
    env_.log("redis: unreachable; refusing new registrations and joins until it is back");
    return;
  }
  renew_lease();
  reassert();
}

// The lease is renewed a few times within its time; the lease of every node this one
// relays for is checked as often. A lease of ours that lapsed means the others have
// given up on our sockets, so we give up on theirs.
void RedisNode::renew_lease() {
  lease_timer_.cancel();
  if (commands_.up()) {
    commands_.command({"SET", "vtr:node:" + node_, std::to_string(env_.unix_now()), "PX",
                       std::to_string(config_.redis_lease_ms), "GET"},
                      [this](const RespValue& r) {
                        if (r.is_error()) return;
                        const bool lapsed =
                            r.type == RespValue::kNil || lease_lapsed_ ||
                            env_.now() - lease_ok_ >
                                milliseconds(config_.redis_lease_ms);
                        lease_ok_ = env_.now();
                        lease_lapsed_ = false;
                        if (lapsed) {
                          for (const auto& peer : callbacks_.peer_nodes()) callbacks_.node_gone(peer);
                          reassert();
                        }
                      });
    if (!config_.metrics_listen.empty()) {
      // Every node's event link listens on its channel: one command counts them all.
      commands_.command({"PUBSUB", "CHANNELS", "vtr:n:*"}, [this](const RespValue& r) {
        if (r.type == RespValue::kArray) nodes_seen_ = r.items.size();
      });
    }
    // Renewed every third of its time, what this node keeps of its rooms outlives the
    // node by two thirds of kKeptRoomTtl at least.
    if (env_.now() - rooms_renewed_ >= milliseconds(kKeptRoomTtl / 3)) {
      rooms_renewed_ = env_.now();
      for (const auto& code : rooms_) {
        commands_.command({"PEXPIRE", call_key(code), std::to_string(kKeptRoomTtl)}, nullptr);
      }
    }
    for (const auto& peer : callbacks_.peer_nodes()) {
      commands_.command({"EXISTS", "vtr:node:" + peer}, [this, peer](const RespValue& r) {
        if (r.type == RespValue::kInteger && r.integer == 0) callbacks_.node_gone(peer);
      });
    }
  } else if (!lease_lapsed_ &&
             env_.now() - lease_ok_ > milliseconds(config_.redis_lease_ms)) {
    lease_lapsed_ = true;
    env_.log("redis: this node's lease lapsed; sockets relayed through other nodes end");
    for (const auto& peer : callbacks_.peer_nodes()) callbacks_.node_gone(peer);
  }
  lease_timer_.expires_after(milliseconds(std::max(100, config_.redis_lease_ms / 5)));
  lease_timer_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) renew_lease();
  });
}

// After Redis came back (or our lease lapsed): the bindings of our hosts are written
// again if Redis lost them, and our hosts and rooms are claimed again.
void RedisNode::reassert() {
  if (hosts_.empty() && rooms_.empty()) return;
  size_t count = hosts_.size();
  env_.log("redis: claiming " + std::to_string(count) + " hosts and " +
           std::to_string(rooms_.size()) + " rooms of this node again");
  const std::string seen = std::to_string(env_.unix_now());
  for (const auto& [holder, h] : hosts_) {
    eval(RedisScripts::reassert(), {"vtr:id:" + h.id, "vtr:host:" + h.id},
         {h.salt, h.hash, seen, std::to_string(kBindingTtl), holder},
         [this, holder = holder, id = h.id](const RespValue& r) {
           const std::string outcome = string_at(r, 0);
           if (outcome == "ok" && string_at(r, 1) == "1") {
             env_.log("redis: binding of " + id + " was missing; written again");
           } else if (outcome == "other" || outcome == "taken") {
             // Someone else holds it now: ours ends as on a second registration.
             callbacks_.replace_host(id, second_word(holder));
           }
         });
  }
  for (const auto& code : rooms_) {
    eval(RedisScripts::find_room(), {"vtr:room:" + code, call_key(code)}, {node_, "1"}, nullptr);
  }
}

}  // namespace vantriel::signal
