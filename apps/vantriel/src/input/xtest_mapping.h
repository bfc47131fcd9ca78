// How the X11 sink replays Windows input records: scan codes to Linux evdev codes (X
// keycodes are evdev codes + 8 on every current X server), virtual keys and characters
// to keysyms, absolute coordinates back to root-window pixels, wheel data to clicks of
// buttons 4 to 7. Portable so that it is unit tested everywhere.
#ifndef VANTRIEL_INPUT_XTEST_MAPPING_H_
#define VANTRIEL_INPUT_XTEST_MAPPING_H_

#include <cstdint>

namespace vantriel {

// The evdev code of a set-1 scan code (with or without the E0 prefix); 0 when unknown.
int evdev_code_for_scan(uint16_t scan, bool extended);

// The keysym of a virtual key that is injected by virtual key; 0 when unknown.
uint32_t keysym_for_virtual_key(uint16_t vk);
// The evdev code of such a virtual key, for keymaps that lack its keysym; 0 when unknown.
int evdev_code_for_virtual_key(uint16_t vk);

// The keysym that types `ch`: Latin-1 keysyms where they exist, Tab, Backspace and
// Escape for their control characters, the Unicode keysym range otherwise.
uint32_t keysym_for_char(char32_t ch);

// The root-window pixel (0..size-1) of an absolute coordinate 0..65535.
int pixel_for_absolute(int32_t absolute, int size);

// Turns wheel data into whole notches and keeps the remainder of partial ones for the
// next turn in the same direction. Not thread-safe.
class WheelAccumulator {
 public:
  // Signed notches to click now: positive is up (or right).
  int add(int32_t data);

 private:
  int32_t rest_ = 0;
};

// Joins typed UTF-16 units into characters: a character arrives as its units, each
// pressed and released, and is typed when its last unit is pressed. Not thread-safe.
class TypedUnits {
 public:
  // The character `unit` completes on its press; 0 for a release, a high surrogate (kept
  // for the next unit) or a low surrogate without one.
  char32_t press(uint16_t unit, bool down);
  void reset() { high_ = 0; }

 private:
  uint16_t high_ = 0;
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_XTEST_MAPPING_H_
