#include "redis_node.h"

#include <boost/asio/post.hpp>

#include "crypto.h"
#include "log.h"
#include "node_message.h"

namespace vantriel::signal {

namespace net = boost::asio;
using std::chrono::milliseconds;

namespace {

constexpr int64_t kBindingTtl = 400LL * 86400;  // seconds: IDs unused this long are forgotten

// Shared by every script. Times are Redis's milliseconds; a failure count is a hash
// {n, first, until, held} that expires once its window, lock and held refusal are over.
constexpr const char* kPrelude = R"lua(
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
local function num(key, field)
  return tonumber(redis.call('HGET', key, field)) or 0
end
local function mins_left(key, now)
  local u = num(key, 'until')
  if u <= now then return 0 end
  return math.floor((u - now + 59999) / 60000)
end
local function keep(key, window_ms, now)
  local last = math.max(num(key, 'first') + window_ms, num(key, 'until'), num(key, 'held'))
  if last > now then redis.call('PEXPIRE', key, last - now + 1000) end
end
local function count(key, max, window_ms, lock_ms, now)
  local n = num(key, 'n')
  local first = num(key, 'first')
  if n == 0 or now - first >= window_ms then
    n = 0
    first = now
  end
  n = n + 1
  local mins = 0
  if max > 0 and n >= max then
    n = 0
    local u = math.max(num(key, 'until'), now + lock_ms)
    redis.call('HSET', key, 'until', u)
    mins = math.floor((u - now + 59999) / 60000)
  end
  redis.call('HSET', key, 'n', n, 'first', first)
  keep(key, window_ms, now)
  return mins
end
local function spend(key, limit, window_ms)
  local n = redis.call('INCR', key)
  if n == 1 then redis.call('PEXPIRE', key, window_ms) end
  return n <= limit
end
local function alive(node)
  return redis.call('EXISTS', 'vtr:node:' .. node) == 1
end
local function claim(key, holder)
  local old = redis.call('GET', key)
  redis.call('SET', key, holder)
  if old and old ~= holder then
    local node = string.match(old, '^(%S+) ')
    if node and alive(node) then return old end
  end
  return ''
end
)lua";

// KEYS id, host, g:id; ARGV holder, hash, now (unix s), ttl (s)
constexpr const char* kHelloKnown = R"lua(
if redis.call('HGET', KEYS[1], 'hash') ~= ARGV[2] then return {'changed'} end
if tonumber(ARGV[3]) - (tonumber(redis.call('HGET', KEYS[1], 'seen')) or 0) >= 86400 then
  redis.call('HSET', KEYS[1], 'seen', ARGV[3])
  redis.call('EXPIRE', KEYS[1], ARGV[4])
end
local old = claim(KEYS[2], ARGV[1])
return {'ready', old, mins_left(KEYS[3], now_ms())}
)lua";

// KEYS id, host, g:id, g:newid:<addr>; ARGV holder, salt, hash, now (unix s), ttl, limit
constexpr const char* kHelloNew = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then return {'changed'} end
if not spend(KEYS[4], tonumber(ARGV[6]), 3600000) then return {'refused'} end
redis.call('HSET', KEYS[1], 'salt', ARGV[2], 'hash', ARGV[3], 'seen', ARGV[4])
redis.call('EXPIRE', KEYS[1], ARGV[5])
local old = claim(KEYS[2], ARGV[1])
return {'ready', old, mins_left(KEYS[3], now_ms())}
)lua";

// KEYS g:addr, g:join, g:id; ARGV joins per minute
constexpr const char* kJoinGate = R"lua(
local now = now_ms()
local al = mins_left(KEYS[1], now)
if al > 0 then return {al, 0, 0, 0} end
if not spend(KEYS[2], tonumber(ARGV[1]), 60000) then return {0, 0, 0, 0} end
local held = 0
if num(KEYS[3], 'held') > now or num(KEYS[1], 'held') > now then held = 1 end
return {0, 1, mins_left(KEYS[3], now), held}
)lua";

// KEYS g:addr, g:join; ARGV joins per minute
constexpr const char* kCallGate = R"lua(
local now = now_ms()
if mins_left(KEYS[1], now) > 0 then return {1, 0} end
if not spend(KEYS[2], tonumber(ARGV[1]), 60000) then return {0, 0} end
return {0, 1}
)lua";

// KEYS g:miss, g:addr; ARGV max misses, window (s), lock (s), address window (s)
constexpr const char* kRoomMissed = R"lua(
local now = now_ms()
if count(KEYS[1], tonumber(ARGV[1]), tonumber(ARGV[2]) * 1000, tonumber(ARGV[3]) * 1000, now) == 0 then
  return 0
end
redis.call('HSET', KEYS[2], 'until', math.max(num(KEYS[2], 'until'), num(KEYS[1], 'until')))
keep(KEYS[2], tonumber(ARGV[4]) * 1000, now)
return mins_left(KEYS[2], now)
)lua";

// KEYS g:room; ARGV rooms per hour
constexpr const char* kNewRoom = R"lua(
if spend(KEYS[1], tonumber(ARGV[1]), 3600000) then return 1 end
return 0
)lua";

// KEYS g:id, g:addr; ARGV id max, window, lock, addr max, window, lock (s), delay base,
// delay max (ms)
constexpr const char* kWrongCode = R"lua(
local now = now_ms()
local run = math.max(num(KEYS[1], 'n') + 1, num(KEYS[2], 'n') + 1)
local il = count(KEYS[1], tonumber(ARGV[1]), tonumber(ARGV[2]) * 1000, tonumber(ARGV[3]) * 1000, now)
local al = count(KEYS[2], tonumber(ARGV[4]), tonumber(ARGV[5]) * 1000, tonumber(ARGV[6]) * 1000, now)
local delay = math.min(tonumber(ARGV[7]) * (2 ^ math.min(run - 1, 20)), tonumber(ARGV[8]))
redis.call('HSET', KEYS[1], 'held', now + delay)
redis.call('HSET', KEYS[2], 'held', now + delay)
keep(KEYS[1], tonumber(ARGV[2]) * 1000, now)
keep(KEYS[2], tonumber(ARGV[5]) * 1000, now)
return {il, al, delay}
)lua";

// KEYS g:id
constexpr const char* kAccepted = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then redis.call('HSET', KEYS[1], 'n', 0) end
return 0
)lua";

// KEYS host
constexpr const char* kFindHost = R"lua(
local v = redis.call('GET', KEYS[1])
if not v then return '' end
local node = string.match(v, '^(%S+)')
if node and alive(node) then return node end
redis.call('DEL', KEYS[1])
return ''
)lua";

// KEYS room; ARGV this node, "1" to claim a code no live node keeps
constexpr const char* kFindRoom = R"lua(
local v = redis.call('GET', KEYS[1])
if v and alive(v) then return v end
if ARGV[2] == '1' then
  redis.call('SET', KEYS[1], ARGV[1])
  return ARGV[1]
end
if v then redis.call('DEL', KEYS[1]) end
return ''
)lua";

// KEYS key; ARGV value
constexpr const char* kDeleteIf = R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
return 0
)lua";

// After Redis came back: the binding written again if Redis lost it, the ID held again
// unless another live node's host holds it now. KEYS id, host; ARGV salt, hash, seen,
// ttl, holder
constexpr const char* kReassert = R"lua(
local restored = '0'
local h = redis.call('HGET', KEYS[1], 'hash')
if not h then
  redis.call('HSET', KEYS[1], 'salt', ARGV[1], 'hash', ARGV[2], 'seen', ARGV[3])
  redis.call('EXPIRE', KEYS[1], ARGV[4])
  restored = '1'
elseif h ~= ARGV[2] then
  return {'taken', ''}
end
local v = redis.call('GET', KEYS[2])
if v and v ~= ARGV[5] then
  local node = string.match(v, '^(%S+) ')
  if node and alive(node) then return {'other', v} end
end
redis.call('SET', KEYS[2], ARGV[5])
return {'ok', restored}
)lua";

// KEYS id; ARGV salt, hash, seen, ttl
constexpr const char* kImport = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then return 0 end
redis.call('HSET', KEYS[1], 'salt', ARGV[1], 'hash', ARGV[2], 'seen', ARGV[3])
redis.call('EXPIRE', KEYS[1], ARGV[4])
return 1
)lua";

std::string script_body(const char* body) { return std::string(kPrelude) + body; }

int64_t integer_at(const RespValue& v, size_t i) {
  return v.type == RespValue::kArray && i < v.items.size() ? v.items[i].integer : 0;
}
std::string string_at(const RespValue& v, size_t i) {
  return v.type == RespValue::kArray && i < v.items.size() ? v.items[i].str : std::string();
}

std::string first_word(const std::string& s) { return s.substr(0, s.find(' ')); }
std::string second_word(const std::string& s) {
  const size_t sp = s.find(' ');
  return sp == std::string::npos ? std::string() : s.substr(sp + 1);
}

}  // namespace

// The scripts, each with its SHA-1 for EVALSHA.
#define VTR_SCRIPT(name, text)                                              \
  static const RedisNode::Script& name() {                                 \
    static const RedisNode::Script s{script_body(text),                    \
                                     hex_encode(as_bytes(sha1(script_body(text))))}; \
    return s;                                                               \
  }

struct RedisScripts {
  VTR_SCRIPT(hello_known, kHelloKnown)
  VTR_SCRIPT(hello_new, kHelloNew)
  VTR_SCRIPT(join_gate, kJoinGate)
  VTR_SCRIPT(call_gate, kCallGate)
  VTR_SCRIPT(room_missed, kRoomMissed)
  VTR_SCRIPT(new_room, kNewRoom)
  VTR_SCRIPT(wrong_code, kWrongCode)
  VTR_SCRIPT(accepted, kAccepted)
  VTR_SCRIPT(find_host, kFindHost)
  VTR_SCRIPT(find_room, kFindRoom)
  VTR_SCRIPT(delete_if, kDeleteIf)
  VTR_SCRIPT(reassert, kReassert)
  VTR_SCRIPT(import, kImport)
};
#undef VTR_SCRIPT

RedisNode::RedisNode(net::io_context& ioc, const Config& config, HubEnv& env)
    : ioc_(ioc),
      config_(config),
      env_(env),
      node_(random_hex(6)),
      commands_(ioc, config.redis, config.redis_password, "command link"),
      events_(ioc, config.redis, config.redis_password, "event link"),
      publisher_(ioc, config.redis, config.redis_password, "publish link"),
      lease_timer_(ioc) {}

RedisNode::~RedisNode() { stop(); }

void RedisNode::start() {
  commands_.on_state([this](bool up) { on_link(up); });
  events_.subscribe("vtr:n:" + node_, [this](std::string_view message) {
    ++received_;
    received_bytes_ += message.size();
    if (hub_ != nullptr) hub_->node_message(message);
  });
  publisher_.publish_only();
  commands_.start();
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
  log_line("redis: leaving: giving up " + std::to_string(hosts_.size()) + " hosts and " +
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
  commands_.stop();
  events_.stop();
  publisher_.stop();
}

bool RedisNode::healthy() const {
  return usable() && !lease_lapsed_ &&
         std::chrono::steady_clock::now() - lease_ok_ < milliseconds(config_.redis_lease_ms);
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

void RedisNode::eval(const Script& script, std::vector<std::string> keys,
                     std::vector<std::string> args, RedisLink::Reply done) {
  std::vector<std::string> command = {"EVALSHA", script.sha, std::to_string(keys.size())};
  for (auto& k : keys) command.push_back(std::move(k));
  for (auto& a : args) command.push_back(std::move(a));
  std::vector<std::string> again = command;
  commands_.command(std::move(command), [this, &script, again = std::move(again),
                                         done = std::move(done)](const RespValue& r) mutable {
    if (r.is_error() && r.str.rfind("NOSCRIPT", 0) == 0) {
      again[0] = "EVAL";
      again[1] = script.body;
      commands_.command(std::move(again), std::move(done));
      return;
    }
    if (r.is_error() && !RedisLink::lost(r)) log_line("redis: script failed: " + r.str);
    if (done) done(r);
  });
}

// ---- Shared ----

bool RedisNode::usable() const { return commands_.up() && events_.up() && publisher_.up(); }

void RedisNode::later(std::function<void()> task) { net::post(ioc_, std::move(task)); }

void RedisNode::register_host(const std::string& id, const std::string& key,
                              const std::string& addr, const std::string& holder,
                              std::function<void(Registration)> done) {
  // A node deaf to the others would register hosts that no request from them reaches.
  if (!usable()) return later([done] { done(Registration{}); });
  register_step(id, key, addr, holder, 0, std::move(done));
}

void RedisNode::register_step(const std::string& id, const std::string& key,
                              const std::string& addr, const std::string& holder, int tries,
                              std::function<void(Registration)> done) {
  if (tries > 3) {  // the binding keeps changing under us: decide nothing
    done(Registration{});
    return;
  }
  commands_.command(
      {"HMGET", "vtr:id:" + id, "salt", "hash"},
      [this, id, key, addr, holder, tries, done](const RespValue& r) {
        if (r.type != RespValue::kArray || r.items.size() != 2) {
          done(Registration{});
          return;
        }
        if (r.items[0].type == RespValue::kString && r.items[1].type == RespValue::kString) {
          register_known(id, holder, r.items[0].str, r.items[1].str, key, addr, tries, done);
          return;
        }
        const std::string salt = random_hex(16);
        const std::string hash = BindingStore::key_hash(salt, key);
        eval(RedisScripts::hello_new(),
             {"vtr:id:" + id, "vtr:host:" + id, "vtr:g:id:" + id, "vtr:g:newid:" + addr},
             {holder, salt, hash, std::to_string(env_.unix_now()), std::to_string(kBindingTtl),
              std::to_string(config_.policy.new_ids_per_hour)},
             [this, id, key, addr, holder, tries, salt, hash, done](const RespValue& reply) {
               const std::string outcome = string_at(reply, 0);
               if (outcome == "refused") {
                 Registration out;
                 out.outcome = Registration::kTooManyNewIds;
                 done(out);
               } else if (outcome == "changed") {
                 register_step(id, key, addr, holder, tries + 1, done);
               } else if (outcome == "ready") {
                 ready(id, holder, salt, hash, reply, done);
                 // ready() reports a known ID; this one is new.
               } else {
                 done(Registration{});
               }
             });
      });
}

void RedisNode::register_known(const std::string& id, const std::string& holder,
                               const std::string& salt, const std::string& hash,
                               const std::string& key, const std::string& addr, int tries,
                               std::function<void(Registration)> done) {
  if (!constant_time_equal(BindingStore::key_hash(salt, key), hash)) {
    Registration out;
    out.outcome = Registration::kTaken;
    done(out);
    return;
  }
  eval(RedisScripts::hello_known(), {"vtr:id:" + id, "vtr:host:" + id, "vtr:g:id:" + id},
       {holder, hash, std::to_string(env_.unix_now()), std::to_string(kBindingTtl)},
       [this, id, holder, salt, hash, key, addr, tries, done](const RespValue& reply) {
         const std::string outcome = string_at(reply, 0);
         if (outcome == "changed") {
           register_step(id, key, addr, holder, tries + 1, done);
         } else if (outcome == "ready") {
           ready(id, holder, salt, hash, reply, [done](Registration r) {
             r.new_binding = false;
             done(r);
           });
         } else {
           done(Registration{});
         }
       });
}

void RedisNode::ready(const std::string& id, const std::string& holder, const std::string& salt,
                      const std::string& hash, const RespValue& reply,
                      const std::function<void(Registration)>& done) {
  hosts_[holder] = LocalHost{id, salt, hash};
  const std::string old = string_at(reply, 1);
  if (!old.empty()) {
    // The ID's previous holder sits on another live node: it gets "replaced" there.
    const std::string old_node = first_word(old);
    if (old_node != node_) post(old_node, make_node_message('r', node_, second_word(old), {id}));
  }
  Registration out;
  out.outcome = Registration::kReady;
  out.new_binding = true;
  out.id_lock_minutes = static_cast<int>(integer_at(reply, 2));
  done(out);
}

void RedisNode::join_gate(const std::string& addr, const std::string& id,
                          std::function<void(JoinGate)> done) {
  if (!usable()) {
    return later([done] {
      JoinGate g;
      g.unavailable = true;
      done(g);
    });
  }
  eval(RedisScripts::join_gate(), {"vtr:g:addr:" + addr, "vtr:g:join:" + addr, "vtr:g:id:" + id},
       {std::to_string(config_.policy.joins_per_min)}, [done](const RespValue& r) {
         JoinGate g;
         if (r.type != RespValue::kArray || r.items.size() != 4) {
           g.unavailable = true;
         } else {
           g.addr_lock_minutes = static_cast<int>(r.items[0].integer);
           g.allowed = r.items[1].integer != 0;
           g.id_lock_minutes = static_cast<int>(r.items[2].integer);
           g.held = r.items[3].integer != 0;
         }
         done(g);
       });
}

void RedisNode::call_gate(const std::string& addr, std::function<void(CallGate)> done) {
  if (!usable()) {
    return later([done] {
      CallGate g;
      g.unavailable = true;
      done(g);
    });
  }
  eval(RedisScripts::call_gate(), {"vtr:g:addr:" + addr, "vtr:g:join:" + addr},
       {std::to_string(config_.policy.joins_per_min)}, [done](const RespValue& r) {
         CallGate g;
         if (r.type != RespValue::kArray || r.items.size() != 2) {
           g.unavailable = true;
         } else {
           g.addr_locked = r.items[0].integer != 0;
           g.allowed = r.items[1].integer != 0;
         }
         done(g);
       });
}

void RedisNode::room_missed(const std::string& addr, std::function<void(int)> done) {
  const Policy& p = config_.policy;
  eval(RedisScripts::room_missed(), {"vtr:g:miss:" + addr, "vtr:g:addr:" + addr},
       {std::to_string(p.call_max_misses), std::to_string(p.call_window),
        std::to_string(p.call_lock), std::to_string(p.addr_window)},
       [done](const RespValue& r) { done(r.type == RespValue::kInteger ? static_cast<int>(r.integer) : 0); });
}

void RedisNode::allow_new_room(const std::string& addr, std::function<void(bool)> done) {
  eval(RedisScripts::new_room(), {"vtr:g:room:" + addr},
       {std::to_string(config_.policy.new_rooms_per_hour)},
       [done](const RespValue& r) { done(r.type == RespValue::kInteger && r.integer == 1); });
}

void RedisNode::wrong_code(const std::string& id, const std::string& addr,
                           std::function<void(Guard::Verdict, bool)> done) {
  const Policy& p = config_.policy;
  eval(RedisScripts::wrong_code(), {"vtr:g:id:" + id, "vtr:g:addr:" + addr},
       {std::to_string(p.id_max_fails), std::to_string(p.id_window), std::to_string(p.id_lock),
        std::to_string(p.addr_max_fails), std::to_string(p.addr_window),
        std::to_string(p.addr_lock), std::to_string(p.delay_base_ms),
        std::to_string(p.delay_max_ms)},
       [done](const RespValue& r) {
         Guard::Verdict v;
         if (r.type != RespValue::kArray || r.items.size() != 3) {
           done(v, true);
           return;
         }
         v.id_lock_minutes = static_cast<int>(r.items[0].integer);
         v.addr_lock_minutes = static_cast<int>(r.items[1].integer);
         v.delay = milliseconds(r.items[2].integer);
         done(v, false);
       });
}

void RedisNode::accepted(const std::string& id) {
  eval(RedisScripts::accepted(), {"vtr:g:id:" + id}, {}, nullptr);
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
  eval(RedisScripts::find_room(), {"vtr:room:" + code}, {node_, create ? "1" : "0"},
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
  eval(RedisScripts::find_room(), {"vtr:room:" + code}, {node_, "1"}, nullptr);
}

void RedisNode::room_closed(const std::string& code) {
  rooms_.erase(code);
  eval(RedisScripts::delete_if(), {"vtr:room:" + code}, {node_}, nullptr);
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
    log_line("redis: unreachable; refusing new registrations and joins until it is back");
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
                            std::chrono::steady_clock::now() - lease_ok_ >
                                milliseconds(config_.redis_lease_ms);
                        lease_ok_ = std::chrono::steady_clock::now();
                        lease_lapsed_ = false;
                        if (lapsed && hub_ != nullptr) {
                          for (const auto& peer : hub_->peer_nodes()) hub_->node_gone(peer);
                          reassert();
                        }
                      });
    if (!config_.metrics_listen.empty()) {
      // Every node's event link listens on its channel: one command counts them all.
      commands_.command({"PUBSUB", "CHANNELS", "vtr:n:*"}, [this](const RespValue& r) {
        if (r.type == RespValue::kArray) nodes_seen_ = r.items.size();
      });
    }
    if (hub_ != nullptr) {
      for (const auto& peer : hub_->peer_nodes()) {
        commands_.command({"EXISTS", "vtr:node:" + peer}, [this, peer](const RespValue& r) {
          if (r.type == RespValue::kInteger && r.integer == 0 && hub_ != nullptr) {
            hub_->node_gone(peer);
          }
        });
      }
    }
  } else if (!lease_lapsed_ &&
             std::chrono::steady_clock::now() - lease_ok_ > milliseconds(config_.redis_lease_ms)) {
    lease_lapsed_ = true;
    log_line("redis: this node's lease lapsed; sockets relayed through other nodes end");
    if (hub_ != nullptr) {
      for (const auto& peer : hub_->peer_nodes()) hub_->node_gone(peer);
    }
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
  log_line("redis: claiming " + std::to_string(count) + " hosts and " +
           std::to_string(rooms_.size()) + " rooms of this node again");
  const std::string seen = std::to_string(env_.unix_now());
  for (const auto& [holder, h] : hosts_) {
    eval(RedisScripts::reassert(), {"vtr:id:" + h.id, "vtr:host:" + h.id},
         {h.salt, h.hash, seen, std::to_string(kBindingTtl), holder},
         [this, holder = holder, id = h.id](const RespValue& r) {
           const std::string outcome = string_at(r, 0);
           if (outcome == "ok" && string_at(r, 1) == "1") {
             log_line("redis: binding of " + id + " was missing; written again");
           } else if ((outcome == "other" || outcome == "taken") && hub_ != nullptr) {
             // Someone else holds it now: ours ends as on a second registration.
             hub_->replace_host(id, second_word(holder));
           }
         });
  }
  for (const auto& code : rooms_) {
    eval(RedisScripts::find_room(), {"vtr:room:" + code}, {node_, "1"}, nullptr);
  }
}

// ---- import ----

morvane::Result<std::string> RedisNode::import_bindings(const Config& config) {
  BindingStore store(config.import_bindings);
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  auto loaded = store.load(now, BindingStore::OnDamage::kRefuse);
  if (!loaded) return morvane::make_error(loaded.error());
  net::io_context ioc(1);
  RedisLink link(ioc, config.redis, config.redis_password, "import link");
  link.start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!link.up() && std::chrono::steady_clock::now() < deadline) {
    ioc.run_one_for(milliseconds(100));
  }
  if (!link.up()) return morvane::make_error("cannot reach redis at " + config.redis);
  size_t added = 0, kept = 0, failed = 0, waiting = 0;
  std::string first_error;
  for (const auto& [id, e] : store.entries()) {
    const int64_t ttl = kBindingTtl - (now - e.seen);
    if (ttl <= 0) continue;
    ++waiting;
    link.command({"EVAL", RedisScripts::import().body, "1", "vtr:id:" + id, e.salt, e.hash,
                  std::to_string(e.seen), std::to_string(ttl)},
                 [&](const RespValue& r) {
                   --waiting;
                   if (r.type == RespValue::kInteger) {
                     (r.integer == 1 ? added : kept) += 1;
                   } else {
                     ++failed;
                     if (first_error.empty()) first_error = r.str;
                   }
                 });
    // Bounded in flight: a large file does not sit in one buffer.
    while (waiting > 1000) ioc.run_one_for(milliseconds(100));
  }
  while (waiting > 0 && link.up()) ioc.run_one_for(milliseconds(100));
  ioc.poll();
  link.stop();
  if (failed > 0 || waiting > 0) {
    return morvane::make_error("import stopped: " + std::to_string(failed + waiting) +
                               " bindings not written (" + first_error + ")");
  }
  return "imported " + std::to_string(added) + " bindings from " + config.import_bindings +
         " into redis at " + config.redis + "; " + std::to_string(kept) +
         " IDs were bound there already and kept their binding";
}

}  // namespace vantriel::signal
