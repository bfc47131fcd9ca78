#include "input/portal_input.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>


namespace vantriel {
namespace {

using Kind = PortalCall::Kind;

std::vector<PortalCall> calls(PortalTranslator& t, const std::vector<InputRecord>& records,
                              const PortalStream& stream, const VirtualDesktop& desktop = {}) {
  std::vector<PortalCall> out;
  t.translate(records, stream, desktop, out);
  return out;
}

PortalCall call(Kind kind, int32_t code, bool pressed) {
  PortalCall c;
  c.kind = kind;
  c.code = code;
  c.pressed = pressed;
  return c;
}

// A click at a position lands on the stream's pixel at the same place, in the stream's
// own logical coordinates, whatever its place on the desktop; buttons are evdev codes.
TEST(PortalTranslatorTest, PointerLandsOnTheStreamsPixels) {
  PortalTranslator t;
  const PortalStream stream{.node = 44, .x = 1920, .y = 0, .w = 1280, .h = 800};
  const uint32_t move = kMouseMove | kMouseAbsolute | kMouseVirtualDesk;
  auto out = calls(t,
                   {InputRecord::mouse(0, 0, 0, move),
                    InputRecord::mouse(65535, 65535, 0, move | kMouseLeftDown),
                    InputRecord::mouse(32768, 16384, 0, move | kMouseLeftUp),
                    InputRecord::mouse(0, 0, 0, kMouseRightDown | kMouseRightUp),
                    InputRecord::mouse(0, 0, 0, kMouseMiddleDown),
                    InputRecord::mouse(0, 0, kXButton1, kMouseXDown),
                    InputRecord::mouse(0, 0, kXButton2, kMouseXUp),
                    InputRecord::mouse(0, 0, 7, kMouseXDown),  // no such X button
                    InputRecord::mouse(-5, 3, 0, kMouseMove)},
                   stream);
  ASSERT_EQ(out.size(), 11u);
  const auto at = [](const PortalCall& c) { return std::make_pair(c.x, c.y); };
  EXPECT_EQ(out[0].kind, Kind::kMotionAbsolute);
  EXPECT_EQ(out[0].code, 44);
  EXPECT_EQ(at(out[0]), std::make_pair(0.0, 0.0));
  EXPECT_EQ(at(out[1]), std::make_pair(1279.0, 799.0));
  EXPECT_EQ(out[2], call(Kind::kButton, kBtnLeft, true));
  EXPECT_EQ(at(out[3]), std::make_pair(640.0, 200.0));
  EXPECT_EQ(out[4], call(Kind::kButton, kBtnLeft, false));
  EXPECT_EQ(out[5], call(Kind::kButton, kBtnRight, true));
  EXPECT_EQ(out[6], call(Kind::kButton, kBtnRight, false));
  EXPECT_EQ(out[7], call(Kind::kButton, kBtnMiddle, true));
  EXPECT_EQ(out[8], call(Kind::kButton, kBtnSide, true));
  EXPECT_EQ(out[9], call(Kind::kButton, kBtnExtra, false));
  EXPECT_EQ(out[10].kind, Kind::kMotion);
  EXPECT_EQ(at(out[10]), std::make_pair(-5.0, 3.0));

  // Over a desktop of two monitors, a position lands on the same pixel of the shared one,
  // and one beyond it on its nearest edge.
  const VirtualDesktop two{.x = 0, .y = 0, .w = 3200, .h = 1080};
  out = calls(t, {InputRecord::mouse(52446, 24295, 0, move), InputRecord::mouse(2048, 64000, 0, move)},
              stream, two);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(at(out[0]), std::make_pair(640.0, 400.0));
  EXPECT_EQ(at(out[1]), std::make_pair(0.0, 799.0));

  // Before the portal has said what it shares, absolute motion has nowhere to go; the
  // buttons still do.
  out = calls(t, {InputRecord::mouse(100, 100, 0, move | kMouseLeftDown)}, PortalStream{});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], call(Kind::kButton, kBtnLeft, true));
}

// Wheel notches: up on Windows is negative steps on the portal, right stays positive, and
// half notches wait for their other half.
TEST(PortalTranslatorTest, WheelInWholeNotches) {
  PortalTranslator t;
  const PortalStream stream{.node = 1, .w = 10, .h = 10};
  auto out = calls(t,
                   {InputRecord::mouse(0, 0, 240, kMouseWheel),
                    InputRecord::mouse(0, 0, -60, kMouseWheel),
                    InputRecord::mouse(0, 0, -60, kMouseWheel),
                    InputRecord::mouse(0, 0, 120, kMouseHWheel),
                    InputRecord::mouse(0, 0, 30, kMouseHWheel)},
                   stream);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].kind, Kind::kAxisDiscrete);
  EXPECT_EQ(std::make_pair(out[0].code, out[0].steps), std::make_pair(0, -2));
  EXPECT_EQ(std::make_pair(out[1].code, out[1].steps), std::make_pair(0, 1));
  EXPECT_EQ(std::make_pair(out[2].code, out[2].steps), std::make_pair(1, 1));
}

// Keys by scan code become evdev codes (the extended flag chooses the other key), keys by
// virtual key their keysym, and text is typed by keysym once the last UTF-16 unit of a
// character is pressed; a lone low surrogate types nothing.
TEST(PortalTranslatorTest, KeysAndText) {
  PortalTranslator t;
  const PortalStream stream;
  auto out = calls(t,
                   {InputRecord::key(0, 0x1D, kKeyScanCode),                     // left Ctrl
                    InputRecord::key(0, 0x1D, kKeyScanCode | kKeyExtended),      // right Ctrl
                    InputRecord::key(0, 0x4B, kKeyScanCode | kKeyExtended | kKeyUp),  // Left
                    InputRecord::key(0xAD, 0, 0),                                // mute
                    InputRecord::key(0x5B, 0, 0),  // a virtual key that is sent by scan code
                    InputRecord::key(0, 0x00F1, kKeyUnicode),                    // ñ
                    InputRecord::key(0, 0x00F1, kKeyUnicode | kKeyUp),
                    InputRecord::key(0, 0xD83D, kKeyUnicode),                    // 😀
                    InputRecord::key(0, 0xDE00, kKeyUnicode),
                    InputRecord::key(0, 0xDE00, kKeyUnicode)},
                   stream);
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0], call(Kind::kKeycode, 29, true));
  EXPECT_EQ(out[1], call(Kind::kKeycode, 97, true));
  EXPECT_EQ(out[2], call(Kind::kKeycode, 105, false));
  EXPECT_EQ(out[3], call(Kind::kKeysym, 0x1008FF12, true));
  EXPECT_EQ(out[4], call(Kind::kKeysym, 0xF1, true));
  EXPECT_EQ(out[5], call(Kind::kKeysym, 0xF1, false));
  EXPECT_EQ(out[6], call(Kind::kKeysym, 0x0101F600, true));
  EXPECT_EQ(out[7], call(Kind::kKeysym, 0x0101F600, false));
}

TEST(PortalConsentTest, RefusalsInTheHostsWords) {
  EXPECT_EQ(portal_refusal(0), "");
  EXPECT_EQ(portal_refusal(1), kPortalRefused);
  EXPECT_EQ(portal_refusal(2), kPortalFailed);
  EXPECT_EQ(portal_refusal(77), kPortalFailed);
}

// The agreement a later portal keeps: written whole, read back, dropped when the person
// turns control off; a damaged or foreign file is no agreement, and a bad token written
// leaves no file.
TEST(PortalConsentTest, RestoreTokenFile) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("vantriel-portal-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(folder);
  const auto file = folder / "data" / "portal_control.token";
  EXPECT_EQ(read_restore_token(file), "");
  EXPECT_TRUE(write_restore_token(file, "b2c5-11ef_Zz.9"));  // creates the folder
  EXPECT_EQ(read_restore_token(file), "b2c5-11ef_Zz.9");
  EXPECT_TRUE(write_restore_token(file, "second"));
  EXPECT_EQ(read_restore_token(file), "second");
  EXPECT_FALSE(std::filesystem::exists(folder / "data" / "portal_control.token.tmp"));
  forget_restore_token(file);
  EXPECT_FALSE(std::filesystem::exists(file));
  forget_restore_token(file);  // twice is fine

  const auto put = [&file](const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
  };
  put("tok\r\n");
  EXPECT_EQ(read_restore_token(file), "tok");
  for (const std::string& bad : {std::string(""), std::string("two words"), std::string("t\tab"),
                                std::string("caf\xC3\xA9"), std::string("nul\0x", 5),
                                std::string(kMaxRestoreToken + 1, 'a')}) {
    put(bad);
    EXPECT_EQ(read_restore_token(file), "") << bad;
    EXPECT_FALSE(is_valid_restore_token(bad));
  }
  put(std::string(kMaxRestoreToken, 'a'));
  EXPECT_EQ(read_restore_token(file).size(), kMaxRestoreToken);
  EXPECT_FALSE(write_restore_token(file, "with\nnewline"));
  EXPECT_FALSE(std::filesystem::exists(file));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vantriel
