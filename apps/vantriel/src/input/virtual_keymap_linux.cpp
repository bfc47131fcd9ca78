#include "input/virtual_keymap_linux.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>

namespace vantriel {
namespace {

// Keys of ours: F13 to F24, then the two extra keys of Japanese and Brazilian keyboards,
// by evdev code. Programs know these keys (Chromium drops characters of keys it has no
// name for, which most keys the layouts leave empty are), a technician's PC rarely has
// them, and all are within reach of X11 programs under XWayland (below 248).
constexpr uint32_t kSpareKeys[] = {194, 193, 192, 191, 190, 189, 188,
                                   187, 186, 185, 184, 183, 124, 89};

constexpr uint32_t kMaxX11Keycode = 255;

xkb_keymap* compile(xkb_context* context, const xkb_rule_names* names) {
  return xkb_keymap_new_from_names(context, names, XKB_KEYMAP_COMPILE_NO_FLAGS);
}

}  // namespace

std::unique_ptr<VirtualKeymap> VirtualKeymap::create(std::string_view session_keymap) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (context == nullptr) return nullptr;
  xkb_keymap* keymap = nullptr;
  // Wayland sends the text with its terminating NUL, which xkbcommon takes for text.
  while (!session_keymap.empty() && session_keymap.back() == '\0') session_keymap.remove_suffix(1);
  if (!session_keymap.empty()) {
    keymap = xkb_keymap_new_from_buffer(context, session_keymap.data(), session_keymap.size(),
                                        XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  }
  // The context reads XKB_DEFAULT_* itself when the names are left empty.
  if (keymap == nullptr) keymap = compile(context, nullptr);
  if (keymap == nullptr) {
    const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
    keymap = compile(context, &us);
  }
  if (keymap == nullptr) {
    xkb_context_unref(context);
    return nullptr;
  }
  return std::unique_ptr<VirtualKeymap>(new VirtualKeymap(context, keymap));
}

VirtualKeymap::VirtualKeymap(xkb_context* context, xkb_keymap* base)
    : context_(context), base_(base) {
  if (char* text = xkb_keymap_get_as_string(base_, XKB_KEYMAP_FORMAT_TEXT_V1)) {
    base_text_ = text;
    std::free(text);
  }
  std::vector<uint32_t> ours;
  for (uint32_t evdev : kSpareKeys) {
    if (const char* name = xkb_keymap_key_get_name(base_, evdev + 8)) {
      spares_.push_back(Spare{evdev + 8, name, 0, 0});
      ours.push_back(evdev + 8);
    }
  }
  // The lowest keycode wins for a keysym several keys type (the main block before the
  // keypad), as keyboards list them. Keys past the X11 range do not count: X11 programs
  // under XWayland would not see them.
  for (uint32_t kc = std::min<uint32_t>(xkb_keymap_max_keycode(base_), kMaxX11Keycode);
       kc >= xkb_keymap_min_keycode(base_) && kc > 0; --kc) {
    const xkb_keysym_t* syms = nullptr;
    if (std::find(ours.begin(), ours.end(), kc) == ours.end() &&
        xkb_keymap_key_get_syms_by_level(base_, kc, 0, 0, &syms) == 1) {
      plain_[syms[0]] = kc;
    }
  }
}

VirtualKeymap::~VirtualKeymap() {
  xkb_keymap_unref(base_);
  xkb_context_unref(context_);
}

std::string VirtualKeymap::text() const {
  std::string keys;
  for (const Spare& s : spares_) {
    if (s.keysym == 0) continue;
    char sym[64];
    if (xkb_keysym_get_name(s.keysym, sym, sizeof sym) <= 0) continue;
    keys += "    replace key <" + s.name + "> { type = \"ONE_LEVEL\", symbols[Group1] = [ " + sym +
            " ] };\n";
  }
  if (keys.empty()) return base_text_;
  // The bound keys close the symbols section, the last one, replacing the layout's
  // definitions of those keys: "xkb_symbols ... { ... };" then the keymap's own "};".
  const std::size_t keymap_end = base_text_.rfind("};");
  const std::size_t symbols_end = keymap_end == std::string::npos || keymap_end == 0
                                      ? std::string::npos
                                      : base_text_.rfind("};", keymap_end - 1);
  if (symbols_end == std::string::npos || base_text_.find("xkb_symbols") > symbols_end) {
    return base_text_;
  }
  std::string out = base_text_;
  out.insert(symbols_end, keys);
  return out;
}

uint32_t VirtualKeymap::plain_key(uint32_t keysym) const {
  const auto it = plain_.find(keysym);
  return it == plain_.end() ? 0 : it->second - 8;
}

uint32_t VirtualKeymap::bound_key(uint32_t keysym) const {
  for (const Spare& s : spares_) {
    if (s.keysym == keysym && keysym != 0) return s.keycode - 8;
  }
  return 0;
}

uint32_t VirtualKeymap::bind(uint32_t keysym, uint64_t now, bool& changed) {
  changed = false;
  if (keysym == 0 || spares_.empty()) return 0;
  Spare* slot = nullptr;
  for (Spare& s : spares_) {
    if (s.keysym == keysym) slot = &s;
  }
  if (slot == nullptr) {
    // A free key first, else the least recently used.
    slot = &*std::min_element(spares_.begin(), spares_.end(), [](const Spare& a, const Spare& b) {
      if ((a.keysym == 0) != (b.keysym == 0)) return a.keysym == 0;
      return a.used < b.used;
    });
    slot->keysym = keysym;
    changed = true;
  }
  slot->used = now;
  return slot->keycode - 8;
}

}  // namespace vantriel
