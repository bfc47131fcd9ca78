// What the log says about connections the loopback server closes unanswered because their
// process is another user's or cannot be identified: a line at most once a minute, so a
// process that keeps connecting cannot fill the log.
#ifndef VANTRIEL_HTTP_REFUSAL_LOG_H_
#define VANTRIEL_HTTP_REFUSAL_LOG_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "http/peer_owner.h"

namespace vantriel {

// The log line for a refused connection, at most one a minute: a refusal within a minute
// of the last line logged only counts towards the next line.
// REQUIRES: external synchronization (the server calls it on its I/O thread only).
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kInterval = std::chrono::minutes(1);

  std::optional<std::string> refuse(PeerOwner owner, const TcpEnd& remote, Clock::time_point now);

 private:
  std::optional<Clock::time_point> last_;
  std::uint64_t unlogged_ = 0;
};

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_REFUSAL_LOG_H_
