#include "input/xtest_mapping.h"

#include <cmath>

#include <gtest/gtest.h>

#include "input/key_codes.h"

namespace vantriel {
namespace {

TEST(XTestMappingTest, EveryInjectedKeyHasAnEvdevCode) {
  const char* codes[] = {"KeyA", "Digit0", "F1", "F12", "F13", "F24", "Escape", "IntlBackslash",
                         "IntlRo", "IntlYen", "NumpadEnter", "ControlRight", "NumpadDivide",
                         "PrintScreen", "AltRight", "Home", "ArrowUp", "PageUp", "ArrowLeft",
                         "ArrowRight", "End", "ArrowDown", "PageDown", "Insert", "Delete",
                         "MetaLeft", "MetaRight", "ContextMenu", "Pause", "NumLock",
                         "AudioVolumeMute", "MediaTrackPrevious"};
  for (const char* code : codes) {
    const auto key = lookup_key_code(code);
    ASSERT_TRUE(key.has_value()) << code;
    const int evdev = key->vk != 0 ? evdev_code_for_virtual_key(key->vk)
                                   : evdev_code_for_scan(key->scan, key->extended);
    EXPECT_GT(evdev, 0) << code;
    EXPECT_LE(evdev + 8, 255) << code;
  }
  // Linux input codes: KEY_A 30, KEY_UP 103, KEY_RIGHTALT 100, KEY_KPENTER 96, KEY_F24 194.
  EXPECT_EQ(evdev_code_for_scan(0x1E, false), 30);
  EXPECT_EQ(evdev_code_for_scan(0x48, true), 103);
  EXPECT_EQ(evdev_code_for_scan(0x38, true), 100);
  EXPECT_EQ(evdev_code_for_scan(0x1C, true), 96);
  EXPECT_EQ(evdev_code_for_scan(0x6F, false), 194);
  EXPECT_EQ(evdev_code_for_scan(0x00, false), 0);
  EXPECT_EQ(evdev_code_for_scan(0x1E, true), 0);
}

TEST(XTestMappingTest, KeysymsForCharacters) {
  EXPECT_EQ(keysym_for_char(U'a'), 0x61u);
  EXPECT_EQ(keysym_for_char(U'ñ'), 0xF1u);
  EXPECT_EQ(keysym_for_char(U'€'), 0x010020ACu);
  EXPECT_EQ(keysym_for_char(U'😀'), 0x0101F600u);
  EXPECT_EQ(keysym_for_char(U'\t'), 0xFF09u);
}

TEST(XTestMappingTest, AbsoluteCoordinatesComeBackToTheSamePixel) {
  for (const int size : {2, 1080, 3840, 7680}) {
    for (int pixel = 0; pixel < size; pixel += std::max(1, size / 97)) {
      const auto absolute = static_cast<int32_t>(std::lround(pixel * 65535.0 / (size - 1)));
      EXPECT_EQ(pixel_for_absolute(absolute, size), pixel) << size;
    }
    EXPECT_EQ(pixel_for_absolute(65535, size), size - 1);
  }
  EXPECT_EQ(pixel_for_absolute(70000, 100), 99);
  EXPECT_EQ(pixel_for_absolute(-5, 100), 0);
  EXPECT_EQ(pixel_for_absolute(30000, 1), 0);
}

TEST(XTestMappingTest, WheelKeepsPartialNotchesPerDirection) {
  WheelAccumulator wheel;
  EXPECT_EQ(wheel.add(240), 2);
  EXPECT_EQ(wheel.add(60), 0);
  EXPECT_EQ(wheel.add(60), 1);
  EXPECT_EQ(wheel.add(100), 0);
  EXPECT_EQ(wheel.add(-100), 0);  // the other way starts afresh
  EXPECT_EQ(wheel.add(-20), -1);
  EXPECT_EQ(wheel.add(-2400), -20);
}

}  // namespace
}  // namespace vantriel
