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
  void after(std::chrono::milliseconds, std::function<void()> task) override {
    timers.push_back(std::move(task));
  }
  void log(const std::string&) override {}
  // Runs every timer set so far, as if their time had passed.
  void run_timers() {
    auto due = std::move(timers);
    timers.clear();
    for (auto& task : due) task();
  }
  std::vector<std::function<void()>> timers;
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

// A technician's page whose network changed comes back on a new socket with the secret
// its acceptance handed it, and the session goes on without asking the person again.
TEST_F(RelayTest, ATechnicianComesBackIntoItsSessionWithItsSecret) {
  // A join that does not ask for a secret gets none (the fixture's session).
  hub_.receive(host_.get(), R"({"t":"bye","sid":")" + sid_ + R"("})");
  auto join = [this](const std::string& frame) {
    auto t = std::make_shared<FakeLink>();
    hub_.open_join(t, "123456789");
    hub_.receive(t.get(), frame);
    return t;
  };
  auto tech = join(R"({"t":"join","name":"Tec","pass":"ABC123","resumable":true})");
  const std::string sid = Json::parse(host_->sent.back())["sid"];
  hub_.receive(host_.get(), R"({"t":"answer","sid":")" + sid + R"(","ok":true})");
  const Json acc = Json::parse(tech->sent.back());
  ASSERT_EQ(acc["t"], "accepted");
  EXPECT_EQ(acc["sid"], sid);
  const std::string secret = acc["resume"];
  EXPECT_EQ(secret.size(), 32u);
  EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos);
  const std::string back = R"({"t":"join","sid":")" + sid + R"(","resume":")" + secret + R"("})";

  // Its socket drops: the host hears nothing, stays busy, and its signals go nowhere.
  host_->sent.clear();
  hub_.closed(tech.get());
  hub_.receive(host_.get(), R"({"t":"signal","sid":")" + sid + R"(","data":{"n":0}})");
  EXPECT_TRUE(host_->sent.empty());
  EXPECT_EQ(hub_.gauges().sessions_open, 1u);
  EXPECT_EQ(Json::parse(join(R"({"t":"join","name":"X","pass":"ABC123"})")->sent.back())["t"], "busy");

  // A wrong secret, another ID's session or no secret is refused alike and changes nothing.
  std::string wrong = secret;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  for (const std::string& frame :
       {R"({"t":"join","sid":")" + sid + R"(","resume":")" + wrong + R"("})",
        R"({"t":"join","sid":")" + sid + R"(","resume":")" + secret + R"(0"})",
        R"({"t":"join","sid":")" + sid + R"("})", R"({"t":"join","sid":"ffff","resume":")" + secret + R"("})"}) {
    auto t = join(frame);
    EXPECT_EQ(t->sent, (std::vector<std::string>{R"({"t":"denied","reason":"noresume"})"})) << frame;
    EXPECT_TRUE(t->closed);
    hub_.closed(t.get());
  }
  auto elsewhere = std::make_shared<FakeLink>();
  hub_.open_join(elsewhere, "987654321");
  hub_.receive(elsewhere.get(), back);
  EXPECT_EQ(Json::parse(elsewhere->sent.back())["reason"], "noresume");
  EXPECT_TRUE(host_->sent.empty());

  // The right one takes the old socket's place; the host is told, to restart ICE.
  auto again = join(back);
  ASSERT_EQ(again->sent.size(), 1u);
  const Json resumed = Json::parse(again->sent[0]);
  EXPECT_EQ(resumed["t"], "resumed");
  EXPECT_TRUE(resumed["iceServers"].is_array());
  EXPECT_EQ(host_->sent, (std::vector<std::string>{R"({"t":"resumed","sid":")" + sid + R"("})"}));
  // The grace of the first drop runs out after the return: it ends nothing.
  env_.run_timers();
  hub_.receive(host_.get(), R"({"t":"signal","sid":")" + sid + R"(","data":{"n":1}})");
  hub_.receive(again.get(), R"({"t":"signal","data":{"n":2}})");
  EXPECT_EQ(again->sent.back(), R"({"t":"signal","data":{"n":1}})");
  EXPECT_EQ(host_->sent.back(), R"({"t":"signal","sid":")" + sid + R"(","data":{"n":2}})");

  // Back again while the server still holds the older socket open (its page gave it up):
  // that one is closed, and its close ends nothing.
  auto third = join(back);
  EXPECT_EQ(Json::parse(third->sent.back())["t"], "resumed");
  EXPECT_TRUE(again->closed);
  hub_.closed(again.get());
  EXPECT_EQ(hub_.gauges().sessions_open, 1u);

  // Dropped and not back within the grace: the host gets "left", and the secret is stale.
  host_->sent.clear();
  hub_.closed(third.get());
  EXPECT_TRUE(host_->sent.empty());
  env_.run_timers();
  EXPECT_EQ(host_->sent, (std::vector<std::string>{R"({"t":"left","sid":")" + sid + R"("})"}));
  EXPECT_EQ(hub_.gauges().sessions_open, 0u);
  EXPECT_EQ(hub_.counters().ended[static_cast<size_t>(Ending::kLeft)], 1u);
  EXPECT_EQ(Json::parse(join(back)->sent.back())["reason"], "noresume");

  // A session whose technician says bye ends at once, secret or not.
  auto fourth = join(R"({"t":"join","name":"Tec","pass":"ABC123","resumable":true})");
  const std::string sid4 = Json::parse(host_->sent.back())["sid"];
  hub_.receive(host_.get(), R"({"t":"answer","sid":")" + sid4 + R"(","ok":true})");
  hub_.receive(fourth.get(), R"({"t":"bye"})");
  EXPECT_EQ(host_->sent.back(), R"({"t":"left","sid":")" + sid4 + R"("})");
  EXPECT_EQ(hub_.gauges().sessions_open, 0u);
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
