// signal-load: a load generator for vantriel-signal. On one I/O thread it
//   1. registers many idle hosts and reads the server's resident memory,
//   2. measures join-to-"accepted" latency (every host accepts at once),
//   3. relays "signal" messages between pairs in session at a steady rate and reports
//      the latency from the moment each message was due to its receipt,
//   4. raises the offered rate step by step until the relay's p99 passes a bound (or a
//      message is lost) twice in a row, narrows the last gap, and reports the highest
//      rate within the bound,
//   5. holds call rooms of eight members exchanging "state" messages.
// Steps 3 and 4 run against a reference relay too (--reference-port), in the same run,
// in rounds that alternate which relay goes first. With --cluster-ports it then does
// steps 1 to 5 again against several nodes sharing Redis: hosts spread over the nodes,
// every technician on another node than its host, call members spread too. It prints
// figures and never judges.
//
// The client side is a small WebSocket client of its own rather than Beast's stream:
// it writes every frame queued for a socket in one system call and reads many frames
// per call, so that on a machine shared with the relay it costs less than the relay.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// One client WebSocket: connect, handshake, a read loop handing every text frame to
// `on_message`, and a queue of outgoing frames sent together once per turn of the loop.
// Frames are masked with a zero key: the protocol requires a mask, not a secret one.
class Socket : public std::enable_shared_from_this<Socket> {
 public:
  std::function<void(std::string_view)> on_message;
  std::function<void()> on_open;
  bool open = false;
  bool failed = false;
  static inline int failures = 0;

  explicit Socket(net::io_context& ioc) : ioc_(ioc), socket_(ioc), in_(2048) {}

  // `from`: the loopback address to connect from (one address has only some 28,000
  // ports for outgoing connections).
  void connect(const tcp::endpoint& ep, const std::string& path, const net::ip::address& from) {
    error_code bind_error;
    socket_.open(tcp::v4(), bind_error);
    if (!bind_error) socket_.bind(tcp::endpoint(from, 0), bind_error);
    if (bind_error) return fail();
    socket_.async_connect(ep, [self = shared_from_this(), path](error_code ec) {
      if (ec) return self->fail();
      error_code ignored;
      self->socket_.set_option(tcp::no_delay(true), ignored);
      self->request_ = "GET " + path +
                       " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       "Sec-WebSocket-Version: 13\r\n\r\n";
      net::async_write(self->socket_, net::buffer(self->request_), [self](error_code ec2, size_t) {
        if (ec2) return self->fail();
        self->read();
      });
    });
  }

  void send(std::string_view text) { send({text}); }

  // One text frame made of `parts`, without building the text first.
  void send(std::initializer_list<std::string_view> parts) {
    if (failed) return;
    char header[14];
    size_t len = 2;
    header[0] = static_cast<char>(0x81);
    uint64_t size = 0;
    for (const std::string_view part : parts) size += part.size();
    if (size < 126) {
      header[1] = static_cast<char>(0x80 | size);
    } else if (size <= 0xFFFF) {
      header[1] = static_cast<char>(0x80 | 126);
      header[2] = static_cast<char>(size >> 8);
      header[3] = static_cast<char>(size);
      len = 4;
    } else {
      header[1] = static_cast<char>(0x80 | 127);
      for (int i = 0; i < 8; ++i) header[2 + i] = static_cast<char>(size >> (56 - 8 * i));
      len = 10;
    }
    std::memset(header + len, 0, 4);  // the mask key
    out_.append(header, len + 4);
    for (const std::string_view part : parts) out_.append(part);
    if (!writing_ && !scheduled_) {
      scheduled_ = true;
      net::post(ioc_, [self = shared_from_this()] {
        self->scheduled_ = false;
        self->flush();
      });
    }
  }

  void close() {
    error_code ignored;
    socket_.close(ignored);
  }

 private:
  void fail() {
    if (!failed) ++failures;
    failed = true;
    open = false;
  }

  void flush() {
    if (writing_ || out_.empty() || failed) return;
    writing_ = true;
    sending_.swap(out_);
    net::async_write(socket_, net::buffer(sending_),
                     [self = shared_from_this()](error_code ec, size_t) {
                       self->writing_ = false;
                       self->sending_.clear();
                       if (ec) return self->fail();
                       self->flush();
                     });
  }

  void read() {
    if (in_.size() - len_ < 1024) in_.resize(in_.size() * 2);
    socket_.async_read_some(net::buffer(in_.data() + len_, in_.size() - len_),
                            [self = shared_from_this()](error_code ec, size_t n) {
                              if (ec) return self->fail();
                              self->len_ += n;
                              if (self->open ? self->frames() : self->handshake()) self->read();
                            });
  }

  bool handshake() {
    const std::string_view got(in_.data(), len_);
    const size_t end = got.find("\r\n\r\n");
    if (end == std::string_view::npos) {
      if (len_ > 8192) fail();
      return !failed;
    }
    if (got.rfind("HTTP/1.1 101", 0) != 0) {
      fail();
      return false;
    }
    std::memmove(in_.data(), in_.data() + end + 4, len_ - end - 4);
    len_ -= end + 4;
    open = true;
    if (on_open) on_open();
    return frames();
  }

  // Hands over every complete frame; keeps a partial one for the next read.
  bool frames() {
    size_t pos = 0;
    while (len_ - pos >= 2) {
      const auto* p = reinterpret_cast<const unsigned char*>(in_.data() + pos);
      uint64_t size = p[1] & 0x7f;
      size_t header = 2;
      if (size == 126) {
        if (len_ - pos < 4) break;
        size = (uint64_t{p[2]} << 8) | p[3];
        header = 4;
      } else if (size == 127) {
        if (len_ - pos < 10) break;
        size = 0;
        for (int i = 0; i < 8; ++i) size = (size << 8) | p[2 + i];
        header = 10;
      }
      if (len_ - pos < header + size) {
        if (in_.size() < header + size + 1024) in_.resize(header + size + 1024);
        break;
      }
      const int opcode = p[0] & 0x0f;
      if (opcode == 8) {  // the server closes
        fail();
        return false;
      }
      if ((opcode == 1 || opcode == 2) && on_message) {
        on_message(std::string_view(in_.data() + pos + header, size));
      }
      pos += header + size;
    }
    std::memmove(in_.data(), in_.data() + pos, len_ - pos);
    len_ -= pos;
    return true;
  }

  net::io_context& ioc_;
  tcp::socket socket_;
  std::string request_;
  std::vector<char> in_;
  size_t len_ = 0;
  std::string out_, sending_;
  bool writing_ = false;
  bool scheduled_ = false;
};
using SocketPtr = std::shared_ptr<Socket>;

// The value of `"name":"` or `"name":` in a frame, without parsing the whole frame.
std::string_view field(std::string_view frame, std::string_view name) {
  char key[32];
  const int n =
      std::snprintf(key, sizeof key, "\"%.*s\":", static_cast<int>(name.size()), name.data());
  size_t p = frame.find(std::string_view(key, static_cast<size_t>(n)));
  if (p == std::string_view::npos) return {};
  p += static_cast<size_t>(n);
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
  int burst = 4;
  double bound_ms = 10;
  int start_rate = 5000;
  int max_rate = 500000;
  int step_seconds = 2;
  int rooms = 50;
  int rounds = 2;
  std::string reference_name = "reference ws relay";
  std::vector<int> cluster_ports;  // several nodes sharing Redis
  std::vector<int> cluster_pids;
  int redis_pid = 0;
  int cluster_hosts = 100000;
  // Joins are measured once this many idle hosts are registered, then again with all of
  // them; 0: only with all.
  int join_at = 0;
  int sources = 8;  // loopback addresses 127.0.0.1 .. 127.0.0.<sources> to connect from
};

std::vector<int> number_list(const char* text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

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

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

class Load {
 public:
  Load(net::io_context& ioc, int sources) : ioc_(ioc), sources_(std::max(1, sources)) {}

  template <typename Pred>
  bool run_until(Pred done, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) {
      ioc_.restart();
      ioc_.run_one_for(std::chrono::milliseconds(50));
    }
    return done();
  }
  void poll() {
    ioc_.restart();
    ioc_.poll();
  }
  void run_for(std::chrono::milliseconds d) {
    ioc_.restart();
    ioc_.run_for(d);
  }

  SocketPtr open_socket(int port, const std::string& path) {
    auto s = std::make_shared<Socket>(ioc_);
    const auto from = net::ip::address_v4(0x7f000001u + static_cast<unsigned>(next_source_++ % sources_));
    s->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
               path, from);
    return s;
  }

  // A host that accepts every request at once.
  struct Host {
    SocketPtr socket;
    std::string id;
    std::string sid;  // its current session
    bool ready = false;
    size_t node = 0;  // index of the port it registered on
    // Handlers point at this object: silence them before it goes.
    ~Host() {
      if (!socket) return;
      socket->on_open = nullptr;
      socket->on_message = nullptr;
      socket->close();
    }
  };

  // Hosts spread over `ports` in turn.
  std::vector<std::unique_ptr<Host>> register_hosts(const std::vector<int>& ports, int count,
                                                    int base, int& ready, int batch = 200) {
    std::vector<std::unique_ptr<Host>> hosts;
    const int failed_before = Socket::failures;
    auto settled = [&](int n) { return ready + Socket::failures - failed_before >= n; };
    for (int i = 0; i < count; ++i) {
      auto h = std::make_unique<Host>();
      h->id = std::to_string(base + i);
      Host* hp = h.get();
      h->node = static_cast<size_t>(i) % ports.size();
      h->socket = open_socket(ports[h->node], "/host/" + h->id);
      h->socket->on_open = [hp] {
        hp->socket->send(R"({"t":"hello","key":"load-key-)" + hp->id +
                         R"(","name":"Load host","ver":"0.1.1"})");
      };
      h->socket->on_message = [hp, &ready](std::string_view m) {
        const std::string_view t = field(m, "t");
        if (t == "ready") {
          hp->ready = true;
          ++ready;
        } else if (t == "req") {
          hp->sid = std::string(field(m, "sid"));
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
  SocketPtr join(int port, const Host& host, int64_t& took) { return join(port, host.id, took); }
  SocketPtr join(int port, const std::string& id, int64_t& took) {
    auto t = open_socket(port, "/join/" + id);
    bool accepted = false, refused = false;
    int64_t start = 0;
    Socket* tp = t.get();
    t->on_open = [&, tp] {
      start = now_ns();
      tp->send(R"({"t":"join","name":"Load tech","pass":"LOAD01"})");
    };
    t->on_message = [&](std::string_view m) {
      const std::string_view type = field(m, "t");
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

  struct Step {
    int rate = 0;
    long sent = 0, got = 0;
    double p50 = 0, p99 = 0;
    double server_cpu = 0;  // share of one core
    double client_cpu = 0;
    double us_per_message = 0;  // the relay's CPU time per message relayed
  };

  // Offered load: `rate` messages per second in all, sent in bursts of `burst` messages
  // from one side of a pair, pairs and sides taken in turn. A message's latency counts
  // from the moment it was due, so a generator that falls behind shows as latency.
  Step relay(std::vector<Pair>& pairs, int rate, int burst, double seconds,
             const std::vector<int>& pids) {
    Step step;
    step.rate = rate;
    Stats stats;
    stats.ms.reserve(static_cast<size_t>(rate * seconds) + 16);
    long* got = &step.got;
    auto record = [&stats, got](std::string_view m) {
      const size_t at = m.rfind(R"("ts":)");
      if (at == std::string_view::npos) return;
      int64_t ts = 0;
      const char* digits = m.data() + at + 5;
      if (std::from_chars(digits, m.data() + m.size(), ts).ec != std::errc()) return;
      stats.add(now_ns() - ts);
      ++*got;
    };
    for (auto& p : pairs) {
      p.tech->on_message = record;
      p.host->socket->on_message = record;
    }
    auto relay_cpu = [&pids] {
      double sum = 0;
      for (int pid : pids) sum += pid > 0 ? cpu_seconds(pid) : 0;
      return sum;
    };
    const double server0 = relay_cpu(), client0 = cpu_seconds(0);
    const int64_t start = now_ns();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
    const double ns_per_message = 1e9 / rate;
    const long total = static_cast<long>(rate * seconds);
    size_t next = 0;
    bool from_host = true;
    // A timer wakes the sender when the next burst is due: waiting for the loop's own
    // time-out instead would add up to a millisecond (epoll counts in milliseconds).
    net::steady_timer timer(ioc_);
    std::function<void()> tick = [&] {
      const long due = std::min(
          total, static_cast<long>(static_cast<double>(now_ns() - start) / ns_per_message));
      while (step.sent + burst <= due || (step.sent < due && due == total)) {
        Pair& p = pairs[next++ % pairs.size()];
        if (next % pairs.size() == 0) from_host = !from_host;
        for (int b = 0; b < burst && step.sent < due; ++b) {
          send_signal(p, from_host, start + static_cast<int64_t>(step.sent * ns_per_message));
          ++step.sent;
        }
      }
      if (step.sent >= total) return;
      const long next_burst = std::min(total, step.sent + burst);
      const int64_t at =
          std::max(start + static_cast<int64_t>(next_burst * ns_per_message), now_ns() + 100'000);
      timer.expires_at(Clock::time_point(std::chrono::nanoseconds(at)));
      timer.async_wait([&](error_code ec) {
        if (!ec) tick();
      });
    };
    tick();
    // A relay that cannot keep up at all ends the step early.
    run_until([&] { return step.sent >= total || now_ns() > end + 2'000'000'000; },
              std::chrono::seconds(static_cast<int>(seconds) + 5));
    timer.cancel();
    ioc_.restart();
    ioc_.poll();
    const double wall = static_cast<double>(now_ns() - start) / 1e9;
    const double server1 = relay_cpu(), client1 = cpu_seconds(0);
    run_until([&] { return step.got >= step.sent; }, std::chrono::seconds(3));
    step.p50 = stats.pct(0.50);
    step.p99 = step.got < step.sent ? 1e9 : stats.pct(0.99);
    step.server_cpu = (server1 - server0) / wall;
    step.client_cpu = (client1 - client0) / wall;
    if (step.sent > 0)
      step.us_per_message = 1e6 * (server1 - server0) / static_cast<double>(step.sent);
    for (auto& p : pairs) {
      p.tech->on_message = nullptr;
      p.host->socket->on_message = nullptr;
    }
    return step;
  }

  void send_signal(Pair& p, bool from_host, int64_t due_ns) {
    static constexpr std::string_view kCandidate =
        R"({"ice":{"candidate":"candidate:842163049 1 udp 1677729535 192.0.2.10 51234 typ srflx raddr 10.0.0.5 rport 51234 generation 0","sdpMid":"0","sdpMLineIndex":0},"ts":)";
    char ts[24];
    const auto end = std::to_chars(ts, ts + sizeof ts, due_ns).ptr;
    const std::string_view stamp(ts, static_cast<size_t>(end - ts));
    if (from_host) {
      p.host->socket->send(
          {R"({"t":"signal","sid":")", p.host->sid, R"(","data":)", kCandidate, stamp, "}}"});
    } else {
      p.tech->send({R"({"t":"signal","data":)", kCandidate, stamp, "}}"});
    }
  }

 private:
  net::io_context& ioc_;
  int sources_;
  size_t next_source_ = 0;
};

struct RelayResult {
  Load::Step steady;
  Load::Step best;  // the highest offered rate whose p99 stayed within the bound
};

// The relay's processes: its nodes and, for nodes sharing Redis, Redis.
std::vector<int> with(std::vector<int> pids, int more) {
  if (more > 0) pids.push_back(more);
  return pids;
}

// Technicians join through the node after their host's, so that with several nodes every
// session crosses nodes.
int tech_port(const std::vector<int>& ports, const Load::Host& h) {
  return ports[(h.node + 1) % ports.size()];
}

RelayResult measure_relay(Load& load, const Options& o, const std::vector<int>& ports,
                          const std::vector<int>& pids, const char* label, int base) {
  RelayResult r;
  int ready = 0;
  auto hosts = load.register_hosts(ports, o.pairs, base, ready);
  std::vector<Load::Pair> pairs;
  for (auto& h : hosts) {
    if (!h->ready) continue;
    int64_t took = 0;
    auto t = load.join(tech_port(ports, *h), *h, took);
    if (took >= 0) pairs.push_back({h.get(), t});
  }
  std::printf("\n[%s] %zu pairs in session; load average %s\n", label, pairs.size(),
              load_average().c_str());
  if (pairs.empty()) return r;

  r.steady = load.relay(pairs, o.rate, 1, o.seconds, pids);
  std::printf(
      "[%s] steady %d msg/s for %d s: p50 %.3f ms  p99 %.3f ms  (%ld sent, %ld got; "
      "relay %.0f%% of a core, %.1f us per message)\n",
      label, o.rate, o.seconds, r.steady.p50, r.steady.p99, r.steady.sent, r.steady.got,
      100 * r.steady.server_cpu, r.steady.us_per_message);

  std::printf("[%s] rising rate, bursts of %d, %d s a step, bound p99 <= %.1f ms:\n", label,
              o.burst, o.step_seconds, o.bound_ms);
  // A step over the bound is run once more before it counts as over: on a shared machine
  // one stall of another process can spoil a step, and it spoils either relay alike.
  auto within_bound = [&](int rate, Load::Step& passed) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const Load::Step s = load.relay(pairs, rate, o.burst, o.step_seconds, pids);
      const bool within = s.got == s.sent && s.p99 <= o.bound_ms;
      std::printf(
          "  %7d msg/s  p50 %7.3f ms  p99 %9.3f ms  relay %3.0f%% of a core %5.1f "
          "us/msg  generator %3.0f%%%s\n",
          s.rate, s.p50, s.got < s.sent ? -1.0 : s.p99, 100 * s.server_cpu, s.us_per_message,
          100 * s.client_cpu,
          s.got < s.sent ? "  (messages lost)"
          : within       ? ""
                         : "  (over the bound)");
      load.run_for(std::chrono::milliseconds(200));
      if (within) {
        passed = s;
        return true;
      }
    }
    return false;
  };
  // Up by a quarter each step until over the bound, then two halvings of the last gap.
  int over = 0;
  for (double rate = o.start_rate; rate <= o.max_rate; rate *= 1.25) {
    if (!within_bound(static_cast<int>(rate), r.best)) {
      over = static_cast<int>(rate);
      break;
    }
  }
  for (int i = 0; i < 2 && over > 0 && r.best.rate > 0; ++i) {
    const int mid = (r.best.rate + over) / 2;
    if (!within_bound(mid, r.best)) over = mid;
  }
  std::printf("[%s] highest rate within p99 <= %.1f ms: %d msg/s\n", label, o.bound_ms,
              r.best.rate);
  for (auto& p : pairs) p.tech->close();
  for (auto& h : hosts) h->socket->close();
  load.run_for(std::chrono::milliseconds(300));
  return r;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const char* v = argv[i + 1];
    const int n = std::atoi(v);
    if (k == "--port")
      o.port = n;
    else if (k == "--reference-port")
      o.reference_port = n;
    else if (k == "--server-pid")
      o.server_pid = n;
    else if (k == "--reference-pid")
      o.reference_pid = n;
    else if (k == "--hosts")
      o.hosts = n;
    else if (k == "--joins")
      o.joins = n;
    else if (k == "--pairs")
      o.pairs = n;
    else if (k == "--rate")
      o.rate = n;
    else if (k == "--seconds")
      o.seconds = n;
    else if (k == "--burst")
      o.burst = std::max(1, n);
    else if (k == "--bound-ms")
      o.bound_ms = std::atof(v);
    else if (k == "--start-rate")
      o.start_rate = std::max(100, n);
    else if (k == "--max-rate")
      o.max_rate = n;
    else if (k == "--step-seconds")
      o.step_seconds = std::max(1, n);
    else if (k == "--rooms")
      o.rooms = n;
    else if (k == "--rounds")
      o.rounds = n;
    else if (k == "--reference-name")
      o.reference_name = v;
    else if (k == "--cluster-ports")
      o.cluster_ports = number_list(v);
    else if (k == "--cluster-pids")
      o.cluster_pids = number_list(v);
    else if (k == "--redis-pid")
      o.redis_pid = n;
    else if (k == "--cluster-hosts")
      o.cluster_hosts = n;
    else if (k == "--sources")
      o.sources = n;
    else if (k == "--join-at")
      o.join_at = n;
    else
      return false;
  }
  return argc % 2 == 1;
}

// Idle hosts held by child processes of their own, each within the open-files limit of
// one process: 100,000 sockets do not fit in one. Each child registers its share (host
// i of the whole goes to node i % nodes, ID base + i), answers requests at once like any
// idle host here, and ends when the parent closes its pipe (or the parent dies). A set
// that adds to an earlier one starts at host `offset` of the whole.
class IdleHosts {
 public:
  IdleHosts(const Options& o, const std::vector<int>& ports, int count, int base,
            int offset = 0) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    // A few hundred descriptors to spare for the child's own needs.
    const int per_child = std::max(1000, static_cast<int>(std::min<rlim_t>(lim.rlim_cur, 1u << 20)) - 500);
    std::fflush(stdout);
    for (int first = 0; first < count; first += per_child) {
      const int share = std::min(per_child, count - first);
      int up[2], down[2];
      if (pipe(up) != 0 || pipe(down) != 0) break;
      const pid_t pid = fork();
      if (pid == 0) {
        close(up[0]);
        close(down[1]);
        hold(o, ports, offset + first, share, base, up[1], down[0]);
        _exit(0);
      }
      close(up[1]);
      close(down[0]);
      children_.push_back({pid, up[0], down[1]});
      // One child registers at a time: all at once, with many nodes sharing one Redis
      // on a small machine, they only slow each other down.
      int got = 0;
      if (read(up[0], &got, sizeof got) == sizeof got) ready += got;
    }
  }
  ~IdleHosts() {
    for (auto& c : children_) {
      close(c.to);  // the child sees its pipe close and ends
      close(c.from);
    }
    for (auto& c : children_) waitpid(c.pid, nullptr, 0);
  }
  int ready = 0;

 private:
  static void hold(const Options& o, const std::vector<int>& ports, int first, int share,
                   int base, int up, int down) {
    net::io_context ioc(1);
    Load load(ioc, o.sources);
    int ready = 0;
    // The hosts are numbered over the whole set, so that host i sits on node i % nodes.
    std::vector<int> rotated;
    for (size_t k = 0; k < ports.size(); ++k) rotated.push_back(ports[(static_cast<size_t>(first) + k) % ports.size()]);
    auto hosts = load.register_hosts(rotated, share, base + first, ready);
    if (write(up, &ready, sizeof ready) != sizeof ready) return;
    // The parent closing its end, or dying, ends the wait (POLLHUP). Meanwhile every host
    // pings every 25 s as pages do, or the idle time-out would close it.
    pollfd p{down, POLLIN, 0};
    auto next_ping = Clock::now() + std::chrono::seconds(25);
    while (poll(&p, 1, 0) == 0) {
      load.run_for(std::chrono::milliseconds(100));
      if (Clock::now() < next_ping) continue;
      next_ping += std::chrono::seconds(25);
      for (auto& h : hosts) {
        if (h->ready) h->socket->send(R"({"t":"ping"})");
      }
    }
  }
  struct Child {
    pid_t pid;
    int from, to;
  };
  std::vector<Child> children_;
};

// One deployment under test: one node, or several sharing Redis.
struct Topology {
  std::string name;
  std::vector<int> ports;
  std::vector<int> pids;
  int redis_pid = 0;
  int hosts = 0;
  int base = 0;  // first ID of its idle hosts
};

struct Summary {
  int ready = 0;
  std::vector<double> kib_per_host;  // per node
  double join_p50 = 0, join_p99 = 0;
  int ready_first = 0;  // registered when the first joins were measured (--join-at)
  double first_p50 = 0, first_p99 = 0;
  RelayResult relay;
};

// Steps 1, 2 and 5 on `t`, with steps 3 and 4 done by `relay` while the idle hosts stay
// registered.
Summary measure(Load& load, const Options& o, const Topology& t,
                const std::function<RelayResult()>& relay) {
  Summary out;
  const size_t n = t.ports.size();
  std::printf("\n===== %s =====\n", t.name.c_str());
  // 2. Join to accepted, one technician after another over the first `hosts` idle hosts,
  // each through another node than its host's.
  auto joins_over = [&](int hosts, double& p50, double& p99) {
    Stats joins;
    for (int i = 0; i < o.joins && hosts > 0; ++i) {
      const int k = static_cast<int>((static_cast<int64_t>(i) * 7919) % hosts);
      Load::Host h;
      h.id = std::to_string(t.base + k);
      h.node = static_cast<size_t>(k) % n;
      int64_t took = 0;
      auto tech = load.join(tech_port(t.ports, h), h.id, took);
      if (took >= 0) joins.add(took);
      tech->send(R"({"t":"bye"})");
      load.poll();  // the bye leaves before the socket closes
      tech->close();
    }
    load.run_for(std::chrono::milliseconds(200));
    p50 = joins.pct(0.5);
    p99 = joins.pct(0.99);
    std::printf("[%s] join to accepted with %d idle hosts (hosts answer at once%s): p50 %.3f ms  "
                "p99 %.3f ms  (%zu joins; load average %s)\n",
                t.name.c_str(), hosts, n > 1 ? ", technician on another node" : "", p50, p99,
                joins.ms.size(), load_average().c_str());
  };

  // 1. Idle registered hosts and each node's memory; with --join-at, joins are measured
  // first with that many, then the rest are added.
  std::vector<long> before;
  for (int pid : t.pids) before.push_back(rss_kib(pid));
  const long redis_before = rss_kib(t.redis_pid);
  const auto t0 = Clock::now();
  std::unique_ptr<IdleHosts> idle_first;
  int first = 0;
  if (o.join_at > 0 && o.join_at < t.hosts) {
    first = o.join_at;
    idle_first = std::make_unique<IdleHosts>(o, t.ports, first, t.base);
    out.ready_first = idle_first->ready;
    load.run_for(std::chrono::milliseconds(500));
    std::printf("[%s] idle hosts registered: %d of %d\n", t.name.c_str(), out.ready_first, first);
    joins_over(first, out.first_p50, out.first_p99);
  }
  auto idle = std::make_unique<IdleHosts>(o, t.ports, t.hosts - first, t.base, first);
  out.ready = out.ready_first + idle->ready;
  const double reg_s = std::chrono::duration<double>(Clock::now() - t0).count();
  load.run_for(std::chrono::milliseconds(500));
  std::printf("[%s] idle hosts registered: %d of %d in %.1f s\n", t.name.c_str(), out.ready,
              t.hosts, reg_s);
  for (size_t i = 0; i < n; ++i) {
    const long rss = rss_kib(t.pids[i]);
    const double hosts_here = static_cast<double>(out.ready) / static_cast<double>(n);
    out.kib_per_host.push_back(hosts_here > 0 ? static_cast<double>(rss - before[i]) / hosts_here
                                              : 0.0);
    std::printf("[%s] node %zu resident memory: %.1f MiB before, %.1f MiB with %.0f hosts "
                "(%.2f KiB per host)\n",
                t.name.c_str(), i + 1, static_cast<double>(before[i]) / 1024.0,
                static_cast<double>(rss) / 1024.0, hosts_here, out.kib_per_host.back());
  }
  if (t.redis_pid > 0) {
    const long redis = rss_kib(t.redis_pid);
    std::printf("[%s] redis resident memory: %.1f MiB before, %.1f MiB with the hosts (%.2f KiB "
                "per host)\n",
                t.name.c_str(), static_cast<double>(redis_before) / 1024.0,
                static_cast<double>(redis) / 1024.0,
                out.ready > 0 ? static_cast<double>(redis - redis_before) / out.ready : 0.0);
  }
  joins_over(t.hosts, out.join_p50, out.join_p99);

  // 3 and 4.
  out.relay = relay();
  for (size_t i = 0; i < n; ++i) {
    std::printf("[%s] node %zu resident memory after relay: %.1f MiB\n", t.name.c_str(), i + 1,
                static_cast<double>(rss_kib(t.pids[i])) / 1024.0);
  }

  // 5. Call rooms of eight, members spread over the nodes, each sending a state change
  // every 120 ms.
  std::vector<SocketPtr> members;
  int welcomed = 0;
  long states = 0;
  for (int r = 0; r < o.rooms; ++r) {
    char code[16];
    std::snprintf(code, sizeof code, "%c%05d", n > 1 ? 'M' : 'L', r % 100000);
    for (int m = 0; m < 8; ++m) {
      auto sock = load.open_socket(t.ports[static_cast<size_t>(m) % n], std::string("/call/") + code);
      Socket* sp = sock.get();
      sock->on_open = [sp, m] {
        sp->send(std::string(R"({"t":"join","name":"M)") + std::to_string(m) + R"(","create":)" +
                 (m == 0 ? "true" : "false") + "}");
      };
      sock->on_message = [&welcomed, &states](std::string_view msg) {
        const std::string_view type = field(msg, "t");
        if (type == "welcome") ++welcomed;
        if (type == "state") ++states;
      };
      members.push_back(sock);
      // The first member creates the room before the others arrive.
      if (m == 0)
        load.run_until([&] { return welcomed == r * 8 + 1 || sp->failed; },
                       std::chrono::seconds(5));
    }
  }
  load.run_until([&] { return welcomed >= o.rooms * 8; }, std::chrono::seconds(20));
  const auto rooms_start = Clock::now();
  for (int tick = 0; tick < 25; ++tick) {
    for (auto& m : members)
      m->send(tick % 2 ? R"({"t":"state","talk":true,"muted":false})"
                       : R"({"t":"state","talk":false,"muted":false})");
    load.run_for(std::chrono::milliseconds(120));
  }
  load.run_for(std::chrono::milliseconds(300));
  std::printf("[%s] call rooms held: %d rooms, %d of %d members welcomed, %ld of %ld state "
              "messages delivered in %.1f s\n",
              t.name.c_str(), o.rooms, welcomed, o.rooms * 8, states,
              static_cast<long>(o.rooms) * 8 * 7 * 25,
              std::chrono::duration<double>(Clock::now() - rooms_start).count());
  for (auto& m : members) m->close();
  idle.reset();
  idle_first.reset();
  load.run_for(std::chrono::milliseconds(500));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: signal-load --port N [--server-pid PID] [--reference-port N "
                 "--reference-pid PID] [--hosts N] [--joins N] [--pairs N] [--rate N] "
                 "[--seconds N] [--burst N] [--bound-ms X] [--start-rate N] [--max-rate N] "
                 "[--step-seconds N] [--rooms N] [--rounds N] [--reference-name TEXT] "
                 "[--cluster-ports N,N,N --cluster-pids P,P,P [--redis-pid P] "
                 "[--cluster-hosts N] [--join-at N]] [--sources N]\n");
    return 2;
  }
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  net::io_context ioc(1);
  Load load(ioc, o.sources);
  std::printf("load average at start: %s\n", load_average().c_str());

  // One node, against the reference relay in rounds that alternate which relay goes
  // first, so a change in the machine's other load does not always favour the same one.
  const Topology single{"one node", {o.port}, {o.server_pid}, 0, o.hosts, 100000000};
  const Summary one = measure(load, o, single, [&] {
    RelayResult best_ours;
    int best_ref = 0;
    for (int round = 0; round < o.rounds; ++round) {
      RelayResult ours, ref;
      auto run_ours = [&] {
        ours = measure_relay(load, o, single.ports, single.pids, "one node",
                             200000000 + round * 1000000);
      };
      auto run_ref = [&] {
        ref = measure_relay(load, o, {o.reference_port}, {o.reference_pid},
                            o.reference_name.c_str(), 300000000 + round * 1000000);
      };
      if (round % 2 == 0 || o.reference_port == 0) {
        run_ours();
        if (o.reference_port > 0) run_ref();
      } else {
        run_ref();
        run_ours();
      }
      if (round == 0 || ours.best.rate > best_ours.best.rate) best_ours = ours;
      best_ref = std::max(best_ref, ref.best.rate);
      if (ref.best.rate > 0) {
        std::printf(
            "\nround %d: at p99 <= %.1f ms vantriel-signal relays %d msg/s, the %s "
            "%d msg/s: %.2f times; per message %.1f us vs %.1f us of CPU\n",
            round + 1, o.bound_ms, ours.best.rate, o.reference_name.c_str(), ref.best.rate,
            static_cast<double>(ours.best.rate) / ref.best.rate, ours.best.us_per_message,
            ref.best.us_per_message);
      }
    }
    if (o.reference_port > 0 && best_ref > 0) {
      std::printf(
          "\nbest of %d rounds at p99 <= %.1f ms: vantriel-signal %d msg/s, %s %d "
          "msg/s: %.2f times\n",
          o.rounds, o.bound_ms, best_ours.best.rate, o.reference_name.c_str(), best_ref,
          static_cast<double>(best_ours.best.rate) / best_ref);
    }
    if (o.reference_pid > 0) {
      std::printf("reference relay resident memory: %.1f MiB\n",
                  static_cast<double>(rss_kib(o.reference_pid)) / 1024.0);
    }
    return best_ours;
  });

  if (!o.cluster_ports.empty()) {
    const Topology nodes{std::to_string(o.cluster_ports.size()) + " nodes", o.cluster_ports,
                         o.cluster_pids, o.redis_pid, o.cluster_hosts, 400000000};
    const auto relay_pids = with(nodes.pids, nodes.redis_pid);
    const Summary many = measure(load, o, nodes, [&] {
      return measure_relay(load, o, nodes.ports, relay_pids, nodes.name.c_str(), 500000000);
    });
    auto kib = [](const Summary& s) {
      double sum = 0;
      for (double k : s.kib_per_host) sum += k;
      return s.kib_per_host.empty() ? 0.0 : sum / static_cast<double>(s.kib_per_host.size());
    };
    std::printf("\n===== one node against %zu nodes sharing redis (load average %s) =====\n",
                nodes.ports.size(), load_average().c_str());
    std::printf("%-44s %14s %14s\n", "", "one node", nodes.name.c_str());
    std::printf("%-44s %14d %14d\n", "idle hosts registered", one.ready, many.ready);
    std::printf("%-44s %14.2f %14.2f\n", "KiB per idle host per node (mean)", kib(one),
                kib(many));
    if (!many.kib_per_host.empty()) {
      const auto [lo, hi] = std::minmax_element(many.kib_per_host.begin(), many.kib_per_host.end());
      std::printf("%-44s %14s %7.2f-%-6.2f\n", "KiB per idle host per node (least-most)", "", *lo,
                  *hi);
    }
    std::printf("%-44s %14.3f %14.3f\n", "relay p50 at steady rate (ms)", one.relay.steady.p50,
                many.relay.steady.p50);
    std::printf("%-44s %14.3f %14.3f\n", "relay p99 at steady rate (ms)", one.relay.steady.p99,
                many.relay.steady.p99);
    std::printf("%-44s %14d %14d\n", "highest rate within the p99 bound (msg/s)",
                one.relay.best.rate, many.relay.best.rate);
    std::printf("%-44s %14.1f %14.1f\n", "relay CPU per message there (us, all procs)",
                one.relay.best.us_per_message, many.relay.best.us_per_message);
    if (many.ready_first > 0) {
      char row[64];
      std::snprintf(row, sizeof row, "join p50 / p99 with %d idle hosts (ms)", o.join_at);
      std::printf("%-44s %14s %7.3f/%6.3f\n", row, "", many.first_p50, many.first_p99);
    }
    std::printf("%-44s %14.3f %14.3f\n", "join to accepted p50, all hosts (ms)", one.join_p50,
                many.join_p50);
    std::printf("%-44s %14.3f %14.3f\n", "join to accepted p99, all hosts (ms)", one.join_p99,
                many.join_p99);
    std::printf("cross-node hop at p99, steady rate: %+.3f ms\n",
                many.relay.steady.p99 - one.relay.steady.p99);
  }
  std::printf("load average at the end: %s\n", load_average().c_str());
  return 0;
}
