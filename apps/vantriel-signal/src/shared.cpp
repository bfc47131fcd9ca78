#include "shared.h"

#include "hub_env.h"

namespace vantriel::signal {

void LocalShared::register_host(const std::string& id, const std::string& secret,
                                const std::string& addr, const std::string&,
                                std::function<void(Registration)> done) {
  Registration r;
  switch (bindings_.check(id, secret)) {
    case BindingStore::Check::kMismatch:
      r.outcome = Registration::kTaken;
      done(r);
      return;
    case BindingStore::Check::kNew:
      if (!guard_.allow_new_id(addr, env_.now())) {
        r.outcome = Registration::kTooManyNewIds;
        done(r);
        return;
      }
      bindings_.bind(id, secret, env_.unix_now());
      r.new_binding = true;
      break;
    case BindingStore::Check::kMatch:
      bindings_.touch(id, env_.unix_now());
      break;
  }
  r.outcome = Registration::kReady;
  r.id_lock_minutes = guard_.id_lock_minutes(id, env_.now());
  done(r);
}

void LocalShared::join_gate(const std::string& addr, const std::string& id,
                            std::function<void(JoinGate)> done) {
  const auto now = env_.now();
  JoinGate g;
  g.addr_lock_minutes = guard_.addr_lock_minutes(addr, now);
  if (g.addr_lock_minutes == 0) {
    g.allowed = guard_.allow_join(addr, now);
    if (g.allowed) {
      g.id_lock_minutes = guard_.id_lock_minutes(id, now);
      g.held = guard_.held(id, addr, now);
    }
  }
  done(g);
}

void LocalShared::call_gate(const std::string& addr, std::function<void(CallGate)> done) {
  const auto now = env_.now();
  CallGate g;
  g.addr_locked = guard_.addr_lock_minutes(addr, now) > 0;
  if (!g.addr_locked) g.allowed = guard_.allow_join(addr, now);
  done(g);
}

void LocalShared::room_missed(const std::string& addr, std::function<void(int)> done) {
  done(guard_.room_missed(addr, env_.now()));
}

void LocalShared::allow_new_room(const std::string& addr, std::function<void(bool)> done) {
  done(guard_.allow_new_room(addr, env_.now()));
}

void LocalShared::wrong_code(const std::string& id, const std::string& addr,
                             std::function<void(Guard::Verdict, bool)> done) {
  done(guard_.wrong_code(id, addr, env_.now()), false);
}

void LocalShared::sweep() { guard_.sweep(env_.now()); }

}  // namespace vantriel::signal
