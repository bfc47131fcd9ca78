// The hub as one node of several, against a Shared and a Cluster that answer only when
// the test lets them, as Redis does: sockets may close and frames arrive meanwhile.
#include <gtest/gtest.h>

#include "crypto.h"
#include "hub.h"
#include "node_message.h"

namespace vantriel::signal {
namespace {

class FakeLink : public Link {
 public:
  void send(std::string text) override { sent.push_back(std::move(text)); }
  void close() override { closed = true; }
  const std::string& address() const override { return address_; }
  std::string last_type() const {
    return sent.empty() ? "" : Json::parse(sent.back(), nullptr, false).value("t", "");
  }
  std::vector<std::string> sent;
  bool closed = false;

 private:
  std::string address_ = "192.0.2.9";
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

class SlowState : public Shared, public Cluster {
 public:
  // Answers everything asked so far, in order.
  void answer() {
    while (!waiting_.empty()) {
      auto batch = std::move(waiting_);
      waiting_.clear();
      for (auto& f : batch) f();
    }
  }
  void register_host(const std::string&, const std::string&, const std::string&,
                     const std::string&, std::function<void(Registration)> done) override {
    waiting_.push_back([done] {
      Registration r;
      r.outcome = Registration::kReady;
      done(r);
    });
  }
  void join_gate(const std::string&, const std::string&, std::function<void(JoinGate)> done) override {
    waiting_.push_back([done] {
      JoinGate g;
      g.allowed = true;
      done(g);
    });
  }
  void call_gate(const std::string&, std::function<void(CallGate)> done) override {
    waiting_.push_back([done] {
      CallGate g;
      g.allowed = true;
      done(g);
    });
  }
  void room_missed(const std::string&, std::function<void(int)> done) override {
    waiting_.push_back([done] { done(0); });
  }
  void allow_new_room(const std::string&, std::function<void(bool)> done) override {
    waiting_.push_back([done] { done(true); });
  }
  void wrong_code(const std::string&, const std::string&,
                  std::function<void(Guard::Verdict, bool)> done) override {
    waiting_.push_back([done] { done(Guard::Verdict{}, false); });
  }
  void accepted(const std::string&) override {}
  void sweep() override {}

  const std::string& node() const override { return node_; }
  void find_host(const std::string& id, std::function<void(Place)> done) override {
    const std::string where = hosts[id];
    waiting_.push_back([done, where] { done(Place{false, where}); });
  }
  void find_room(const std::string&, bool, std::function<void(Place)> done) override {
    waiting_.push_back([done] { done(Place{false, {}}); });
  }
  void host_left(const std::string& id, const std::string& holder) override {
    left.push_back(id + " " + holder);
  }
  void room_opened(const std::string& code) override { opened.push_back(code); }
  void room_closed(const std::string&) override {}
  void load_room(const std::string& code, std::function<void(KeptRoom)> done) override {
    auto it = kept.find(code);
    KeptRoom room = it == kept.end() ? KeptRoom{} : it->second;
    waiting_.push_back([done, room] { done(room); });
  }
  void keep_member(const std::string& code, const KeptMember& member) override {
    auto& members = kept[code].members;
    for (auto& m : members) {
      if (m.id == member.id) {
        m = member;
        return;
      }
    }
    members.push_back(member);
  }
  void keep_host(const std::string& code, const std::string& host) override {
    kept[code].host = host;
  }
  void forget_member(const std::string& code, const std::string& id) override {
    auto& members = kept[code].members;
    std::erase_if(members, [&id](const KeptMember& m) { return m.id == id; });
  }
  void forget_room(const std::string& code) override { kept.erase(code); }
  void post(const std::string& to, std::string message) override {
    posted.push_back(to + "|" + message);
  }

  std::map<std::string, std::string> hosts;  // id -> node, as find_host answers
  std::vector<std::string> left;
  std::vector<std::string> posted;
  std::vector<std::string> opened;
  std::map<std::string, KeptRoom> kept;  // by room code, as a dead node left it

 private:
  std::string node_ = "here";
  std::vector<std::function<void()>> waiting_;
};

using KeptRoom = Cluster::KeptRoom;

class HubAmongNodes : public testing::Test {
 protected:
  std::shared_ptr<FakeLink> registered_host(const std::string& id) {
    auto h = std::make_shared<FakeLink>();
    hub_.open_host(h, id);
    hub_.receive(h.get(), R"({"t":"hello","key":"k","name":"Ana"})");
    state_.answer();
    EXPECT_EQ(h->last_type(), "ready");
    return h;
  }
  Config config_;
  FakeEnv env_;
  SlowState state_;
  Hub hub_{config_, state_, state_, env_};
};

TEST_F(HubAmongNodes, AHostGoneWhileItsHelloIsCheckedGivesItsIdBack) {
  auto h = std::make_shared<FakeLink>();
  hub_.open_host(h, "123456789");
  hub_.receive(h.get(), R"({"t":"hello","key":"k"})");
  hub_.receive(h.get(), R"({"t":"hello","key":"k"})");  // one check at a time
  hub_.closed(h.get());
  state_.answer();
  EXPECT_TRUE(h->sent.empty());
  EXPECT_EQ(hub_.hosts(), 0u);
  // Claimed for a socket that is gone: released, or the ID would look online for ever.
  EXPECT_EQ(state_.left, (std::vector<std::string>{"123456789 here 1"}));
}

TEST_F(HubAmongNodes, ATechnicianIsRelayedInOrderToTheHostsNode) {
  state_.hosts["123456789"] = "there";
  auto t = std::make_shared<FakeLink>();
  hub_.open_join(t, "123456789", /*web=*/true);
  hub_.receive(t.get(), R"({"t":"join","name":"Tec","pass":"ABC123"})");
  // Frames that arrive while the host is looked up follow the join, in order.
  hub_.receive(t.get(), R"({"t":"signal","data":{ "a" : 1 }})");
  hub_.receive(t.get(), R"({"t":"cancel"})");
  EXPECT_TRUE(state_.posted.empty());
  state_.answer();
  ASSERT_EQ(state_.posted.size(), 4u);
  NodeMessage m;
  const std::string open = state_.posted[0].substr(6);  // m views it
  ASSERT_TRUE(parse_node_message(open, m));
  EXPECT_EQ(m.type, 'o');
  ASSERT_EQ(m.args.size(), 4u);
  EXPECT_EQ(std::string(m.args[0]) + " " + std::string(m.args[1]) + " " + std::string(m.args[2]) +
                " " + std::string(m.args[3]),
            "j 123456789 192.0.2.9 w");
  const std::string token(m.token);
  EXPECT_EQ(state_.posted[2], "there|m here " + token + "\n" + R"({"t":"signal","data":{ "a" : 1 }})");
  EXPECT_EQ(state_.posted[3], "there|m here " + token + "\n" + R"({"t":"cancel"})");
  // What the host's node sends comes out on the socket; its close closes it.
  hub_.node_message(make_node_message('s', "there", token, {}, R"({"t":"waiting","timeout":60})"));
  hub_.node_message(make_node_message('s', "elsewhere", token, {}, R"({"t":"accepted"})"));
  EXPECT_EQ(t->sent, (std::vector<std::string>{R"({"t":"waiting","timeout":60})"}));
  EXPECT_EQ(hub_.peer_nodes(), (std::vector<std::string>{"there"}));
  // The host's node going away ends the technician's wait: its host is gone.
  hub_.node_gone("there");
  EXPECT_EQ(t->last_type(), "ended");
  EXPECT_TRUE(t->closed);
  hub_.closed(t.get());
  EXPECT_EQ(state_.posted.back(), "there|x here " + token + "\n");
  EXPECT_TRUE(hub_.peer_nodes().empty());
}

TEST_F(HubAmongNodes, ASocketOfAnotherNodeIsServedHereUntilThatNodeGoes) {
  auto h = registered_host("123456789");
  hub_.node_message(make_node_message('o', "there", "7", {"j", "123456789", "203.0.113.5"}));
  hub_.node_message(make_node_message('m', "there", "7", {}, R"({"t":"join","name":"Tec"})"));
  state_.answer();
  ASSERT_EQ(h->last_type(), "req");
  // Opened by a node that names no page (an older release): a desktop technician's request.
  EXPECT_FALSE(Json::parse(h->sent.back()).contains("web"));
  const std::string sid = Json::parse(h->sent.back())["sid"];
  EXPECT_EQ(state_.posted.back(), "there|s here 7\n" + std::string(R"({"t":"waiting","timeout":60})"));
  h->sent.clear();
  hub_.receive(h.get(), R"({"t":"answer","sid":")" + sid + R"(","ok":true})");
  EXPECT_NE(state_.posted.back().find(R"({"t":"accepted")"), std::string::npos);
  hub_.node_message(make_node_message('m', "there", "7", {}, R"({"t":"signal","data":{"x":[1]}})"));
  EXPECT_EQ(h->sent.back(), R"({"t":"signal","sid":")" + sid + R"(","data":{"x":[1]}})");
  // The technician's node dies: its socket counts as gone, the host is free again.
  hub_.node_gone("there");
  EXPECT_EQ(h->last_type(), "left");
  EXPECT_TRUE(hub_.peer_nodes().empty());
  EXPECT_EQ(hub_.sessions(), 0u);
  // A join from the page for browsers, opened on its node: the host is told.
  hub_.node_message(make_node_message('o', "there", "8", {"j", "123456789", "203.0.113.5", "w"}));
  hub_.node_message(make_node_message('m', "there", "8", {}, R"({"t":"join","name":"Tec"})"));
  state_.answer();
  ASSERT_EQ(h->last_type(), "req");
  EXPECT_EQ(Json::parse(h->sent.back())["web"], true);
  // A host taken over elsewhere hears "replaced", but only for the socket named.
  hub_.node_message(make_node_message('r', "there", "99", {"123456789"}));
  EXPECT_FALSE(h->closed);
  hub_.node_message(make_node_message('r', "there", "1", {"123456789"}));
  EXPECT_EQ(h->last_type(), "replaced");
  EXPECT_TRUE(h->closed);
  EXPECT_EQ(hub_.hosts(), 0u);
}

// A technician whose node died comes back through another node: the session, kept by the
// host's node, goes on with the new socket.
TEST_F(HubAmongNodes, ATechnicianOfADeadNodeComesBackThroughAnother) {
  auto h = registered_host("123456789");
  state_.hosts["123456789"] = "here";
  hub_.node_message(make_node_message('o', "there", "7", {"j", "123456789", "203.0.113.5"}));
  hub_.node_message(make_node_message(
      'm', "there", "7", {}, R"({"t":"join","name":"Tec","pass":"ABC123","resumable":true})"));
  state_.answer();
  const std::string sid = Json::parse(h->sent.back())["sid"];
  hub_.receive(h.get(), R"({"t":"answer","sid":")" + sid + R"(","ok":true})");
  const std::string& posted = state_.posted.back();
  ASSERT_EQ(posted.rfind("there|s here 7\n", 0), 0u);
  const Json acc = Json::parse(posted.substr(posted.find('\n') + 1));
  ASSERT_EQ(acc["t"], "accepted");
  const std::string secret = acc["resume"];

  hub_.node_gone("there");
  EXPECT_EQ(h->last_type(), "req");  // no "left": the session waits for its technician
  EXPECT_EQ(hub_.sessions(), 1u);

  auto t = std::make_shared<FakeLink>();
  hub_.open_join(t, "123456789");
  hub_.receive(t.get(), R"({"t":"join","sid":")" + sid + R"(","resume":")" + secret + R"("})");
  state_.answer();
  EXPECT_EQ(t->last_type(), "resumed");
  EXPECT_EQ(h->sent.back(), R"({"t":"resumed","sid":")" + sid + R"("})");
  hub_.receive(h.get(), R"({"t":"signal","sid":")" + sid + R"(","data":{"n":1}})");
  EXPECT_EQ(t->sent.back(), R"({"t":"signal","data":{"n":1}})");
  // The grace of the dead node's socket ends nothing now.
  env_.run_timers();
  EXPECT_EQ(hub_.sessions(), 1u);
  EXPECT_FALSE(t->closed);
}

// A call room whose node died goes on here from what that node kept: its members come
// back one by one with their secrets, in the places and states they had.
TEST_F(HubAmongNodes, ARoomOfADeadNodeGoesOnWithTheMembersWhoComeBack) {
  auto proof = [](const std::string& secret) { return hex_encode(as_bytes(sha1(secret))); };
  KeptRoom& was = state_.kept["RMS234"];
  was.host = "a1";
  was.members = {{"a1", "Ana", proof("sa"), 0, true, false},
                 {"b2", "Beto", proof("sb"), 1, false, true},
                 {"c3", "Caro", proof("sc"), 2, false, false}};
  auto enter = [this](const std::string& frame) {
    auto l = std::make_shared<FakeLink>();
    hub_.open_call(l, "RMS234");
    hub_.receive(l.get(), frame);
    state_.answer();
    return l;
  };
  auto first = [](const FakeLink& l) {
    return l.sent.empty() ? Json() : Json::parse(l.sent.front(), nullptr, false);
  };
  const Json ana = {{"id", "a1"}, {"name", "Ana"}, {"muted", true}, {"talk", false}};
  const Json caro = {{"id", "c3"}, {"name", "Caro"}, {"muted", false}, {"talk", false}};

  auto b = enter(R"({"t":"join","name":"Other","id":"b2","secret":"sb"})");
  Json wb = first(*b);
  EXPECT_EQ(wb["t"], "welcome");
  EXPECT_EQ(wb["id"], "b2");
  EXPECT_EQ(wb["host"], "a1");
  EXPECT_EQ(wb["secret"], "sb");
  EXPECT_EQ(wb["peers"], Json::array());
  EXPECT_EQ(wb["away"], (Json::array({ana, caro})));
  EXPECT_EQ(state_.opened, (std::vector<std::string>{"RMS234"}));
  EXPECT_EQ(hub_.rooms(), 1u);

  // Someone who knows the code and a member's id, but not its secret, joins as new.
  auto guess = enter(R"({"t":"join","name":"Eve","id":"a1","secret":"sb"})");
  const std::string eve = first(*guess).value("id", "");
  EXPECT_NE(eve, "a1");
  EXPECT_EQ(first(*guess)["host"], "a1");
  EXPECT_EQ(Json::parse(b->sent.back())["peer"]["id"], eve);
  EXPECT_EQ(state_.kept["RMS234"].members.size(), 4u);

  // The host comes back: the others see it join with the state it had.
  b->sent.clear();
  auto a = enter(R"({"t":"join","name":"Ana","id":"a1","secret":"sa"})");
  EXPECT_EQ(first(*a)["id"], "a1");
  EXPECT_EQ(first(*a)["peers"].size(), 2u);
  EXPECT_EQ(first(*a)["away"], Json::array({caro}));
  EXPECT_EQ(first(*b), (Json{{"t", "peer-join"}, {"peer", ana}}));
  // Its state changes are kept for the next node.
  hub_.receive(a.get(), R"({"t":"state","talk":false,"muted":false})");
  EXPECT_FALSE(state_.kept["RMS234"].members[0].muted);

  // Caro never comes back: once the grace is over her place is free, and the kept
  // state forgets her. Those who came back stay.
  b->sent.clear();
  env_.run_timers();
  EXPECT_EQ(b->sent, (std::vector<std::string>{R"({"t":"peer-leave","id":"c3","host":"a1"})"}));
  ASSERT_EQ(state_.kept["RMS234"].members.size(), 3u);
  for (const auto& m : state_.kept["RMS234"].members) EXPECT_NE(m.id, "c3");

  // A member whose own node dies is away, not gone: no one is told, and its secret
  // brings it back through another node.
  hub_.node_message(make_node_message('o', "there", "7", {"c", "RMS234", "203.0.113.5"}));
  hub_.node_message(make_node_message('m', "there", "7", {}, R"({"t":"join","name":"Dani"})"));
  state_.answer();
  const Json wd = Json::parse(state_.posted.back().substr(state_.posted.back().find('\n') + 1));
  ASSERT_EQ(wd["t"], "welcome");
  b->sent.clear();
  hub_.node_gone("there");
  EXPECT_TRUE(b->sent.empty());
  auto d = enter(R"({"t":"join","id":")" + wd["id"].get<std::string>() + R"(","secret":")" +
                 wd["secret"].get<std::string>() + R"("})");
  EXPECT_EQ(first(*d)["id"], wd["id"]);
  EXPECT_EQ(first(*d)["peers"].size(), 3u);
  EXPECT_EQ(Json::parse(b->sent.back())["t"], "peer-join");

  // The last one out closes the room and nothing of it is kept.
  for (auto* l : {a.get(), b.get(), guess.get(), d.get()}) hub_.closed(l);
  EXPECT_EQ(hub_.rooms(), 0u);
  EXPECT_EQ(state_.kept.count("RMS234"), 0u);
}

}  // namespace
}  // namespace vantriel::signal
