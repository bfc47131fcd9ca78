#include "input/key_codes.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

uint16_t scan_of(std::string_view code) {
  const auto key = lookup_key_code(code);
  return key && key->vk == 0 ? key->scan : 0;
}

TEST(KeyCodesTest, RangesAndTheirEnds) {
  EXPECT_EQ(scan_of("KeyA"), 0x1E);
  EXPECT_EQ(scan_of("KeyQ"), 0x10);
  EXPECT_EQ(scan_of("KeyZ"), 0x2C);
  EXPECT_EQ(scan_of("Digit1"), 0x02);
  EXPECT_EQ(scan_of("Digit9"), 0x0A);
  EXPECT_EQ(scan_of("Digit0"), 0x0B);
  EXPECT_EQ(scan_of("F1"), 0x3B);
  EXPECT_EQ(scan_of("F10"), 0x44);
  EXPECT_EQ(scan_of("F11"), 0x57);
  EXPECT_EQ(scan_of("F12"), 0x58);
  EXPECT_EQ(scan_of("F13"), 0x64);
  EXPECT_EQ(scan_of("F24"), 0x6F);
  for (const char* unknown : {"F0", "F25", "F01", "F", "F1x", "Key", "Keya", "KeyAA", "Digit",
                              "Digit10", "keyA", "", "Numpad", "IntlBackSlash", "Fn"}) {
    EXPECT_FALSE(lookup_key_code(unknown).has_value()) << unknown;
  }
}

TEST(KeyCodesTest, ExtendedAndVirtualKeys) {
  struct Case {
    const char* code;
    uint16_t scan;
    bool extended;
    uint16_t vk;
  };
  for (const Case& c : {Case{"NumpadEnter", 0x1C, true, 0}, Case{"Enter", 0x1C, false, 0},
                        Case{"ControlRight", 0x1D, true, 0}, Case{"ControlLeft", 0x1D, false, 0},
                        Case{"AltRight", 0x38, true, 0}, Case{"PrintScreen", 0x37, true, 0},
                        Case{"NumpadMultiply", 0x37, false, 0}, Case{"OSLeft", 0x5B, true, 0},
                        Case{"MetaRight", 0x5C, true, 0}, Case{"ContextMenu", 0x5D, true, 0},
                        Case{"Delete", 0x53, true, 0}, Case{"NumpadDecimal", 0x53, false, 0},
                        Case{"IntlYen", 0x7D, false, 0}, Case{"Pause", 0, false, 0x13},
                        Case{"NumLock", 0, false, 0x90},
                        Case{"MediaPlayPause", 0, false, 0xB3}}) {
    const auto key = lookup_key_code(c.code);
    ASSERT_TRUE(key.has_value()) << c.code;
    EXPECT_EQ(key->scan, c.scan) << c.code;
    EXPECT_EQ(key->extended, c.extended) << c.code;
    EXPECT_EQ(key->vk, c.vk) << c.code;
  }
}

}  // namespace
}  // namespace vantriel
