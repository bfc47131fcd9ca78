#include "redis_shared.h"

#include <boost/asio/post.hpp>

#include "crypto.h"
#include "node_message.h"
#include "redis_link.h"
#include "redis_scripts.h"
#include "server_env.h"

namespace vantriel::signal {

namespace net = boost::asio;
using std::chrono::milliseconds;

RedisShared::RedisShared(net::io_context& ioc, const Config& config, HubEnv& env, RedisNode& node)
    : ioc_(ioc), config_(config), env_(env), node_(node) {}

void RedisShared::later(std::function<void()> task) { net::post(ioc_, std::move(task)); }

void RedisShared::register_host(const std::string& id, const std::string& secret,
                              const std::string& addr, const std::string& holder,
                              std::function<void(Registration)> done) {
  // A node deaf to the others would register hosts that no request from them reaches.
  if (!node_.usable()) return later([done] { done(Registration{}); });
  register_step(id, secret, addr, holder, 0, std::move(done));
}

void RedisShared::register_step(const std::string& id, const std::string& secret,
                              const std::string& addr, const std::string& holder, int tries,
                              std::function<void(Registration)> done) {
  if (tries > 3) {  // the binding keeps changing under us: decide nothing
    done(Registration{});
    return;
  }
  node_.bind_command(
      {"HMGET", "vtr:id:" + id, "salt", "hash"},
      [this, id, secret, addr, holder, tries, done](const RespValue& r) {
        if (r.type != RespValue::kArray || r.items.size() != 2) {
          done(Registration{});
          return;
        }
        if (r.items[0].type == RespValue::kString && r.items[1].type == RespValue::kString) {
          register_known(id, holder, r.items[0].str, r.items[1].str, secret, addr, tries, done);
          return;
        }
        const std::string salt = random_hex(16);
        const std::string hash = BindingStore::secret_hash(salt, secret);
        node_.bind_eval(RedisScripts::hello_new(),
             {"vtr:id:" + id, "vtr:host:" + id, "vtr:g:id:" + id, "vtr:g:newid:" + addr},
             {holder, salt, hash, std::to_string(env_.unix_now()), std::to_string(kBindingTtl),
              std::to_string(config_.policy.new_ids_per_hour)},
             [this, id, secret, addr, holder, tries, salt, hash, done](const RespValue& reply) {
               const std::string outcome = string_at(reply, 0);
               if (outcome == "refused") {
                 Registration out;
                 out.outcome = Registration::kTooManyNewIds;
                 done(out);
               } else if (outcome == "changed") {
                 register_step(id, secret, addr, holder, tries + 1, done);
               } else if (outcome == "ready") {
                 replicated(id, holder, [this, id, holder, salt, hash, reply, done](bool ok) {
                   if (ok) ready(id, holder, salt, hash, reply, done);
                   else done(Registration{});
                 });
               } else {
                 done(Registration{});
               }
             });
      });
}

void RedisShared::register_known(const std::string& id, const std::string& holder,
                               const std::string& salt, const std::string& hash,
                               const std::string& secret, const std::string& addr, int tries,
                               std::function<void(Registration)> done) {
  if (!constant_time_equal(BindingStore::secret_hash(salt, secret), hash)) {
    Registration out;
    out.outcome = Registration::kTaken;
    done(out);
    return;
  }
  node_.bind_eval(RedisScripts::hello_known(), {"vtr:id:" + id, "vtr:host:" + id, "vtr:g:id:" + id},
       {holder, hash, std::to_string(env_.unix_now()), std::to_string(kBindingTtl)},
       [this, id, holder, salt, hash, secret, addr, tries, done](const RespValue& reply) {
         const std::string outcome = string_at(reply, 0);
         if (outcome == "changed") {
           register_step(id, secret, addr, holder, tries + 1, done);
         } else if (outcome == "ready") {
           replicated(id, holder, [this, id, holder, salt, hash, reply, done](bool ok) {
             if (!ok) {
               done(Registration{});
               return;
             }
             ready(id, holder, salt, hash, reply, [done](Registration r) {
               r.new_binding = false;
               done(r);
             });
           });
         } else {
           done(Registration{});
         }
       });
}

// A host hears "ready" only once --redis-replicas replicas hold its binding, so that a
// failover promotes a replica that has it. WAIT follows the script on the same link and
// covers every write before it, by any connection: the binding's first write included
// when an earlier registration wrote it but was refused because no replica confirmed it.
void RedisShared::replicated(const std::string& id, const std::string& holder,
                             std::function<void(bool)> done) {
  const int wanted = config_.redis_replicas;
  if (wanted == 0) {
    done(true);
    return;
  }
  node_.bind_command(
      {"WAIT", std::to_string(wanted), std::to_string(config_.redis_wait_ms)},
      [this, id, holder, wanted, done](const RespValue& r) {
        const bool ok = r.type == RespValue::kInteger && r.integer >= wanted;
        if (!ok) {
          if (r.type == RespValue::kInteger) {
            env_.log("redis: binding of " + id + " reached " + std::to_string(r.integer) + " of " +
                     std::to_string(wanted) + " replicas within " +
                     std::to_string(config_.redis_wait_ms) + " ms; registration refused");
          }
          node_.host_left(id, holder);
        }
        done(ok);
      });
}

void RedisShared::ready(const std::string& id, const std::string& holder, const std::string& salt,
                      const std::string& hash, const RespValue& reply,
                      const std::function<void(Registration)>& done) {
  node_.hold_host(holder, id, salt, hash);
  const std::string old = string_at(reply, 1);
  if (!old.empty()) {
    // The ID's previous holder sits on another live node: it gets "replaced" there.
    const std::string old_node = first_word(old);
    if (old_node != node_.node()) {
      node_.post(old_node, make_node_message('r', node_.node(), second_word(old), {id}));
    }
  }
  Registration out;
  out.outcome = Registration::kReady;
  out.new_binding = true;
  out.id_lock_minutes = static_cast<int>(integer_at(reply, 2));
  done(out);
}

void RedisShared::join_gate(const std::string& addr, const std::string& id,
                          std::function<void(JoinGate)> done) {
  if (!node_.usable()) {
    return later([done] {
      JoinGate g;
      g.unavailable = true;
      done(g);
    });
  }
  node_.eval(RedisScripts::join_gate(), {"vtr:g:addr:" + addr, "vtr:g:join:" + addr, "vtr:g:id:" + id},
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

void RedisShared::call_gate(const std::string& addr, std::function<void(CallGate)> done) {
  if (!node_.usable()) {
    return later([done] {
      CallGate g;
      g.unavailable = true;
      done(g);
    });
  }
  node_.eval(RedisScripts::call_gate(), {"vtr:g:addr:" + addr, "vtr:g:join:" + addr},
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

void RedisShared::room_missed(const std::string& addr, std::function<void(int)> done) {
  const Policy& p = config_.policy;
  node_.eval(RedisScripts::room_missed(), {"vtr:g:miss:" + addr, "vtr:g:addr:" + addr},
       {std::to_string(p.call_max_misses), std::to_string(p.call_window),
        std::to_string(p.call_lock), std::to_string(p.addr_window)},
       [done](const RespValue& r) { done(r.type == RespValue::kInteger ? static_cast<int>(r.integer) : 0); });
}

void RedisShared::allow_new_room(const std::string& addr, std::function<void(bool)> done) {
  node_.eval(RedisScripts::new_room(), {"vtr:g:room:" + addr},
       {std::to_string(config_.policy.new_rooms_per_hour)},
       [done](const RespValue& r) { done(r.type == RespValue::kInteger && r.integer == 1); });
}

void RedisShared::wrong_code(const std::string& id, const std::string& addr,
                           std::function<void(Guard::Verdict, bool)> done) {
  const Policy& p = config_.policy;
  node_.eval(RedisScripts::wrong_code(), {"vtr:g:id:" + id, "vtr:g:addr:" + addr},
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

void RedisShared::accepted(const std::string& id) {
  node_.eval(RedisScripts::accepted(), {"vtr:g:id:" + id}, {}, nullptr);
}

// ---- import ----

morvane::Result<std::string> RedisShared::import_bindings(const Config& config,
                                                         std::shared_ptr<RedisTls> tls) {
  net::io_context ioc(1);
  ServerEnv env(ioc);
  BindingStore store(config.import_bindings);
  const int64_t now = env.unix_now();
  auto loaded = store.load(now, BindingStore::OnDamage::kRefuse);
  if (!loaded) return morvane::make_error(loaded.error());
  auto sentinels = RedisNode::sentinels_of(ioc, env, config, tls);
  if (sentinels) sentinels->start();
  RedisLink link(ioc, env, RedisNode::server_of(config, tls, sentinels.get()), "import link");
  link.start();
  const auto deadline = env.now() + std::chrono::seconds(10);
  while (!link.up() && env.now() < deadline) {
    ioc.run_one_for(milliseconds(100));
  }
  if (!link.up()) return morvane::make_error("cannot reach redis at " + config.redis_place());
  size_t added = 0, kept = 0, failed = 0, waiting = 0;
  std::string first_error;
  store.for_each([&](const std::string& id, const BindingStore::Entry& e) {
    const int64_t ttl = kBindingTtl - (now - e.seen);
    if (ttl <= 0) return;
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
  });
  while (waiting > 0 && link.up()) ioc.run_one_for(milliseconds(100));
  if (failed == 0 && waiting == 0 && config.redis_replicas > 0) {
    // Done once the replicas hold them too, as for a registration.
    ++waiting;
    link.command({"WAIT", std::to_string(config.redis_replicas), "5000"}, [&](const RespValue& r) {
      --waiting;
      if (r.type != RespValue::kInteger || r.integer < config.redis_replicas) {
        failed = added;
        first_error = "not confirmed by " + std::to_string(config.redis_replicas) + " replicas";
      }
    });
    while (waiting > 0 && link.up()) ioc.run_one_for(milliseconds(100));
  }
  ioc.poll();
  link.stop();
  if (sentinels) sentinels->stop();
  if (failed > 0 || waiting > 0) {
    return morvane::make_error("import stopped: " + std::to_string(failed + waiting) +
                               " bindings not written (" + first_error + ")");
  }
  return "imported " + std::to_string(added) + " bindings from " + config.import_bindings +
         " into redis at " + config.redis_place() + "; " + std::to_string(kept) +
         " IDs were bound there already and kept their binding";
}

}  // namespace vantriel::signal
