#include "support/support_sessions.h"
#include "support/history.h"

#include <chrono>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantriel {
namespace {

using json = nlohmann::ordered_json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SupportSessionsTest : public ::testing::Test {
 protected:
  SupportSessionsTest()
      : sessions_(SessionEffects{
            .now_seconds = [this] { return now_; },
            .local_timestamp = [] { return std::string("2026-03-05 07:04:09"); },
            .log = [this](const std::string& line) { log_.push_back(line); },
            .append_history_line = [this](const std::string& line) { history_.push_back(line); },
            .release_input =
                [this] {
                  ++releases_;
                  if (on_release_) on_release_();
                },
            .renew_access_code = [this] { ++access_code_generation_; },
            .current_access_code = [this] { return "K" + std::to_string(access_code_generation_); },
            .control_allowed = [this] { desktop_.push_back("allowed"); },
            .session_over = [this] { desktop_.push_back("over"); },
        }) {}

  double now_ = 1000.0;
  std::vector<std::string> log_;
  std::vector<std::string> history_;
  int releases_ = 0;
  std::function<void()> on_release_;
  int access_code_generation_ = 0;
  std::vector<std::string> desktop_;  // what the desktop was told, in order
  SupportSessions sessions_;
};

TEST_F(SupportSessionsTest, ReceivedSessionWithControlFromStartToEnd) {
  EXPECT_EQ(sessions_.report(json::parse(
                R"({"activa":true,"rol":"host","control":true,"con":"Ana","id":"123456789"})")),
            json({{"ok", true}}));
  EXPECT_TRUE(sessions_.control_allowed());
  EXPECT_THAT(log_, ElementsAre("[SESION] Empieza: recibo soporte de Ana"));

  now_ += 124.5;
  json reply = sessions_.report(json::parse(R"({"activa":false})"));
  EXPECT_EQ(reply.dump(), R"({"ok":true,"clave":"K1"})");
  EXPECT_THAT(history_, ElementsAre("{\"fecha\":\"2026-03-05 07:04:09\",\"rol\":\"recibi\",\"con\":"
                                    "\"Ana\",\"id\":\"123456789\",\"segundos\":125.0,"
                                    "\"control\":true}\n"));
  EXPECT_EQ(log_.back(), "[SESION] Termina (125 s)");
  EXPECT_FALSE(sessions_.control_allowed());
  EXPECT_GE(releases_, 1);
}

TEST_F(SupportSessionsTest, TechRoleNeverAllowsControlAndKeepsTheCode) {
  (void)sessions_.report(json::parse(R"({"activa":true,"rol":"tech","control":true,"con":"Ana"})"));
  EXPECT_EQ(log_.back(), "[SESION] Empieza: doy soporte a Ana");
  EXPECT_FALSE(sessions_.control_allowed());
  EXPECT_TRUE(sessions_.snapshot().active);
  EXPECT_EQ(sessions_.snapshot().role, "tech");
  json reply = sessions_.report(json::object());
  EXPECT_EQ(reply["clave"], "K0");
  EXPECT_NE(history_.at(0).find("\"rol\":\"di\""), std::string::npos);
}

TEST_F(SupportSessionsTest, RoleAndSwitchesOnlyTakeExactValues) {
  // Anything but the text "tech" is the host role; only JSON true switches on.
  (void)sessions_.report(json::parse(R"({"activa":true,"rol":"TECH","control":"true"})"));
  EXPECT_EQ(sessions_.snapshot().role, "host");
  EXPECT_FALSE(sessions_.snapshot().control);
  EXPECT_EQ(log_.back(), "[SESION] Empieza: recibo soporte de ?");
  // "activa" as a text ends the session.
  (void)sessions_.report(json::parse(R"({"activa":"true"})"));
  EXPECT_FALSE(sessions_.session_active());
}

TEST_F(SupportSessionsTest, ControlChangesAreLoggedAndReleaseHeldInput) {
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true})"));
  int released = releases_;
  now_ += 50;
  (void)sessions_.report(json::parse(R"({"activa":true,"control":false})"));
  EXPECT_EQ(log_.back(), "[SESION] Control pausado");
  EXPECT_GT(releases_, released);
  EXPECT_FALSE(sessions_.control_allowed());
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true})"));
  EXPECT_EQ(log_.back(), "[SESION] Control permitido");
  // The start time stays that of the first start.
  now_ += 10;
  (void)sessions_.report(json::object());
  EXPECT_EQ(log_.back(), "[SESION] Termina (60 s)");
}

// A batch holds on to the grant it began under: reports that keep control keep the grant;
// taking control back, even to give it again, or ending the session, ends it. The desktop
// hears of each new grant (a portal asks the person then) and of the session's end, after
// the release of what was held.
TEST_F(SupportSessionsTest, EachGrantOfControlIsItsOwn) {
  on_release_ = [this] { desktop_.push_back("release"); };
  EXPECT_EQ(sessions_.control_grant(), 0u);
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true,"con":"Ana"})"));
  const uint64_t first = sessions_.control_grant();
  EXPECT_NE(first, 0u);
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true,"con":"Ana B."})"));
  EXPECT_EQ(sessions_.control_grant(), first);
  (void)sessions_.report(json::parse(R"({"activa":true,"control":false})"));
  EXPECT_EQ(sessions_.control_grant(), 0u);
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true})"));
  const uint64_t second = sessions_.control_grant();
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
  (void)sessions_.report(json::parse(R"({"activa":true,"rol":"tech","control":true})"));
  EXPECT_EQ(sessions_.control_grant(), 0u);
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true})"));
  EXPECT_NE(sessions_.control_grant(), 0u);
  (void)sessions_.report(json::object());
  EXPECT_EQ(sessions_.control_grant(), 0u);
  EXPECT_THAT(desktop_, ElementsAre("allowed", "release", "allowed", "release", "allowed",
                                    "release", "over"));
  // Ending with no session running tells the desktop nothing.
  (void)sessions_.report(json::object());
  EXPECT_EQ(desktop_.size(), 7u);
}

// The release waits for the event being applied (text can take seconds); the session lock
// is not held meanwhile, so status and the report's own answer are not held up, and control
// is already gone when it runs.
TEST_F(SupportSessionsTest, InputIsReleasedOutsideTheSessionLock) {
  std::vector<bool> allowed_during_release;
  // Kept outside the effect: with the lock held, waiting for the thread would never end.
  std::vector<std::future<SessionSnapshot>> others;
  on_release_ = [this, &allowed_during_release, &others] {
    allowed_during_release.push_back(sessions_.control_allowed());
    others.push_back(std::async(std::launch::async, [this] { return sessions_.snapshot(); }));
    EXPECT_EQ(others.back().wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the session lock is held while releasing";
  };
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true})"));
  (void)sessions_.report(json::parse(R"({"activa":true,"control":false})"));
  (void)sessions_.report(json::parse(R"({"activa":true,"control":true})"));
  (void)sessions_.report(json::object());
  EXPECT_THAT(allowed_during_release, ElementsAre(false, false));
}

TEST_F(SupportSessionsTest, EndWithoutSessionRenewsTheCodeAndWritesNothing) {
  json reply = sessions_.report(json::parse(R"({"activa":false})"));
  EXPECT_EQ(reply["clave"], "K1");
  EXPECT_THAT(history_, IsEmpty());
  EXPECT_THAT(log_, IsEmpty());
}

TEST_F(SupportSessionsTest, NamesAndIdsAreCutAndNamesCannotForgeLogLines) {
  std::string name(50, 'n');
  (void)sessions_.report(json({{"activa", true}, {"con", name}, {"id", "1234567890123"}}));
  EXPECT_EQ(sessions_.snapshot().peer_name, std::string(40, 'n'));
  (void)sessions_.report(json::object());
  EXPECT_NE(history_.at(0).find("\"id\":\"123456789012\""), std::string::npos);

  (void)sessions_.report(json({{"activa", true}, {"con", "Eve\n2026-01-01 00:00:00 Saliendo"}}));
  EXPECT_EQ(log_.back().find('\n'), std::string::npos);
  // A clock that went backwards gives zero seconds, not a negative duration.
  now_ -= 100;
  (void)sessions_.report(json::object());
  EXPECT_EQ(log_.back(), "[SESION] Termina (0 s)");
}

TEST_F(SupportSessionsTest, BusyActivitiesInOrder) {
  EXPECT_THAT(sessions_.busy_activities(), IsEmpty());
  sessions_.set_call_active(true);
  (void)sessions_.report(json::parse(R"({"activa":true})"));
  EXPECT_THAT(sessions_.busy_activities(),
              ElementsAre("la sesi\xC3\xB3n de soporte", "la llamada"));
  sessions_.set_call_active(false);
  EXPECT_THAT(sessions_.busy_activities(), ElementsAre("la sesi\xC3\xB3n de soporte"));
}

TEST(ParseHistory, NewestFirstSkippingDamagedLines) {
  std::string text;
  for (int i = 1; i <= 20; ++i) {
    text += "{\"n\":" + std::to_string(i) + "}\r\n";
    if (i == 18) text += "{broken\n";
  }
  json newest = parse_history(text, 15);
  ASSERT_EQ(newest.size(), 15u);
  EXPECT_EQ(newest[0]["n"], 20);
  EXPECT_EQ(newest[14]["n"], 6);
  EXPECT_EQ(parse_history("", 15), json::array());
  EXPECT_EQ(parse_history("{\"n\":1}", 15).size(), 1u);  // no final line feed
  // Blank lines anywhere, and fewer records than asked for.
  EXPECT_EQ(parse_history("\n\n{\"n\":1}\n\r\n\n{\"n\":2}\n\n", 15),
            json::parse(R"([{"n":2},{"n":1}])"));
  EXPECT_EQ(parse_history(text, 0), json::array());
}

}  // namespace
}  // namespace vantriel
