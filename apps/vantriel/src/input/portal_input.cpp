#include "input/portal_input.h"

#include <algorithm>
#include <system_error>

#include "base/file_util.h"

namespace vantriel {

namespace {

// The stream's pixel (0..size-1) of an absolute coordinate over a desktop span that starts
// at `origin` and is `span` long; the stream starts at `start`.
double stream_pixel(int32_t absolute, int origin, int span, int start, int size) {
  if (span <= 0) return pixel_for_absolute(absolute, size);
  const int pixel = origin + pixel_for_absolute(absolute, span) - start;
  return std::clamp(pixel, 0, size - 1);
}

}  // namespace

void PortalTranslator::translate(std::span<const InputRecord> records,
                                 const PortalStream& stream, const VirtualDesktop& desktop,
                                 std::vector<PortalCall>& out) {
  for (const InputRecord& r : records) {
    if (r.type == InputRecord::Type::kMouse) {
      mouse(r, stream, desktop, out);
    } else {
      keyboard(r, out);
    }
  }
}

void PortalTranslator::mouse(const InputRecord& r, const PortalStream& stream,
                             const VirtualDesktop& desktop, std::vector<PortalCall>& out) {
  if ((r.flags & kMouseMove) != 0) {
    PortalCall c;
    if ((r.flags & kMouseAbsolute) != 0) {
      // A stream whose size is unknown has nowhere to put the pointer.
      if (stream.w > 0 && stream.h > 0) {
        c.kind = PortalCall::Kind::kMotionAbsolute;
        c.code = static_cast<int32_t>(stream.node);
        const bool spans = desktop.w > 0 && desktop.h > 0;
        c.x = stream_pixel(r.dx, desktop.x, spans ? desktop.w : 0, stream.x, stream.w);
        c.y = stream_pixel(r.dy, desktop.y, spans ? desktop.h : 0, stream.y, stream.h);
        out.push_back(c);
      }
    } else {
      c.kind = PortalCall::Kind::kMotion;
      c.x = r.dx;
      c.y = r.dy;
      out.push_back(c);
    }
  }
  const auto button = [&out](int32_t code, bool pressed) {
    PortalCall c;
    c.kind = PortalCall::Kind::kButton;
    c.code = code;
    c.pressed = pressed;
    out.push_back(c);
  };
  if ((r.flags & kMouseLeftDown) != 0) button(kBtnLeft, true);
  if ((r.flags & kMouseLeftUp) != 0) button(kBtnLeft, false);
  if ((r.flags & kMouseRightDown) != 0) button(kBtnRight, true);
  if ((r.flags & kMouseRightUp) != 0) button(kBtnRight, false);
  if ((r.flags & kMouseMiddleDown) != 0) button(kBtnMiddle, true);
  if ((r.flags & kMouseMiddleUp) != 0) button(kBtnMiddle, false);
  if ((r.flags & (kMouseXDown | kMouseXUp)) != 0) {
    const int32_t code = r.mouse_data == kXButton1   ? kBtnSide
                         : r.mouse_data == kXButton2 ? kBtnExtra
                                                     : 0;
    if (code != 0) {
      if ((r.flags & kMouseXDown) != 0) button(code, true);
      if ((r.flags & kMouseXUp) != 0) button(code, false);
    }
  }
  const auto axis = [&out](int32_t which, int steps) {
    if (steps == 0) return;
    PortalCall c;
    c.kind = PortalCall::Kind::kAxisDiscrete;
    c.code = which;
    c.steps = steps;
    out.push_back(c);
  };
  // Windows counts a turn away from the user as positive; the portal counts down as
  // positive. Right is positive in both.
  if ((r.flags & kMouseWheel) != 0) axis(0, -vertical_.add(r.mouse_data));
  if ((r.flags & kMouseHWheel) != 0) axis(1, horizontal_.add(r.mouse_data));
}

void PortalTranslator::keyboard(const InputRecord& r, std::vector<PortalCall>& out) {
  const bool down = (r.flags & kKeyUp) == 0;
  PortalCall c;
  c.pressed = down;
  if ((r.flags & kKeyUnicode) != 0) {
    const char32_t ch = typed_.press(r.scan, down);
    if (ch == 0) return;
    c.kind = PortalCall::Kind::kKeysym;
    c.code = static_cast<int32_t>(keysym_for_char(ch));
    c.pressed = true;
    out.push_back(c);
    c.pressed = false;
    out.push_back(c);
    return;
  }
  if ((r.flags & kKeyScanCode) != 0) {
    c.kind = PortalCall::Kind::kKeycode;
    c.code = evdev_code_for_scan(r.scan, (r.flags & kKeyExtended) != 0);
  } else if (const uint32_t keysym = keysym_for_virtual_key(r.vk); keysym != 0) {
    c.kind = PortalCall::Kind::kKeysym;
    c.code = static_cast<int32_t>(keysym);
  } else {
    c.kind = PortalCall::Kind::kKeycode;
    c.code = evdev_code_for_virtual_key(r.vk);
  }
  if (c.code != 0) out.push_back(c);
}

std::string portal_refusal(uint32_t response) {
  if (response == 0) return "";
  // 1: the person cancelled (or closed the dialog); 2: anything else ended it.
  return response == 1 ? kPortalRefused : kPortalFailed;
}

bool is_valid_restore_token(std::string_view token) {
  if (token.empty() || token.size() > kMaxRestoreToken) return false;
  for (char ch : token) {
    if (ch <= 0x20 || ch >= 0x7f) return false;
  }
  return true;
}

std::string read_restore_token(const std::filesystem::path& file) {
  auto text = read_file(file, kMaxRestoreToken + 2);
  if (!text.ok()) return "";
  std::string token = *text;
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  return is_valid_restore_token(token) ? token : "";
}

bool write_restore_token(const std::filesystem::path& file, std::string_view token) {
  if (!is_valid_restore_token(token)) {
    forget_restore_token(file);
    return false;
  }
  std::filesystem::path temp = file;
  temp += ".tmp";
  return write_file_atomic(file, temp, std::string(token) + "\n").ok();
}

void forget_restore_token(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::remove(file, ec);
}

}  // namespace vantriel
