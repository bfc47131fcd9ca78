// The server's open connections, upgraded or not, in all and per client address, and
// the limits on them. Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_CONN_LIMITS_H_
#define VANTRIEL_SIGNAL_CONN_LIMITS_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>

#include "config.h"
#include "hub_env.h"

namespace vantriel::signal {

// Open connections, upgraded or not, in all and per client address.
struct ConnCounts {
  std::unordered_map<std::string, int> per_address;
  size_t total = 0;
};

// One connection's place in the server's counts, from accept until its socket closes;
// the HTTP session hands it to the WebSocket session on upgrade. It counts against the
// total always, and against an address once the address is known: at accept, or, behind
// a trusted proxy (whose connections carry everyone's), once the request names the client.
class Slot {
 public:
  Slot() = default;
  explicit Slot(ConnCounts& counts);
  Slot(Slot&& other) noexcept
      : counts_(std::exchange(other.counts_, nullptr)), address_(std::move(other.address_)) {}
  Slot& operator=(Slot&&) = delete;
  ~Slot() { release(); }

  void count_address(const std::string& address);
  // The address it counts against; "" when only the total.
  const std::string& address() const { return address_; }
  void release();

 private:
  ConnCounts* counts_ = nullptr;
  std::string address_;
};

class ConnLimits {
 public:
  explicit ConnLimits(const Policy& policy)
      : max_conns_(policy.max_conns), per_address_(policy.conns_per_addr) {}

  // Slots count here; they must be given back before this goes.
  ConnCounts& counts() { return counts_; }
  size_t total() const { return counts_.total; }
  bool full() const { return counts_.total >= static_cast<size_t>(max_conns_); }
  bool address_full(const std::string& address) const;
  // A flood of refused connections would be a flood of lines: one a second at most,
  // written to `env`'s log by its clock.
  void log_refusal(const std::string& address, HubEnv& env);

 private:
  const int max_conns_;
  const int per_address_;
  ConnCounts counts_;
  size_t refused_unlogged_ = 0;  // refusals since the last line about them
  std::chrono::steady_clock::time_point refusal_logged_{};
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_CONN_LIMITS_H_
