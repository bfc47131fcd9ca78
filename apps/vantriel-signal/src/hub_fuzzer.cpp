// Feeds arbitrary frames to a hub holding hosts, technicians and call members, and checks
// that every frame it sends is one JSON object, relayed signals spliced from their
// sender's text included. The input
// is split at line feeds; each frame's first byte picks the socket it arrives on, and
// the byte 0xff closes that socket instead. Timers run at the end.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "hub.h"

namespace {

using namespace vantriel::signal;

// The newest session id and call member id the hub handed out. Inputs name them "@S" and
// "@M", so that answers, relayed signals and kicks can reach accepted sessions and
// members, whose ids are random.
std::string g_sid, g_member;

class FakeLink : public Link {
 public:
  explicit FakeLink(std::string addr) : addr_(std::move(addr)) {}
  // Every frame sent, relayed ones spliced from their sender's text included, must be
  // one JSON object.
  void send(std::string text) override {
    if (!scan_object(text, 2 * kMaxDepth, members_)) __builtin_trap();
    sent_ += text.size();
    if (text.find(R"("sid")") == std::string::npos && text.find("welcome") == std::string::npos) {
      return;
    }
    const Json msg = Json::parse(text, nullptr, false);
    if (!msg.is_object()) return;
    if (auto it = msg.find("sid"); it != msg.end() && it->is_string()) g_sid = *it;
    if (msg.value("t", "") == "welcome") g_member = msg.value("id", "");
  }
  void close() override { closed = true; }
  const std::string& address() const override { return addr_; }
  bool closed = false;
  bool gone = false;

 private:
  std::string addr_;
  size_t sent_ = 0;
  std::vector<RawMember> members_;
};

class FakeEnv : public HubEnv {
 public:
  std::chrono::steady_clock::time_point now() override { return t_ += std::chrono::seconds(7); }
  int64_t unix_now() override { return 1700000000; }
  void after(std::chrono::milliseconds, std::function<void()> task) override {
    tasks.push_back(std::move(task));
  }
  void log(const std::string&) override {}
  std::vector<std::function<void()>> tasks;

 private:
  std::chrono::steady_clock::time_point t_{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Config config;
  config.stun = {"stun:stun.example.org"};
  config.policy.id_max_fails = 2;
  config.policy.addr_max_fails = 3;
  BindingStore bindings((std::filesystem::temp_directory_path() / "hub-fuzz.json").string());
  FakeEnv env;
  Hub hub(config, bindings, env);
  g_sid.clear();
  g_member.clear();
  std::vector<std::shared_ptr<FakeLink>> links;
  for (int i = 0; i < 8; ++i) {
    auto l = std::make_shared<FakeLink>("10.0.0." + std::to_string(i % 3));
    links.push_back(l);
    if (i < 2) {
      hub.open_host(l, "123456789");
    } else if (i < 5) {
      hub.open_join(l, "123456789");
    } else {
      hub.open_call(l, "ABC123");
    }
  }
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    if (end > start) {
      auto& link = links[static_cast<uint8_t>(input[start]) % links.size()];
      std::string frame = input.substr(start + 1, end - start - 1);
      for (const auto& [mark, value] : {std::pair{"@S", &g_sid}, std::pair{"@M", &g_member}}) {
        for (size_t at = frame.find(mark); at != std::string::npos;
             at = frame.find(mark, at + value->size())) {
          frame.replace(at, 2, *value);
        }
      }
      if (!link->gone) {
        if (static_cast<uint8_t>(input[start]) == 0xff) {
          link->gone = true;
          hub.closed(link.get());
        } else {
          hub.receive(link.get(), frame);
        }
      }
    }
    start = end + 1;
  }
  for (size_t i = 0; i < env.tasks.size() && i < 1000; ++i) env.tasks[i]();
  for (auto& l : links) {
    if (!l->gone) hub.closed(l.get());
  }
  return 0;
}
