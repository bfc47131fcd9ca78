// The server's configuration: every value has a default, an environment variable
// VTR_SIGNAL_<NAME> and a command-line switch --<name>; a switch beats the environment.
#ifndef VANTRIEL_SIGNAL_CONFIG_H_
#define VANTRIEL_SIGNAL_CONFIG_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "morvane/core/result.h"

namespace vantriel::signal {

// Numbers that decide how the server treats wrong access codes and busy clients.
// Durations are in seconds unless the name says otherwise.
struct Policy {
  int request_timeout = 60;       // a host that does not answer a request by then: "timeout"
  int resume_grace = 30;          // a technician whose socket dropped may take its session
                                  // back this long
  int idle_timeout = 90;          // a socket without messages this long is closed (pages ping
                                  // every 25 s); control frames do not count
  int handshake_timeout = 5;      // from accept to the upgrade reply (or the plain reply)
  int max_frame = 65536;          // bytes in one WebSocket message
  int msg_rate = 50;              // messages per second per connection, sustained
  int msg_burst = 200;            // messages a connection may send at once
  int conns_per_addr = 40;        // open connections per source address, upgraded or not
  int max_conns = 50000;          // open connections in total, upgraded or not
  int id_max_fails = 5;           // wrong codes for one ID within id_window ...
  int id_window = 900;
  int id_lock = 900;              // ... lock the ID this long
  int addr_max_fails = 10;        // wrong codes from one address within addr_window ...
  int addr_window = 3600;
  int addr_lock = 3600;           // ... lock the address this long
  int delay_base_ms = 1000;       // the n-th wrong code in a row waits base * 2^(n-1) ...
  int delay_max_ms = 30000;       // ... up to this
  int joins_per_min = 30;         // join attempts per address per minute, support and call
  int new_ids_per_hour = 20;      // IDs one address may bind per hour
  int call_max_misses = 10;       // call joins from one address that find no room within
  int call_window = 3600;         // call_window ...
  int call_lock = 3600;           // ... lock the address this long
  int new_rooms_per_hour = 20;    // call rooms one address may open per hour
  int flush_ms = 1000;            // new bindings reach the data file within this
};

struct Config {
  std::string host = "127.0.0.1";
  int port = 8890;
  std::string data = "signal.json";
  std::vector<std::string> stun;  // STUN URLs handed out as they stand
  std::vector<std::string> turn;  // TURN URLs; handed out only with a turn_secret
  std::string turn_secret;
  std::string turn_user = "vantriel";
  int turn_ttl = 3600;            // lifetime of TURN credentials
  bool trust_proxy = false;       // take the client address from X-Real-IP / X-Forwarded-For
  bool accept_binding_loss = false;  // start even when no bindings file can be read
  bool no_web = false;            // "/" and the page's files answer 404 (web_page.h)
  // Several nodes: "host:port" of the Redis they share; empty for one node on its own.
  std::string redis;
  std::string redis_password;
  int redis_lease_ms = 5000;  // a node that stops renewing its lease is taken for dead
  // Or the master that these Sentinels ("host:port" each) name `redis_master`; the
  // sentinels' own password, when they have one.
  std::vector<std::string> redis_sentinels;
  std::string redis_master;
  std::string redis_sentinel_password;
  // A binding is acknowledged to its host once this many replicas hold it (WAIT), within
  // redis_wait_ms; otherwise the registration is refused. -1: 1 with sentinels, else 0.
  int redis_replicas = -1;
  int redis_wait_ms = 500;
  // TLS to Redis (and the sentinels): "rediss://" in `redis` sets it. The server's
  // certificate is checked against redis_ca (else the system's CAs) and must name
  // redis_tls_name (else the host connected to); redis_cert/redis_key: a client certificate.
  bool redis_tls = false;
  std::string redis_ca;
  std::string redis_tls_name;
  std::string redis_cert;
  std::string redis_key;
  // A one-shot mode: copy the bindings of this data file into Redis, then exit.
  std::string import_bindings;
  Policy policy;
  // "ADDRESS:PORT" ("[v6]:PORT" for IPv6) of the operators' "GET /metrics"; empty: none.
  // Split into metrics_host and metrics_port by parse_config.
  std::string metrics_listen;
  std::string metrics_host;
  int metrics_port = 0;

  bool uses_redis() const { return !redis.empty() || !redis_sentinels.empty(); }
  // Where Redis is, for the log: "host:port", or the master name and its sentinels.
  std::string redis_place() const;
};

// Reads the environment through `getenv` (so tests can pass their own) and then the
// switches. Fails with a message on an unknown switch or a value that is not a number
// where one is needed. "--help" yields an error holding the usage text.
morvane::Result<Config> parse_config(
    const std::vector<std::string>& args,
    const std::function<std::optional<std::string>(const std::string&)>& getenv);

// One line per setting, the TURN secret shown only as "(set)".
std::string describe_config(const Config& config);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_CONFIG_H_
