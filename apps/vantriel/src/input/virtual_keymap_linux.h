// The keymap of the host's virtual keyboard on a wlroots compositor: the session's layout
// (the keymap the compositor gives its seat's keyboard; without one, XKB_DEFAULT_RULES,
// _MODEL, _LAYOUT, _VARIANT and _OPTIONS, as the compositor itself reads them; a plain
// "us" evdev keymap when none is set) with a few keys made its own
// (F13 to F24 and two more, see kSpareKeys), each bound to one character's keysym, so that
// any character can be typed. A Wayland virtual keyboard carries its own keymap, so binding
// changes no one else's keyboard. Not thread-safe.
#ifndef VANTRIEL_INPUT_VIRTUAL_KEYMAP_LINUX_H_
#define VANTRIEL_INPUT_VIRTUAL_KEYMAP_LINUX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct xkb_context;
struct xkb_keymap;

namespace vantriel {

class VirtualKeymap {
 public:
  // From `session_keymap`, the text of the seat's keymap, when it compiles; else from the
  // XKB_DEFAULT_* names. Null when xkbcommon cannot compile those nor the "us" layout.
  static std::unique_ptr<VirtualKeymap> create(std::string_view session_keymap = {});
  ~VirtualKeymap();
  VirtualKeymap(const VirtualKeymap&) = delete;
  VirtualKeymap& operator=(const VirtualKeymap&) = delete;

  // The layout as compiled (bound keys are not in it; they are no modifiers).
  xkb_keymap* base() const { return base_; }
  // The keymap text to give the compositor: the layout plus the current bindings.
  std::string text() const;

  // The evdev code of a key that types `keysym` on the first level of the first group,
  // without modifiers; 0 when the layout has none (or only one of ours).
  uint32_t plain_key(uint32_t keysym) const;
  // The evdev code of the key bound to `keysym`, or 0.
  uint32_t bound_key(uint32_t keysym) const;
  // Binds `keysym` to a key of ours (the least recently used one when all are taken;
  // `now` orders uses) and returns its evdev code, 0 when the layout names none of ours;
  // `changed` says whether the keymap text changed. Marks it used at `now`.
  uint32_t bind(uint32_t keysym, uint64_t now, bool& changed);
  std::size_t spare_count() const { return spares_.size(); }

 private:
  struct Spare {
    uint32_t keycode = 0;  // XKB keycode (evdev + 8)
    std::string name;      // its name in the keycodes section
    uint32_t keysym = 0;   // 0 while unbound
    uint64_t used = 0;
  };

  VirtualKeymap(xkb_context* context, xkb_keymap* base);

  xkb_context* context_;
  xkb_keymap* base_;
  std::string base_text_;
  std::vector<Spare> spares_;
  std::unordered_map<uint32_t, uint32_t> plain_;  // keysym -> XKB keycode
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_VIRTUAL_KEYMAP_LINUX_H_
