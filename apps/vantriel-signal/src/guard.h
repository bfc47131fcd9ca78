// The server's defence against guessed access codes and call codes and against floods,
// as plain bookkeeping on a clock the caller passes in (so tests can move time). Counts
// wrong codes per ID and per source address and call joins that find no room per
// address, turns them into growing delays and locks, and rations join attempts, new ID
// bindings and new call rooms per address. Not thread-safe: one I/O thread owns it.
#ifndef VANTRIEL_SIGNAL_GUARD_H_
#define VANTRIEL_SIGNAL_GUARD_H_

#include <chrono>
#include <string>
#include <unordered_map>

#include "config.h"

namespace vantriel::signal {

class Guard {
 public:
  using Time = std::chrono::steady_clock::time_point;

  explicit Guard(const Policy& policy) : policy_(policy) {}

  // Minutes left on a lock, rounded up; 0 when not locked.
  int id_lock_minutes(const std::string& id, Time now) const;
  int addr_lock_minutes(const std::string& addr, Time now) const;

  // True while a refusal for a wrong code on this ID or from this address is being
  // held back: a further attempt must wait, so parallel sockets do not skip the delay.
  bool held(const std::string& id, const std::string& addr, Time now) const;

  // Each call spends one attempt of the address's allowance. Support and call joins
  // share one allowance.
  bool allow_join(const std::string& addr, Time now);
  bool allow_new_id(const std::string& addr, Time now);
  bool allow_new_room(const std::string& addr, Time now);

  struct Verdict {
    int id_lock_minutes = 0;    // > 0: this wrong code locked the ID
    int addr_lock_minutes = 0;  // > 0: this wrong code locked the address
    std::chrono::milliseconds delay{0};  // hold the refusal this long
  };
  // A host reported a wrong code for `id` sent from `addr`.
  Verdict wrong_code(const std::string& id, const std::string& addr, Time now);
  // A host accepted a request for `id`: the wrong codes counted against that ID are
  // forgiven. Never the address's: whoever owns an ID could clear its own count by
  // accepting itself between guesses at other IDs.
  void accepted(const std::string& id);

  // A call join from `addr` found no room. Returns the minutes of the lock when this
  // miss locked the address (the same lock as for wrong codes), else 0.
  int room_missed(const std::string& addr, Time now);

  // Forgets counters whose window and lock have passed; bounds memory under attack.
  void sweep(Time now);
  size_t tracked() const {
    return ids_.size() + addrs_.size() + room_misses_.size() + joins_.size() + new_ids_.size() +
           new_rooms_.size();
  }

 private:
  struct Failures {
    int count = 0;
    Time first{};
    Time locked_until{};
    Time held_until{};
  };
  struct Allowance {
    int used = 0;
    Time start{};
  };
  static int minutes_left(const Failures* f, Time now);
  static bool spend(Allowance& a, int limit, std::chrono::seconds window, Time now);
  // Counts one failure; returns the lock minutes when this failure started a lock.
  static int count(Failures& f, int max_fails, int window_s, int lock_s, Time now);

  Policy policy_;
  std::unordered_map<std::string, Failures> ids_;
  std::unordered_map<std::string, Failures> addrs_;
  std::unordered_map<std::string, Failures> room_misses_;  // per address
  std::unordered_map<std::string, Allowance> joins_;
  std::unordered_map<std::string, Allowance> new_ids_;
  std::unordered_map<std::string, Allowance> new_rooms_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_GUARD_H_
