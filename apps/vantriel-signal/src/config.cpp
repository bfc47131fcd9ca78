#include "config.h"

#include <charconv>
#include <sstream>
#include <variant>

namespace vantriel::signal {
namespace {

struct Option {
  const char* name;  // switch without "--"; the variable is VTR_SIGNAL_ + upper-case name
  std::variant<int*, std::string*, std::vector<std::string>*, bool*> target;
  const char* help;
  bool secret = false;
};

std::vector<Option> options(Config& c) {
  Policy& p = c.policy;
  return {
      {"host", &c.host, "address to listen on"},
      {"port", &c.port, "TCP port (0: any free port)"},
      {"data", &c.data, "file that keeps the ID bindings"},
      {"stun", &c.stun, "STUN URL to hand out (repeatable; comma-separated in the variable)"},
      {"turn", &c.turn, "TURN URL to hand out with credentials (repeatable)"},
      {"turn-secret", &c.turn_secret, "secret shared with the TURN server", true},
      {"turn-user", &c.turn_user, "user part of TURN user names"},
      {"turn-ttl", &c.turn_ttl, "seconds a TURN credential stays valid"},
      {"trust-proxy", &c.trust_proxy, "client address from X-Real-IP/X-Forwarded-For"},
      {"accept-binding-loss", &c.accept_binding_loss,
       "start even when the bindings file and its previous copy are damaged"},
      {"no-web", &c.no_web, "do not serve the technician's page for browsers at /"},
      {"redis", &c.redis, "host:port of the Redis that several nodes share (none: one node)"},
      {"redis-password", &c.redis_password, "Redis password (prefer the variable)", true},
      {"redis-lease-ms", &c.redis_lease_ms, "a node silent this long is taken for dead"},
      {"redis-sentinels", &c.redis_sentinels,
       "host:port of each Redis Sentinel to ask for the master (instead of --redis)"},
      {"redis-master", &c.redis_master, "the master's name that the sentinels watch"},
      {"redis-sentinel-password", &c.redis_sentinel_password,
       "the sentinels' password (prefer the variable)", true},
      {"redis-replicas", &c.redis_replicas,
       "replicas that must hold a binding before its host is told (default: 1 with "
       "sentinels, else 0)"},
      {"redis-wait-ms", &c.redis_wait_ms, "how long a binding may wait for those replicas"},
      {"redis-tls", &c.redis_tls, "TLS to Redis and the sentinels (also: --redis rediss://...)"},
      {"redis-ca", &c.redis_ca, "CA file that Redis's certificate must chain to (else the system's)"},
      {"redis-tls-name", &c.redis_tls_name,
       "name Redis's certificate must carry (else the host connected to)"},
      {"redis-cert", &c.redis_cert, "client certificate (PEM) for Redis"},
      {"redis-key", &c.redis_key, "its private key (PEM)"},
      {"import-bindings", &c.import_bindings,
       "copy the bindings of this data file into --redis, then exit"},
      {"metrics-listen", &c.metrics_listen,
       "ADDRESS:PORT serving GET /metrics for operators (none: off); never the public port"},
      {"request-timeout", &p.request_timeout, "seconds a host has to answer a request"},
      {"resume-grace", &p.resume_grace,
       "seconds a technician whose socket dropped may take its session back"},
      {"idle-timeout", &p.idle_timeout, "seconds without a message before a socket is closed"},
      {"handshake-timeout", &p.handshake_timeout, "seconds from connecting to the upgrade"},
      {"max-frame", &p.max_frame, "largest message in bytes"},
      {"msg-rate", &p.msg_rate, "messages per second per connection"},
      {"msg-burst", &p.msg_burst, "burst of messages per connection"},
      {"conns-per-addr", &p.conns_per_addr, "open connections per source address"},
      {"max-conns", &p.max_conns, "open connections in total"},
      {"id-max-fails", &p.id_max_fails, "wrong codes that lock an ID"},
      {"id-window", &p.id_window, "seconds in which those wrong codes count"},
      {"id-lock", &p.id_lock, "seconds an ID stays locked"},
      {"addr-max-fails", &p.addr_max_fails, "wrong codes that lock a source address"},
      {"addr-window", &p.addr_window, "seconds in which those wrong codes count"},
      {"addr-lock", &p.addr_lock, "seconds an address stays locked"},
      {"delay-base-ms", &p.delay_base_ms, "delay after the first wrong code"},
      {"delay-max-ms", &p.delay_max_ms, "longest delay after wrong codes"},
      {"joins-per-min", &p.joins_per_min, "join attempts per address per minute"},
      {"new-ids-per-hour", &p.new_ids_per_hour, "new ID bindings per address per hour"},
      {"call-max-misses", &p.call_max_misses, "call joins finding no room that lock an address"},
      {"call-window", &p.call_window, "seconds in which those misses count"},
      {"call-lock", &p.call_lock, "seconds an address stays locked for them"},
      {"new-rooms-per-hour", &p.new_rooms_per_hour, "call rooms opened per address per hour"},
      {"flush-ms", &p.flush_ms, "milliseconds before new bindings are written"},
  };
}

std::string env_name(const char* name) {
  std::string out = "VTR_SIGNAL_";
  for (const char* p = name; *p; ++p) {
    out += *p == '-' ? '_' : static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
  }
  return out;
}

std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, ',')) {
    const size_t b = item.find_first_not_of(" \t");
    const size_t e = item.find_last_not_of(" \t");
    if (b != std::string::npos) out.push_back(item.substr(b, e - b + 1));
  }
  return out;
}

// `from_env` lists replace the default; switches append, after the first one clears.
morvane::Status assign(Option& o, const std::string& value, bool from_env, bool& list_cleared) {
  if (auto* i = std::get_if<int*>(&o.target)) {
    int v = 0;
    const char* end = value.data() + value.size();
    auto [p, ec] = std::from_chars(value.data(), end, v);
    if (ec != std::errc() || p != end || v < 0) {
      return morvane::make_error("--" + std::string(o.name) + " needs a number >= 0, not \"" +
                                 value + "\"");
    }
    **i = v;
  } else if (auto* s = std::get_if<std::string*>(&o.target)) {
    **s = value;
  } else if (auto* l = std::get_if<std::vector<std::string>*>(&o.target)) {
    if (from_env || !list_cleared) (*l)->clear();
    list_cleared = !from_env;
    for (auto& item : split_list(value)) (*l)->push_back(item);
  } else if (auto* b = std::get_if<bool*>(&o.target)) {
    **b = !(value == "0" || value == "no" || value == "false" || value == "off");
  }
  return {};
}

// "host:port" or "[v6]:port", the port 0-65535.
bool split_host_port(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // a bare IPv6 address: its port cannot be told from its groups
  }
  const char* begin = text.data() + colon + 1;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(begin, end, port);
  return ec == std::errc() && p == end && port >= 0 && port <= 65535;
}

std::string usage(std::vector<Option>& opts) {
  std::ostringstream out;
  out << "usage: vantriel-signal [--switch value]...\n"
         "Each switch may also come from the variable VTR_SIGNAL_<SWITCH>.\n";
  for (auto& o : opts) out << "  --" << o.name << "  " << o.help << "\n";
  return out.str();
}

}  // namespace

morvane::Result<Config> parse_config(
    const std::vector<std::string>& args,
    const std::function<std::optional<std::string>(const std::string&)>& getenv) {
  Config config;
  std::vector<Option> opts = options(config);
  std::vector<bool> cleared(opts.size(), false);
  for (size_t i = 0; i < opts.size(); ++i) {
    if (auto v = getenv(env_name(opts[i].name))) {
      bool unused = false;
      if (auto st = assign(opts[i], *v, true, unused); !st) {
        return morvane::make_error(env_name(opts[i].name) + ": " + st.error());
      }
    }
  }
  for (size_t a = 0; a < args.size(); ++a) {
    const std::string& arg = args[a];
    if (arg == "--help" || arg == "-h") return morvane::make_error(usage(opts));
    if (arg.rfind("--", 0) != 0) return morvane::make_error("unexpected argument \"" + arg + "\"");
    std::string name = arg.substr(2), value;
    bool has_value = false;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    size_t k = 0;
    while (k < opts.size() && name != opts[k].name) ++k;
    if (k == opts.size()) return morvane::make_error("unknown switch --" + name);
    if (!has_value) {
      if (std::holds_alternative<bool*>(opts[k].target)) {
        value.push_back('1');  // not = "1": GCC 12 -O3 warns falsely (-Wrestrict)
      } else if (a + 1 < args.size()) {
        value = args[++a];
      } else {
        return morvane::make_error("--" + name + " needs a value");
      }
    }
    bool flag = cleared[k];
    if (auto st = assign(opts[k], value, false, flag); !st) return morvane::make_error(st.error());
    cleared[k] = flag;
  }
  if (config.port > 65535) return morvane::make_error("--port must be at most 65535");
  if (config.policy.msg_rate == 0 || config.policy.max_frame < 256) {
    return morvane::make_error("--msg-rate must be at least 1 and --max-frame at least 256");
  }
  for (const char* scheme : {"rediss://", "redis://"}) {
    if (config.redis.rfind(scheme, 0) == 0) {
      config.redis_tls = config.redis_tls || scheme[5] == 's';
      config.redis.erase(0, std::string(scheme).size());
      if (!config.redis.empty() && config.redis.back() == '/') config.redis.pop_back();
    }
  }
  if (!config.redis.empty() && !config.redis_sentinels.empty()) {
    return morvane::make_error("give either --redis or --redis-sentinels, not both");
  }
  if (!config.redis_sentinels.empty() && config.redis_master.empty()) {
    return morvane::make_error("--redis-sentinels needs --redis-master, the name they watch");
  }
  if (config.redis_cert.empty() != config.redis_key.empty()) {
    return morvane::make_error("--redis-cert and --redis-key go together");
  }
  if (config.redis_replicas < 0) config.redis_replicas = config.redis_sentinels.empty() ? 0 : 1;
  if (config.redis_replicas > 0 && config.redis_wait_ms == 0) {
    return morvane::make_error("--redis-wait-ms must be at least 1 when replicas are awaited");
  }
  // A WAIT holds its link: keep it well within the time a command may take.
  if (config.redis_wait_ms > 2000) return morvane::make_error("--redis-wait-ms must be at most 2000");
  if (!config.import_bindings.empty() && !config.uses_redis()) {
    return morvane::make_error("--import-bindings needs --redis or --redis-sentinels");
  }
  if (config.redis_lease_ms < 500) return morvane::make_error("--redis-lease-ms must be at least 500");
  if (config.policy.handshake_timeout == 0) {
    return morvane::make_error("--handshake-timeout must be at least 1");
  }
  if (!config.metrics_listen.empty() &&
      !split_host_port(config.metrics_listen, config.metrics_host, config.metrics_port)) {
    return morvane::make_error("--metrics-listen needs ADDRESS:PORT ([ADDRESS]:PORT for IPv6), "
                               "not \"" + config.metrics_listen + "\"");
  }
  return config;
}

std::string Config::redis_place() const {
  const std::string scheme = redis_tls ? "rediss://" : "";
  if (redis_sentinels.empty()) return scheme + redis;
  std::string list;
  for (const auto& s : redis_sentinels) list += (list.empty() ? "" : ",") + s;
  return "master \"" + redis_master + "\" of sentinels " + scheme + list;
}

std::string describe_config(const Config& config) {
  Config copy = config;
  std::ostringstream out;
  for (auto& o : options(copy)) {
    out << o.name << " = ";
    if (auto* i = std::get_if<int*>(&o.target)) {
      out << **i;
    } else if (auto* s = std::get_if<std::string*>(&o.target)) {
      out << (o.secret ? ((*s)->empty() ? "(none)" : "(set)") : **s);
    } else if (auto* l = std::get_if<std::vector<std::string>*>(&o.target)) {
      std::string joined;
      for (auto& item : **l) joined += (joined.empty() ? "" : ",") + item;
      out << (joined.empty() ? "(none)" : joined);
    } else if (auto* b = std::get_if<bool*>(&o.target)) {
      out << (**b ? "yes" : "no");
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace vantriel::signal
