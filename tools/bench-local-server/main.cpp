// Measures the host's loopback server: latency percentiles and requests per second for
// GET /api/version and for a POST of 200 small input events, with 1, 6 and 32 concurrent
// keep-alive clients, beside a plain TCP echo over loopback measured in the same run (the
// floor no HTTP server can beat). Also: the page's requests while 100 idle keep-alive
// connections are open, the host's resident memory after start, its CPU time while
// idle, and the same for a host waiting in the tray. And what a new connection costs: the
// host only serves processes of its own user, which it checks once per connection (never
// per kept-alive request); the check alone, and a new connection to the echo floor with
// and without it, show its share.
//
//   bench-local-server PATH_TO_VANTRIEL [REQUESTS_PER_CLIENT]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/peer_owner_linux.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench-local-server: %s\n", what.c_str());
  std::exit(1);
}

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("connect failed");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void send_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) die("send failed");
    sent += static_cast<std::size_t>(n);
  }
}

// Reads one HTTP reply with a Content-Length from a kept-alive connection.
std::string read_reply(int fd, std::string& pending) {
  for (;;) {
    auto end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      auto cl = pending.find("Content-Length: ");
      if (cl == std::string::npos || cl > end) die("reply without Content-Length");
      std::size_t length = std::strtoul(pending.c_str() + cl + 16, nullptr, 10);
      if (pending.size() >= end + 4 + length) {
        std::string reply = pending.substr(0, end + 4 + length);
        pending.erase(0, end + 4 + length);
        return reply;
      }
    }
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) die("connection closed by the host");
    pending.append(buf, static_cast<std::size_t>(n));
  }
}

std::string http_get_once(int port, const std::string& path) {
  int fd = connect_to(port);
  send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string pending;
  std::string reply = read_reply(fd, pending);
  close(fd);
  return reply;
}

// Opens the host's input socket on a new connection (the handshake a page makes); -1
// when the host refuses it (an older host has none).
int open_input_socket(int port, const std::string& token) {
  int fd = connect_to(port);
  send_all(fd, "GET /api/input?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                   std::to_string(port) + "\r\nOrigin: http://127.0.0.1:" + std::to_string(port) +
                   "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  std::string head;
  char c;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (recv(fd, &c, 1, 0) != 1) die("input socket: closed during the handshake");
    head += c;
  }
  if (head.rfind("HTTP/1.1 101", 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One client text frame (masked, as a browser sends it).
std::string text_frame(const std::string& text) {
  std::string frame(1, static_cast<char>(0x81));
  const std::size_t n = text.size();
  if (n < 126) {
    frame += static_cast<char>(0x80 | n);
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>((n >> 8) & 0xff);
    frame += static_cast<char>(n & 0xff);
  }
  const char mask[4] = {0x12, 0x34, 0x56, 0x78};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < n; ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
  return frame;
}

// Reads one unmasked server frame (a short text reply) from the socket.
void read_frame(int fd, std::string& pending) {
  for (;;) {
    if (pending.size() >= 2) {
      std::size_t n = static_cast<unsigned char>(pending[1]) & 0x7f, at = 2;
      if (n == 126 && pending.size() >= 4) {
        n = (static_cast<unsigned char>(pending[2]) << 8) | static_cast<unsigned char>(pending[3]);
        at = 4;
      }
      if (n < 126 || at == 4) {
        if (pending.size() >= at + n) {
          pending.erase(0, at + n);
          return;
        }
      }
    }
    char buf[4096];
    ssize_t got = recv(fd, buf, sizeof buf, 0);
    if (got <= 0) die("input socket closed by the host");
    pending.append(buf, static_cast<std::size_t>(got));
  }
}

struct Figures {
  double p50_us = 0, p99_us = 0, rps = 0;
};

// `clients` threads, each on its own kept-alive connection, each sending `count` requests
// one after the other; `exchange` does one request and waits for its reply.
Figures run_clients(int clients, int count, const std::function<int()>& open,
                    const std::function<void(int, std::string&)>& exchange) {
  std::vector<std::vector<double>> per(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      int fd = open();
      std::string pending;
      exchange(fd, pending);  // warm up the connection
      ++ready;
      while (!go) std::this_thread::yield();
      auto& lat = per[static_cast<std::size_t>(c)];
      lat.reserve(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        exchange(fd, pending);
        lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      close(fd);
    });
  }
  while (ready < clients) std::this_thread::yield();
  auto start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& v : per) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  Figures f;
  f.p50_us = all[all.size() / 2];
  f.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  f.rps = static_cast<double>(all.size()) / seconds;
  return f;
}

vantriel::TcpEnd end_of(const sockaddr_in& address) {
  vantriel::TcpEnd end;
  std::memcpy(end.address.data(), &address.sin_addr, 4);
  end.port = ntohs(address.sin_port);
  return end;
}

// What the host checks for each new connection, on an accepted socket.
bool peer_is_own_user(int fd) {
  sockaddr_in local{}, remote{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  length = sizeof remote;
  getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length);
  return vantriel::loopback_peer_owner(end_of(local), end_of(remote)) ==
         vantriel::PeerOwner::kOwnUser;
}

// Percentiles of `count` runs of `step`, in microseconds.
Figures time_each(int count, const std::function<void()>& step) {
  std::vector<double> all;
  all.reserve(static_cast<std::size_t>(count));
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    auto t0 = Clock::now();
    step();
    all.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(all.begin(), all.end());
  return {all[all.size() / 2], all[std::min(all.size() - 1, all.size() * 99 / 100)],
          static_cast<double>(count) / seconds};
}

// A plain TCP echo server on loopback: one thread per connection. With `check_owner`, each
// connection is first checked as the host checks it.
int start_echo_server(bool check_owner = false) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("echo bind");
  listen(fd, 128);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread([fd, check_owner] {
    for (;;) {
      int c = accept(fd, nullptr, nullptr);
      if (c < 0) continue;
      if (check_owner && !peer_is_own_user(c)) {
        close(c);
        continue;
      }
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::thread([c] {
        char buf[65536];
        for (;;) {
          ssize_t n = recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          if (send(c, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        close(c);
      }).detach();
    }
  }).detach();
  return ntohs(addr.sin_port);
}

// A field of /proc/<pid>/status in KiB: "VmRSS:" (all resident pages), "RssAnon:" (the
// process's own memory; the rest is shared library pages other processes share).
long status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
  }
  return -1;
}

long rss_kib(pid_t pid) { return status_kib(pid, "VmRSS:"); }

long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

void print(const char* what, int clients, const Figures& f) {
  std::printf("%-34s %3d clients  p50 %8.1f us  p99 %8.1f us  %9.0f req/s\n", what, clients,
              f.p50_us, f.p99_us, f.rps);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) die("usage: bench-local-server PATH_TO_VANTRIEL [REQUESTS_PER_CLIENT]");
  int per_client = argc > 2 ? std::atoi(argv[2]) : 2000;

  // The host, from a folder of its own.
  fs::path folder = fs::temp_directory_path() / ("bench-host-" + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::copy_file(argv[1], folder / "vantriel", fs::copy_options::overwrite_existing);
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  int first_port = ntohs(addr.sin_port);
  close(probe);

  pid_t host = fork();
  if (host == 0) {
    setenv("VTR_PORT", std::to_string(first_port).c_str(), 1);
    unsetenv("DISPLAY");
    if (chdir(folder.c_str()) != 0) _exit(127);
    execl((folder / "vantriel").c_str(), "vantriel", "--no-window", "--no-tray", "--no-elevate",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::ifstream record(folder / "data" / "instancia.json");
    std::string text((std::istreambuf_iterator<char>(record)), {});
    std::smatch m;
    if (std::regex_search(text, m, std::regex("\"port\":(\\d+)"))) port = std::stoi(m[1]);
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (port == 0) die("the host did not start");
  std::string page = http_get_once(port, "/");
  std::smatch m;
  // The page is minified: its one quoted 32-digit hex string is the token.
  if (!std::regex_search(page, m, std::regex("\"([0-9a-f]{32})\""))) die("no token");
  std::string token = m[1];
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long rss_after_start = rss_kib(host);

  const std::string get_version =
      "GET /api/version HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  std::string events = "{\"mon\":0,\"ev\":[";
  for (int i = 0; i < 200; ++i) {
    events += std::string(i ? "," : "") + "{\"k\":\"m\",\"x\":0." + std::to_string(i % 10) +
              ",\"y\":0.5}";
  }
  events += "]}";
  auto post = [&](const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nX-Token: " + token + "\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string post_events = post("/api/input", events);
  {
    // A session that lets control through, so the events reach the injector.
    int fd = connect_to(port);
    std::string pending;
    send_all(fd, post("/api/sesion", "{\"activa\":true,\"rol\":\"host\",\"control\":true}"));
    read_reply(fd, pending);
    close(fd);
  }

  int echo_port = start_echo_server();
  auto open_host = [&] { return connect_to(port); };
  auto open_echo = [&] { return connect_to(echo_port); };
  auto echo_exchange = [](const std::string& message) {
    return [message](int fd, std::string&) {
      send_all(fd, message);
      std::size_t got = 0;
      char buf[65536];
      while (got < message.size()) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) die("echo closed");
        got += static_cast<std::size_t>(n);
      }
    };
  };
  auto http_exchange = [](const std::string& request) {
    return [request](int fd, std::string& pending) {
      send_all(fd, request);
      read_reply(fd, pending);
    };
  };

  std::printf("host resident memory after start: %.1f MB\n", rss_after_start / 1024.0);
  std::printf("requests per client: %d\n\n", per_client);

  // A key press as the page hands it over: a post per batch, or a message on the input
  // socket; beside the echo of the same size.
  {
    const std::string key = "{\"mon\":0,\"ev\":[{\"k\":\"kd\",\"c\":\"KeyA\"}]}";
    const std::string frame = text_frame(key);
    auto open_socket = [&] { return open_input_socket(port, token); };
    auto socket_exchange = [frame](int fd, std::string& pending) {
      send_all(fd, frame);
      read_frame(fd, pending);
    };
    Figures floor_key = run_clients(1, per_client, open_echo, echo_exchange(frame));
    Figures by_post = run_clients(1, per_client, open_host, http_exchange(post("/api/input", key)));
    print("TCP echo (a key's message)", 1, floor_key);
    print("POST /api/input, one key", 1, by_post);
    int probe_socket = open_socket();
    if (probe_socket < 0) {
      std::printf("  (this host refuses the input socket)\n\n");
    } else {
      close(probe_socket);
      Figures by_socket = run_clients(1, per_client, open_socket, socket_exchange);
      print("input socket, one key", 1, by_socket);
      std::printf("  ratio to the floor: post p50 x%.1f, socket p50 x%.1f\n\n",
                  by_post.p50_us / floor_key.p50_us, by_socket.p50_us / floor_key.p50_us);
    }
  }
  for (int clients : {1, 6, 32}) {
    int count = std::max(200, per_client / (clients > 6 ? 4 : 1));
    Figures floor = run_clients(clients, count, open_echo, echo_exchange(get_version));
    Figures version = run_clients(clients, count, open_host, http_exchange(get_version));
    Figures input = run_clients(clients, count / 4, open_host, http_exchange(post_events));
    Figures floor_post = run_clients(clients, count / 4, open_echo, echo_exchange(post_events));
    print("TCP echo (GET-sized)", clients, floor);
    print("GET /api/version", clients, version);
    print("TCP echo (POST-sized)", clients, floor_post);
    print("POST /api/input, 200 events", clients, input);
    std::printf("  ratio to the floor: GET p99 x%.1f, POST p99 x%.1f\n\n",
                version.p99_us / floor.p99_us, input.p99_us / floor_post.p99_us);
  }

  Figures before = run_clients(6, per_client, open_host, http_exchange(get_version));
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(connect_to(port));
  Figures with_idle = run_clients(6, per_client, open_host, http_exchange(get_version));
  print("GET /api/version", 6, before);
  print("  same, 100 idle connections open", 6, with_idle);
  for (int fd : idle) close(fd);

  // New connections, one request each, one after the other.
  int checked_echo_port = start_echo_server(/*check_owner=*/true);
  auto connect_once = [&](int to_port, const std::function<void(int, std::string&)>& exchange) {
    return [&, to_port, exchange] {
      int fd = connect_to(to_port);
      std::string pending;
      exchange(fd, pending);
      close(fd);
    };
  };
  const int fresh = std::max(200, per_client / 2);
  Figures echo_plain = time_each(fresh, connect_once(echo_port, echo_exchange(get_version)));
  Figures echo_checked =
      time_each(fresh, connect_once(checked_echo_port, echo_exchange(get_version)));
  Figures host_fresh = time_each(fresh, connect_once(port, http_exchange(get_version)));
  std::printf("\nnew connection per request (connect, one GET-sized exchange, close), %d in a row:\n",
              fresh);
  print("TCP echo, owner not checked", 1, echo_plain);
  print("TCP echo, owner checked", 1, echo_checked);
  print("GET /api/version, host", 1, host_fresh);
  {
    // The check alone, on one connection of this process's own.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listener, 1);
    socklen_t at_length = sizeof at;
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &at_length);
    int client = connect_to(ntohs(at.sin_port));
    int accepted = accept(listener, nullptr, nullptr);
    sockaddr_in local{}, remote{};
    socklen_t length = sizeof local;
    getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &length);
    length = sizeof remote;
    getpeername(accepted, reinterpret_cast<sockaddr*>(&remote), &length);
    const auto here = end_of(local), peer = end_of(remote);
    Figures diag = time_each(fresh, [&] {
      if (!vantriel::socket_owner_by_diag(peer, here)) die("socket diagnostics found nothing");
    });
    // Milliseconds each on a busy machine: fewer runs.
    Figures proc = time_each(std::max(50, fresh / 10), [&] {
      if (!vantriel::socket_owner_by_proc(peer, here)) die("/proc/net/tcp lists nothing");
    });
    std::ifstream table("/proc/net/tcp");
    long lines = -1;  // less its header
    for (std::string line; std::getline(table, line);) ++lines;
    std::printf("the owner check alone:\n");
    std::printf("  %-32s p50 %8.1f us  p99 %8.1f us\n", "socket diagnostics (netlink)",
                diag.p50_us, diag.p99_us);
    std::printf("  %-32s p50 %8.1f us  p99 %8.1f us  (fallback; %ld sockets listed)\n",
                "/proc/net/tcp", proc.p50_us, proc.p99_us, lines);
    std::printf("  kept-alive requests are not checked: see the figures above\n");
    close(client);
    close(accepted);
    close(listener);
  }

  long ticks_before = cpu_ticks(host);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  long ticks_idle = cpu_ticks(host) - ticks_before;
  std::printf("\nhost CPU time while idle for 3 s: %ld ticks (%ld ticks per second)\n", ticks_idle,
              sysconf(_SC_CLK_TCK));
  std::printf("host resident memory at the end: %.1f MB\n", rss_kib(host) / 1024.0);

  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);

  // The host as it waits in the tray most of the day: the window closed, the tray icon
  // showing (where the session bus has a tray host: run under dbus-run-session with one,
  // as tools/bench.sh does), nothing asked of it.
  fs::remove(folder / "data" / "instancia.json");
  pid_t tray_host = fork();
  if (tray_host == 0) {
    setenv("VTR_PORT", std::to_string(first_port).c_str(), 1);
    unsetenv("DISPLAY");
    if (chdir(folder.c_str()) != 0) _exit(127);
    execl((folder / "vantriel").c_str(), "vantriel", "--no-window", "--no-elevate", "--startup",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  bool started = false;
  for (int i = 0; i < 500 && !started; ++i) {
    started = fs::exists(folder / "data" / "instancia.json");
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!started) die("the host in the tray did not start");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long tray_before = cpu_ticks(tray_host);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long tray_ticks = cpu_ticks(tray_host) - tray_before;
  std::printf("\nidle in the tray (session bus: %s): CPU over 10 s %ld ticks (%ld per second), "
              "resident memory %.1f MB, of which its own (anonymous) %.1f MB\n",
              std::getenv("DBUS_SESSION_BUS_ADDRESS") ? "yes" : "none", tray_ticks,
              sysconf(_SC_CLK_TCK), rss_kib(tray_host) / 1024.0,
              status_kib(tray_host, "RssAnon:") / 1024.0);
  kill(tray_host, SIGKILL);
  waitpid(tray_host, nullptr, 0);
  fs::remove_all(folder);
  return 0;
}
