// Injected input as Windows describes it. The portable decoder decides every record
// (types, flags, scan codes, absolute coordinates over the virtual desktop); an
// InputSink only delivers them: SendInput on Windows, XTest on X11, a recording in
// tests. The flag values are the Win32 ones so that the Windows sink copies fields
// without translating and a recording reads like a SendInput trace.
#ifndef VANTRIEL_INPUT_INPUT_SINK_H_
#define VANTRIEL_INPUT_INPUT_SINK_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace vantriel {

struct VirtualDesktop;

// MOUSEINPUT.dwFlags
inline constexpr uint32_t kMouseMove = 0x0001;
inline constexpr uint32_t kMouseLeftDown = 0x0002;
inline constexpr uint32_t kMouseLeftUp = 0x0004;
inline constexpr uint32_t kMouseRightDown = 0x0008;
inline constexpr uint32_t kMouseRightUp = 0x0010;
inline constexpr uint32_t kMouseMiddleDown = 0x0020;
inline constexpr uint32_t kMouseMiddleUp = 0x0040;
inline constexpr uint32_t kMouseXDown = 0x0080;
inline constexpr uint32_t kMouseXUp = 0x0100;
inline constexpr uint32_t kMouseWheel = 0x0800;
inline constexpr uint32_t kMouseHWheel = 0x1000;
inline constexpr uint32_t kMouseVirtualDesk = 0x4000;
inline constexpr uint32_t kMouseAbsolute = 0x8000;
// MOUSEINPUT.mouseData of the X buttons.
inline constexpr int32_t kXButton1 = 1;
inline constexpr int32_t kXButton2 = 2;
// One wheel notch.
inline constexpr int32_t kWheelDelta = 120;

// KEYBDINPUT.dwFlags
inline constexpr uint32_t kKeyExtended = 0x0001;
inline constexpr uint32_t kKeyUp = 0x0002;
inline constexpr uint32_t kKeyUnicode = 0x0004;
inline constexpr uint32_t kKeyScanCode = 0x0008;

// One INPUT record; time and extra information are always 0 and are not kept.
struct InputRecord {
  enum class Type : uint8_t { kMouse, kKeyboard };

  Type type = Type::kMouse;
  // Mouse: position (0..65535 over the virtual desktop when absolute), mouse data
  // (signed wheel amount or X button), flags.
  int32_t dx = 0;
  int32_t dy = 0;
  int32_t mouse_data = 0;
  // Keyboard: virtual key, scan code (a UTF-16 code unit with kKeyUnicode), flags.
  uint16_t vk = 0;
  uint16_t scan = 0;
  uint32_t flags = 0;

  static InputRecord mouse(int32_t x, int32_t y, int32_t data, uint32_t mouse_flags) {
    InputRecord r;
    r.type = Type::kMouse;
    r.dx = x;
    r.dy = y;
    r.mouse_data = data;
    r.flags = mouse_flags;
    return r;
  }
  static InputRecord key(uint16_t virtual_key, uint16_t scan_code, uint32_t key_flags) {
    InputRecord r;
    r.type = Type::kKeyboard;
    r.vk = virtual_key;
    r.scan = scan_code;
    r.flags = key_flags;
    return r;
  }

  friend bool operator==(const InputRecord&, const InputRecord&) = default;
};

// Delivers input records. Implementations are safe to call from several threads at once;
// records of one call are delivered together and in order.
class InputSink {
 public:
  virtual ~InputSink() = default;

  // One SendInput call.
  virtual void send(std::span<const InputRecord> records) = 0;

  // Called after each batch: whatever was sent has reached the system when it returns.
  virtual void finish() {}

  // A sink that needs the person's own agreement through the desktop (the portal) asks
  // when control is first allowed in a support session, not before; records sent while
  // it asks are dropped. session_over() ends whatever the agreement opened, so nothing
  // can control the PC afterwards. Neither blocks.
  virtual void control_allowed() {}
  virtual void session_over() {}
  // Where the sink asks the person, and why control cannot go on (the person refused, the
  // desktop ended it; empty otherwise).
  virtual bool asking() const { return false; }
  virtual std::string refusal() const { return ""; }
  // The file that keeps the person's agreement between sessions where the desktop allows
  // it (Desktop::forget_consent() removes it).
  virtual void keep_consent_in(const std::filesystem::path& file) { (void)file; }
  // The virtual desktop that the absolute positions of the next records span, for a sink
  // that places them on one part of it (the portal's shared monitor).
  virtual void virtual_desktop_is(const VirtualDesktop& desktop) { (void)desktop; }
};

struct InputReach;

// The platform's sink for what `reach` decided: SendInput on Windows; on Linux XTest on
// the X display named by DISPLAY, or the Wayland way `reach.method` names. A sink that
// cannot reach its desktop drops what it is given.
std::unique_ptr<InputSink> make_system_input_sink(const InputReach& reach);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_SINK_H_
