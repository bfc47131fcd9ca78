// Wire tests: the real vantriel-signal process on a free loopback port with a data file
// in a temporary folder, driven by a real WebSocket client. With
// VANTRIEL_SIGNAL_TOPOLOGY=cluster the same tests run against three nodes sharing a
// redis-server on loopback that the test starts: hosts register on the first node,
// technicians join through the other two in turn and call members spread over all three.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <atomic>

#include "version.h"
#include "wire_client.h"

namespace vantriel::signal::wire {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using std::chrono::milliseconds;

// One server process. Its log goes to a file in the test's folder.
class ServerProcess {
 public:
  ServerProcess(const fs::path& dir, std::vector<std::string> args) : dir_(dir) {
    int out[2];
    if (pipe(out) != 0) return;
    const std::string log = (dir / "server.log").string();
    args.insert(args.begin(), {VANTRIEL_SIGNAL_BIN, "--host", "127.0.0.1", "--port", "0",
                               "--data", (dir / "signal.json").string()});
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (err >= 0) dup2(err, 2);
      close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    // The first line is "listening on http://127.0.0.1:PORT".
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const size_t colon = line.rfind(':');
    if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos) {
      port_ = std::atoi(line.c_str() + colon + 1);
    }
  }
  ~ServerProcess() { stop(); }
  // Stops the server; its exit code, or -1 when it did not exit by itself.
  int stop() {
    if (pid_ <= 0) return exit_code_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_code_;
  }
  // Ends the process at once, as a crash or a power cut would.
  void kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int port() const { return port_; }
  int pid() const { return pid_; }
  std::string log() const {
    std::ifstream in(dir_ / "server.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  int exit_code_ = -1;
};

bool cluster_topology() {
  const char* t = std::getenv("VANTRIEL_SIGNAL_TOPOLOGY");
  return t != nullptr && std::string(t) == "cluster";
}

std::string find_redis_server() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/usr/sbin"}) {
    const std::string path = std::string(dir) + "/redis-server";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// A loopback TCP port nobody listens on, below the range the kernel hands out for
// outgoing connections; never one handed out before, which may not be listened on yet.
int free_port_below_ephemeral() {
  static std::vector<int> handed_out;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int port = 20000 + static_cast<int>((getpid() * 131 + attempt * 977 + time(nullptr)) % 10000);
    if (std::find(handed_out.begin(), handed_out.end(), port) != handed_out.end()) continue;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (free) {
      handed_out.push_back(port);
      return port;
    }
  }
  return 0;
}

// A redis-server of the test's own on loopback, its files in `dir`; every write reaches
// the disk before Redis answers, so a stop loses nothing. `extra` switches follow the
// usual ones (a replica's --replicaof, TLS). A sentinel keeps its settings in a file of
// its own (it rewrites it), made by sentinel().
class RedisProcess {
 public:
  explicit RedisProcess(fs::path dir, std::vector<std::string> extra = {})
      : dir_(std::move(dir)), extra_(std::move(extra)) {
    fs::create_directories(dir_);
  }
  ~RedisProcess() { stop(); }
  // A sentinel watching the master at `master_port` as "vtr": down after a second.
  static std::unique_ptr<RedisProcess> sentinel(const fs::path& dir, int master_port) {
    auto p = std::make_unique<RedisProcess>(dir);
    p->port_ = free_port_below_ephemeral();
    p->conf_ = dir / "sentinel.conf";
    std::ofstream(p->conf_) << "port " << p->port_ << "\nbind 127.0.0.1\ndir " << dir.string()
                            << "\nlogfile " << (dir / "redis.log").string()
                            << "\nsentinel monitor vtr 127.0.0.1 " << master_port << " 2\n"
                            << "sentinel down-after-milliseconds vtr 1000\n"
                            << "sentinel failover-timeout vtr 4000\n";
    return p;
  }
  bool start() {
    if (port_ == 0) port_ = free_port_below_ephemeral();
    const std::string bin = find_redis_server();
    if (bin.empty() || port_ == 0) return false;
    std::vector<std::string> args = {bin, "--port", std::to_string(port_), "--bind", "127.0.0.1",
                                     "--dir", dir_.string(), "--save", "", "--appendonly", "yes",
                                     "--appendfsync", "always", "--logfile",
                                     (dir_ / "redis.log").string()};
    if (!conf_.empty()) {
      // Debian's redis-sentinel is redis-server started as a sentinel.
      const bool own = access("/usr/bin/redis-sentinel", X_OK) == 0;
      args = {own ? "/usr/bin/redis-sentinel" : bin, conf_.string()};
      if (!own) args.push_back("--sentinel");
    }
    args.insert(args.end(), extra_.begin(), extra_.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {  // up to 5 s
      if (ping()) return true;
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }
  // SIGTERM: Redis writes what it holds and exits. SIGKILL: it just ends.
  void stop(int sig = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  // Forgets everything it kept, as a Redis restarted without its files would.
  void wipe() {
    for (auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename() != "redis.log") fs::remove_all(entry.path());
    }
  }
  bool ping() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              write(fd, "PING\r\n", 6) == 6;
    char buf[16] = {};
    const ssize_t n = ok ? read(fd, buf, sizeof buf) : 0;
    const std::string reply(buf, n > 0 ? static_cast<size_t>(n) : 0);
    // A Redis with a password answers too, that it wants one.
    ok = ok && (reply.rfind("+PONG", 0) == 0 || reply.rfind("-NOAUTH", 0) == 0);
    close(fd);
    return ok;
  }
  // One command in Redis's inline form on the plain port; the raw reply (what one read
  // brings, within a second).
  std::string query(const std::string& inline_command) const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    const std::string line = inline_command + "\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) reply.assign(buf, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  bool running() const { return pid_ > 0; }

 private:
  fs::path dir_;
  std::vector<std::string> extra_;
  fs::path conf_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Policy numbers small enough that every rule shows within a second or two.
std::vector<std::string> fast_policy() {
  return {"--request-timeout", "30", "--delay-base-ms", "20", "--delay-max-ms", "80",
          "--flush-ms", "20", "--trust-proxy"};
}

// Tests of what one process alone does (its data file, its own limits and memory).
bool single_node_only(const std::string& test) {
  for (const char* name :
       {"HealthIceAndUnknownRoutes", "IdBindsToTheFirstKeyAndSurvivesARestart",
        "ConnectionsPerAddressAndIdleSockets", "PingsAreRationedAndKeepNoSocketAlive",
        "PongsForAClientThatDoesNotReadCountTowardItsCap",
        "DamagedBindingsFallBackToThePreviousFileOrStopTheStart",
        "BareConnectionsCountPerAddressAndMeetADeadline"}) {
    if (test == name) return true;
  }
  return false;
}

class SignalTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = fs::temp_directory_path() / ("vantriel-signal-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    if (!cluster_topology()) return;
    if (single_node_only(name)) GTEST_SKIP() << "a test of one node on its own";
    if (find_redis_server().empty()) {
      GTEST_SKIP() << "redis-server is not installed (tools/setup.sh installs it)";
    }
    redis_ = std::make_unique<RedisProcess>(dir_ / "redis");
    ASSERT_TRUE(redis_->start()) << "redis-server did not start";
  }
  void TearDown() override {
    nodes_.clear();
    server_.reset();
    redis_.reset();
    fs::remove_all(dir_);
  }
  void start(std::vector<std::string> extra = {}) {
    auto args = fast_policy();
    args.insert(args.end(), extra.begin(), extra.end());
    nodes_.clear();
    server_.reset();
    if (!redis_) {
      server_ = std::make_unique<ServerProcess>(dir_, args);
      ASSERT_GT(server_->port(), 0) << "server did not start";
      return;
    }
    // Three nodes; they share one log file, so server_->log() holds all three. The
    // first is server_.
    if (redis_via_.empty()) {
      args.insert(args.end(), {"--redis", redis_->address()});
    } else {
      args.insert(args.end(), redis_via_.begin(), redis_via_.end());
    }
    args.insert(args.end(), {"--redis-lease-ms", "1500"});
    for (int i = 0; i < 3; ++i) {
      auto node = std::make_unique<ServerProcess>(dir_, args);
      ASSERT_GT(node->port(), 0) << "node " << i << " did not start";
      if (i == 0) {
        server_ = std::move(node);
      } else {
        nodes_.push_back(std::move(node));
      }
    }
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(wait_healthy(i)) << "node " << i << " has no redis";
  }
  int port() const { return server_->port(); }
  // Node `i` of three (0 is server_); with one node, that node.
  int node_port(int i) const { return i == 0 || nodes_.empty() ? port() : nodes_[i - 1]->port(); }
  bool wait_healthy(int i) {
    for (int n = 0; n < 100; ++n) {
      if (http_get(node_port(i), "/health").body.find(R"("redis":"up")") != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }
  // Where a socket for `path` goes: hosts on the first node, technicians on the other
  // two in turn, call members on all three in turn.
  int port_for(const std::string& path) {
    if (nodes_.empty()) return port();
    if (path.rfind("/host/", 0) == 0) return node_port(0);
    if (path.rfind("/join/", 0) == 0) return node_port(1 + joins_++ % 2);
    return node_port(calls_++ % 3);
  }

  // Opens a socket and sends `first`; `from` becomes the client address.
  std::unique_ptr<WsClient> open(const std::string& path, const Json& first = nullptr,
                                 const std::string& from = "198.51.100.1",
                                 const Headers& extra = {}) {
    auto c = std::make_unique<WsClient>();
    Headers headers = {{"X-Real-IP", from}};
    headers.insert(headers.end(), extra.begin(), extra.end());
    EXPECT_TRUE(c->connect(port_for(path), path, headers)) << path;
    if (!first.is_null()) c->send(first.dump());
    return c;
  }
  std::unique_ptr<WsClient> host(const std::string& id, const std::string& secret,
                                 const std::string& name = "Ana") {
    auto c =
        open("/host/" + id, {{"t", "hello"}, {"key", secret}, {"name", name}, {"ver", "0.1.1"}});
    EXPECT_EQ(next(*c)["t"], "ready");
    return c;
  }
  std::unique_ptr<WsClient> join(const std::string& id, const std::string& access_code,
                                 const std::string& from = "198.51.100.1") {
    return open("/join/" + id, {{"t", "join"}, {"name", "Tecnico"}, {"pass", access_code}},
                from);
  }
  static Json next(WsClient& c) {
    auto text = c.recv();
    if (!text) return Json{{"t", "(nothing)"}};
    Json j = Json::parse(*text, nullptr, false);
    return j.is_discarded() ? Json{{"t", "(not json)"}, {"text", *text}} : j;
  }
  // A request for `id` from a new technician, answered by the host's socket; returns
  // the technician's socket and the sid.
  std::pair<std::unique_ptr<WsClient>, std::string> request(
      WsClient& h, const std::string& id, const std::string& access_code = "ABC123",
      const std::string& from = "198.51.100.1") {
    auto t = join(id, access_code, from);
    Json req = next(h);
    EXPECT_EQ(req["t"], "req");
    Json waiting = next(*t);
    EXPECT_EQ(waiting["t"], "waiting");
    return {std::move(t), req.value("sid", "")};
  }

  fs::path dir_;
  std::unique_ptr<ServerProcess> server_;
  std::unique_ptr<RedisProcess> redis_;           // cluster topology only
  std::vector<std::string> redis_via_;  // how nodes reach Redis, if not --redis redis_
  std::vector<std::unique_ptr<ServerProcess>> nodes_;  // the second and third nodes
  int joins_ = 0, calls_ = 0;
};

TEST_F(SignalTest, HealthIceAndUnknownRoutes) {
  start({"--stun", "stun:stun.example.org:3478", "--turn", "turn:turn.example.org:3478",
         "--turn-secret", "north", "--turn-ttl", "600"});
  auto health = http_get(port(), "/health");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(Json::parse(health.body, nullptr, false),
            (Json{{"app", "vantriel"}, {"v", vantriel::signal::kVersion}}));
  EXPECT_EQ(health.header("Access-Control-Allow-Origin"), "*");

  auto ice = http_get(port(), "/ice?x=1");
  ASSERT_EQ(ice.status, 200);
  Json list = Json::parse(ice.body, nullptr, false)["iceServers"];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["urls"], Json::array({"stun:stun.example.org:3478"}));
  const std::string user = list[1]["username"];
  const long expiry = std::stol(user.substr(0, user.find(':')));
  EXPECT_GT(expiry, static_cast<long>(time(nullptr)) + 500);
  EXPECT_LE(expiry, static_cast<long>(time(nullptr)) + 601);
  EXPECT_EQ(user.substr(user.find(':')), ":vantriel");
  EXPECT_EQ(list[1]["credential"].get<std::string>().size(), 28u);
  EXPECT_EQ(ice.header("Cache-Control"), "no-store");

  EXPECT_EQ(http_get(port(), "/nothing").status, 404);
  // The technician's page for browsers: each file under the page's policy, kept by the
  // browser but asked after every time, and nothing beside the files themselves.
  const std::string policy =
      "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
      "font-src 'self'; media-src 'self' blob:; connect-src 'self'; object-src 'none'; "
      "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
  for (auto [path, type] : {std::pair{"/", "text/html; charset=utf-8"},
                            std::pair{"/app.js?v=2", "text/javascript; charset=utf-8"},
                            std::pair{"/font/bold.woff2", "font/woff2"}}) {
    auto file = http_get(port(), path);
    ASSERT_EQ(file.status, 200) << path;
    EXPECT_EQ(file.header("Content-Type"), type) << path;
    EXPECT_EQ(file.header("Content-Security-Policy"), policy) << path;
    EXPECT_EQ(file.header("X-Content-Type-Options"), "nosniff") << path;
    EXPECT_EQ(file.header("Referrer-Policy"), "no-referrer") << path;
    EXPECT_EQ(file.header("X-Frame-Options"), "DENY") << path;
    EXPECT_EQ(file.header("Cache-Control"), "no-cache") << path;
    EXPECT_EQ(file.header("Access-Control-Allow-Origin"), "") << path;
    EXPECT_EQ(file.header("Content-Length"), std::to_string(file.body.size())) << path;
    const std::string tag = file.header("ETag");
    EXPECT_EQ(tag.size(), 42u) << path;
    auto head = http_head(port(), path);
    EXPECT_EQ(head.status, 200) << path;
    EXPECT_EQ(head.header("Content-Length"), std::to_string(file.body.size())) << path;
    EXPECT_EQ(head.header("ETag"), tag) << path;
    auto current = http_get(port(), path, {{"If-None-Match", tag}});
    EXPECT_EQ(current.status, 304) << path;
    EXPECT_TRUE(current.body.empty()) << path;
    EXPECT_EQ(current.header("ETag"), tag) << path;
    EXPECT_EQ(current.header("Content-Security-Policy"), policy) << path;
    EXPECT_EQ(http_get(port(), path, {{"If-None-Match", "\"0\""}}).status, 200) << path;
  }
  const std::string index = http_get(port(), "/").body;
  EXPECT_NE(index.find("<script src=\"/app.js\" defer></script>"), std::string::npos);
  EXPECT_EQ(http_get(port(), "/font/bold.woff2").body.substr(0, 4), "wOF2");
  for (const char* path : {"/font/../app.js", "/img/../../signal.json", "/index.html",
                           "/js/core.js", "/css/theme.css", "/font/", "/%2e%2e/signal.json"}) {
    auto missing = http_get(port(), path);
    EXPECT_EQ(missing.status, 404) << path;
    EXPECT_EQ(missing.body, R"({"error":"not found"})") << path;
  }
  EXPECT_NE(server_->log().find("the technician's page for browsers at /"), std::string::npos);
  // Upgrades only to well-formed IDs and codes.
  for (std::string path : {"/host/012345678", "/host/12345678", "/join/12345678a", "/call/abc123",
                           "/call/ABC12", "/other/123456789"}) {
    WsClient c;
    EXPECT_FALSE(c.connect(port(), path)) << path;
    EXPECT_EQ(c.status(), 404) << path;
  }
  EXPECT_EQ(server_->log().find("north"), std::string::npos);

  // The operator turns the page off: its files are unknown paths again.
  start({"--no-web"});
  for (const char* path : {"/", "/app.js", "/font/bold.woff2", "/manual_en.html"}) {
    auto off = http_get(port(), path);
    EXPECT_EQ(off.status, 404) << path;
    EXPECT_EQ(off.header("Content-Security-Policy"), "") << path;
  }
  EXPECT_EQ(http_get(port(), "/health").status, 200);
  EXPECT_NE(server_->log().find("no page for browsers (--no-web)"), std::string::npos);
}

TEST_F(SignalTest, IdBindsToTheFirstKeyAndSurvivesARestart) {
  start();
  auto first = host("123456789", "key-of-ana");
  {
    auto thief = open("/host/123456789", {{"t", "hello"}, {"key", "other-key"}, {"name", "X"}});
    EXPECT_EQ(next(*thief)["t"], "taken");
    EXPECT_TRUE(thief->wait_closed());
  }
  // The same secret from a second connection takes the ID over.
  auto second = host("123456789", "key-of-ana");
  EXPECT_EQ(next(*first)["t"], "replaced");
  EXPECT_TRUE(first->wait_closed());
  second.reset();

  start();  // a new process on the same data file
  auto thief = open("/host/123456789", {{"t", "hello"}, {"key", "other-key"}});
  EXPECT_EQ(next(*thief)["t"], "taken");
  auto again = host("123456789", "key-of-ana");
  std::ifstream in(dir_ / "signal.json");
  std::stringstream stored;
  stored << in.rdbuf();
  EXPECT_NE(stored.str().find("123456789"), std::string::npos);
  EXPECT_EQ(stored.str().find("key-of-ana"), std::string::npos);
  EXPECT_EQ(server_->log().find("key-of-ana"), std::string::npos);
}

TEST_F(SignalTest, RequestAcceptSignalAndEnd) {
  start();
  auto h = host("234567891", "k1", "PC de Ana");
  auto t = join("234567891", "XK42QP");
  Json req = next(*h);
  ASSERT_EQ(req["t"], "req");
  const std::string sid = req["sid"];
  EXPECT_FALSE(sid.empty());
  EXPECT_EQ(req["name"], "Tecnico");
  EXPECT_EQ(req["pass"], "XK42QP");
  EXPECT_TRUE(req["iceServers"].is_array());
  EXPECT_FALSE(req.contains("web"));  // no Origin: not the server's page
  EXPECT_EQ(next(*t), (Json{{"t", "waiting"}, {"timeout", 30}}));

  // A second technician meanwhile finds the PC busy.
  auto other = join("234567891", "XK42QP", "198.51.100.2");
  EXPECT_EQ(next(*other)["t"], "busy");
  EXPECT_TRUE(other->wait_closed());

  h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", true}}.dump());
  Json acc = next(*t);
  EXPECT_EQ(acc["t"], "accepted");
  EXPECT_EQ(acc["name"], "PC de Ana");
  EXPECT_TRUE(acc["iceServers"].is_array());

  // Payloads pass unchanged, members in their order, both ways.
  const Json offer = Json::parse(
      R"({"sdp":{"type":"offer","sdp":"v=0\r\no=- 46 2 IN IP4 127.0.0.1\r\n"},"x":[1,2.5,null,"ü"]})");
  h->send(Json{{"t", "signal"}, {"sid", sid}, {"data", offer}}.dump());
  EXPECT_EQ(next(*t), (Json{{"t", "signal"}, {"data", offer}}));
  const Json cand = Json::parse(R"({"ice":{"candidate":"candidate:1 1 udp 2122 10.0.0.1 5000 typ host","sdpMid":"0","sdpMLineIndex":0}})");
  t->send(Json{{"t", "signal"}, {"data", cand}}.dump());
  EXPECT_EQ(next(*h), (Json{{"t", "signal"}, {"sid", sid}, {"data", cand}}));
  // A signal naming another sid goes nowhere; the next one still arrives.
  h->send(Json{{"t", "signal"}, {"sid", "ffff"}, {"data", offer}}.dump());
  h->send(Json{{"t", "signal"}, {"sid", sid}, {"data", cand}}.dump());
  EXPECT_EQ(next(*t)["data"], cand);

  // Still busy during the session.
  auto late = join("234567891", "XK42QP", "198.51.100.3");
  EXPECT_EQ(next(*late)["t"], "busy");

  h->send(Json{{"t", "bye"}, {"sid", sid}}.dump());
  EXPECT_EQ(next(*t), (Json{{"t", "ended"}, {"reason", "bye"}}));
  EXPECT_TRUE(t->wait_closed());

  // The host is free again; this time the technician ends with bye, then its socket goes.
  auto [t2, sid2] = request(*h, "234567891");
  h->send(Json{{"t", "answer"}, {"sid", sid2}, {"ok", true}}.dump());
  EXPECT_EQ(next(*t2)["t"], "accepted");
  t2->send(R"({"t":"bye"})");
  EXPECT_EQ(next(*h), (Json{{"t", "left"}, {"sid", sid2}}));

  // A technician that gives up while waiting: the host gets cancel.
  auto [t3, sid3] = request(*h, "234567891");
  t3->send(R"({"t":"cancel"})");
  EXPECT_EQ(next(*h), (Json{{"t", "cancel"}, {"sid", sid3}}));

  // A technician whose socket drops while waiting: cancel as well.
  auto [t4, sid4] = request(*h, "234567891");
  t4.reset();
  EXPECT_EQ(next(*h), (Json{{"t", "cancel"}, {"sid", sid4}}));

  // A technician on the server's own page (its Origin names the Host asked, as behind the
  // operator's proxy) shows as a browser; the desktop page's origin on its own loopback
  // port does not.
  for (auto [origin, web] : {std::pair{"http://127.0.0.1:5000", true},
                             std::pair{"http://127.0.0.1:5001", false}}) {
    auto tw = open("/join/234567891", {{"t", "join"}, {"name", "Tecnico"}, {"pass", "ABC123"}},
                   "198.51.100.1", {{"Origin", origin}, {"Host", "127.0.0.1:5000"}});
    Json asked = next(*h);
    ASSERT_EQ(asked["t"], "req") << origin;
    EXPECT_EQ(asked.contains("web"), web) << origin;
    EXPECT_EQ(asked.value("web", false), web) << origin;
    EXPECT_EQ(next(*tw)["t"], "waiting") << origin;
    tw->send(R"({"t":"cancel"})");
    EXPECT_EQ(next(*h)["t"], "cancel") << origin;
  }

  // The host vanishing ends the technician's attempt with "hostgone".
  auto [t5, sid5] = request(*h, "234567891");
  h.reset();
  EXPECT_EQ(next(*t5), (Json{{"t", "ended"}, {"reason", "hostgone"}}));
  EXPECT_EQ(server_->log().find("XK42QP"), std::string::npos);
}

TEST_F(SignalTest, RefusalsReachTheTechnician) {
  start();
  auto nobody = join("345678912", "AAAAAA");
  EXPECT_EQ(next(*nobody)["t"], "offline");
  EXPECT_TRUE(nobody->wait_closed());

  auto h = host("345678912", "k");
  for (std::string reason : {"denied", "busy", "unavailable", "cancelled", "timeout"}) {
    auto [t, sid] = request(*h, "345678912");
    h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", false}, {"reason", reason}}.dump());
    EXPECT_EQ(next(*t), (Json{{"t", "denied"}, {"reason", reason}}));
    EXPECT_TRUE(t->wait_closed());
  }
  // An answer for an unknown sid changes nothing; the real one still counts.
  auto [t, sid] = request(*h, "345678912");
  h->send(Json{{"t", "answer"}, {"sid", "0000"}, {"ok", true}}.dump());
  h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", false}}.dump());
  EXPECT_EQ(next(*t), (Json{{"t", "denied"}, {"reason", "denied"}}));
}

TEST_F(SignalTest, UnansweredRequestIsWithdrawn) {
  start({"--request-timeout", "1"});
  auto h = host("456789123", "k");
  auto t = join("456789123", "AAAAAA");
  Json req = next(*h);
  EXPECT_EQ(next(*t), (Json{{"t", "waiting"}, {"timeout", 1}}));
  EXPECT_EQ(next(*t), (Json{{"t", "denied"}, {"reason", "timeout"}}));
  EXPECT_EQ(next(*h), (Json{{"t", "cancel"}, {"sid", req["sid"]}}));
  // A late answer is ignored and the host takes the next request.
  h->send(Json{{"t", "answer"}, {"sid", req["sid"]}, {"ok", true}}.dump());
  auto [t2, sid2] = request(*h, "456789123");
  EXPECT_NE(sid2, req["sid"]);
}

TEST_F(SignalTest, WrongCodesLockTheId) {
  start({"--id-max-fails", "3", "--id-lock", "120"});
  auto h = host("567891234", "k");
  for (int i = 0; i < 2; ++i) {
    auto [t, sid] = request(*h, "567891234", "WRONG" + std::to_string(i),
                            "198.51.100." + std::to_string(10 + i));
    h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", false}, {"reason", "badkey"}}.dump());
    EXPECT_EQ(next(*t), (Json{{"t", "denied"}, {"reason", "badkey"}}));
  }
  // While a refusal is held back, the ID takes no new attempt.
  auto [t, sid] = request(*h, "567891234", "WRONG2", "198.51.100.12");
  h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", false}, {"reason", "badkey"}}.dump());
  EXPECT_EQ(next(*h), (Json{{"t", "locked"}, {"mins", 2}}));
  EXPECT_EQ(next(*t), (Json{{"t", "locked"}, {"mins", 2}}));
  auto later = join("567891234", "RIGHT1", "198.51.100.13");
  EXPECT_EQ(next(*later), (Json{{"t", "locked"}, {"mins", 2}}));
  // A host registering while its ID is locked hears so after ready.
  h.reset();
  auto h2 = host("567891234", "k");
  EXPECT_EQ(next(*h2), (Json{{"t", "locked"}, {"mins", 2}}));
}

TEST_F(SignalTest, OneAddressCannotSprayAcrossIds) {
  start({"--addr-max-fails", "2", "--addr-lock", "600", "--joins-per-min", "6"});
  auto a = host("678912345", "k");
  auto b = host("789123456", "k");
  auto [t1, s1] = request(*a, "678912345", "WRONG1", "203.0.113.9");
  a->send(Json{{"t", "answer"}, {"sid", s1}, {"ok", false}, {"reason", "badkey"}}.dump());
  EXPECT_EQ(next(*t1)["reason"], "badkey");
  EXPECT_TRUE(t1->wait_closed());
  auto [t2, s2] = request(*b, "789123456", "WRONG2", "203.0.113.9");
  b->send(Json{{"t", "answer"}, {"sid", s2}, {"ok", false}, {"reason", "badkey"}}.dump());
  EXPECT_EQ(next(*t2), (Json{{"t", "locked"}, {"mins", 10}}));
  auto t3 = join("678912345", "GUESS3", "203.0.113.9");
  EXPECT_EQ(next(*t3), (Json{{"t", "locked"}, {"mins", 10}}));
  // Another address is not affected, nor the IDs themselves.
  auto [t4, s4] = request(*a, "678912345", "RIGHT4", "203.0.113.10");
  a->send(Json{{"t", "answer"}, {"sid", s4}, {"ok", true}}.dump());
  EXPECT_EQ(next(*t4)["t"], "accepted");

  // Join attempts per address per minute, whatever their outcome.
  for (int i = 0; i < 6; ++i) {
    auto t = join("891234567", "AAAAAA", "203.0.113.20");
    EXPECT_EQ(next(*t)["t"], "offline") << i;
  }
  auto over = join("891234567", "AAAAAA", "203.0.113.20");
  EXPECT_EQ(next(*over), (Json{{"t", "locked"}, {"mins", 1}}));
}

TEST_F(SignalTest, ConnectionsPerAddressAndIdleSockets) {
  start({"--conns-per-addr", "3", "--idle-timeout", "1"});
  std::vector<std::unique_ptr<WsClient>> held;
  for (int i = 0; i < 3; ++i) held.push_back(open("/call/ROOM01", nullptr, "192.0.2.1"));
  WsClient fourth;
  EXPECT_FALSE(fourth.connect(port(), "/call/ROOM01", {{"X-Real-IP", "192.0.2.1"}}));
  EXPECT_EQ(fourth.status(), 429);
  auto elsewhere = open("/call/ROOM01", nullptr, "192.0.2.2");
  // Silent sockets are closed after the idle time-out (they never pinged).
  for (auto& c : held) EXPECT_TRUE(c->wait_closed());
  EXPECT_TRUE(elsewhere->wait_closed());
  // Their places are free again.
  WsClient fifth;
  EXPECT_TRUE(fifth.connect(port(), "/call/ROOM01", {{"X-Real-IP", "192.0.2.1"}}));
}

TEST_F(SignalTest, FrameSizeMessageRateAndNewIds) {
  start({"--max-frame", "1024", "--msg-rate", "20", "--msg-burst", "20", "--new-ids-per-hour",
         "2"});
  auto big = open("/call/ROOM02", nullptr, "192.0.2.2");
  big->send(Json{{"t", "join"}, {"name", std::string(2000, 'x')}}.dump());
  EXPECT_TRUE(big->wait_closed());

  // A flood of messages ends the connection; the room hears that the member left.
  auto calm = open("/call/ROOM03", {{"t", "join"}, {"name", "calm"}, {"create", true}},
                   "192.0.2.3");
  EXPECT_EQ(next(*calm)["t"], "welcome");
  auto flood = open("/call/ROOM03", {{"t", "join"}, {"name", "flood"}}, "192.0.2.4");
  EXPECT_EQ(next(*flood)["t"], "welcome");
  EXPECT_EQ(next(*calm)["t"], "peer-join");
  for (int i = 0; i < 500 && !flood->is_closed(); ++i) flood->send(R"({"t":"ping"})");
  EXPECT_TRUE(flood->wait_closed());
  EXPECT_EQ(next(*calm)["t"], "peer-leave");

  // The third new binding from one address within the hour is refused.
  host("912345678", "a", "one");
  host("912345679", "b", "two");
  auto third = open("/host/912345670", {{"t", "hello"}, {"key", "c"}});
  EXPECT_TRUE(third->wait_closed());
  auto known = host("912345678", "a", "one");  // a known ID still registers
}

TEST_F(SignalTest, FramesKeepTheirOrderAndASilentReaderIsDropped) {
  start({"--msg-rate", "100000", "--msg-burst", "100000", "--max-frame", "200000"});
  auto h = host("246813579", "k");
  auto [t, sid] = request(*h, "246813579");
  h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", true}}.dump());
  ASSERT_EQ(next(*t)["t"], "accepted");

  // Frames sent faster than they are written out leave together; every length form of
  // the frame header (7 bits, 16 bits, 64 bits) appears among them.
  const size_t sizes[] = {10, 200, 70000};
  for (int chunk = 0; chunk < 10; ++chunk) {
    for (int i = chunk * 30; i < chunk * 30 + 30; ++i) {
      h->send(R"({"t":"signal","sid":")" + sid + R"(","data":{"i":)" + std::to_string(i) +
              R"(,"pad":")" + std::string(sizes[i % 3], 'x') + "\"}}");
    }
    for (int i = chunk * 30; i < chunk * 30 + 30; ++i) {
      Json m = next(*t);
      ASSERT_EQ(m["data"]["i"], i);
      ASSERT_EQ(m["data"]["pad"].get<std::string>().size(), sizes[i % 3]);
    }
  }

  // A client's bytes cut anywhere: a header split over writes, two messages and a ping
  // in one write, a message in two fragments. Between writes the server has nothing of
  // the client's left to read and waits on the socket; every message still arrives
  // whole and in order.
  auto h2 = host("246813570", "k2");
  RawConn raw(port());
  ASSERT_EQ(raw.upgrade("/join/246813570"), 101);
  ASSERT_TRUE(raw.write(client_frame(1, R"({"t":"join","name":"Raw","pass":"ABC123"})")));
  Json req = next(*h2);
  ASSERT_EQ(req["t"], "req");
  h2->send(Json{{"t", "answer"}, {"sid", req["sid"]}, {"ok", true}}.dump());
  raw.wait_eof(milliseconds(300));
  ASSERT_NE(raw.received().find("accepted"), std::string::npos);
  auto signal = [](int i) {
    return R"({"t":"signal","data":{"i":)" + std::to_string(i) + "}}";
  };
  auto pause = [] { std::this_thread::sleep_for(milliseconds(30)); };
  const std::string first = client_frame(1, signal(0));
  for (auto [from, len] : {std::pair{0, 1}, std::pair{1, 6}, std::pair{7, 9999}}) {
    ASSERT_TRUE(raw.write(first.substr(from, len)));
    pause();
  }
  ASSERT_TRUE(raw.write(client_frame(1, signal(1)) + client_frame(9, "p") +
                        client_frame(1, signal(2))));
  pause();
  std::string opening = client_frame(1, signal(3).substr(0, 10));
  opening[0] = 0x01;  // text, more to come
  ASSERT_TRUE(raw.write(opening));
  pause();
  ASSERT_TRUE(raw.write(client_frame(0, signal(3).substr(10))));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(next(*h2)["data"]["i"], i);
  // Two messages that fill Beast's 1,536-byte read exactly and a third left behind them
  // in the kernel, for which no new readiness comes.
  auto sized = [](int i, size_t n) {
    std::string m = R"({"t":"signal","data":{"i":)" + std::to_string(i) + R"(,"p":")";
    return m + std::string(n - m.size() - 3, 'x') + "\"}}";
  };
  ASSERT_TRUE(raw.write(client_frame(1, sized(4, 760)) + client_frame(1, sized(5, 760)) +
                        client_frame(1, signal(6))));
  for (int i = 4; i < 7; ++i) EXPECT_EQ(next(*h2)["data"]["i"], i);

  // The host stops reading. Once more than 4 MiB wait for it the server drops it, and
  // the technician hears that the host is gone: memory does not grow without bound.
  const std::string big = R"({"t":"signal","data":{"pad":")" + std::string(60000, 'y') + "\"}}";
  for (int i = 0; i < 400 && !t->is_closed(); ++i) t->send(big);
  EXPECT_EQ(next(*t), (Json{{"t", "ended"}, {"reason", "hostgone"}}));
  EXPECT_TRUE(t->wait_closed());
  EXPECT_NE(server_->log().find("closed: not reading"), std::string::npos);
}

TEST_F(SignalTest, HeldRefusalKeepsTheIdFromNewAttempts) {
  start({"--delay-base-ms", "20000", "--delay-max-ms", "20000"});
  auto h = host("135792468", "k");
  auto [t, sid] = request(*h, "135792468", "WRONG1", "198.51.100.50");
  h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", false}, {"reason", "badkey"}}.dump());
  auto again = join("135792468", "WRONG2", "198.51.100.51");
  EXPECT_EQ(next(*again)["t"], "busy");
}

TEST_F(SignalTest, MalformedInputIsIgnored) {
  start();
  auto h = open("/host/123123123");
  // None of these is a usable hello; the connection stays and the real one works.
  h->send("not json");
  h->send("[1,2,3]");
  h->send(R"({"t":7})");
  h->send(R"({"key":"k"})");
  h->send(R"({"t":"hello"})");
  h->send(R"({"t":"hello","key":17})");
  h->send(R"({"t":"hello","key":""})");
  h->send(R"({"t":"answer","sid":"x","ok":true})");
  h->send_binary(R"({"t":"hello","key":"k"})");
  h->send(std::string(100, '[') + std::string(100, ']'));
  h->send(R"({"t":"hello","key":"k","name":"\u00e9"})");
  EXPECT_EQ(next(*h)["t"], "ready");
  auto t = join("123123123", "PASS01");
  Json req = next(*h);
  EXPECT_EQ(next(*t)["t"], "waiting");
  const std::string sid = req["sid"];
  h->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", true}}.dump());
  EXPECT_EQ(next(*t)["name"], "\xc3\xa9");
  // Signals without an object in data, or nested deeper than allowed, go nowhere.
  h->send(Json{{"t", "signal"}, {"sid", sid}, {"data", "text"}}.dump());
  h->send(Json{{"t", "signal"}, {"sid", sid}}.dump());
  h->send(R"({"t":"signal","sid":")" + sid + R"(","data":)" + std::string(40, '[') +
          std::string(40, ']') + "}");
  h->send(Json{{"t", "signal"}, {"sid", sid}, {"data", {{"ice", nullptr}}}}.dump());
  EXPECT_EQ(next(*t), (Json{{"t", "signal"}, {"data", {{"ice", nullptr}}}}));

  // A text frame that is not UTF-8 breaks the WebSocket protocol itself, which requires
  // failing that connection (close code 1007); nothing else is disturbed.
  auto bad = open("/host/321321321");
  bad->send("{\"t\":\"hello\",\"key\":\"k\",\"name\":\"\xff\xfe\"}");
  EXPECT_TRUE(bad->wait_closed());
  h->send(Json{{"t", "signal"}, {"sid", sid}, {"data", {{"ice", 1}}}}.dump());
  EXPECT_EQ(next(*t)["data"]["ice"], 1);
}

TEST_F(SignalTest, CallRoom) {
  start();
  auto missing = open("/call/ZZZZZ9", {{"t", "join"}, {"name", "Ana"}, {"create", false}});
  EXPECT_EQ(next(*missing)["t"], "notfound");
  EXPECT_TRUE(missing->wait_closed());

  auto a = open("/call/ABC234", {{"t", "join"}, {"name", "Ana"}, {"create", true}});
  Json wa = next(*a);
  ASSERT_EQ(wa["t"], "welcome");
  const std::string ida = wa["id"];
  EXPECT_EQ(wa["host"], ida);
  EXPECT_EQ(wa["peers"], Json::array());
  EXPECT_TRUE(wa["iceServers"].is_array());

  auto b = open("/call/ABC234", {{"t", "join"}, {"name", "Beto"}, {"create", false}},
                "198.51.100.2");
  Json wb = next(*b);
  const std::string idb = wb["id"];
  EXPECT_EQ(wb["host"], ida);
  EXPECT_EQ(wb["peers"],
            (Json::array({{{"id", ida}, {"name", "Ana"}, {"muted", false}, {"talk", false}}})));
  EXPECT_EQ(next(*a), (Json{{"t", "peer-join"},
                            {"peer", {{"id", idb}, {"name", "Beto"}, {"muted", false}, {"talk", false}}}}));
  // Each member is handed a secret of its own, never shown to the others.
  const std::string secret_b = wb.value("secret", "");
  EXPECT_EQ(secret_b.size(), 32u);
  EXPECT_NE(secret_b, wa.value("secret", ""));

  const Json data = {{"sdp", {{"type", "offer"}, {"sdp", "v=0"}}}};
  b->send(Json{{"t", "signal"}, {"to", ida}, {"data", data}}.dump());
  EXPECT_EQ(next(*a), (Json{{"t", "signal"}, {"from", idb}, {"name", "Beto"}, {"data", data}}));
  b->send(R"({"t":"state","talk":true,"muted":"yes"})");
  EXPECT_EQ(next(*a), (Json{{"t", "state"}, {"id", idb}, {"talk", true}, {"muted", false}}));

  // Beto comes back on a new socket before his old one is noticed gone: his secret gives
  // him his place and state, and the old socket is closed. The code and his id alone
  // only join as someone new.
  auto b2 = open("/call/ABC234", {{"t", "join"}, {"name", "B"}, {"id", idb}, {"secret", secret_b}},
                 "198.51.100.2");
  Json wb2 = next(*b2);
  EXPECT_EQ(wb2["id"], idb);
  EXPECT_EQ(wb2["host"], ida);
  EXPECT_EQ(wb2["peers"].size(), 1u);
  EXPECT_TRUE(b->wait_closed());
  EXPECT_EQ(next(*a), (Json{{"t", "peer-join"},
                            {"peer", {{"id", idb}, {"name", "Beto"}, {"muted", false}, {"talk", true}}}}));
  b = std::move(b2);
  auto guess = open("/call/ABC234", {{"t", "join"}, {"name", "Eve"}, {"id", ida}, {"secret", secret_b}},
                    "198.51.100.4");
  Json wg = next(*guess);
  EXPECT_EQ(wg["t"], "welcome");
  EXPECT_NE(wg["id"], ida);
  EXPECT_EQ(next(*a)["peer"]["id"], wg["id"]);
  EXPECT_EQ(next(*b)["peer"]["id"], wg["id"]);
  guess.reset();
  EXPECT_EQ(next(*a)["t"], "peer-leave");
  EXPECT_EQ(next(*b)["t"], "peer-leave");

  // Fill the room to eight; the ninth is turned away.
  std::vector<std::unique_ptr<WsClient>> more;
  for (int i = 0; i < 6; ++i) {
    more.push_back(open("/call/ABC234", {{"t", "join"}, {"name", "M" + std::to_string(i)}},
                        "198.51.100." + std::to_string(20 + i)));
    EXPECT_EQ(next(*more.back())["t"], "welcome");
    EXPECT_EQ(next(*a)["t"], "peer-join");
    EXPECT_EQ(next(*b)["t"], "peer-join");
  }
  auto ninth = open("/call/ABC234", {{"t", "join"}, {"name", "N"}}, "198.51.100.40");
  EXPECT_EQ(next(*ninth)["t"], "full");
  EXPECT_TRUE(ninth->wait_closed());
  more.clear();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(next(*a)["t"], "peer-leave");
    EXPECT_EQ(next(*b)["t"], "peer-leave");
  }

  // Only the host removes members.
  auto c = open("/call/ABC234", {{"t", "join"}, {"name", "Caro"}}, "198.51.100.3");
  const std::string idc = next(*c)["id"];
  next(*a);
  next(*b);
  b->send(Json{{"t", "kick"}, {"id", idc}}.dump());
  a->send(Json{{"t", "kick"}, {"id", idc}}.dump());
  EXPECT_EQ(next(*c)["t"], "kicked");
  EXPECT_TRUE(c->wait_closed());
  EXPECT_EQ(next(*b), (Json{{"t", "peer-leave"}, {"id", idc}, {"host", ida}}));

  // The host leaves: the oldest remaining member is named host.
  a.reset();
  EXPECT_EQ(next(*b), (Json{{"t", "peer-leave"}, {"id", ida}, {"host", idb}}));
}

// ---- what a hostile client meets ----

// A member that leaves while another still signals it gets its close answered, and after
// that close frame nothing: a browser fails the socket on a frame after the close.
TEST_F(SignalTest, NothingFollowsTheCloseFrame) {
  start({"--msg-rate", "5000", "--msg-burst", "5000"});
  auto a = open("/call/CLS234", {{"t", "join"}, {"name", "Ana"}, {"create", true}});
  ASSERT_EQ(next(*a)["t"], "welcome");
  // The race is the server's to lose: a few members in turn leave under a stream of signals.
  for (int round = 0; round < 5; ++round) {
    RawConn b(port_for("/call/CLS234"), "127.0.0." + std::to_string(2 + round));
    ASSERT_EQ(b.upgrade("/call/CLS234"), 101);
    ASSERT_TRUE(b.write(client_frame(1, R"({"t":"join","name":"Beto"})")));
    Json joined = next(*a);
    while (joined["t"] == "peer-leave") joined = next(*a);
    ASSERT_EQ(joined["t"], "peer-join");
    const std::string idb = joined["peer"]["id"];
    const std::string signal =
        Json{{"t", "signal"}, {"to", idb}, {"data", {{"ice", {{"candidate", "x"}}}}}}.dump();
    std::atomic<bool> stop{false};
    std::thread flood([&] {
      for (int i = 0; i < 20000 && !stop.load(); ++i) a->send(signal);
    });
    std::this_thread::sleep_for(milliseconds(20));
    const bool sent = b.write(client_frame(8, std::string("\x03\xe8", 2)));
    EXPECT_TRUE(b.wait_eof(milliseconds(5000)));
    stop.store(true);
    flood.join();
    ASSERT_TRUE(sent);

    // The server's frames, unmasked, counted from the close frame on.
    const std::string& bytes = b.received();
    auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(bytes[i])); };
    size_t at = 0;
    bool closed = false;
    int after_close = 0;
    while (at + 2 <= bytes.size()) {
      const uint64_t opcode = byte(at) & 0x0F;
      uint64_t len = byte(at + 1) & 0x7F;
      size_t head = 2;
      if (len == 126 && at + 4 <= bytes.size()) {
        len = (byte(at + 2) << 8) | byte(at + 3);
        head = 4;
      } else if (len == 127 && at + 10 <= bytes.size()) {
        len = 0;
        for (size_t i = 0; i < 8; ++i) len = (len << 8) | byte(at + 2 + i);
        head = 10;
      }
      if (closed) ++after_close;
      if (opcode == 8) closed = true;
      at += head + static_cast<size_t>(len);
    }
    EXPECT_TRUE(closed) << "round " << round << ": no close frame came back";
    EXPECT_EQ(after_close, 0) << "round " << round << ": frames after the close frame";
    // What the flood left unread is not this test's.
    while (a->recv(milliseconds(200))) {
    }
  }
}

TEST_F(SignalTest, PingsAreRationedAndKeepNoSocketAlive) {
  start({"--idle-timeout", "1"});
  // Pings past the message rate end the connection like any other flood.
  RawConn flood(port());
  ASSERT_EQ(flood.upgrade("/call/PING01"), 101);
  std::string pings;
  for (int i = 0; i < 1000; ++i) pings += client_frame(0x9, "are you there");
  flood.write(pings);
  EXPECT_TRUE(flood.wait_eof(milliseconds(5000)));
  EXPECT_NE(server_->log().find("closed: too many messages"), std::string::npos);

  // Pings well within the rate are not a sign of life: only messages are.
  RawConn pinger(port());
  ASSERT_EQ(pinger.upgrade("/call/PING02"), 101);
  for (int i = 0; i < 25 && !pinger.closed(); ++i) {
    pinger.write(client_frame(0x9, "x"));
    pinger.wait_eof(milliseconds(200));
  }
  EXPECT_TRUE(pinger.closed());
  EXPECT_NE(server_->log().find("closed: idle"), std::string::npos);
}

TEST_F(SignalTest, PongsForAClientThatDoesNotReadCountTowardItsCap) {
  start({"--msg-rate", "1000000", "--msg-burst", "1000000"});
  RawConn c(port());
  ASSERT_EQ(c.upgrade("/host/975318642"), 101);
  const size_t before = resident_bytes(server_->pid());
  // Up to 64 MiB of pings, each answered by a pong that this client never reads.
  std::string chunk;
  for (int i = 0; i < 1024; ++i) chunk += client_frame(0x9, std::string(125, 'p'));
  size_t sent = 0;
  while (sent < (64u << 20) && c.write(chunk)) sent += chunk.size();
  const size_t after = resident_bytes(server_->pid());
  EXPECT_LT(sent, 64u << 20) << "still connected after 64 MiB of pings";
  EXPECT_TRUE(c.wait_eof(milliseconds(5000)));
  EXPECT_NE(server_->log().find("closed: not reading"), std::string::npos);
  // The queue stops at 4 MiB; what the allocator keeps of it stays within a small multiple.
  EXPECT_LT(after, before + (32u << 20));
}

TEST_F(SignalTest, CallJoinsAreGuardedPerAddress) {
  start({"--joins-per-min", "6", "--call-max-misses", "3", "--call-lock", "600",
         "--new-rooms-per-hour", "2"});
  auto room = open("/call/ROOM77", {{"t", "join"}, {"name", "Ana"}, {"create", true}},
                   "198.51.100.70");
  ASSERT_EQ(next(*room)["t"], "welcome");

  // One address guessing codes: after its third miss even the right code finds nothing,
  // so the room's members are never shown to it.
  for (int i = 0; i < 3; ++i) {
    auto probe = open("/call/PROBE" + std::to_string(i), {{"t", "join"}, {"name", "x"}},
                      "203.0.113.77");
    EXPECT_EQ(next(*probe)["t"], "notfound");
  }
  auto right = open("/call/ROOM77", {{"t", "join"}, {"name", "x"}}, "203.0.113.77");
  EXPECT_EQ(next(*right)["t"], "notfound");
  EXPECT_TRUE(right->wait_closed());
  // The lock is the address's: its support requests are refused too.
  auto support = join("123456789", "AAAAAA", "203.0.113.77");
  EXPECT_EQ(next(*support), (Json{{"t", "locked"}, {"mins", 10}}));

  // Creating rooms is no way around it: an address opens a few rooms an hour.
  for (std::string code : {"MINE01", "MINE02"}) {
    auto own = open("/call/" + code, {{"t", "join"}, {"name", "y"}, {"create", true}},
                    "203.0.113.78");
    EXPECT_EQ(next(*own)["t"], "welcome");
  }
  auto third = open("/call/MINE03", {{"t", "join"}, {"name", "y"}, {"create", true}},
                    "203.0.113.78");
  EXPECT_EQ(next(*third)["t"], "notfound");
  // Call joins and support joins share one allowance per address: six a minute here.
  for (int i = 0; i < 3; ++i) {
    auto nobody = join("123456789", "AAAAAA", "203.0.113.78");
    EXPECT_EQ(next(*nobody)["t"], "offline");
  }
  auto probe = open("/call/ROOM77", {{"t", "join"}, {"name", "y"}}, "203.0.113.78");
  EXPECT_EQ(next(*probe)["t"], "notfound");

  // Elsewhere the room is found, and its first peer-join is that member's.
  auto friend_ = open("/call/ROOM77", {{"t", "join"}, {"name", "Beto"}}, "198.51.100.71");
  Json welcome = next(*friend_);
  ASSERT_EQ(welcome["t"], "welcome");
  EXPECT_EQ(welcome["peers"].size(), 1u);
  EXPECT_EQ(next(*room)["peer"]["id"], welcome["id"]);
  const std::string log = server_->log();
  EXPECT_NE(log.find("no such room"), std::string::npos);
  EXPECT_NE(log.find("address 203.0.113.77 locked for 10 min"), std::string::npos);
  EXPECT_EQ(log.find("PROBE"), std::string::npos);
}

TEST_F(SignalTest, AcceptingOnesOwnRequestLeavesTheAddressCount) {
  start({"--addr-max-fails", "5", "--addr-lock", "600", "--id-max-fails", "100"});
  auto own = host("111222333", "mine");
  auto victim = host("444555666", "theirs");
  const std::string attacker = "203.0.113.66";
  for (int guess = 1; guess <= 5; ++guess) {
    auto [t, sid] = request(*victim, "444555666", "GUESS" + std::to_string(guess), attacker);
    victim->send(Json{{"t", "answer"}, {"sid", sid}, {"ok", false}, {"reason", "badkey"}}.dump());
    if (guess < 5) {
      EXPECT_EQ(next(*t), (Json{{"t", "denied"}, {"reason", "badkey"}}));
      // Between guesses the attacker lets itself into its own PC.
      auto [self, self_sid] = request(*own, "111222333", "OWNKEY", attacker);
      own->send(Json{{"t", "answer"}, {"sid", self_sid}, {"ok", true}}.dump());
      EXPECT_EQ(next(*self)["t"], "accepted");
      self.reset();
      EXPECT_EQ(next(*own)["t"], "left");
    } else {
      EXPECT_EQ(next(*t), (Json{{"t", "locked"}, {"mins", 10}}));
    }
  }
  auto after = join("444555666", "GUESS6", attacker);
  EXPECT_EQ(next(*after), (Json{{"t", "locked"}, {"mins", 10}}));
}

TEST_F(SignalTest, DamagedBindingsFallBackToThePreviousFileOrStopTheStart) {
  start();
  const fs::path data = dir_ / "signal.json";
  const fs::path prev = dir_ / "signal.json.prev";
  auto a = host("111111111", "key-a");
  // A second write keeps the first as the previous file.
  for (int i = 0; i < 100 && !fs::exists(data); ++i) std::this_thread::sleep_for(milliseconds(20));
  auto b = host("222222222", "key-b");
  for (int i = 0; i < 100 && !fs::exists(prev); ++i) std::this_thread::sleep_for(milliseconds(20));
  a.reset();
  b.reset();
  server_->stop();
  ASSERT_TRUE(fs::exists(prev));

  auto cut_in_half = [](const fs::path& p) {
    std::string text;
    {
      std::ifstream in(p, std::ios::binary);
      std::stringstream s;
      s << in.rdbuf();
      text = s.str();
    }
    text.resize(text.size() / 2);
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
    return text;
  };
  const std::string first_damage = cut_in_half(data);
  start();
  EXPECT_NE(server_->log().find("previous"), std::string::npos);
  auto stranger = open("/host/111111111", {{"t", "hello"}, {"key", "not-a"}});
  EXPECT_EQ(next(*stranger)["t"], "taken");
  auto owner = host("111111111", "key-a");
  owner.reset();
  server_->stop();

  // Neither file usable: the server does not start, and says why.
  cut_in_half(data);
  cut_in_half(prev);
  server_ = std::make_unique<ServerProcess>(dir_, fast_policy());
  EXPECT_EQ(server_->port(), 0);
  EXPECT_NE(server_->stop(), 0);
  EXPECT_NE(server_->log().find("--accept-binding-loss"), std::string::npos);

  // Started so, it goes on without them. No damaged copy was written over.
  start({"--accept-binding-loss"});
  auto newcomer = open("/host/111111111", {{"t", "hello"}, {"key", "not-a"}});
  EXPECT_EQ(next(*newcomer)["t"], "ready");
  std::ifstream kept(dir_ / "signal.json.damaged", std::ios::binary);
  std::stringstream kept_text;
  kept_text << kept.rdbuf();
  EXPECT_EQ(kept_text.str(), first_damage);
  int damaged = 0;
  for (auto& entry : fs::directory_iterator(dir_)) {
    damaged += entry.path().filename().string().find(".damaged") != std::string::npos;
  }
  EXPECT_EQ(damaged, 3);
}

TEST_F(SignalTest, BareConnectionsCountPerAddressAndMeetADeadline) {
  start({"--trust-proxy=off", "--conns-per-addr", "3", "--handshake-timeout", "1"});
  std::vector<std::unique_ptr<RawConn>> bare;
  for (int i = 0; i < 3; ++i) bare.push_back(std::make_unique<RawConn>(port()));
  WsClient fourth;
  EXPECT_FALSE(fourth.connect(port(), "/call/ROOM05"));
  // Another address is still served.
  RawConn other(port(), "127.0.0.2");
  EXPECT_EQ(other.upgrade("/call/ROOM05"), 101);
  // Silent connections end at the deadline, and their places are free again.
  for (auto& c : bare) EXPECT_TRUE(c->wait_eof(milliseconds(5000)));
  WsClient again;
  bool connected = false;
  for (int i = 0; i < 50 && !connected; ++i) {
    connected = again.connect(port(), "/call/ROOM05");
    if (!connected) std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_TRUE(connected);
}

// ---- several nodes ----

// Faults of a deployment of three nodes and Redis.
class NodesTest : public SignalTest {
 protected:
  void SetUp() override {
    SignalTest::SetUp();
    if (!IsSkipped() && !cluster_topology()) GTEST_SKIP() << "a test of several nodes";
  }
  std::unique_ptr<WsClient> open_on(int node, const std::string& path, const Json& first,
                                    const std::string& from = "198.51.100.1") {
    auto c = std::make_unique<WsClient>();
    EXPECT_TRUE(c->connect(node_port(node), path, {{"X-Real-IP", from}})) << path;
    c->send(first.dump());
    return c;
  }
  std::unique_ptr<WsClient> host_on(int node, const std::string& id, const std::string& secret) {
    auto c = open_on(node, "/host/" + id, {{"t", "hello"}, {"key", secret}, {"name", "Ana"}});
    EXPECT_EQ(next(*c)["t"], "ready") << id << " on node " << node;
    return c;
  }
  std::unique_ptr<WsClient> join_on(int node, const std::string& id,
                                    const std::string& from = "198.51.100.1",
                                    const std::string& access_code = "ABC123") {
    return open_on(node, "/join/" + id,
                   {{"t", "join"}, {"name", "Tecnico"}, {"pass", access_code}}, from);
  }
  ServerProcess& node(int i) { return i == 0 ? *server_ : *nodes_[i - 1]; }
  std::string taken_or_ready(int node_index, const std::string& id, const std::string& secret) {
    auto c = open_on(node_index, "/host/" + id, {{"t", "hello"}, {"key", secret}});
    return next(*c)["t"];
  }
};

TEST_F(NodesTest, AKilledNodeLosesOnlyItsOwnSockets) {
  start();
  // Node 0 holds a host with a request pending from node 1; node 2 holds a host in a
  // session with a technician on node 1.
  auto h = host_on(0, "123456780", "key-a");
  auto t = join_on(1, "123456780");
  EXPECT_EQ(next(*h)["t"], "req");
  EXPECT_EQ(next(*t)["t"], "waiting");
  auto h2 = host_on(2, "123456781", "key-b");
  auto t2 = join_on(1, "123456781", "198.51.100.2");
  const std::string sid2 = next(*h2)["sid"];
  EXPECT_EQ(next(*t2)["t"], "waiting");
  h2->send(Json{{"t", "answer"}, {"sid", sid2}, {"ok", true}}.dump());
  EXPECT_EQ(next(*t2)["t"], "accepted");

  // A call room of three lives on node 0, its members on all three nodes; Beto is muted.
  auto call = [this](int on, const std::string& name, const Json& extra, const std::string& from) {
    Json join = {{"t", "join"}, {"name", name}};
    join.update(extra);
    return open_on(on, "/call/RMS234", join, from);
  };
  std::vector<std::unique_ptr<WsClient>> members;
  std::vector<Json> welcomed;
  const std::vector<std::string> names = {"Ana", "Beto", "Caro"};
  for (int i = 0; i < 3; ++i) {
    members.push_back(call(i, names[i], {{"create", i == 0}}, "198.51.100.1" + std::to_string(i)));
    welcomed.push_back(next(*members[i]));
    ASSERT_EQ(welcomed[i]["t"], "welcome");
    for (int j = 0; j < i; ++j) EXPECT_EQ(next(*members[j])["t"], "peer-join");
  }
  members[1]->send(R"({"t":"state","talk":false,"muted":true})");
  EXPECT_EQ(next(*members[0])["muted"], true);
  EXPECT_EQ(next(*members[2])["muted"], true);
  const std::string kept_for = redis_->query("PTTL vtr:call:RMS234");
  EXPECT_GT(std::atoll(kept_for.c_str() + (kept_for.empty() ? 0 : 1)), 0) << kept_for;

  node(0).kill_now();
  const auto killed = std::chrono::steady_clock::now();
  // Each member, as its page does, comes back through a live node once its socket
  // closes (at once on node 0, when node 0's lease lapses on the others) and tries
  // again while it is routed to the dead node.
  std::vector<Json> back(3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(members[i]->wait_closed(milliseconds(10000))) << names[i];
    for (int attempt = 0; attempt < 30 && back[i]["t"] != "welcome"; ++attempt) {
      members[i] = call(1 + attempt % 2, names[i],
                        {{"id", welcomed[i]["id"]}, {"secret", welcomed[i]["secret"]}},
                        "198.51.100.1" + std::to_string(i));
      back[i] = next(*members[i]);
      if (back[i]["t"] != "welcome") std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_EQ(back[i]["t"], "welcome") << names[i];
    EXPECT_EQ(back[i]["id"], welcomed[i]["id"]);
    EXPECT_EQ(back[i]["host"], welcomed[0]["id"]);
    for (int j = 0; j < i; ++j) EXPECT_EQ(next(*members[j])["peer"]["id"], back[i]["id"]);
  }
  const auto all_back = std::chrono::steady_clock::now();
  // Ana came back first and found the others away; Caro came back last and found them
  // present, Beto still muted.
  EXPECT_EQ(back[0]["peers"], Json::array());
  EXPECT_EQ(back[0]["away"].size(), 2u);
  EXPECT_EQ(back[0]["away"][0]["muted"], true);
  ASSERT_EQ(back[2]["peers"].size(), 2u);
  EXPECT_EQ(back[2]["peers"][1],
            (Json{{"id", welcomed[1]["id"]}, {"name", "Beto"}, {"muted", true}, {"talk", false}}));
  EXPECT_EQ(back[2]["away"], Json::array());
  // The links between them are signalled again.
  for (int i = 0; i < 3; ++i) {
    const int to = (i + 1) % 3;
    members[i]->send(Json{{"t", "signal"}, {"to", welcomed[to]["id"]}, {"data", {{"n", i}}}}.dump());
    EXPECT_EQ(next(*members[to]),
              (Json{{"t", "signal"}, {"from", welcomed[i]["id"]}, {"name", names[i]}, {"data", {{"n", i}}}}));
  }
  const auto working = std::chrono::steady_clock::now();
  auto ms = [killed](auto when) {
    return std::chrono::duration_cast<milliseconds>(when - killed).count();
  };
  std::printf("[ figures  ] a call room of three whose node was killed (lease 1500 ms): all "
              "three members back after %lld ms, the room relaying again after %lld ms\n",
              static_cast<long long>(ms(all_back)), static_cast<long long>(ms(working)));

  // The technician hears that the host is gone once node 0's lease lapses.
  EXPECT_EQ(next(*t), (Json{{"t", "ended"}, {"reason", "hostgone"}}));
  EXPECT_TRUE(t->wait_closed());
  // The page reconnects through another node and is ready; the ID is still its key's.
  EXPECT_EQ(taken_or_ready(2, "123456780", "not-key-a"), "taken");
  auto again = host_on(1, "123456780", "key-a");
  auto t3 = join_on(2, "123456780", "198.51.100.3");
  EXPECT_EQ(next(*again)["t"], "req");
  EXPECT_EQ(next(*t3)["t"], "waiting");
  // What lived on the other nodes goes on.
  h2->send(Json{{"t", "signal"}, {"sid", sid2}, {"data", {{"n", 1}}}}.dump());
  EXPECT_EQ(next(*t2), (Json{{"t", "signal"}, {"data", {{"n", 1}}}}));
  t2->send(R"({"t":"signal","data":{"n":2}})");
  EXPECT_EQ(next(*h2), (Json{{"t", "signal"}, {"sid", sid2}, {"data", {{"n", 2}}}}));
  // A node stopped on purpose gives its hosts up: the session it held ends for the
  // technician on node 1, and its host's ID is offline rather than routed to it.
  EXPECT_EQ(node(2).stop(), 0);
  EXPECT_EQ(next(*t2), (Json{{"t", "ended"}, {"reason", "hostgone"}}));
  auto late = join_on(1, "123456781", "198.51.100.4");
  EXPECT_EQ(next(*late)["t"], "offline");
}

TEST_F(NodesTest, ARedisRestartLosesNoBindingAndHandsNoIdToAnotherKey) {
  start();
  auto a = host_on(0, "223456780", "key-a");
  auto b = host_on(1, "223456781", "key-b");
  Json health = Json::parse(http_get(node_port(2), "/health").body, nullptr, false);
  EXPECT_EQ(health["app"], "vantriel");
  EXPECT_EQ(health["redis"], "up");

  redis_->stop();
  // Nodes say so to the proxy's health checks and refuse what they cannot decide alone.
  int status = 0;
  for (int i = 0; i < 100 && status != 503; ++i) {
    status = http_get(node_port(2), "/health").status;
    if (status != 503) std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_EQ(status, 503);
  EXPECT_EQ(taken_or_ready(2, "223456789", "key-c"), "(nothing)");
  EXPECT_EQ(taken_or_ready(2, "223456780", "key-a"), "(nothing)");
  auto refused = join_on(2, "223456781");
  EXPECT_TRUE(refused->wait_closed());
  EXPECT_NE(server_->log().find("refusing new registrations"), std::string::npos);

  ASSERT_TRUE(redis_->start());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(wait_healthy(i)) << i;
  EXPECT_EQ(taken_or_ready(2, "223456781", "key-x"), "taken");
  // The owner registering through another node replaces its older socket there.
  auto a2 = host_on(2, "223456780", "key-a");
  EXPECT_EQ(next(*a), (Json{{"t", "replaced"}}));
  auto t = join_on(0, "223456781");
  EXPECT_EQ(next(*b)["t"], "req");
  EXPECT_EQ(next(*t)["t"], "waiting");

  // Redis back without its files: the nodes write their hosts' bindings again.
  redis_->stop(SIGKILL);
  redis_->wipe();
  ASSERT_TRUE(redis_->start());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(wait_healthy(i)) << i;
  for (int i = 0; i < 100 && server_->log().find("written again") == std::string::npos; ++i) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_EQ(taken_or_ready(0, "223456780", "key-x"), "taken");
  EXPECT_EQ(taken_or_ready(0, "223456781", "key-x"), "taken");
  auto t2 = join_on(1, "223456780", "198.51.100.9");
  EXPECT_EQ(next(*a2)["t"], "req");
}

TEST_F(NodesTest, AGuesserSpreadOverNodesMeetsTheSameLock) {
  start({"--id-max-fails", "3", "--id-lock", "120", "--addr-max-fails", "5", "--addr-lock",
         "600"});
  auto h = host_on(0, "323456780", "k");
  auto other = host_on(1, "323456781", "k");
  const std::string guesser = "203.0.113.44";
  auto guess = [&](WsClient& host, const std::string& id, int node_index) {
    auto t = join_on(node_index, id, guesser, "WRONG1");
    Json req = next(host);
    EXPECT_EQ(req["t"], "req");
    EXPECT_EQ(next(*t)["t"], "waiting");
    host.send(Json{{"t", "answer"}, {"sid", req["sid"]}, {"ok", false}, {"reason", "badkey"}}.dump());
    return t;
  };
  // Three wrong codes for one ID through three nodes lock it, as on one node.
  for (int i = 0; i < 3; ++i) {
    auto t = guess(*h, "323456780", i);
    const Json expected = i < 2 ? Json{{"t", "denied"}, {"reason", "badkey"}}
                                : Json{{"t", "locked"}, {"mins", 2}};
    EXPECT_EQ(next(*t), expected) << i;
  }
  EXPECT_EQ(next(*h), (Json{{"t", "locked"}, {"mins", 2}}));
  for (int i = 0; i < 3; ++i) {
    auto t = join_on(i, "323456780", "198.51.100.77");
    EXPECT_EQ(next(*t), (Json{{"t", "locked"}, {"mins", 2}})) << i;
  }
  // The address's count spans IDs and nodes: two more lock the guesser everywhere.
  for (int i = 0; i < 2; ++i) {
    auto t = guess(*other, "323456781", 2 - i);
    EXPECT_EQ(next(*t)["t"], i == 0 ? "denied" : "locked") << i;
  }
  for (int i = 0; i < 3; ++i) {
    auto t = join_on(i, "323456781", guesser);
    EXPECT_EQ(next(*t), (Json{{"t", "locked"}, {"mins", 10}})) << i;
  }
}

TEST_F(NodesTest, ADataFileIsImportedIntoRedis) {
  // One node on its own binds two IDs in its data file.
  auto single = std::make_unique<ServerProcess>(dir_, fast_policy());
  ASSERT_GT(single->port(), 0);
  for (const char* id : {"423456780", "423456781"}) {
    WsClient c;
    ASSERT_TRUE(c.connect(single->port(), std::string("/host/") + id));
    c.send(Json{{"t", "hello"}, {"key", std::string("key-") + id}}.dump());
    EXPECT_EQ(next(c)["t"], "ready");
  }
  EXPECT_EQ(single->stop(), 0);
  // One of the IDs is bound in Redis already: the import keeps that binding.
  start();
  EXPECT_EQ(taken_or_ready(0, "423456781", "newer-key"), "ready");
  ServerProcess import(dir_, {"--import-bindings", (dir_ / "signal.json").string(), "--redis",
                              redis_->address()});
  EXPECT_EQ(import.stop(), 0);
  EXPECT_NE(server_->log().find("imported 1 bindings"), std::string::npos);
  EXPECT_EQ(taken_or_ready(1, "423456780", "someone-else"), "taken");
  EXPECT_EQ(taken_or_ready(2, "423456780", "key-423456780"), "ready");
  EXPECT_EQ(taken_or_ready(2, "423456781", "key-423456781"), "taken");
}


// Redis behind Sentinel: a master, its replica and three sentinels. The master is killed
// while hosts register and technicians join through the three nodes; the replica is
// promoted, the old master comes back as its replica (as its supervisor would restart
// it), and the nodes go on. Every ID whose host was told "ready" is still its key's.
TEST_F(NodesTest, AKilledMasterHandsOverToItsReplicaAndNoAcknowledgedBindingIsLost) {
  // A full resynchronisation starts at once rather than after 5 s, so a demoted master
  // is a replica again sooner.
  const std::string no_sync_delay = "CONFIG SET repl-diskless-sync-delay 0";
  redis_->query(no_sync_delay);
  RedisProcess replica(dir_ / "replica", {"--replicaof", "127.0.0.1", std::to_string(redis_->port()),
                                          "--repl-diskless-sync-delay", "0"});
  ASSERT_TRUE(replica.start());
  std::vector<std::unique_ptr<RedisProcess>> sentinels;
  std::string list;
  for (int i = 0; i < 3; ++i) {
    sentinels.push_back(RedisProcess::sentinel(dir_ / ("sentinel" + std::to_string(i)), redis_->port()));
    ASSERT_TRUE(sentinels.back()->start()) << "sentinel " << i;
    list += (i == 0 ? "" : ",") + sentinels.back()->address();
  }
  // A failover needs the replica in sync and sentinels that know it and each other.
  auto can_fail_over = [&] {
    if (redis_->query("INFO replication").find("state=online") == std::string::npos) return false;
    for (auto& s : sentinels) {
      if (s->query("INFO sentinel").find("slaves=1,sentinels=3") == std::string::npos) return false;
    }
    return true;
  };
  for (int i = 0; i < 300 && !can_fail_over(); ++i) std::this_thread::sleep_for(milliseconds(100));
  ASSERT_TRUE(can_fail_over()) << sentinels[0]->query("INFO sentinel");
  redis_via_ = {"--redis-sentinels", list, "--redis-master", "vtr"};
  start();

  // Hosts on node n % 3, each from an address of its own (the new-ID allowance is per
  // address), and a technician for each through the next node.
  struct Binding {
    std::string id, key;
  };
  std::vector<Binding> acknowledged;
  std::vector<std::unique_ptr<WsClient>> hosts;
  int joined = 0, joins = 0;
  auto register_one = [&](int n, int on_node) {
    const std::string id = std::to_string(523000000 + n), key = "key-" + id;
    auto h = open_on(on_node, "/host/" + id, {{"t", "hello"}, {"key", key}},
                     "198.51.100." + std::to_string(n % 250 + 1));
    if (next(*h)["t"] != "ready") return false;  // refused: a page tries again
    acknowledged.push_back({id, key});
    ++joins;
    auto t = join_on((on_node + 1) % 3, id, "203.0.113." + std::to_string(n % 250 + 1));
    if (next(*t)["t"] == "waiting") ++joined;
    hosts.push_back(std::move(h));
    return true;
  };
  int n = 0;
  for (; n < 9; ++n) ASSERT_TRUE(register_one(n, n % 3)) << n;

  // What waiting for the replica costs a registration: against a node that waits for none.
  {
    const fs::path nowait_dir = dir_ / "nowait";
    fs::create_directories(nowait_dir);
    auto args = fast_policy();
    args.insert(args.end(), {"--redis-sentinels", list, "--redis-master", "vtr", "--redis-replicas", "0"});
    ServerProcess nowait(nowait_dir, args);
    ASSERT_GT(nowait.port(), 0);
    for (int i = 0; i < 100 && http_get(nowait.port(), "/health").status != 200; ++i) {
      std::this_thread::sleep_for(milliseconds(50));
    }
    auto time_one = [&](int port, int k) {
      const std::string id = std::to_string(623000000 + k);
      const auto began = std::chrono::steady_clock::now();
      WsClient c;
      EXPECT_TRUE(c.connect(port, "/host/" + id, {{"X-Real-IP", "192.0.2." + std::to_string(k / 10 + 1)}}));
      c.send(Json{{"t", "hello"}, {"key", "k"}}.dump());
      EXPECT_EQ(next(c)["t"], "ready");
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    };
    std::vector<double> waiting, plain;
    for (int k = 0; k < 40; k += 2) {
      waiting.push_back(time_one(node_port(0), k));
      plain.push_back(time_one(nowait.port(), k + 1));
    }
    std::sort(waiting.begin(), waiting.end());
    std::sort(plain.begin(), plain.end());
    std::printf("registration (connect, hello, ready), median of 20: %.2f ms with WAIT 1, %.2f ms "
                "without; p90 %.2f / %.2f ms\n",
                waiting[10], plain[10], waiting[18], plain[18]);
    std::fflush(stdout);
  }

  const auto killed = std::chrono::steady_clock::now();
  auto since_kill = [&killed] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed).count();
  };
  redis_->stop(SIGKILL);
  double promoted_ms = -1, first_ready_ms = -1, first_join_ms = -1;
  int after = 0;
  while (after < 9 && since_kill() < 60000) {
    if (promoted_ms < 0 && sentinels[0]->query("SENTINEL get-master-addr-by-name vtr")
                                   .find(std::to_string(replica.port())) != std::string::npos) {
      promoted_ms = since_kill();
      ASSERT_TRUE(redis_->start()) << "the old master did not start again";
      redis_->query(no_sync_delay);
    }
    if (first_join_ms < 0) {
      // A join needs no replica: it goes on once the nodes reach the promoted master.
      auto t = join_on(n % 3, acknowledged[static_cast<size_t>(n) % 9].id,
                       "198.18.0." + std::to_string(n % 250 + 1));
      const std::string answer = next(*t)["t"];
      if (answer == "waiting" || answer == "busy") first_join_ms = since_kill();
    }
    if (register_one(n, n % 3)) {
      if (first_ready_ms < 0) first_ready_ms = since_kill();
      ++after;
    } else {
      std::this_thread::sleep_for(milliseconds(100));
    }
    ++n;
  }
  ASSERT_GE(promoted_ms, 0) << "no replica was promoted";
  ASSERT_EQ(after, 9) << "registrations did not resume after the failover";
  std::printf("master killed: replica promoted after %.0f ms, first join answered after %.0f ms, "
              "first registration ready after %.0f ms (it waits for the old master back as a "
              "replica); %d of %d registrations ready, %d of %d joins waiting for their host\n",
              promoted_ms, first_join_ms, first_ready_ms, static_cast<int>(acknowledged.size()), n,
              joined, joins);
  std::fflush(stdout);

  // A failover asked for: the master stays up, as a replica. Nodes find that out from a
  // -READONLY reply or from the sentinels, and follow.
  for (int i = 0; i < 300 && !can_fail_over(); ++i) std::this_thread::sleep_for(milliseconds(100));
  EXPECT_NE(sentinels[1]->query("SENTINEL FAILOVER vtr").find("+OK"), std::string::npos);
  const auto asked = std::chrono::steady_clock::now();
  auto master_is_old = [&] {
    return sentinels[0]->query("SENTINEL get-master-addr-by-name vtr").find(std::to_string(redis_->port())) !=
           std::string::npos;
  };
  while (!master_is_old() && std::chrono::steady_clock::now() - asked < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  int moved = 0;
  while (moved < 3 && std::chrono::steady_clock::now() - asked < std::chrono::seconds(30)) {
    if (register_one(n, n % 3)) {
      ++moved;
    } else {
      std::this_thread::sleep_for(milliseconds(100));
    }
    ++n;
  }
  std::printf("failover asked of the sentinels: %d registrations ready %.0f ms after it\n", moved,
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
  std::fflush(stdout);
  EXPECT_EQ(moved, 3) << "registrations did not resume after the planned failover";
  EXPECT_TRUE(master_is_old()) << sentinels[0]->query("INFO sentinel");
  const std::string log = server_->log();
  EXPECT_TRUE(log.find("is a replica now (READONLY)") != std::string::npos ||
              log.find("as the master now") != std::string::npos)
      << "no node noticed its master was demoted";

  // Every acknowledged binding is its own key's, and no other key's. A registration is
  // refused until the demoted master, now a replica, has caught up and confirms writes
  // again (a full resynchronisation, seconds on a busy machine): the check waits for that.
  for (int i = 0; i < 300 && !can_fail_over(); ++i) std::this_thread::sleep_for(milliseconds(100));
  ASSERT_TRUE(can_fail_over()) << "the demoted master did not come back as an online replica\n"
                               << redis_->query("INFO replication");
  std::printf("replication online again %.0f ms after the failover was asked\n",
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
  std::fflush(stdout);
  for (size_t i = 0; i < acknowledged.size(); ++i) {
    const Binding& b = acknowledged[i];
    EXPECT_EQ(taken_or_ready(static_cast<int>(i % 3), b.id, "not-" + b.key), "taken") << b.id;
    EXPECT_EQ(taken_or_ready(static_cast<int>((i + 1) % 3), b.id, b.key), "ready") << b.id;
  }
}

// openssl(1), run by the test; its output is dropped.
bool openssl(const std::string& args) {
  return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// Redis over TLS with certificates the test makes: a node that trusts Redis's CA (and
// shows a client certificate) works; one given another CA, or expecting another name,
// refuses to connect and says why in its log. The password comes from the environment,
// never the command line.
TEST_F(NodesTest, RedisOverTlsIsCheckedAgainstItsCaAndName) {
  const fs::path pki = dir_ / "pki";
  fs::create_directories(pki);
  auto at = [&pki](const std::string& f) { return (pki / f).string(); };
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  for (const char* ca : {"ca", "other-ca"}) {
    ASSERT_TRUE(openssl("req -x509 " + ec + "-days 2 -subj /CN=" + ca + " -keyout " + at(ca) +
                        ".key -out " + at(ca) + ".pem"));
  }
  std::ofstream(at("server.ext")) << "subjectAltName=IP:127.0.0.1\n";
  std::ofstream(at("client.ext")) << "extendedKeyUsage=clientAuth\n";
  for (const char* who : {"server", "client"}) {
    const std::string w = who;
    ASSERT_TRUE(openssl("req -new " + ec + "-subj /CN=" + w + " -keyout " + at(w + ".key") +
                        " -out " + at(w + ".csr")));
    ASSERT_TRUE(openssl("x509 -req -days 2 -in " + at(w + ".csr") + " -CA " + at("ca.pem") +
                        " -CAkey " + at("ca.key") + " -CAcreateserial -extfile " + at(w + ".ext") +
                        " -out " + at(w + ".pem")));
  }
  const int tls_port = free_port_below_ephemeral();
  RedisProcess tls_redis(dir_ / "tls-redis",
                         {"--tls-port", std::to_string(tls_port), "--tls-cert-file", at("server.pem"),
                          "--tls-key-file", at("server.key"), "--tls-ca-cert-file", at("ca.pem"),
                          "--tls-auth-clients", "yes", "--requirepass", "north-wind"});
  ASSERT_TRUE(tls_redis.start());

  auto node = [&](const std::string& name, std::vector<std::string> extra) {
    fs::create_directories(dir_ / name);
    auto args = fast_policy();
    args.insert(args.end(), {"--redis", "rediss://127.0.0.1:" + std::to_string(tls_port),
                             "--redis-cert", at("client.pem"), "--redis-key", at("client.key")});
    args.insert(args.end(), extra.begin(), extra.end());
    setenv("VTR_SIGNAL_REDIS_PASSWORD", "north-wind", 1);
    auto p = std::make_unique<ServerProcess>(dir_ / name, args);
    unsetenv("VTR_SIGNAL_REDIS_PASSWORD");
    EXPECT_GT(p->port(), 0) << name;
    return p;
  };
  auto good = node("good", {"--redis-ca", at("ca.pem")});
  auto other_ca = node("other-ca", {"--redis-ca", at("other-ca.pem")});
  auto other_name = node("other-name", {"--redis-ca", at("ca.pem"), "--redis-tls-name", "redis.example.org"});

  int status = 0;
  for (int i = 0; i < 100 && status != 200; ++i) {
    status = http_get(good->port(), "/health").status;
    if (status != 200) std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_EQ(status, 200) << good->log();
  {
    WsClient h;
    ASSERT_TRUE(h.connect(good->port(), "/host/723456780"));
    h.send(Json{{"t", "hello"}, {"key", "key-a"}}.dump());
    EXPECT_EQ(next(h)["t"], "ready");
    WsClient t;
    ASSERT_TRUE(t.connect(good->port(), "/join/723456780"));
    t.send(Json{{"t", "join"}, {"name", "Tecnico"}, {"pass", "ABC123"}}.dump());
    EXPECT_EQ(next(h)["t"], "req");
    EXPECT_EQ(next(t)["t"], "waiting");
  }
  std::ifstream cmdline("/proc/" + std::to_string(good->pid()) + "/cmdline");
  const std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  EXPECT_NE(args.find("rediss://"), std::string::npos);
  EXPECT_EQ(args.find("north-wind"), std::string::npos);

  for (ServerProcess* refused : {other_ca.get(), other_name.get()}) {
    for (int i = 0; i < 100 && refused->log().find("certificate verify failed") == std::string::npos; ++i) {
      std::this_thread::sleep_for(milliseconds(50));
    }
    const std::string log = refused->log();
    EXPECT_NE(log.find("TLS handshake failed: certificate verify failed"), std::string::npos) << log;
    EXPECT_EQ(http_get(refused->port(), "/health").status, 503);
    WsClient h;
    ASSERT_TRUE(h.connect(refused->port(), "/host/723456781"));
    h.send(Json{{"t", "hello"}, {"key", "key-b"}}.dump());
    EXPECT_EQ(next(h)["t"], "(nothing)");
  }
  EXPECT_NE(other_ca->log().find("must chain to --redis-ca"), std::string::npos) << other_ca->log();
  EXPECT_NE(other_name->log().find("mismatch"), std::string::npos) << other_name->log();
}

}  // namespace
}  // namespace vantriel::signal::wire
