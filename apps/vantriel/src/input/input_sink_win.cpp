// The Windows sink: each call is one SendInput call with the records as INPUT structures.
#include <windows.h>

#include <memory>
#include <vector>

#include "input/input_reach.h"
#include "input/input_sink.h"

namespace vantriel {
namespace {

static_assert(kMouseMove == MOUSEEVENTF_MOVE && kMouseLeftDown == MOUSEEVENTF_LEFTDOWN &&
              kMouseLeftUp == MOUSEEVENTF_LEFTUP && kMouseRightDown == MOUSEEVENTF_RIGHTDOWN &&
              kMouseRightUp == MOUSEEVENTF_RIGHTUP &&
              kMouseMiddleDown == MOUSEEVENTF_MIDDLEDOWN &&
              kMouseMiddleUp == MOUSEEVENTF_MIDDLEUP && kMouseXDown == MOUSEEVENTF_XDOWN &&
              kMouseXUp == MOUSEEVENTF_XUP && kMouseWheel == MOUSEEVENTF_WHEEL &&
              kMouseHWheel == MOUSEEVENTF_HWHEEL &&
              kMouseVirtualDesk == MOUSEEVENTF_VIRTUALDESK &&
              kMouseAbsolute == MOUSEEVENTF_ABSOLUTE);
static_assert(kXButton1 == XBUTTON1 && kXButton2 == XBUTTON2 && kWheelDelta == WHEEL_DELTA);
static_assert(kKeyExtended == KEYEVENTF_EXTENDEDKEY && kKeyUp == KEYEVENTF_KEYUP &&
              kKeyUnicode == KEYEVENTF_UNICODE && kKeyScanCode == KEYEVENTF_SCANCODE);

class SendInputSink : public InputSink {
 public:
  void send(std::span<const InputRecord> records) override {
    if (records.empty()) return;
    std::vector<INPUT> inputs(records.size());
    for (std::size_t k = 0; k < records.size(); ++k) {
      const InputRecord& r = records[k];
      INPUT& in = inputs[k];
      ZeroMemory(&in, sizeof in);  // time 0, extra information 0
      if (r.type == InputRecord::Type::kMouse) {
        in.type = INPUT_MOUSE;
        in.mi.dx = r.dx;
        in.mi.dy = r.dy;
        in.mi.mouseData = static_cast<DWORD>(r.mouse_data);  // signed wheel data as DWORD
        in.mi.dwFlags = r.flags;
      } else {
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = r.vk;
        in.ki.wScan = r.scan;
        in.ki.dwFlags = r.flags;
      }
    }
    const UINT count = static_cast<UINT>(inputs.size());
    if (SendInput(count, inputs.data(), sizeof(INPUT)) == 0 && follow_input_desktop()) {
      // Input goes to the desktop that receives input (the secure desktop of a UAC
      // prompt, the log-on screen); a thread still attached to another desktop has
      // every call refused until it follows.
      SendInput(count, inputs.data(), sizeof(INPUT));
    }
  }

 private:
  static bool follow_input_desktop() {
    HDESK desk = OpenInputDesktop(0, FALSE, GENERIC_ALL);
    if (desk == nullptr) return false;
    const bool ok = SetThreadDesktop(desk) != FALSE;
    // The thread keeps using the desktop; its handle can be closed once it has switched.
    CloseDesktop(desk);
    return ok;
  }
};

}  // namespace

std::unique_ptr<InputSink> make_system_input_sink(const InputReach&) {
  return std::make_unique<SendInputSink>();
}

InputReach system_input_reach() { return {true, "sendinput", ""}; }

}  // namespace vantriel
