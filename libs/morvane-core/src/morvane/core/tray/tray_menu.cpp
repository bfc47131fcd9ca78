// The tray's decisions, the same on every platform: what the menu holds, how long texts
// are cut, and when the watcher speaks.
#include "morvane/core/tray/tray.h"

namespace morvane {
namespace {

constexpr std::size_t kTipUnits = 127;

// The length of the UTF-8 sequence that starts with `lead`, or 0 for a byte that cannot
// start one.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string cut_to_utf16_units(std::string_view text, std::size_t max_units) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len = sequence_length(static_cast<unsigned char>(text[i]));
    bool whole = len != 0 && i + len <= text.size();
    for (std::size_t k = 1; whole && k < len; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    // A broken sequence becomes one replacement character (one unit) when converted; it is
    // counted as such and its lead byte kept, so the cut never lands inside a character.
    if (!whole) len = 1;
    std::size_t need = (whole && len == 4) ? 2 : 1;
    if (units + need > max_units) break;
    units += need;
    i += len;
  }
  return std::string(text.substr(0, i));
}

std::vector<TrayMenuItem> tray_menu(const TrayConfig& config, bool shown, bool startup_enabled) {
  using Kind = TrayMenuItem::Kind;
  std::vector<TrayMenuItem> items;
  items.push_back({Kind::kLabel, 1, cut_to_utf16_units(config.tip, kTipUnits), false, false});
  items.push_back({Kind::kSeparator, 0, "", true, false});
  if (shown) {
    items.push_back({Kind::kCommand, 3, config.hide_text, true, false});
  } else {
    items.push_back({Kind::kCommand, 2, config.show_text, true, false});
  }
  items.push_back({Kind::kCommand, 5, config.startup_text, true, startup_enabled});
  items.push_back({Kind::kSeparator, 0, "", true, false});
  items.push_back({Kind::kCommand, 9, config.exit_text, true, false});
  return items;
}

bool WindowWatcher::check(
    bool icon_visible,
    const std::function<void(const std::string&, const std::string&)>& balloon) {
  const bool shown = config_.is_shown && config_.is_shown();
  if (shown) {
    seen_shown_ = true;
  } else if (seen_shown_ && !(icon_visible && warned_)) {
    // A minimised or hidden window is still there: only a window that is gone altogether
    // means the user closed it.
    if (!(config_.window_exists && config_.window_exists())) {
      if (icon_visible) {
        balloon(config_.closed_title, config_.closed_text);
        warned_ = true;
      } else if (config_.exit) {
        // Nothing on the desktop leads back to a program without its window.
        seen_shown_ = false;
        config_.exit();
      }
    }
  }
  return shown;
}

}  // namespace morvane
