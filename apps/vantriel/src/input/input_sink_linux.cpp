// The X11 sink: replays Windows input records through XTest on the display named by
// DISPLAY. Positions are root-window pixels, keys are X keycodes (evdev code + 8),
// wheel notches are clicks of buttons 4 to 7, and characters are typed through spare
// keycodes (keycodes with no keysym) temporarily bound to the character's keysym, unless
// a key of the current layout types them as they are.
//
// Key repeat is the technician's: the server's own repeat is off for the XTest keyboard,
// and each repeat that arrives (another key down) is typed. Otherwise a key whose release
// comes late over a slow or lossy link would go on typing at the person's PC until it came.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "input/input_reach.h"
#include "input/input_sink.h"
#include "input/portal_input.h"
#include "input/input_sink_wlroots_linux.h"
#include "input/x11_display.h"
#include "input/xtest_mapping.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"

namespace vantriel {
namespace {

using Clock = std::chrono::steady_clock;

// A bound spare keycode goes back to having no keysym once typing has been idle this
// long. Restoring right after the key event would race with clients that look the
// keysym up only when they get to the event (Xlib fetches the new mapping lazily), and a
// busy client would see no symbol at all; a bound spare keycode harms nothing meanwhile,
// as no physical key produces it.
constexpr auto kRestoreAfter = std::chrono::seconds(10);
// A spare keycode typed within this time is not rebound without waiting for the rest.
constexpr auto kRebindPause = std::chrono::milliseconds(50);
// Retry interval for a display that could not be opened.
constexpr auto kReopenAfter = std::chrono::seconds(2);

// The device through which the server delivers this client's XTest key events: the
// "<master> XTEST keyboard" slave of the master keyboard this client types to. -1 when the
// server has no XInput 2.
int xtest_keyboard(Display* d) {
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error)) return -1;
  int major = 2, minor = 0;
  if (XIQueryVersion(d, &major, &minor) != Success) return -1;
  // The client's pointer, or the first master when none was set (the call says which).
  int pointer = -1;
  XIGetClientPointer(d, None, &pointer);
  int count = 0;
  XIDeviceInfo* devices = XIQueryDevice(d, XIAllDevices, &count);
  if (devices == nullptr) return -1;
  int master_keyboard = -1;  // a master pointer's attachment is its paired keyboard
  for (int i = 0; i < count; ++i) {
    if (devices[i].deviceid == pointer) master_keyboard = devices[i].attachment;
  }
  int found = -1;
  for (int i = 0; i < count; ++i) {
    const XIDeviceInfo& dev = devices[i];
    if (dev.use == XISlaveKeyboard && dev.attachment == master_keyboard &&
        std::string_view(dev.name).ends_with(" XTEST keyboard")) {
      found = dev.deviceid;
    }
  }
  XIFreeDeviceInfo(devices);
  return found;
}

// Safe to destroy: the destructor stops the restore thread and restores the keymap.
class XTestSink : public InputSink {
 public:
  XTestSink() : restorer_([this] {
    morvane::set_current_thread_name("keymap restore");
    restore_loop();
  }) {}

  ~XTestSink() override {
    {
      morvane::MutexLock lock(mu_);
      stopping_ = true;
    }
    restore_cv_.notify_one();
    restorer_.join();
  }

  void send(std::span<const InputRecord> records) override {
    morvane::MutexLock lock(mu_);
    Display* d = connect();
    if (d == nullptr) return;
    repeat_checked_ = false;
    for (const InputRecord& r : records) {
      if (r.type == InputRecord::Type::kMouse) {
        mouse(d, r);
      } else {
        keyboard(d, r);
      }
    }
    // Requests wait in Xlib's buffer (which flushes itself when full) until finish():
    // one write per batch instead of one per event.
  }

  void finish() override {
    morvane::MutexLock lock(mu_);
    if (Display* d = connect()) XSync(d, False);
  }

 private:
  struct Binding {
    KeyCode keycode = 0;
    KeySym keysym = NoSymbol;
    Clock::time_point used;
  };

  Display* connect() REQUIRES(mu_) {
    if (conn_ != nullptr && !conn_->ok()) {
      X11Connection::dispose(std::move(conn_));
      bindings_.clear();
      held_.reset();
    }
    if (conn_ == nullptr) {
      const auto now = Clock::now();
      if (now - last_attempt_ < kReopenAfter && last_attempt_ != Clock::time_point()) {
        return nullptr;
      }
      last_attempt_ = now;
      auto conn = std::make_unique<X11Connection>();
      int event_base = 0, error_base = 0, major = 0, minor = 0;
      if (!conn->ok() ||
          !XTestQueryExtension(conn->display(), &event_base, &error_base, &major, &minor)) {
        return nullptr;
      }
      conn_ = std::move(conn);
      Display* d = conn_->display();
      if (XRRQueryExtension(d, &event_base, &error_base)) {
        XRRSelectInput(d, DefaultRootWindow(d), RRScreenChangeNotifyMask);
      }
      find_spare_keycodes(d);
      xtest_keyboard_ = xtest_keyboard(d);
    }
    Display* d = conn_->display();
    // Keep the root size and Xlib's copy of the keymap current, from the events already
    // read (finish() reads whatever the server has sent); this costs no system call.
    while (XEventsQueued(d, QueuedAlready) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == MappingNotify) {
        XRefreshKeyboardMapping(&e.xmapping);
      } else {
        XRRUpdateConfiguration(&e);
      }
    }
    modifiers_known_ = false;
    return d;
  }

  void mouse(Display* d, const InputRecord& r) REQUIRES(mu_) {
    if ((r.flags & kMouseMove) != 0) {
      if ((r.flags & kMouseAbsolute) != 0) {
        const int screen = DefaultScreen(d);
        XTestFakeMotionEvent(d, screen, pixel_for_absolute(r.dx, DisplayWidth(d, screen)),
                             pixel_for_absolute(r.dy, DisplayHeight(d, screen)), CurrentTime);
      } else {
        XTestFakeRelativeMotionEvent(d, r.dx, r.dy, CurrentTime);
      }
    }
    const auto button = [d](unsigned number, bool down) {
      XTestFakeButtonEvent(d, number, down ? True : False, CurrentTime);
    };
    if ((r.flags & kMouseLeftDown) != 0) button(1, true);
    if ((r.flags & kMouseLeftUp) != 0) button(1, false);
    if ((r.flags & kMouseRightDown) != 0) button(3, true);
    if ((r.flags & kMouseRightUp) != 0) button(3, false);
    if ((r.flags & kMouseMiddleDown) != 0) button(2, true);
    if ((r.flags & kMouseMiddleUp) != 0) button(2, false);
    if ((r.flags & (kMouseXDown | kMouseXUp)) != 0) {
      const unsigned number = r.mouse_data == kXButton1 ? 8 : r.mouse_data == kXButton2 ? 9 : 0;
      if (number != 0) {
        if ((r.flags & kMouseXDown) != 0) button(number, true);
        if ((r.flags & kMouseXUp) != 0) button(number, false);
      }
    }
    const auto clicks = [&](int notches, unsigned positive, unsigned negative) {
      const unsigned number = notches > 0 ? positive : negative;
      for (int n = std::abs(notches); n > 0; --n) {
        button(number, true);
        button(number, false);
      }
    };
    if ((r.flags & kMouseWheel) != 0) clicks(vertical_.add(r.mouse_data), 4, 5);
    if ((r.flags & kMouseHWheel) != 0) clicks(horizontal_.add(r.mouse_data), 7, 6);
  }

  void keyboard(Display* d, const InputRecord& r) REQUIRES(mu_) {
    const bool down = (r.flags & kKeyUp) == 0;
    if ((r.flags & kKeyUnicode) != 0) {
      if (const char32_t ch = typed_.press(r.scan, down)) type_char(d, ch);
      return;
    }
    int evdev = 0;
    if ((r.flags & kKeyScanCode) != 0) {
      evdev = evdev_code_for_scan(r.scan, (r.flags & kKeyExtended) != 0);
    } else if (const uint32_t keysym = keysym_for_virtual_key(r.vk); keysym != 0) {
      if (const KeyCode kc = XKeysymToKeycode(d, keysym); kc != 0) {
        key(d, kc, down);
        return;
      }
      evdev = evdev_code_for_virtual_key(r.vk);
    }
    if (evdev != 0 && evdev + 8 <= 255) key(d, static_cast<unsigned>(evdev + 8), down);
  }

  // The server ignores a press of a key its XTest keyboard holds down, so a repeat is
  // a release and a press.
  void key(Display* d, unsigned keycode, bool down) REQUIRES(mu_) {
    if (down) {
      quiet_server_repeat(d);
      if (held_.test(keycode)) XTestFakeKeyEvent(d, keycode, False, CurrentTime);
    }
    XTestFakeKeyEvent(d, keycode, down ? True : False, CurrentTime);
    held_.set(keycode, down);
  }

  // Switches the server's repeat off for the XTest keyboard alone (the person's own
  // keyboard keeps it). Once per batch that presses a key, with no round trip: a
  // desktop's settings daemon that applies the user's repeat to every keyboard would
  // switch it back on. The server repeats by the master keyboard's copy of the controls
  // of the last keyboard that typed, so such a change made while only the technician is
  // typing holds until the person's own keyboard types.
  void quiet_server_repeat(Display* d) REQUIRES(mu_) {
    if (repeat_checked_ || xtest_keyboard_ < 0) return;
    XkbChangeEnabledControls(d, static_cast<unsigned>(xtest_keyboard_), XkbRepeatKeysMask, 0);
    repeat_checked_ = true;
  }

  void type_char(Display* d, char32_t ch) REQUIRES(mu_) {
    const KeySym keysym = keysym_for_char(ch);
    if (const KeyCode kc = plain_keycode_for(d, keysym); kc != 0) {
      XTestFakeKeyEvent(d, kc, True, CurrentTime);
      XTestFakeKeyEvent(d, kc, False, CurrentTime);
      return;
    }
    Binding* b = binding_for(d, keysym);
    if (b == nullptr) return;
    XTestFakeKeyEvent(d, b->keycode, True, CurrentTime);
    XTestFakeKeyEvent(d, b->keycode, False, CurrentTime);
    b->used = Clock::now();
    restore_due_ = b->used + kRestoreAfter;
    restore_cv_.notify_one();
  }

  // A key of the keyboard's own layout that gives `keysym` with no modifier, while no
  // modifier that changes levels (Shift, Lock, AltGr...) is in effect; 0 otherwise. Such
  // characters need no remapping, which keeps the few spare keycodes for the rest.
  KeyCode plain_keycode_for(Display* d, KeySym keysym) REQUIRES(mu_) {
    if (!modifiers_known_) {
      XkbStateRec state{};
      plain_state_ = XkbGetState(d, XkbUseCoreKbd, &state) == Success &&
                     (state.mods & ~static_cast<unsigned>(Mod2Mask)) == 0;  // NumLock is fine
      group_ = state.group;
      modifiers_known_ = true;
    }
    if (!plain_state_) return 0;
    const KeyCode kc = XKeysymToKeycode(d, keysym);
    if (kc == 0 || XkbKeycodeToKeysym(d, kc, group_, 0) != keysym) return 0;
    const bool spare = std::any_of(bindings_.begin(), bindings_.end(),
                                   [kc](const Binding& b) { return b.keycode == kc; });
    return spare ? 0 : kc;
  }

  // The spare keycode bound to `keysym`, binding the least recently used one when none
  // is. Null when the keymap has no spare keycode.
  Binding* binding_for(Display* d, KeySym keysym) REQUIRES(mu_) {
    for (Binding& b : bindings_) {
      if (b.keysym == keysym) return &b;
    }
    if (bindings_.empty()) return nullptr;
    Binding* lru = &*std::min_element(
        bindings_.begin(), bindings_.end(), [](const Binding& a, const Binding& c) {
          return a.keysym == NoSymbol ? c.keysym != NoSymbol || a.used < c.used
                                      : c.keysym != NoSymbol && a.used < c.used;
        });
    if (lru->keysym != NoSymbol && Clock::now() - lru->used < kRebindPause) {
      // More distinct characters than spare keycodes in quick succession: give clients a
      // moment to look up the previous symbol before it changes under them.
      XSync(d, False);
      std::this_thread::sleep_until(lru->used + kRebindPause);
    }
    // Both levels of one group: held Shift still gives this keysym, and XKB wraps any
    // other active group into the key's only one. (A second group made Xlib clients that
    // had already loaded the keymap see no symbol after the change.)
    std::vector<KeySym> syms(static_cast<std::size_t>(keysyms_per_keycode_), NoSymbol);
    std::fill_n(syms.begin(), std::min(2, keysyms_per_keycode_), keysym);
    XChangeKeyboardMapping(d, lru->keycode, keysyms_per_keycode_, syms.data(), 1);
    lru->keysym = keysym;
    return lru;
  }

  void find_spare_keycodes(Display* d) REQUIRES(mu_) {
    bindings_.clear();
    int min_kc = 0, max_kc = 0;
    XDisplayKeycodes(d, &min_kc, &max_kc);
    int per = 0;
    KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(min_kc), max_kc - min_kc + 1, &per);
    if (map == nullptr) return;
    keysyms_per_keycode_ = std::max(per, 1);
    // Spare keycodes from the top, where no physical keyboard reaches.
    for (int kc = max_kc; kc >= min_kc && bindings_.size() < 32; --kc) {
      const KeySym* syms = map + static_cast<std::ptrdiff_t>(kc - min_kc) * per;
      if (std::all_of(syms, syms + per, [](KeySym s) { return s == NoSymbol; })) {
        bindings_.push_back(Binding{static_cast<KeyCode>(kc), NoSymbol, Clock::time_point()});
      }
    }
    XFree(map);
  }

  // Thread "keymap restore": puts bound spare keycodes back to no keysym once typing has
  // been idle for kRestoreAfter, and when the sink goes away.
  void restore_loop() {
    morvane::MutexLock lock(mu_);
    for (;;) {
      if (stopping_) {
        restore_bindings();
        return;
      }
      if (restore_due_ == Clock::time_point()) {
        restore_cv_.wait(mu_);
      } else if (Clock::now() < restore_due_) {
        restore_cv_.wait_until(mu_, restore_due_);
      } else {
        restore_due_ = Clock::time_point();
        restore_bindings();
      }
    }
  }

  void restore_bindings() REQUIRES(mu_) {
    Display* d = conn_ != nullptr ? conn_->display() : nullptr;
    if (d == nullptr) return;
    std::vector<KeySym> none(static_cast<std::size_t>(keysyms_per_keycode_), NoSymbol);
    for (Binding& b : bindings_) {
      if (b.keysym == NoSymbol) continue;
      XChangeKeyboardMapping(d, b.keycode, keysyms_per_keycode_, none.data(), 1);
      b.keysym = NoSymbol;
    }
    XSync(d, False);
  }

  morvane::Mutex mu_;
  std::unique_ptr<X11Connection> conn_ GUARDED_BY(mu_);
  Clock::time_point last_attempt_ GUARDED_BY(mu_);
  int keysyms_per_keycode_ = 1;
  std::vector<Binding> bindings_ GUARDED_BY(mu_);
  TypedUnits typed_ GUARDED_BY(mu_);
  bool modifiers_known_ GUARDED_BY(mu_) = false;  // per send call
  int xtest_keyboard_ GUARDED_BY(mu_) = -1;
  bool repeat_checked_ GUARDED_BY(mu_) = false;  // per send call
  std::bitset<256> held_ GUARDED_BY(mu_);         // keycodes this sink holds down
  bool plain_state_ GUARDED_BY(mu_) = false;
  int group_ GUARDED_BY(mu_) = 0;
  WheelAccumulator vertical_ GUARDED_BY(mu_);
  WheelAccumulator horizontal_ GUARDED_BY(mu_);
  Clock::time_point restore_due_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  morvane::CondVar restore_cv_;
  std::thread restorer_;  // last: starts once every other member is ready
};

}  // namespace

std::unique_ptr<InputSink> make_system_input_sink(const InputReach& reach) {
  if (reach.method == "portal") return make_portal_input_sink();
  if (reach.method == "wlroots") return make_wlroots_input_sink();
  return std::make_unique<XTestSink>();
}

InputReach system_input_reach() {
  SessionFacts facts = session_facts_from_environment();
  if (facts.wayland_display) facts.wlroots_virtual_input = wayland_offers_virtual_input();
  if (facts.x_display) {
    X11Connection conn;
    int event = 0, error = 0, major = 0, minor = 0;
    facts.x_reachable = conn.ok() && XTestQueryExtension(conn.display(), &event, &error, &major, &minor);
  }
  // A Wayland session that nothing else reaches: the desktop portal may. Bounded: D-Bus
  // may first start the portal, or wait on one that never answers.
  if (facts.wayland_display && decide_input_reach(facts).why == kReachWayland) {
    const PortalOffer offer = query_portal_remote_desktop(std::chrono::milliseconds(1500));
    facts.portal_remote_desktop = offer.version;
    facts.portal_device_types = offer.device_types;
  }
  return decide_input_reach(facts);
}

}  // namespace vantriel
