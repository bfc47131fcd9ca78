// signal-load: a load generator for vantriel-signal. On one I/O thread it
//   1. registers many idle hosts and reads the server's resident memory,
//   2. measures join-to-"accepted" latency (every host accepts at once),
//   3. relays "signal" messages between pairs in session at a steady rate and reports
//      the latency from send to receipt,
//   4. finds the relay's throughput with a fixed number of messages in flight per pair,
//   5. holds call rooms of eight members exchanging "state" messages.
// Steps 3 and 4 may also run against a reference relay (--reference-port) in the same
// run. It prints figures and never judges them.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// One client WebSocket: connect, handshake, a read loop handing every text frame to
// `on_message`, and a write queue.
class Socket : public std::enable_shared_from_this<Socket> {
 public:
  std::function<void(const std::string&)> on_message;
  std::function<void()> on_open;
  bool open = false;
  bool failed = false;

  // Masks need no secrecy here; the fast generator keeps the client's cost down.
  explicit Socket(net::io_context& ioc) : ws_(ioc) { ws_.secure_prng(false); }

  void connect(const tcp::endpoint& ep, const std::string& path) {
    path_ = path;
    beast::get_lowest_layer(ws_).async_connect(ep, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->fail();
      beast::error_code ignored;
      beast::get_lowest_layer(self->ws_).socket().set_option(tcp::no_delay(true), ignored);
      self->ws_.async_handshake("127.0.0.1", self->path_, [self](beast::error_code ec2) {
        if (ec2) return self->fail();
        self->open = true;
        self->read();
        if (self->on_open) self->on_open();
      });
    });
  }

  void send(std::string text) {
    if (failed) return;
    queue_.push_back(std::move(text));
    if (!writing_) write();
  }

  void close() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  void fail() {
    if (!failed) ++failures;
    failed = true;
    open = false;
  }
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->fail();
      if (self->on_message) {
        self->on_message(beast::buffers_to_string(self->buffer_.cdata()));
      }
      self->buffer_.consume(self->buffer_.size());
      self->read();
    });
  }
  void write() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(queue_.front()),
                    [self = shared_from_this()](beast::error_code ec, size_t) {
                      self->writing_ = false;
                      if (ec) return self->fail();
                      self->queue_.pop_front();
                      if (!self->queue_.empty()) self->write();
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::deque<std::string> queue_;
  bool writing_ = false;
  std::string path_;

 public:
  static inline int failures = 0;
};
using SocketPtr = std::shared_ptr<Socket>;

// The value of `"name":"` or `"name":` in a frame, without parsing the whole frame.
std::string field(const std::string& frame, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t p = frame.find(key);
  if (p == std::string::npos) return {};
  p += key.size();
  if (p < frame.size() && frame[p] == '"') {
    const size_t e = frame.find('"', p + 1);
    return frame.substr(p + 1, e - p - 1);
  }
  size_t e = p;
  while (e < frame.size() && frame[e] != ',' && frame[e] != '}') ++e;
  return frame.substr(p, e - p);
}

struct Options {
  int port = 8890;
  int reference_port = 0;
  int server_pid = 0;
  int reference_pid = 0;
  int hosts = 10000;
  int joins = 1000;
  int pairs = 100;
  int rate = 5000;
  int seconds = 10;
  int window = 4;
  int rooms = 50;
  int rounds = 2;
};

struct Stats {
  std::vector<double> ms;
  void add(int64_t ns) { ms.push_back(static_cast<double>(ns) / 1e6); }
  double pct(double p) {
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[std::min(ms.size() - 1, static_cast<size_t>(p * static_cast<double>(ms.size())))];
  }
};

// User plus system CPU seconds a process has used so far.
double cpu_seconds(int pid) {
  std::ifstream in(pid > 0 ? "/proc/" + std::to_string(pid) + "/stat" : "/proc/self/stat");
  std::string text;
  std::getline(in, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(f);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long rss_kib(int pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class Load {
 public:
  Load(net::io_context& ioc, const Options& o) : ioc_(ioc), o_(o) {}

  template <typename Pred>
  bool run_until(Pred done, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) {
      ioc_.restart();
      ioc_.run_one_for(std::chrono::milliseconds(50));
    }
    return done();
  }
  void run_for(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    while (Clock::now() < end) {
      ioc_.restart();
      ioc_.run_one_until(end);
    }
  }

  SocketPtr open_socket(int port, const std::string& path) {
    auto s = std::make_shared<Socket>(ioc_);
    s->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
               path);
    return s;
  }

  // A host that accepts every request at once. `ids` grow from a base per run.
  struct Host {
    SocketPtr socket;
    std::string id;
    std::string sid;  // its current session
    bool ready = false;
    // Handlers point at this object: silence them before it goes.
    ~Host() {
      socket->on_open = nullptr;
      socket->on_message = nullptr;
      socket->close();
    }
  };

  std::vector<std::unique_ptr<Host>> register_hosts(int port, int count, int base, int& ready,
                                                     int batch = 200) {
    std::vector<std::unique_ptr<Host>> hosts;
    const int failed_before = Socket::failures;
    auto settled = [&](int n) { return ready + Socket::failures - failed_before >= n; };
    for (int i = 0; i < count; ++i) {
      auto h = std::make_unique<Host>();
      h->id = std::to_string(base + i);
      Host* hp = h.get();
      h->socket = open_socket(port, "/host/" + h->id);
      h->socket->on_open = [hp] {
        hp->socket->send(R"({"t":"hello","key":"load-key-)" + hp->id +
                         R"(","name":"Load host","ver":"0.1.1"})");
      };
      h->socket->on_message = [hp, &ready](const std::string& m) {
        const std::string t = field(m, "t");
        if (t == "ready") {
          hp->ready = true;
          ++ready;
        } else if (t == "req") {
          hp->sid = field(m, "sid");
          hp->socket->send(R"({"t":"answer","sid":")" + hp->sid + R"(","ok":true})");
        }
      };
      hosts.push_back(std::move(h));
      // Keep the number of handshakes in flight bounded.
      if ((i + 1) % batch == 0) run_until([&] { return settled(i + 1); }, std::chrono::seconds(30));
    }
    run_until([&] { return settled(count); }, std::chrono::seconds(60));
    return hosts;
  }

  // Opens a technician on `host` and runs until it is accepted; returns the socket and
  // the join-to-accepted time in nanoseconds (or -1).
  SocketPtr join(int port, Host& host, int64_t& took) {
    auto t = open_socket(port, "/join/" + host.id);
    bool accepted = false, refused = false;
    int64_t start = 0;
    t->on_open = [&, t] {
      start = now_ns();
      t->send(R"({"t":"join","name":"Load tech","pass":"LOAD01"})");
    };
    t->on_message = [&](const std::string& m) {
      const std::string type = field(m, "t");
      if (type == "accepted") {
        accepted = true;
        took = now_ns() - start;
      } else if (type != "waiting") {
        refused = true;
      }
    };
    run_until([&] { return accepted || refused || t->failed; }, std::chrono::seconds(10));
    t->on_message = nullptr;
    t->on_open = nullptr;
    if (!accepted) took = -1;
    return t;
  }

  struct Pair {
    Host* host;
    SocketPtr tech;
  };

  // Steady load: `rate` messages per second spread over the pairs, alternately host to
  // technician and back. Returns the latencies.
  Stats relay_steady(std::vector<Pair>& pairs, int rate, int seconds, long& sent, long& got) {
    Stats stats;
    stats.ms.reserve(static_cast<size_t>(rate) * seconds);
    sent = got = 0;
    long* got_p = &got;
    for (auto& p : pairs) {
      auto record = [&stats, got_p](const std::string& m) {
        const std::string ts = field(m, "ts");
        if (ts.empty()) return;
        stats.add(now_ns() - std::stoll(ts));
        ++*got_p;
      };
      p.tech->on_message = record;
      p.host->socket->on_message = record;
    }
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    size_t next = 0;
    while (Clock::now() < end) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const long due = static_cast<long>(elapsed * rate);
      while (sent < due) {
        Pair& p = pairs[next++ % pairs.size()];
        send_signal(p, sent % 2 == 0);
        ++sent;
      }
      ioc_.restart();
      ioc_.run_one_for(std::chrono::microseconds(200));
    }
    run_until([&] { return got >= sent; }, std::chrono::seconds(5));
    return stats;
  }

  // Closed loop: each pair keeps `window` messages in flight; every receipt sends the
  // next one back. Returns the latencies; `rate` becomes messages per second.
  Stats relay_saturated(std::vector<Pair>& pairs, int window, int seconds, double& rate) {
    Stats stats;
    long got = 0;
    bool running = true;
    for (auto& p : pairs) {
      Pair* pp = &p;
      p.tech->on_message = [this, pp, &stats, &got, &running](const std::string& m) {
        const std::string ts = field(m, "ts");
        if (ts.empty()) return;
        stats.add(now_ns() - std::stoll(ts));
        ++got;
        if (running) send_signal(*pp, false);
      };
      p.host->socket->on_message = [this, pp, &stats, &got, &running](const std::string& m) {
        const std::string ts = field(m, "ts");
        if (ts.empty()) return;
        stats.add(now_ns() - std::stoll(ts));
        ++got;
        if (running) send_signal(*pp, true);
      };
      for (int w = 0; w < window; ++w) send_signal(p, w % 2 == 0);
    }
    // Let the pipeline fill before counting.
    run_for(std::chrono::milliseconds(500));
    stats.ms.clear();
    got = 0;
    const auto start = Clock::now();
    run_for(std::chrono::seconds(seconds));
    rate = static_cast<double>(got) / std::chrono::duration<double>(Clock::now() - start).count();
    running = false;
    run_for(std::chrono::milliseconds(300));
    return stats;
  }

  void send_signal(Pair& p, bool from_host) {
    const std::string data =
        R"({"ice":{"candidate":"candidate:842163049 1 udp 1677729535 192.0.2.10 51234 typ srflx raddr 10.0.0.5 rport 51234 generation 0","sdpMid":"0","sdpMLineIndex":0,"ts":)" +
        std::to_string(now_ns()) + "}}";
    if (from_host) {
      p.host->socket->send(R"({"t":"signal","sid":")" + p.host->sid + R"(","data":)" + data + "}");
    } else {
      p.tech->send(R"({"t":"signal","data":)" + data + "}");
    }
  }

 private:
  net::io_context& ioc_;
  Options o_;
};

void print_stats(const char* what, Stats& s) {
  std::printf("%-44s p50 %7.3f ms   p99 %7.3f ms   (%zu samples)\n", what, s.pct(0.50),
              s.pct(0.99), s.ms.size());
}

struct RelayResult {
  double steady_p50 = 0, steady_p99 = 0, sat_rate = 0, sat_p50 = 0, sat_p99 = 0;
};

RelayResult measure_relay(Load& load, const Options& o, int port, int pid, const char* label,
                          int base) {
  RelayResult r;
  int ready = 0;
  auto hosts = load.register_hosts(port, o.pairs, base, ready);
  std::vector<Load::Pair> pairs;
  Stats joins;
  for (auto& h : hosts) {
    if (!h->ready) continue;
    int64_t took = 0;
    auto t = load.join(port, *h, took);
    if (took < 0) continue;
    joins.add(took);
    pairs.push_back({h.get(), t});
  }
  std::printf("\n[%s] %zu pairs in session\n", label, pairs.size());
  if (pairs.empty()) return r;
  long sent = 0, got = 0;
  Stats steady = load.relay_steady(pairs, o.rate, o.seconds, sent, got);
  char what[128];
  std::snprintf(what, sizeof what, "[%s] relay at %d msg/s (%ld sent, %ld got)", label, o.rate,
                sent, got);
  print_stats(what, steady);
  r.steady_p50 = steady.pct(0.5);
  r.steady_p99 = steady.pct(0.99);
  double rate = 0;
  const double server_cpu = cpu_seconds(pid), client_cpu = cpu_seconds(0);
  const auto started = Clock::now();
  Stats sat = load.relay_saturated(pairs, o.window, o.seconds, rate);
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();
  const double messages = rate * o.seconds;
  if (pid > 0 && messages > 0) {
    std::printf("[%s] saturated: server used %.0f%% of a core, %.1f us CPU per message; "
                "load generator %.0f%% of a core\n",
                label, 100 * (cpu_seconds(pid) - server_cpu) / wall,
                1e6 * (cpu_seconds(pid) - server_cpu) / messages,
                100 * (cpu_seconds(0) - client_cpu) / wall);
  }
  std::snprintf(what, sizeof what, "[%s] saturated, %d in flight per pair: %.0f msg/s", label,
                o.window, rate);
  print_stats(what, sat);
  r.sat_rate = rate;
  r.sat_p50 = sat.pct(0.5);
  r.sat_p99 = sat.pct(0.99);
  for (auto& p : pairs) p.tech->close();
  for (auto& h : hosts) h->socket->close();
  load.run_for(std::chrono::milliseconds(300));
  return r;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (k == "--port") o.port = v;
    else if (k == "--reference-port") o.reference_port = v;
    else if (k == "--server-pid") o.server_pid = v;
    else if (k == "--reference-pid") o.reference_pid = v;
    else if (k == "--hosts") o.hosts = v;
    else if (k == "--joins") o.joins = v;
    else if (k == "--pairs") o.pairs = v;
    else if (k == "--rate") o.rate = v;
    else if (k == "--seconds") o.seconds = v;
    else if (k == "--window") o.window = v;
    else if (k == "--rooms") o.rooms = v;
    else if (k == "--rounds") o.rounds = v;
    else return false;
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: signal-load --port N [--server-pid PID] [--reference-port N "
                 "--reference-pid PID] [--hosts N] [--joins N] [--pairs N] [--rate N] "
                 "[--seconds N] [--window N] [--rooms N] [--rounds N]\n");
    return 2;
  }
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  net::io_context ioc(1);
  Load load(ioc, o);

  // 1. Idle registered hosts and the server's memory.
  const long rss_before = rss_kib(o.server_pid);
  int ready = 0;
  const auto t0 = Clock::now();
  auto idle = load.register_hosts(o.port, o.hosts, 100000000, ready);
  const double reg_s = std::chrono::duration<double>(Clock::now() - t0).count();
  load.run_for(std::chrono::milliseconds(500));
  const long rss = rss_kib(o.server_pid);
  std::printf("idle hosts registered: %d of %d in %.1f s (%d socket failures)\n", ready, o.hosts,
              reg_s, Socket::failures);
  std::printf("server resident memory: %.1f MiB before, %.1f MiB with the hosts (%.1f KiB per host)\n",
              rss_before / 1024.0, rss / 1024.0,
              ready > 0 ? static_cast<double>(rss - rss_before) / ready : 0.0);

  // 2. Join to accepted, one technician after another over the idle hosts.
  Stats joins;
  for (int i = 0; i < o.joins && !idle.empty(); ++i) {
    auto& h = *idle[static_cast<size_t>(i) % idle.size()];
    if (!h.ready) continue;
    int64_t took = 0;
    auto t = load.join(o.port, h, took);
    if (took >= 0) joins.add(took);
    t->send(R"({"t":"bye"})");
    t->close();
  }
  load.run_for(std::chrono::milliseconds(200));
  print_stats("join to accepted (hosts answer at once)", joins);

  // 3 and 4. Relay under steady load, then saturated; the same against the reference.
  // Rounds alternate which server goes first, so a change in the machine's other load
  // does not always favour the same one.
  std::vector<double> ratios;
  for (int round = 0; round < o.rounds; ++round) {
    RelayResult ours, ref;
    auto run_ours = [&] {
      ours = measure_relay(load, o, o.port, o.server_pid, "vantriel-signal",
                           200000000 + round * 1000000);
    };
    auto run_ref = [&] {
      ref = measure_relay(load, o, o.reference_port, o.reference_pid, "reference ws relay",
                          300000000 + round * 1000000);
    };
    if (round % 2 == 0 || o.reference_port == 0) {
      run_ours();
      if (o.reference_port > 0) run_ref();
    } else {
      run_ref();
      run_ours();
    }
    if (ref.sat_rate > 0) {
      ratios.push_back(ours.sat_rate / ref.sat_rate);
      std::printf("\nround %d: saturated throughput vantriel-signal / reference = %.2f "
                  "(p99 %.3f ms vs %.3f ms)\n",
                  round + 1, ratios.back(), ours.sat_p99, ref.sat_p99);
    }
  }
  std::printf("server resident memory after relay: %.1f MiB\n", rss_kib(o.server_pid) / 1024.0);
  if (o.reference_pid > 0) {
    std::printf("reference relay resident memory: %.1f MiB\n", rss_kib(o.reference_pid) / 1024.0);
  }

  // 5. Call rooms of eight, each member sending a state change every 120 ms.
  std::vector<SocketPtr> members;
  int welcomed = 0;
  long states = 0;
  for (int r = 0; r < o.rooms; ++r) {
    char code[16];
    std::snprintf(code, sizeof code, "L%05d", r % 100000);
    for (int m = 0; m < 8; ++m) {
      auto s = load.open_socket(o.port, std::string("/call/") + code);
      Socket* sp = s.get();
      s->on_open = [sp, m] {
        sp->send(std::string(R"({"t":"join","name":"M)") + std::to_string(m) +
                 R"(","create":)" + (m == 0 ? "true" : "false") + "}");
      };
      s->on_message = [&welcomed, &states](const std::string& msg) {
        const std::string t = field(msg, "t");
        if (t == "welcome") ++welcomed;
        if (t == "state") ++states;
      };
      members.push_back(s);
      // The first member creates the room before the others arrive.
      if (m == 0) load.run_until([&] { return welcomed == r * 8 + 1 || sp->failed; }, std::chrono::seconds(5));
    }
  }
  load.run_until([&] { return welcomed >= o.rooms * 8; }, std::chrono::seconds(20));
  const auto rooms_start = Clock::now();
  for (int tick = 0; tick < 25; ++tick) {
    for (auto& s : members) s->send(tick % 2 ? R"({"t":"state","talk":true,"muted":false})"
                                             : R"({"t":"state","talk":false,"muted":false})");
    load.run_for(std::chrono::milliseconds(120));
  }
  load.run_for(std::chrono::milliseconds(300));
  std::printf("\ncall rooms held: %d rooms, %d of %d members welcomed, %ld state messages "
              "delivered in %.1f s\n",
              o.rooms, welcomed, o.rooms * 8, states,
              std::chrono::duration<double>(Clock::now() - rooms_start).count());
  std::printf("server resident memory at the end: %.1f MiB\n", rss_kib(o.server_pid) / 1024.0);
  for (auto& s : members) s->close();
  for (auto& h : idle) h->socket->close();
  load.run_for(std::chrono::milliseconds(200));
  return 0;
}
