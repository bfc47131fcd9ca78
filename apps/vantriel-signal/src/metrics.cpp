#include "metrics.h"

#include <charconv>
#include <iterator>

namespace vantriel::signal {
namespace {

struct RefusalName {
  const char* socket;
  const char* reason;
};
constexpr RefusalName kRefusals[] = {
    {"host", "taken"},          {"host", "new_ids"},        {"host", "unavailable"},
    {"join", "offline"},        {"join", "busy"},           {"join", "id_locked"},
    {"join", "address_locked"}, {"join", "rate"},           {"join", "unavailable"},
    {"call", "notfound"},       {"call", "full"},           {"call", "address_locked"},
    {"call", "rate"},           {"call", "new_rooms"},      {"call", "unavailable"},
};
static_assert(std::size(kRefusals) == count_of<Refusal>());

constexpr const char* kEndings[] = {"denied", "badkey", "timeout", "cancel",
                                    "bye",    "left",   "hostgone"};
static_assert(std::size(kEndings) == count_of<Ending>());

constexpr const char* kRelayKinds[] = {"support", "call"};
static_assert(std::size(kRelayKinds) == count_of<RelayKind>());
constexpr const char* kLockScopes[] = {"id", "address"};
static_assert(std::size(kLockScopes) == count_of<LockScope>());
constexpr const char* kConnLimits[] = {"total", "per_address"};
static_assert(std::size(kConnLimits) == count_of<ConnLimit>());
constexpr const char* kHandshakeLimits[] = {"time", "size"};
static_assert(std::size(kHandshakeLimits) == count_of<HandshakeLimit>());
constexpr const char* kSocketLimits[] = {"message_size", "rate", "not_reading", "idle"};
static_assert(std::size(kSocketLimits) == count_of<SocketLimit>());

// One counter family labelled by `label`, a sample for every value of its table (zeros
// too: a series that appears only at its first event hides that event from rate()).
template <size_t N>
void labelled(MetricsText& out, std::string_view name, std::string_view help,
              std::string_view label, const char* const (&values)[N], const uint64_t (&counts)[N]) {
  out.family(name, "counter", help);
  for (size_t i = 0; i < N; ++i) out.sample(name, counts[i], {{label, values[i]}});
}

void gauge(MetricsText& out, std::string_view name, std::string_view help, uint64_t value) {
  out.family(name, "gauge", help);
  out.sample(name, value);
}

void counter(MetricsText& out, std::string_view name, std::string_view help, uint64_t value) {
  out.family(name, "counter", help);
  out.sample(name, value);
}

void escape_into(std::string& out, std::string_view text, bool quotes) {
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quotes) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string out;
  escape_into(out, value, true);
  return out;
}

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
  out_ += "# HELP ";
  out_ += name;
  out_ += ' ';
  escape_into(out_, help, false);
  out_ += "\n# TYPE ";
  out_ += name;
  out_ += ' ';
  out_ += type;
  out_ += '\n';
}

void MetricsText::sample(std::string_view name, uint64_t value, const Labels& labels) {
  out_ += name;
  if (!labels.empty()) {
    out_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) out_ += ',';
      out_ += labels[i].first;
      out_ += "=\"";
      escape_into(out_, labels[i].second, true);
      out_ += '"';
    }
    out_ += '}';
  }
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_ += ' ';
  out_.append(digits, end);
  out_ += '\n';
}

std::string render_metrics(const MetricsSnapshot& s) {
  MetricsText out;
  const HubCounters& h = s.hub;
  const ServerCounters& n = s.server;

  out.family("vantriel_signal_build_info", "gauge", "The server's version; always 1");
  if (s.clustered) {
    out.sample("vantriel_signal_build_info", 1, {{"version", s.version}, {"node", s.redis.node}});
  } else {
    out.sample("vantriel_signal_build_info", 1, {{"version", s.version}});
  }
  gauge(out, "vantriel_signal_start_time_seconds", "When the server started, in unix seconds",
        static_cast<uint64_t>(s.start_time));

  gauge(out, "vantriel_signal_hosts_online", "Host sockets registered under an ID on this node",
        s.hub_now.hosts);
  counter(out, "vantriel_signal_hosts_registered_total", "Host registrations that got ready",
          h.hosts_registered);

  gauge(out, "vantriel_signal_support_requests_pending",
        "Support requests waiting for the host's answer", s.hub_now.requests_pending);
  gauge(out, "vantriel_signal_support_sessions_open", "Accepted support sessions",
        s.hub_now.sessions_open);
  counter(out, "vantriel_signal_support_requests_total", "Support requests handed to a host",
          h.requests);
  counter(out, "vantriel_signal_support_sessions_accepted_total",
          "Support requests the host accepted", h.accepted);
  labelled(out, "vantriel_signal_support_ended_total",
           "Support requests and sessions that ended, by why", "reason", kEndings, h.ended);

  out.family("vantriel_signal_refused_total", "counter",
             "Host registrations, support joins and call joins turned away, by socket and why");
  for (size_t i = 0; i < count_of<Refusal>(); ++i) {
    out.sample("vantriel_signal_refused_total", h.refused[i],
               {{"socket", kRefusals[i].socket}, {"reason", kRefusals[i].reason}});
  }
  counter(out, "vantriel_signal_wrong_codes_total", "Access codes the host found wrong",
          h.wrong_codes);
  labelled(out, "vantriel_signal_locks_total",
           "Locks started on an ID or a client address (wrong codes, call codes not found)",
           "scope", kLockScopes, h.locks);

  gauge(out, "vantriel_signal_call_rooms", "Call rooms open on this node", s.hub_now.rooms);
  gauge(out, "vantriel_signal_call_members", "Members in the call rooms of this node",
        s.hub_now.call_members);
  counter(out, "vantriel_signal_call_rooms_opened_total", "Call rooms opened", h.rooms_opened);
  counter(out, "vantriel_signal_call_joins_total", "Members welcomed into a call room",
          h.call_joins);

  labelled(out, "vantriel_signal_relayed_frames_total",
           "Frames relayed to a peer: signals of support sessions; signals and states of calls",
           "socket", kRelayKinds, h.relayed_frames);
  labelled(out, "vantriel_signal_relayed_bytes_total", "Bytes of those frames", "socket",
           kRelayKinds, h.relayed_bytes);

  gauge(out, "vantriel_signal_connections_open",
        "Open connections on the public port, upgraded or not", s.connections_open);
  counter(out, "vantriel_signal_connections_total", "Connections accepted on the public port",
          n.connections);
  labelled(out, "vantriel_signal_connections_refused_total",
           "Connections closed at once because a connection limit was reached", "limit",
           kConnLimits, n.conns_refused);
  labelled(out, "vantriel_signal_handshakes_refused_total",
           "Requests and upgrades dropped for taking too long or sending too much", "limit",
           kHandshakeLimits, n.handshakes_refused);
  labelled(out, "vantriel_signal_sockets_closed_total",
           "WebSocket connections closed because a limit was passed", "limit", kSocketLimits,
           n.sockets_closed);
  counter(out, "vantriel_signal_received_frames_total",
          "WebSocket messages and control frames received within the rate", n.frames_received);
  counter(out, "vantriel_signal_received_bytes_total", "Bytes of those messages",
          n.bytes_received);

  if (s.clustered) {
    const RedisMetrics& r = s.redis;
    gauge(out, "vantriel_signal_redis_up",
          "1 while this node's links to Redis are up and its lease is held (as /health says)",
          r.healthy ? 1 : 0);
    out.family("vantriel_signal_redis_link_up", "gauge", "1 while that link to Redis is up");
    out.sample("vantriel_signal_redis_link_up", r.command_link, {{"link", "command"}});
    out.sample("vantriel_signal_redis_link_up", r.event_link, {{"link", "event"}});
    out.sample("vantriel_signal_redis_link_up", r.publish_link, {{"link", "publish"}});
    gauge(out, "vantriel_signal_redis_nodes",
          "Nodes listening on Redis, this one included, when last asked", r.nodes);
    out.family("vantriel_signal_node_messages_total", "counter",
               "Messages exchanged with the other nodes through Redis");
    out.sample("vantriel_signal_node_messages_total", r.messages_sent, {{"direction", "sent"}});
    out.sample("vantriel_signal_node_messages_total", r.messages_received,
               {{"direction", "received"}});
    out.family("vantriel_signal_node_message_bytes_total", "counter", "Bytes of those messages");
    out.sample("vantriel_signal_node_message_bytes_total", r.bytes_sent, {{"direction", "sent"}});
    out.sample("vantriel_signal_node_message_bytes_total", r.bytes_received,
               {{"direction", "received"}});
  }
  return out.take();
}

}  // namespace vantriel::signal
