#include "input/virtual_keymap_linux.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <set>

namespace vantriel {
namespace {

constexpr uint32_t kEuro = 0x20ac;    // XKB_KEY_EuroSign
constexpr uint32_t kNtilde = 0x00f1;  // XKB_KEY_ntilde
constexpr uint32_t kGrinning = 0x100'1f600;

std::unique_ptr<VirtualKeymap> keymap_for(const char* layout) {
  setenv("XKB_DEFAULT_RULES", "evdev", 1);
  setenv("XKB_DEFAULT_MODEL", "pc105", 1);
  setenv("XKB_DEFAULT_LAYOUT", layout, 1);
  unsetenv("XKB_DEFAULT_VARIANT");
  unsetenv("XKB_DEFAULT_OPTIONS");
  return VirtualKeymap::create();
}

// What the compositor's clients make of the text: the keysym of an evdev code on level 0
// of the first group, with and without Shift held.
struct Compiled {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = nullptr;
  explicit Compiled(const std::string& text) {
    keymap = xkb_keymap_new_from_string(context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                        XKB_KEYMAP_COMPILE_NO_FLAGS);
  }
  ~Compiled() {
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
  }
  uint32_t sym(uint32_t evdev, bool shift = false) const {
    xkb_state* state = xkb_state_new(keymap);
    if (shift) xkb_state_update_key(state, KEY_LEFTSHIFT + 8, XKB_KEY_DOWN);
    const uint32_t s = xkb_state_key_get_one_sym(state, evdev + 8);
    xkb_state_unref(state);
    return s;
  }
};

TEST(VirtualKeymapTest, CharactersOfNoKeyAreBoundToKeysOfOurOwn) {
  auto keymap = keymap_for("us");
  ASSERT_NE(keymap, nullptr);
  EXPECT_GE(keymap->spare_count(), 12u);
  EXPECT_EQ(keymap->plain_key('a'), static_cast<uint32_t>(KEY_A));
  EXPECT_EQ(keymap->plain_key(XKB_KEY_Return), static_cast<uint32_t>(KEY_ENTER));
  EXPECT_EQ(keymap->plain_key('A'), 0u);  // a Shift level, not a plain key
  EXPECT_EQ(keymap->plain_key(kEuro), 0u);
  EXPECT_NE(Compiled(keymap->text()).keymap, nullptr);

  bool changed = false;
  std::set<uint32_t> keys;
  for (uint32_t keysym : {kEuro, kNtilde, kGrinning, uint32_t{'A'}}) {
    const uint32_t key = keymap->bind(keysym, 1, changed);
    EXPECT_TRUE(changed);
    EXPECT_NE(key, 0u);
    EXPECT_LE(key + 8, 255u);  // within reach of X11 programs too
    EXPECT_EQ(keymap->bound_key(keysym), key);
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 4u);
  keymap->bind(kEuro, 2, changed);
  EXPECT_FALSE(changed);

  const Compiled compiled(keymap->text());
  ASSERT_NE(compiled.keymap, nullptr) << keymap->text();
  for (uint32_t keysym : {kEuro, kNtilde, kGrinning, uint32_t{'A'}}) {
    EXPECT_EQ(compiled.sym(keymap->bound_key(keysym)), keysym);
    EXPECT_EQ(compiled.sym(keymap->bound_key(keysym), true), keysym);  // Shift held
  }
  // The layout's own keys are untouched.
  EXPECT_EQ(compiled.sym(KEY_A), static_cast<uint32_t>('a'));
  EXPECT_EQ(compiled.sym(KEY_A, true), static_cast<uint32_t>('A'));
  EXPECT_EQ(compiled.sym(KEY_LEFTCTRL), static_cast<uint32_t>(XKB_KEY_Control_L));
}

TEST(VirtualKeymapTest, TheLeastRecentlyUsedKeyIsReboundWhenAllAreTaken) {
  auto keymap = keymap_for("us");
  ASSERT_NE(keymap, nullptr);
  const std::size_t n = keymap->spare_count();
  bool changed = false;
  for (std::size_t i = 0; i < n; ++i) keymap->bind(0x1000400 + i, 10 + i, changed);
  keymap->bind(0x1000400, 100, changed);  // the first one, used again
  const uint32_t second = keymap->bound_key(0x1000401);
  const uint32_t key = keymap->bind(0x1000800, 101, changed);
  EXPECT_TRUE(changed);
  EXPECT_EQ(key, second);
  EXPECT_EQ(keymap->bound_key(0x1000401), 0u);
  EXPECT_NE(keymap->bound_key(0x1000400), 0u);
  const Compiled compiled(keymap->text());
  ASSERT_NE(compiled.keymap, nullptr);
  EXPECT_EQ(compiled.sym(key), 0x1000800u);
}

TEST(VirtualKeymapTest, TheSessionsLayoutTypesItsOwnCharacters) {
  auto keymap = keymap_for("es");
  ASSERT_NE(keymap, nullptr);
  EXPECT_EQ(keymap->plain_key(kNtilde), static_cast<uint32_t>(KEY_SEMICOLON));
  EXPECT_EQ(keymap->plain_key('z'), static_cast<uint32_t>(KEY_Z));

  // The seat's keymap comes first (as the compositor sends it, with its terminating NUL);
  // a text that does not compile falls back to the names.
  const std::string french = keymap_for("fr")->text();
  keymap = keymap_for("us");
  auto seat = VirtualKeymap::create(std::string_view(french.c_str(), french.size() + 1));
  ASSERT_NE(seat, nullptr);
  EXPECT_EQ(seat->plain_key('a'), static_cast<uint32_t>(KEY_Q));  // AZERTY
  EXPECT_EQ(seat->plain_key(kEuro), 0u);
  auto broken = VirtualKeymap::create("xkb_keymap { nonsense");
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->plain_key('a'), static_cast<uint32_t>(KEY_A));
}

}  // namespace
}  // namespace vantriel
