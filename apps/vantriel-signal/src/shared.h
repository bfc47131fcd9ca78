// What every node of a deployment must agree on: the ID bindings and the guard's
// counters. One node keeps them in memory (LocalShared, the default); several nodes keep
// them in Redis (redis_shared.h). The hub asks and goes on in a callback: LocalShared
// answers before it returns, Redis later. Every callback runs on the I/O thread.
#ifndef VANTRIEL_SIGNAL_SHARED_H_
#define VANTRIEL_SIGNAL_SHARED_H_

#include <functional>
#include <string>

#include "bindings.h"
#include "guard.h"

namespace vantriel::signal {

class HubEnv;

class Shared {
 public:
  virtual ~Shared() = default;

  struct Registration {
    enum Outcome {
      kReady,          // bound (or newly bound) to this secret: the host may register
      kTaken,          // bound to another secret
      kTooManyNewIds,  // a new ID beyond the address's allowance
      kUnavailable,    // the shared state cannot be reached: nothing was decided
    };
    Outcome outcome = kUnavailable;
    bool new_binding = false;
    int id_lock_minutes = 0;  // with kReady: the ID's lock, if any
  };
  // A "hello" for `id` with `secret` from `addr`, on the host connection `holder` (a name
  // for the connection that other nodes can address; unused by one node). Checks the
  // binding, binds a new ID within the address's allowance and records the use.
  virtual void register_host(const std::string& id, const std::string& secret,
                             const std::string& addr, const std::string& holder,
                             std::function<void(Registration)> done) = 0;

  struct JoinGate {
    bool unavailable = false;
    int addr_lock_minutes = 0;  // > 0: refused, nothing spent
    bool allowed = false;       // the join spent one of the address's attempts
    int id_lock_minutes = 0;
    bool held = false;  // a refusal for this ID or address is being held back
  };
  // The checks of a support join, in order: address lock, join allowance, ID lock;
  // `held` is reported alongside.
  virtual void join_gate(const std::string& addr, const std::string& id,
                         std::function<void(JoinGate)> done) = 0;

  struct CallGate {
    bool unavailable = false;
    bool addr_locked = false;
    bool allowed = false;
  };
  virtual void call_gate(const std::string& addr, std::function<void(CallGate)> done) = 0;
  // A call join found no room; the minutes of the lock it started, else 0.
  virtual void room_missed(const std::string& addr, std::function<void(int)> done) = 0;
  virtual void allow_new_room(const std::string& addr, std::function<void(bool)> done) = 0;
  // A wrong access code; `unavailable` in the verdict's place when nothing was counted.
  virtual void wrong_code(const std::string& id, const std::string& addr,
                          std::function<void(Guard::Verdict, bool unavailable)> done) = 0;
  virtual void accepted(const std::string& id) = 0;
  // Drops stale counters (Redis lets them expire by themselves).
  virtual void sweep() = 0;
};

// One node: the guard in memory and the bindings in the data file. Answers at once.
class LocalShared : public Shared {
 public:
  LocalShared(const Policy& policy, BindingStore& bindings, HubEnv& env)
      : guard_(policy), bindings_(bindings), env_(env) {}

  void register_host(const std::string& id, const std::string& secret, const std::string& addr,
                     const std::string& holder, std::function<void(Registration)> done) override;
  void join_gate(const std::string& addr, const std::string& id,
                 std::function<void(JoinGate)> done) override;
  void call_gate(const std::string& addr, std::function<void(CallGate)> done) override;
  void room_missed(const std::string& addr, std::function<void(int)> done) override;
  void allow_new_room(const std::string& addr, std::function<void(bool)> done) override;
  void wrong_code(const std::string& id, const std::string& addr,
                  std::function<void(Guard::Verdict, bool)> done) override;
  void accepted(const std::string& id) override { guard_.accepted(id); }
  void sweep() override;

 private:
  Guard guard_;
  BindingStore& bindings_;
  HubEnv& env_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SHARED_H_
