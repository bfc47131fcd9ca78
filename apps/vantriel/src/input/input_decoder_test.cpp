#include "base/json_body.h"
#include "input/input_decoder.h"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "input/recording_sink.h"

namespace vantriel {

// Failures show records as the recording file does.
void PrintTo(const InputRecord& r, std::ostream* os) { *os << records_to_json_line({&r, 1}); }

namespace {

using Json = nlohmann::ordered_json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The events of a body whose "ev" is `events_json`, read as the server reads them.
std::vector<InputEvent> events_of(const std::string& events_json) {
  return read_input_batch("{\"ev\":" + events_json + "}", kMaxBodyNesting).events;
}

constexpr uint32_t kMove = kMouseMove | kMouseVirtualDesk | kMouseAbsolute;

InputRecord move(int32_t x, int32_t y) { return InputRecord::mouse(x, y, 0, kMove); }
InputRecord scan_key(uint16_t scan, uint32_t extra) {
  return InputRecord::key(0, scan, kKeyScanCode | extra);
}
InputRecord unicode(uint16_t unit, uint32_t extra) {
  return InputRecord::key(0, unit, kKeyUnicode | extra);
}

// A secondary 1920x1080 monitor left of a 1920x1080 primary.
const std::vector<MonitorInfo> kTwoMonitors = {
    {0, 0, 0, 1920, 1080, true, "DISPLAY1"},
    {1, -1920, 0, 1920, 1080, false, "DISPLAY2"},
};
const VirtualDesktop kTwoDesktop{-1920, 0, 3840, 1080};

class DecoderTest : public ::testing::Test {
 protected:
  int apply(const std::string& events, int monitor = 0) {
    return decoder_.apply(events_of(events), kTwoMonitors, monitor, kTwoDesktop);
  }

  RecordingSink sink_;
  InputDecoder decoder_{sink_};
};

TEST_F(DecoderTest, PositionsMapOntoTheChosenMonitorWithinTheVirtualDesktop) {
  // Monitor 1 starts at the desktop's left edge.
  EXPECT_EQ(apply(R"([{"k":"m","x":0,"y":0},{"k":"m","x":1,"y":1}])", 1), 2);
  const int32_t right_edge = static_cast<int32_t>(std::lround(1919.0 * 65535 / 3839));
  EXPECT_THAT(sink_.calls(), ElementsAre(ElementsAre(move(0, 0)),
                                         ElementsAre(move(right_edge, 65535))));
  sink_.clear();
  // The primary's far corner is the desktop's; its centre is pixel (959.5 -> 960, 540).
  apply(R"([{"k":"m","x":1,"y":1},{"k":"m","x":0.5,"y":0.5}])", 0);
  const int32_t centre_x = static_cast<int32_t>(std::lround((1920.0 + 960) * 65535 / 3839));
  const int32_t centre_y = static_cast<int32_t>(std::lround(540.0 * 65535 / 1079));
  EXPECT_THAT(sink_.records(), ElementsAre(move(65535, 65535), move(centre_x, centre_y)));
}

TEST_F(DecoderTest, FractionsAreClampedAndNonNumbersAreNoPosition) {
  EXPECT_EQ(apply(R"([{"k":"m","x":1.7,"y":-3},{"k":"m","x":"0.5","y":0.5},
                      {"k":"m","x":0.5},{"k":"d","x":"1","y":0}])", 1), 2);
  const int32_t right_edge = static_cast<int32_t>(std::lround(1919.0 * 65535 / 3839));
  EXPECT_THAT(sink_.records(),
              ElementsAre(move(right_edge, 0), InputRecord::mouse(0, 0, 0, kMouseLeftDown)));
}

TEST_F(DecoderTest, MonitorIndexOutsideTheListMeansThePrimary) {
  const std::vector<MonitorInfo> secondary_first = {kTwoMonitors[1], kTwoMonitors[0]};
  for (const int index : {2, 99, -1}) {
    sink_.clear();
    decoder_.apply(events_of(R"([{"k":"m","x":0,"y":0}])"), secondary_first, index,
                   kTwoDesktop);
    const int32_t primary_left = static_cast<int32_t>(std::lround(1920.0 * 65535 / 3839));
    EXPECT_THAT(sink_.records(), ElementsAre(move(primary_left, 0))) << "index " << index;
  }
  // Without a primary, the first monitor.
  std::vector<MonitorInfo> no_primary = kTwoMonitors;
  no_primary[0].primary = false;
  sink_.clear();
  decoder_.apply(events_of(R"([{"k":"m","x":0,"y":0}])"), no_primary, 5, kTwoDesktop);
  EXPECT_THAT(sink_.records(),
              ElementsAre(move(static_cast<int32_t>(std::lround(1920.0 * 65535 / 3839)), 0)));
}

TEST_F(DecoderTest, NothingIsAppliedWithoutMonitorsOrAnArray) {
  EXPECT_EQ(decoder_.apply(events_of(R"([{"k":"m","x":0,"y":0},{"k":"rel"}])"), {}, 0,
                           kTwoDesktop),
            0);
  EXPECT_EQ(apply(R"({"k":"m","x":0,"y":0})"), 0);
  EXPECT_EQ(apply("null"), 0);
  EXPECT_THAT(sink_.records(), IsEmpty());
}

TEST_F(DecoderTest, TinyDesktopsDoNotDivideByZero) {
  const std::vector<MonitorInfo> one_pixel = {{0, 0, 0, 1, 1, true, ""}};
  EXPECT_EQ(decoder_.apply(events_of(R"([{"k":"m","x":1,"y":1}])"), one_pixel, 0,
                           VirtualDesktop{0, 0, 1, 1}),
            1);
  EXPECT_THAT(sink_.records(), ElementsAre(move(0, 0)));
}

TEST_F(DecoderTest, ButtonsPressReleaseAndTrackState) {
  EXPECT_EQ(apply(R"([{"k":"d","b":0},{"k":"d","b":1},{"k":"d","b":2},{"k":"d","b":3},
                      {"k":"d","b":4},{"k":"d"},{"k":"d","b":-2},{"k":"d","b":1.5},
                      {"k":"d","b":"2"}])"), 9);
  EXPECT_EQ(decoder_.pressed_buttons(),
            kButtonLeft | kButtonMiddle | kButtonRight | kButtonBack | kButtonForward);
  EXPECT_THAT(sink_.records(),
              ElementsAre(InputRecord::mouse(0, 0, 0, kMouseLeftDown),
                          InputRecord::mouse(0, 0, 0, kMouseMiddleDown),
                          InputRecord::mouse(0, 0, 0, kMouseRightDown),
                          InputRecord::mouse(0, 0, kXButton1, kMouseXDown),
                          InputRecord::mouse(0, 0, kXButton2, kMouseXDown),
                          InputRecord::mouse(0, 0, 0, kMouseLeftDown),
                          InputRecord::mouse(0, 0, 0, kMouseLeftDown),
                          InputRecord::mouse(0, 0, 0, kMouseLeftDown),
                          InputRecord::mouse(0, 0, 0, kMouseLeftDown)));
  sink_.clear();
  EXPECT_EQ(apply(R"([{"k":"u","b":1,"x":0,"y":0},{"k":"u","b":4}])", 1), 2);
  EXPECT_EQ(decoder_.pressed_buttons(), kButtonLeft | kButtonRight | kButtonBack);
  EXPECT_THAT(sink_.calls(), ElementsAre(ElementsAre(move(0, 0)),
                                         ElementsAre(InputRecord::mouse(0, 0, 0, kMouseMiddleUp)),
                                         ElementsAre(InputRecord::mouse(0, 0, kXButton2,
                                                                        kMouseXUp))));
}

TEST_F(DecoderTest, ButtonsFiveAndAboveOnlyMove) {
  EXPECT_EQ(apply(R"([{"k":"d","b":7,"x":0,"y":0},{"k":"u","b":5}])", 1), 0);
  EXPECT_THAT(sink_.records(), ElementsAre(move(0, 0)));
  EXPECT_EQ(decoder_.pressed_buttons(), 0u);
}

TEST_F(DecoderTest, WheelIsClampedAndNeedsIntegers) {
  EXPECT_EQ(apply(R"([{"k":"w","dy":5000,"dx":-9000},{"k":"w","dy":120.5,"dx":"3"},
                      {"k":"w"},{"k":"w","dy":-120,"dx":18446744073709551615}])"), 4);
  EXPECT_THAT(sink_.calls(),
              ElementsAre(ElementsAre(InputRecord::mouse(0, 0, 2400, kMouseWheel)),
                          ElementsAre(InputRecord::mouse(0, 0, -2400, kMouseHWheel)),
                          ElementsAre(InputRecord::mouse(0, 0, -120, kMouseWheel)),
                          ElementsAre(InputRecord::mouse(0, 0, 2400, kMouseHWheel))));
}

TEST_F(DecoderTest, KeysByScanCodeAndVirtualKey) {
  EXPECT_EQ(apply(R"([{"k":"kd","c":"KeyA"},{"k":"kd","c":"ArrowUp"},{"k":"ku","c":"ArrowUp"},
                      {"k":"kd","c":"Pause"},{"k":"ku","c":"Pause"},{"k":"kd","c":"AltRight"}])"),
            6);
  EXPECT_THAT(sink_.records(),
              ElementsAre(scan_key(0x1E, 0), scan_key(0x48, kKeyExtended),
                          scan_key(0x48, kKeyExtended | kKeyUp), InputRecord::key(0x13, 0, 0),
                          InputRecord::key(0x13, 0, kKeyUp), scan_key(0x38, kKeyExtended)));
  EXPECT_THAT(decoder_.pressed_keys(), ElementsAre("KeyA", "AltRight"));
}

TEST_F(DecoderTest, UnknownKeysAreSkippedAndNotCounted) {
  EXPECT_EQ(apply(R"([{"k":"kd","c":"KeyÑ"},{"k":"kd","c":"F25"},{"k":"kd","c":"keya"},
                      {"k":"kd","c":"Key"},{"k":"kd"},{"k":"ku","c":5},{"k":"KD","c":"KeyA"},
                      {"c":"KeyA"},{"k":1},"kd",{"k":"kd","c":"F24"}])"), 1);
  EXPECT_THAT(sink_.records(), ElementsAre(scan_key(0x6F, 0)));
  EXPECT_THAT(decoder_.pressed_keys(), ElementsAre("F24"));
}

TEST_F(DecoderTest, ReleaseAllLetsGoOfEverythingOnce) {
  apply(R"([{"k":"kd","c":"ShiftLeft"},{"k":"kd","c":"ControlRight"},{"k":"kd","c":"ShiftLeft"},
            {"k":"kd","c":"MediaPlayPause"},{"k":"d","b":2},{"k":"d","b":0},{"k":"d","b":3}])");
  EXPECT_THAT(decoder_.pressed_keys(), ElementsAre("ControlRight", "ShiftLeft", "MediaPlayPause"));
  sink_.clear();
  EXPECT_EQ(apply(R"([{"k":"rel"}])"), 1);
  EXPECT_THAT(sink_.records(),
              ElementsAre(scan_key(0x1D, kKeyExtended | kKeyUp), scan_key(0x2A, kKeyUp),
                          InputRecord::key(0xB3, 0, kKeyUp),
                          InputRecord::mouse(0, 0, 0, kMouseLeftUp),
                          InputRecord::mouse(0, 0, 0, kMouseRightUp),
                          InputRecord::mouse(0, 0, kXButton1, kMouseXUp)));
  EXPECT_THAT(decoder_.pressed_keys(), IsEmpty());
  EXPECT_EQ(decoder_.pressed_buttons(), 0u);
  sink_.clear();
  decoder_.release_all();
  EXPECT_THAT(sink_.records(), IsEmpty());
}

TEST_F(DecoderTest, TextIsTypedOneCharacterPerCallByUtf16Units) {
  EXPECT_EQ(apply(R"([{"k":"t","s":"a\r\nb"}])"), 1);
  EXPECT_THAT(sink_.calls(),
              ElementsAre(ElementsAre(unicode('a', 0), unicode('a', kKeyUp)),
                          ElementsAre(scan_key(0x1C, 0), scan_key(0x1C, kKeyUp)),
                          ElementsAre(unicode('b', 0), unicode('b', kKeyUp))));
  sink_.clear();
  // A surrogate pair stays in one call.
  EXPECT_EQ(apply(R"([{"k":"t","s":"ñ€😀"}])"), 1);
  EXPECT_THAT(sink_.calls(),
              ElementsAre(ElementsAre(unicode(0xF1, 0), unicode(0xF1, kKeyUp)),
                          ElementsAre(unicode(0x20AC, 0), unicode(0x20AC, kKeyUp)),
                          ElementsAre(unicode(0xD83D, 0), unicode(0xD83D, kKeyUp),
                                      unicode(0xDE00, 0), unicode(0xDE00, kKeyUp))));
  EXPECT_THAT(decoder_.pressed_keys(), IsEmpty());
}

// Text is capped by character (not byte or unit), per event and per batch, and refused
// whole past a cap; the rest of the batch goes on.
TEST_F(DecoderTest, TextCapsRefuseWholeTexts) {
  // Only CRs: counted, nothing sent. Empty or missing: not counted.
  EXPECT_EQ(apply(R"([{"k":"t","s":"\r\r"},{"k":"t","s":""},{"k":"t"},{"k":"t","s":7}])"), 1);
  EXPECT_THAT(sink_.calls(), IsEmpty());
  const auto text = [](std::size_t n, const std::string& ch) {
    std::string s;
    for (std::size_t k = 0; k < n; ++k) s += ch;
    return Json{{"k", "t"}, {"s", s}};
  };
  const Json key_a = Json{{"k", "kd"}, {"c", "KeyA"}};
  Json batch = Json::array({text(kMaxTextChars, "😀")});
  EXPECT_EQ(apply(batch.dump()), 1);
  EXPECT_EQ(sink_.calls().size(), kMaxTextChars);
  EXPECT_EQ(sink_.records().size(), kMaxTextChars * 4);
  sink_.clear();
  batch = Json::array({text(kMaxTextChars + 1, "a"), key_a});
  EXPECT_EQ(apply(batch.dump()), 1);
  EXPECT_THAT(sink_.records(), ElementsAre(scan_key(0x1E, 0)));
  sink_.clear();
  // The batch's budget: a text that passes it is refused, and so is every later text,
  // so that what is typed is never a text with a hole in it.
  batch = Json::array({text(kMaxBatchTextChars - 5, "a"), text(6, "b"), key_a, text(1, "c")});
  EXPECT_EQ(apply(batch.dump()), 2);
  const std::vector<InputRecord> records = sink_.records();
  ASSERT_EQ(records.size(), (kMaxBatchTextChars - 5) * 2 + 1);
  EXPECT_EQ(records.back(), scan_key(0x1E, 0));
  EXPECT_EQ(records[records.size() - 2], unicode('a', kKeyUp));
  // The budget is per batch.
  sink_.clear();
  EXPECT_EQ(apply(Json::array({text(3, "c")}).dump()), 1);
  EXPECT_EQ(sink_.records().size(), 6u);
}

// Permission is asked before each event and each character; the batch stops at the first
// no, and whoever took control back releases what it held.
TEST_F(DecoderTest, ABatchStopsWhereControlIsTakenBack) {
  int checks = 0;
  int allowed_checks = 4;  // ShiftLeft, the button, "a", "b"
  const StillAllowed allowed = [&] { return ++checks <= allowed_checks; };
  const std::string batch =
      R"([{"k":"kd","c":"ShiftLeft"},{"k":"d","b":0},{"k":"t","s":"abcd"},{"k":"kd","c":"KeyA"}])";
  EXPECT_EQ(decoder_.apply(events_of(batch), kTwoMonitors, 0, kTwoDesktop, allowed), 2);
  EXPECT_EQ(checks, 5);
  EXPECT_THAT(sink_.records(),
              ElementsAre(scan_key(0x2A, 0), InputRecord::mouse(0, 0, 0, kMouseLeftDown),
                          unicode('a', 0), unicode('a', kKeyUp), unicode('b', 0),
                          unicode('b', kKeyUp)));
  sink_.clear();
  decoder_.release_all();
  EXPECT_THAT(sink_.records(),
              ElementsAre(scan_key(0x2A, kKeyUp), InputRecord::mouse(0, 0, 0, kMouseLeftUp)));
  // Refused from the first event: nothing at all.
  sink_.clear();
  checks = 0;
  allowed_checks = 0;
  EXPECT_EQ(decoder_.apply(events_of(batch), kTwoMonitors, 0, kTwoDesktop, allowed), 0);
  EXPECT_THAT(sink_.calls(), IsEmpty());
}

// A sink that types slowly, as XTest does, and counts what it was given.
// Holds the typing thread once `pause_at` records have arrived, until the test lets it go
// on: what happens next does not depend on how the threads are scheduled (a sleep in the
// sink would, and Wine's sleeps are coarse).
class PausingSink : public InputSink {
 public:
  explicit PausingSink(std::size_t pause_at) : pause_at_(pause_at) {}
  void send(std::span<const InputRecord> records) override {
    std::unique_lock<std::mutex> lock(mu_);
    for (const InputRecord& r : records) all_.push_back(r);
    if (!reached_ && all_.size() >= pause_at_) {
      reached_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return resumed_; });
    }
  }
  void wait_until_reached() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return reached_; });
  }
  void resume() {
    std::lock_guard<std::mutex> lock(mu_);
    resumed_ = true;
    changed_.notify_all();
  }
  std::vector<InputRecord> records() {
    std::lock_guard<std::mutex> lock(mu_);
    return all_;
  }

 private:
  const std::size_t pause_at_;
  std::mutex mu_;
  std::condition_variable changed_;
  bool reached_ = false;
  bool resumed_ = false;
  std::vector<InputRecord> all_;
};

// From another thread, as "/api/sesion" does it: permission goes while a long text is being
// typed, then the release runs between two characters and nothing of the batch follows it.
TEST(DecoderThreadsTest, AReleaseFromAnotherThreadEndsATextInFlight) {
  PausingSink sink(41);  // the key and 20 characters
  InputDecoder decoder(sink);
  std::atomic<bool> allowed{true};
  Json batch = Json::array({Json{{"k", "kd"}, {"c", "ControlLeft"}},
                            Json{{"k", "t"}, {"s", std::string(kMaxTextChars, 'x')}}});
  std::future<int> applied = std::async(std::launch::async, [&] {
    return decoder.apply(events_of(batch.dump()), kTwoMonitors, 0, kTwoDesktop,
                         [&] { return allowed.load(); });
  });
  sink.wait_until_reached();
  allowed = false;
  sink.resume();
  decoder.release_all();
  const std::size_t at_release = sink.records().size();
  EXPECT_EQ(applied.get(), 1);
  const std::vector<InputRecord> records = sink.records();
  EXPECT_EQ(records.size(), at_release);
  EXPECT_EQ(records.back(), scan_key(0x1D, kKeyUp));
  EXPECT_LT(records.size(), kMaxTextChars);
  EXPECT_THAT(decoder.pressed_keys(), IsEmpty());
}

TEST_F(DecoderTest, BatchesStopAt400Events) {
  Json batch = Json::array();
  for (int k = 0; k < 500; ++k) batch.push_back(Json{{"k", "m"}, {"x", 0}, {"y", 0}});
  EXPECT_EQ(decoder_.apply(events_of(batch.dump()), kTwoMonitors, 0, kTwoDesktop), 400);
  EXPECT_EQ(sink_.calls().size(), 400u);
  // Skipped events count towards the 400 too.
  Json mixed = Json::array();
  for (int k = 0; k < 400; ++k) mixed.push_back(Json{{"k", "?"}});
  mixed.push_back(Json{{"k", "rel"}});
  EXPECT_EQ(decoder_.apply(events_of(mixed.dump()), kTwoMonitors, 0, kTwoDesktop), 0);
}

}  // namespace
}  // namespace vantriel
