// What the server counts for its operators, and the text of "GET /metrics" in the
// Prometheus text exposition format (version 0.0.4). The counts are plain integers: the
// hub, the server and the metrics listener all run on the one I/O thread, so counting is
// an increment and nothing more (no lock, no atomic, no allocation per frame).
#ifndef VANTRIEL_SIGNAL_METRICS_H_
#define VANTRIEL_SIGNAL_METRICS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantriel::signal {

// Why a host registration, a support join or a call join was turned away.
enum class Refusal {
  kHostTaken,        // the ID is bound to another secret
  kHostNewIds,       // the address has bound its new IDs for the hour
  kHostUnavailable,  // the shared state cannot be reached
  kJoinOffline,
  kJoinBusy,
  kJoinIdLocked,
  kJoinAddrLocked,
  kJoinRate,         // the address's join attempts for the minute are spent
  kJoinUnavailable,
  kCallNotFound,
  kCallFull,
  kCallAddrLocked,
  kCallRate,
  kCallNewRooms,     // the address has opened its rooms for the hour
  kCallUnavailable,
  kCount
};

// How a support request that reached a host ended, accepted first or not.
enum class Ending {
  kDenied,           // the host said no
  kWrongAccessCode,  // the host found the access code wrong
  kTimeout,          // the host did not answer in time
  kCancel,           // the technician gave up before an answer
  kBye,              // the host ended it
  kLeft,             // the technician ended the accepted session or its socket closed
  kHostGone,         // the host's socket closed or was taken over
  kCount
};

enum class RelayKind { kSupport, kCall, kCount };
enum class LockScope { kId, kAddress, kCount };

template <class E>
constexpr size_t count_of() {
  return static_cast<size_t>(E::kCount);
}

// Counted by the hub.
struct HubCounters {
  uint64_t hosts_registered = 0;
  uint64_t requests = 0;  // "req" handed to a host
  uint64_t accepted = 0;
  uint64_t ended[count_of<Ending>()] = {};
  uint64_t refused[count_of<Refusal>()] = {};
  uint64_t wrong_codes = 0;  // "badkey" answers
  uint64_t locks[count_of<LockScope>()] = {};
  uint64_t rooms_opened = 0;
  uint64_t call_joins = 0;  // members welcomed into a room
  uint64_t relayed_frames[count_of<RelayKind>()] = {};
  uint64_t relayed_bytes[count_of<RelayKind>()] = {};

  void end(Ending why) { ++ended[static_cast<size_t>(why)]; }
  void refuse(Refusal why) { ++refused[static_cast<size_t>(why)]; }
  void lock(LockScope scope) { ++locks[static_cast<size_t>(scope)]; }
  void relayed(RelayKind kind, size_t bytes) {
    ++relayed_frames[static_cast<size_t>(kind)];
    relayed_bytes[static_cast<size_t>(kind)] += bytes;
  }
};

// What the hub holds right now.
struct HubGauges {
  size_t hosts = 0;
  size_t requests_pending = 0;  // waiting for the host's answer
  size_t sessions_open = 0;     // accepted
  size_t rooms = 0;
  size_t call_members = 0;
};

// Connections turned away at accept (or, behind a proxy, once the request names the client).
enum class ConnLimit { kTotal, kPerAddress, kCount };
// Requests and upgrades that did not finish within the handshake's bounds.
enum class HandshakeLimit { kTime, kSize, kCount };
// Open WebSocket connections the server closed because a limit was passed.
enum class SocketLimit { kMessageSize, kRate, kNotReading, kIdle, kCount };

// Counted by the network side.
struct ServerCounters {
  uint64_t connections = 0;  // accepted and counted
  uint64_t conns_refused[count_of<ConnLimit>()] = {};
  uint64_t handshakes_refused[count_of<HandshakeLimit>()] = {};
  uint64_t sockets_closed[count_of<SocketLimit>()] = {};
  uint64_t frames_received = 0;  // messages and control frames within the rate
  uint64_t bytes_received = 0;

  void refuse(ConnLimit why) { ++conns_refused[static_cast<size_t>(why)]; }
  void refuse(HandshakeLimit why) { ++handshakes_refused[static_cast<size_t>(why)]; }
  void closed(SocketLimit why) { ++sockets_closed[static_cast<size_t>(why)]; }
};

// A node of several: its Redis links and the messages it exchanges with the other nodes.
struct RedisMetrics {
  std::string node;
  bool healthy = false;  // what "/health" reports
  bool command_link = false, event_link = false, publish_link = false;
  size_t nodes = 0;  // nodes subscribed to their channels, this one included, last seen
  uint64_t messages_sent = 0, bytes_sent = 0;
  uint64_t messages_received = 0, bytes_received = 0;
};

struct MetricsSnapshot {
  std::string version;
  int64_t start_time = 0;  // unix seconds
  HubCounters hub;
  HubGauges hub_now;
  ServerCounters server;
  size_t connections_open = 0;
  bool clustered = false;
  RedisMetrics redis;
};

std::string render_metrics(const MetricsSnapshot& snapshot);

// Writes metric families in the text format: one HELP and one TYPE line per family, then
// its samples. Label values and help texts are escaped as the format requires.
class MetricsText {
 public:
  using Labels = std::vector<std::pair<std::string_view, std::string_view>>;
  void family(std::string_view name, std::string_view type, std::string_view help);
  void sample(std::string_view name, uint64_t value, const Labels& labels = {});
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// The label value as the text format writes it between quotes.
std::string escape_label_value(std::string_view value);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_METRICS_H_
