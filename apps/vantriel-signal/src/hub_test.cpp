#include "hub.h"

#include "morvane/core/json_depth.h"

#include <gtest/gtest.h>

namespace vantriel::signal {
namespace {

TEST(JsonDepth, CountsNestingOutsideStrings) {
  EXPECT_EQ(morvane::json_nesting_depth(""), 0);
  EXPECT_EQ(morvane::json_nesting_depth(R"({"t":"ping"})"), 1);
  EXPECT_EQ(morvane::json_nesting_depth(R"({"a":[{"b":[]}]})"), 4);
  // Brackets inside strings, also after escaped quotes and backslashes, do not count.
  EXPECT_EQ(morvane::json_nesting_depth(R"({"s":"[[[{{{"})"), 1);
  EXPECT_EQ(morvane::json_nesting_depth(R"({"s":"\"[[[","u":"\\","v":[1]})"), 2);
  const std::string at_limit = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
  const std::string over = "[" + at_limit + "]";
  EXPECT_EQ(morvane::json_nesting_depth(at_limit), kMaxDepth);
  EXPECT_EQ(morvane::json_nesting_depth(over), kMaxDepth + 1);
  // Unbalanced text is still measured, never read past its end.
  EXPECT_EQ(morvane::json_nesting_depth("[[[\"\\"), 3);
}

}  // namespace
}  // namespace vantriel::signal

namespace vantriel::signal {
namespace {

class FakeLink : public Link {
 public:
  void send(std::string text) override { sent.push_back(std::move(text)); }
  void close() override { closed = true; }
  const std::string& address() const override { return address_; }
  std::vector<std::string> sent;
  bool closed = false;

 private:
  std::string address_ = "192.0.2.7";
};

class FakeEnv : public HubEnv {
 public:
  std::chrono::steady_clock::time_point now() override { return {}; }
  int64_t unix_now() override { return 1700000000; }
  void after(std::chrono::milliseconds, std::function<void()>) override {}
  void log(const std::string&) override {}
};

// A host and a technician in an accepted session.
class RelayTest : public testing::Test {
 protected:
  void SetUp() override {
    hub_.open_host(host_, "123456789");
    hub_.receive(host_.get(), R"({"t":"hello","key":"k","name":"Ana"})");
    hub_.open_join(tech_, "123456789");
    hub_.receive(tech_.get(), R"({"t":"join","name":"Tec","pass":"ABC123"})");
    ASSERT_EQ(host_->sent.size(), 2u);  // ready, req
    sid_ = Json::parse(host_->sent[1])["sid"];
    hub_.receive(host_.get(), R"({"t":"answer","sid":")" + sid_ + R"(","ok":true})");
    host_->sent.clear();
    tech_->sent.clear();
  }

  Config config_;
  BindingStore bindings_{"unused-bindings.json"};
  FakeEnv env_;
  Hub hub_{config_, bindings_, env_};
  std::shared_ptr<FakeLink> host_ = std::make_shared<FakeLink>();
  std::shared_ptr<FakeLink> tech_ = std::make_shared<FakeLink>();
  std::string sid_;
};

TEST_F(RelayTest, DataPassesByteForByteAndInOrder) {
  // Spacing, escapes, number forms and duplicate keys are the sender's business.
  const std::string data = R"({ "sdp" : "v=0\r\n\u00e9", "n":[1.50,-0e+2,1E400], "a":1, "a":2 })";
  hub_.receive(host_.get(), R"({"t":"signal","sid":")" + sid_ + R"(","data":)" + data + "}");
  hub_.receive(tech_.get(), "{\"data\":" + data + ",\"t\":\"signal\"}");
  ASSERT_EQ(tech_->sent.size(), 1u);
  EXPECT_EQ(tech_->sent[0], R"({"t":"signal","data":)" + data + "}");
  ASSERT_EQ(host_->sent.size(), 1u);
  EXPECT_EQ(host_->sent[0], R"({"t":"signal","sid":")" + sid_ + R"(","data":)" + data + "}");

  tech_->sent.clear();
  for (int i = 0; i < 50; ++i) {
    hub_.receive(host_.get(), R"({"t":"signal","sid":")" + sid_ + R"(","data":{"i":)" +
                                  std::to_string(i) + "}}");
  }
  ASSERT_EQ(tech_->sent.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Json::parse(tech_->sent[i])["data"]["i"], i);
}

TEST_F(RelayTest, ParserPathFollowsTheSameRules) {
  // An escaped member name sends the frame through the parser: relayed compact, still
  // only with an object in data and the right sid.
  hub_.receive(host_.get(), R"({"t":"signal","\u0073id":")" + sid_ + R"(","data":{ "x" : 1 }})");
  hub_.receive(host_.get(), R"({"t":"signal","\u0073id":"other","data":{"x":2}})");
  hub_.receive(host_.get(), R"({"t":"signal","sid":")" + sid_ + R"(","data":[1],"\u0061":0})");
  hub_.receive(tech_.get(), R"({"t":"sign\u0061l","data":{"y":"\u00e9"}})");
  ASSERT_EQ(tech_->sent.size(), 1u);
  EXPECT_EQ(tech_->sent[0], R"({"t":"signal","data":{"x":1}})");
  ASSERT_EQ(host_->sent.size(), 1u);
  EXPECT_EQ(host_->sent[0],
            R"({"t":"signal","sid":")" + sid_ + "\",\"data\":{\"y\":\"\xc3\xa9\"}}");

  // Neither path relays before the session is accepted or after it ends.
  hub_.receive(host_.get(), R"({"t":"bye","sid":")" + sid_ + R"("})");
  tech_->sent.clear();
  hub_.receive(host_.get(), R"({"t":"signal","sid":")" + sid_ + R"(","data":{}})");
  hub_.receive(host_.get(), R"({"t":"signal","\u0073id":")" + sid_ + R"(","data":{}})");
  EXPECT_TRUE(tech_->sent.empty());
}

TEST_F(RelayTest, AHostThatRegistersAgainTakesItsSessionAlong) {
  // The page's socket went stale under the session; its new one names the session.
  auto again = std::make_shared<FakeLink>();
  hub_.open_host(again, "123456789");
  hub_.receive(again.get(), R"({"t":"hello","key":"k","name":"Ana","sid":")" + sid_ + R"("})");
  EXPECT_EQ(host_->sent, (std::vector<std::string>{R"({"t":"replaced"})"}));
  EXPECT_TRUE(host_->closed);
  EXPECT_TRUE(tech_->sent.empty());
  EXPECT_FALSE(tech_->closed);
  hub_.closed(host_.get());
  EXPECT_TRUE(tech_->sent.empty());
  hub_.receive(again.get(), R"({"t":"signal","sid":")" + sid_ + R"(","data":{"n":1}})");
  hub_.receive(tech_.get(), R"({"t":"signal","data":{"n":2}})");
  EXPECT_EQ(tech_->sent, (std::vector<std::string>{R"({"t":"signal","data":{"n":1}})"}));
  ASSERT_EQ(again->sent.size(), 2u);
  EXPECT_EQ(again->sent[1], R"({"t":"signal","sid":")" + sid_ + R"(","data":{"n":2}})");

  // A registration naming another session, or none, ends this one as before.
  auto other = std::make_shared<FakeLink>();
  hub_.open_host(other, "123456789");
  hub_.receive(other.get(), R"({"t":"hello","key":"k","name":"Ana","sid":"0000"})");
  EXPECT_EQ(tech_->sent.back(), R"({"t":"ended","reason":"hostgone"})");
  EXPECT_TRUE(tech_->closed);
  // The technician's later frames reach nobody.
  other->sent.clear();
  hub_.receive(tech_.get(), R"({"t":"signal","data":{"n":3}})");
  EXPECT_TRUE(other->sent.empty());
}

TEST(CallRelay, NamesTheSenderEscaped) {
  Config config;
  BindingStore bindings("unused-bindings.json");
  FakeEnv env;
  Hub hub(config, bindings, env);
  auto a = std::make_shared<FakeLink>();
  auto b = std::make_shared<FakeLink>();
  hub.open_call(a, "ABC123");
  hub.receive(a.get(), R"({"t":"join","name":"Ana","create":true})");
  hub.open_call(b, "ABC123");
  hub.receive(b.get(), R"({"t":"join","name":"Be \"to\"\n"})");
  const std::string ida = Json::parse(a->sent[0])["id"];
  const std::string idb = Json::parse(b->sent[0])["id"];
  a->sent.clear();
  hub.receive(b.get(), R"({"t":"signal","to":")" + ida + R"(","data":{"ice" : null}})");
  ASSERT_EQ(a->sent.size(), 1u);
  EXPECT_EQ(a->sent[0],
            R"({"t":"signal","from":")" + idb + R"(","name":"Be \"to\"\n","data":{"ice" : null}})");
  // Not to oneself, not to a stranger.
  hub.receive(b.get(), R"({"t":"signal","to":")" + idb + R"(","data":{}})");
  hub.receive(b.get(), R"({"t":"signal","to":"nobody","data":{}})");
  EXPECT_EQ(a->sent.size(), 1u);
  EXPECT_EQ(b->sent.size(), 1u);  // its welcome only
}

}  // namespace
}  // namespace vantriel::signal

namespace vantriel::signal {
namespace {

size_t ended(const Hub& hub, Ending why) { return hub.counters().ended[static_cast<size_t>(why)]; }

// Each request handed to a host ends once, by the first thing that ends it.
TEST_F(RelayTest, EveryRequestEndsOnceInTheCounts) {
  EXPECT_EQ(hub_.gauges().sessions_open, 1u);
  hub_.closed(tech_.get());  // the technician's socket goes: "left"
  hub_.closed(tech_.get());
  EXPECT_EQ(ended(hub_, Ending::kLeft), 1u);
  EXPECT_EQ(hub_.gauges().sessions_open, 0u);

  // A pending request whose technician gives up, then one whose host is taken over.
  auto tech2 = std::make_shared<FakeLink>();
  hub_.open_join(tech2, "123456789");
  hub_.receive(tech2.get(), R"({"t":"join","name":"Tec","pass":"ABC123"})");
  EXPECT_EQ(hub_.gauges().requests_pending, 1u);
  hub_.receive(tech2.get(), R"({"t":"cancel"})");
  hub_.closed(tech2.get());
  EXPECT_EQ(ended(hub_, Ending::kCancel), 1u);

  auto tech3 = std::make_shared<FakeLink>();
  hub_.open_join(tech3, "123456789");
  hub_.receive(tech3.get(), R"({"t":"join","name":"Tec","pass":"ABC123"})");
  auto host2 = std::make_shared<FakeLink>();
  hub_.open_host(host2, "123456789");
  hub_.receive(host2.get(), R"({"t":"hello","key":"k","name":"Ana"})");
  hub_.closed(tech3.get());
  hub_.closed(host_.get());
  EXPECT_EQ(ended(hub_, Ending::kHostGone), 1u);

  const HubCounters& c = hub_.counters();
  size_t all = 0;
  for (uint64_t n : c.ended) all += n;
  EXPECT_EQ(c.requests, 3u);
  EXPECT_EQ(all, 3u);
  EXPECT_EQ(c.accepted, 1u);
  EXPECT_EQ(c.hosts_registered, 2u);
  EXPECT_EQ(hub_.gauges().hosts, 1u);
  EXPECT_EQ(hub_.gauges().requests_pending + hub_.gauges().sessions_open, 0u);
}

}  // namespace
}  // namespace vantriel::signal
