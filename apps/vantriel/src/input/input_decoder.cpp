#include "input/input_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "input/key_codes.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

constexpr uint32_t kAbsoluteMove = kMouseMove | kMouseVirtualDesk | kMouseAbsolute;
constexpr uint16_t kEnterScan = 0x1C;

double clamp_fraction(double f) {
  if (std::isnan(f)) return 0.0;
  return std::clamp(f, 0.0, 1.0);
}

// Pixel of the monitor for a fraction, then 0..65535 over the virtual desktop.
int32_t absolute_coordinate(double fraction, int origin, int size, int desk_origin,
                            int desk_size) {
  const int64_t pixel = int64_t{origin} + std::llround((size - 1.0) * clamp_fraction(fraction));
  int64_t span = int64_t{desk_size} - 1;
  if (span < 2) span = 1;
  const int64_t abs =
      std::llround(static_cast<double>(pixel - desk_origin) * 65535.0 / static_cast<double>(span));
  return static_cast<int32_t>(std::clamp<int64_t>(abs, 0, 65535));
}

struct ButtonInput {
  uint32_t down_flags;
  uint32_t up_flags;
  int32_t data;
  unsigned bit;
};

// Browser button numbers 0..4; anything that is not a non-negative integer is the left
// button; 5 and above have no button.
std::optional<ButtonInput> button_for(std::optional<int64_t> n) {
  switch (n.has_value() && *n >= 0 ? *n : 0) {
    case 0: return ButtonInput{kMouseLeftDown, kMouseLeftUp, 0, kButtonLeft};
    case 1: return ButtonInput{kMouseMiddleDown, kMouseMiddleUp, 0, kButtonMiddle};
    case 2: return ButtonInput{kMouseRightDown, kMouseRightUp, 0, kButtonRight};
    case 3: return ButtonInput{kMouseXDown, kMouseXUp, kXButton1, kButtonBack};
    case 4: return ButtonInput{kMouseXDown, kMouseXUp, kXButton2, kButtonForward};
    default: return std::nullopt;
  }
}

InputRecord key_record(const KeyCode& key, bool down) {
  if (key.vk != 0) return InputRecord::key(key.vk, 0, down ? 0 : kKeyUp);
  uint32_t flags = kKeyScanCode;
  if (key.extended) flags |= kKeyExtended;
  if (!down) flags |= kKeyUp;
  return InputRecord::key(0, key.scan, flags);
}

int32_t wheel_amount(std::optional<int64_t> amount) {
  return static_cast<int32_t>(std::clamp(amount.value_or(0), -kMaxWheel, kMaxWheel));
}

}  // namespace

int InputDecoder::apply(std::span<const InputEvent> events,
                        const std::vector<MonitorInfo>& monitors, int monitor,
                        const VirtualDesktop& desktop, const StillAllowed& allowed) {
  if (monitors.empty()) return 0;
  const MonitorInfo* target = nullptr;
  if (monitor >= 0 && static_cast<std::size_t>(monitor) < monitors.size()) {
    target = &monitors[static_cast<std::size_t>(monitor)];
  } else {
    const auto primary = std::find_if(monitors.begin(), monitors.end(),
                                      [](const MonitorInfo& m) { return m.primary; });
    target = primary != monitors.end() ? &*primary : &monitors.front();
  }

  // The move for an event's position, when it has one.
  const auto move_for = [&](const InputEvent& event) -> std::optional<InputRecord> {
    if (!event.x || !event.y) return std::nullopt;
    return InputRecord::mouse(
        absolute_coordinate(*event.x, target->x, target->w, desktop.x, desktop.w),
        absolute_coordinate(*event.y, target->y, target->h, desktop.y, desktop.h), 0,
        kAbsoluteMove);
  };

  using Kind = InputEvent::Kind;
  int applied = 0;
  std::size_t text_budget = kMaxBatchTextChars;
  for (const InputEvent& event : events.first(std::min(events.size(), kMaxEventsPerBatch))) {
    if (event.kind == Kind::kText) {
      const TextResult result = apply_text(event, allowed, text_budget);
      if (result == TextResult::kStopped) break;
      if (result == TextResult::kTyped) ++applied;
      continue;
    }
    morvane::MutexLock lock(event_mu_);
    if (allowed && !allowed()) break;
    bool counted = false;
    switch (event.kind) {
      case Kind::kIgnored:
      case Kind::kText:
        break;
      case Kind::kMove:
        if (const auto move = move_for(event)) {
          send({&*move, 1});
          counted = true;
        }
        break;
      case Kind::kButtonDown:
      case Kind::kButtonUp:
        if (const auto move = move_for(event)) send({&*move, 1});
        counted = apply_button(event, event.kind == Kind::kButtonDown);
        break;
      case Kind::kWheel: {
        const int32_t dy = wheel_amount(event.wheel_y);
        const int32_t dx = wheel_amount(event.wheel_x);
        if (dy != 0) {
          const InputRecord r = InputRecord::mouse(0, 0, dy, kMouseWheel);
          send({&r, 1});
        }
        if (dx != 0) {
          const InputRecord r = InputRecord::mouse(0, 0, dx, kMouseHWheel);
          send({&r, 1});
        }
        counted = true;
        break;
      }
      case Kind::kKeyDown:
      case Kind::kKeyUp:
        counted = apply_key(event, event.kind == Kind::kKeyDown);
        break;
      case Kind::kReleaseAll:
        release_all_locked();
        counted = true;
        break;
    }
    if (counted) ++applied;
  }
  sink_.finish();
  return applied;
}

bool InputDecoder::apply_button(const InputEvent& event, bool down) {
  const std::optional<ButtonInput> button = button_for(event.button);
  if (!button) return false;
  const InputRecord r =
      InputRecord::mouse(0, 0, button->data, down ? button->down_flags : button->up_flags);
  send({&r, 1});
  {
    morvane::MutexLock lock(buttons_mu_);
    if (down) {
      buttons_ |= button->bit;
    } else {
      buttons_ &= ~button->bit;
    }
  }
  return true;
}

bool InputDecoder::apply_key(const InputEvent& event, bool down) {
  const std::string code = event.code.value_or(std::string());
  const std::optional<KeyCode> key = lookup_key_code(code);
  if (!key) return false;
  const InputRecord r = key_record(*key, down);
  send({&r, 1});
  {
    morvane::MutexLock lock(keys_mu_);
    keys_.erase(std::remove(keys_.begin(), keys_.end(), code), keys_.end());
    if (down) keys_.push_back(code);
  }
  return true;
}

InputDecoder::TextResult InputDecoder::apply_text(const InputEvent& event,
                                                  const StillAllowed& allowed,
                                                  std::size_t& budget) {
  if (!event.text) return TextResult::kRefused;
  // One character past the bound is enough to refuse.
  const std::u32string text = morvane::decode_utf8(*event.text, kMaxTextChars + 1);
  if (text.empty()) return TextResult::kRefused;
  if (text.size() > kMaxTextChars || text.size() > budget) {
    budget = 0;  // no later text of this batch is typed before this one
    return TextResult::kRefused;
  }
  budget -= text.size();
  // Each character is checked and sent on its own, with its UTF-16 units (a surrogate
  // pair stays in one call), so that a release or a withdrawal gets in between two.
  InputRecord records[4];
  std::size_t count = 0;
  const auto unit = [&](char16_t u) {
    records[count++] = InputRecord::key(0, u, kKeyUnicode);
    records[count++] = InputRecord::key(0, u, kKeyUnicode | kKeyUp);
  };
  std::size_t since_flush = 0;
  for (const char32_t ch : text) {
    if (ch == U'\r') continue;
    count = 0;
    if (ch == U'\n') {
      records[count++] = InputRecord::key(0, kEnterScan, kKeyScanCode);
      records[count++] = InputRecord::key(0, kEnterScan, kKeyScanCode | kKeyUp);
    } else if (ch > 0xFFFF) {
      unit(static_cast<char16_t>(0xD800 + ((ch - 0x10000) >> 10)));
      unit(static_cast<char16_t>(0xDC00 + ((ch - 0x10000) & 0x3FF)));
    } else {
      unit(static_cast<char16_t>(ch));
    }
    {
      morvane::MutexLock lock(event_mu_);
      if (allowed && !allowed()) return TextResult::kStopped;
      send({records, count});
    }
    if (++since_flush == kTextFlushChars) {
      sink_.finish();
      since_flush = 0;
    }
  }
  return TextResult::kTyped;
}

void InputDecoder::release_all() {
  morvane::MutexLock lock(event_mu_);
  release_all_locked();
}

void InputDecoder::release_all_locked() {
  std::vector<std::string> keys;
  {
    morvane::MutexLock lock(keys_mu_);
    keys.swap(keys_);
  }
  bool sent = false;
  for (const std::string& code : keys) {
    if (const std::optional<KeyCode> key = lookup_key_code(code)) {
      const InputRecord r = key_record(*key, false);
      send({&r, 1});
      sent = true;
    }
  }
  // The releases go out under the buttons mutex so that a press racing with them
  // cannot be recorded and then lost.
  morvane::MutexLock lock(buttons_mu_);
  constexpr ButtonInput kOrder[] = {
      {0, kMouseLeftUp, 0, kButtonLeft},        {0, kMouseMiddleUp, 0, kButtonMiddle},
      {0, kMouseRightUp, 0, kButtonRight},      {0, kMouseXUp, kXButton1, kButtonBack},
      {0, kMouseXUp, kXButton2, kButtonForward},
  };
  for (const ButtonInput& b : kOrder) {
    if ((buttons_ & b.bit) != 0) {
      const InputRecord r = InputRecord::mouse(0, 0, b.data, b.up_flags);
      send({&r, 1});
      sent = true;
    }
  }
  buttons_ = 0;
  if (sent) sink_.finish();
}

std::vector<std::string> InputDecoder::pressed_keys() const {
  morvane::MutexLock lock(keys_mu_);
  return keys_;
}

unsigned InputDecoder::pressed_buttons() const {
  morvane::MutexLock lock(buttons_mu_);
  return buttons_;
}

}  // namespace vantriel
