#include "guard.h"

#include <algorithm>

namespace vantriel::signal {

using std::chrono::milliseconds;
using std::chrono::seconds;

int Guard::minutes_left(const Failures* f, Time now) {
  if (f == nullptr || f->locked_until <= now) return 0;
  const auto ms = std::chrono::duration_cast<milliseconds>(f->locked_until - now).count();
  return static_cast<int>((ms + 59999) / 60000);
}

int Guard::id_lock_minutes(const std::string& id, Time now) const {
  auto it = ids_.find(id);
  return minutes_left(it == ids_.end() ? nullptr : &it->second, now);
}

int Guard::addr_lock_minutes(const std::string& addr, Time now) const {
  auto it = addrs_.find(addr);
  return minutes_left(it == addrs_.end() ? nullptr : &it->second, now);
}

bool Guard::held(const std::string& id, const std::string& addr, Time now) const {
  auto i = ids_.find(id);
  auto a = addrs_.find(addr);
  return (i != ids_.end() && i->second.held_until > now) ||
         (a != addrs_.end() && a->second.held_until > now);
}

bool Guard::spend(Allowance& a, int limit, seconds window, Time now) {
  if (a.used == 0 || now - a.start >= window) {
    a.used = 0;
    a.start = now;
  }
  if (a.used >= limit) return false;
  ++a.used;
  return true;
}

bool Guard::allow_join(const std::string& addr, Time now) {
  return spend(joins_[addr], policy_.joins_per_min, seconds(60), now);
}

bool Guard::allow_new_id(const std::string& addr, Time now) {
  return spend(new_ids_[addr], policy_.new_ids_per_hour, seconds(3600), now);
}

bool Guard::allow_new_room(const std::string& addr, Time now) {
  return spend(new_rooms_[addr], policy_.new_rooms_per_hour, seconds(3600), now);
}

int Guard::count(Failures& f, int max_fails, int window_s, int lock_s, Time now) {
  if (f.count == 0 || now - f.first >= seconds(window_s)) {
    f.count = 0;
    f.first = now;
  }
  ++f.count;
  if (max_fails > 0 && f.count >= max_fails) {
    // The lock starts a fresh count, so the first wrong code after it does not relock.
    f.count = 0;
    f.locked_until = std::max(f.locked_until, now + seconds(lock_s));  // never shortened
    return minutes_left(&f, now);
  }
  return 0;
}

Guard::Verdict Guard::wrong_code(const std::string& id, const std::string& addr, Time now) {
  Failures& fi = ids_[id];
  Failures& fa = addrs_[addr];
  Verdict v;
  // Delay by the longer of the two runs of failures, counted before a lock resets them.
  const int run = std::max(fi.count + 1, fa.count + 1);
  v.id_lock_minutes = count(fi, policy_.id_max_fails, policy_.id_window, policy_.id_lock, now);
  v.addr_lock_minutes =
      count(fa, policy_.addr_max_fails, policy_.addr_window, policy_.addr_lock, now);
  const int shift = std::min(run - 1, 20);
  const int64_t delay = std::min<int64_t>(int64_t{policy_.delay_base_ms} << shift,
                                          policy_.delay_max_ms);
  v.delay = milliseconds(delay);
  fi.held_until = now + v.delay;
  fa.held_until = now + v.delay;
  return v;
}

void Guard::accepted(const std::string& id) {
  auto it = ids_.find(id);
  if (it != ids_.end()) it->second.count = 0;
}

int Guard::room_missed(const std::string& addr, Time now) {
  Failures& misses = room_misses_[addr];
  if (count(misses, policy_.call_max_misses, policy_.call_window, policy_.call_lock, now) == 0) {
    return 0;
  }
  Failures& fa = addrs_[addr];
  fa.locked_until = std::max(fa.locked_until, misses.locked_until);
  return minutes_left(&fa, now);
}

void Guard::sweep(Time now) {
  auto sweep_failures = [now](auto& map, int window_s) {
    for (auto it = map.begin(); it != map.end();) {
      const bool counting = it->second.count > 0 && now - it->second.first < seconds(window_s);
      if (!counting && it->second.locked_until <= now && it->second.held_until <= now) {
        it = map.erase(it);
      } else {
        ++it;
      }
    }
  };
  sweep_failures(ids_, policy_.id_window);
  sweep_failures(addrs_, policy_.addr_window);
  sweep_failures(room_misses_, policy_.call_window);
  auto sweep_allowance = [now](auto& map, seconds window) {
    for (auto it = map.begin(); it != map.end();) {
      it = now - it->second.start >= window ? map.erase(it) : std::next(it);
    }
  };
  sweep_allowance(joins_, seconds(60));
  sweep_allowance(new_ids_, seconds(3600));
  sweep_allowance(new_rooms_, seconds(3600));
}

}  // namespace vantriel::signal
