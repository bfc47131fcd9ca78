// The wlroots sink: replays Windows input records through a virtual pointer
// (zwlr_virtual_pointer_v1) and a virtual keyboard (zwp_virtual_keyboard_v1) of the
// compositor named by WAYLAND_DISPLAY. Positions go as absolute motion over the output
// layout, buttons as evdev BTN_* codes, wheel notches as discrete axis steps, keys as
// evdev codes of a keymap of our own (the session's layout plus keys bound to
// characters, see VirtualKeymap), with the modifier state the keys pressed give, which a
// virtual keyboard must report itself.
#include "input/input_sink_wlroots_linux.h"

#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "input/monitors.h"
#include "input/virtual_keymap_linux.h"
#include "input/wayland_outputs_linux.h"
#include "input/wayland_io_linux.h"
#include "input/xtest_mapping.h"
#include "morvane/core/sync/mutex.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace vantriel {
namespace {

using Clock = std::chrono::steady_clock;

// Retry interval for a compositor that could not be reached.
constexpr auto kReconnectAfter = std::chrono::seconds(2);
// How long a round trip may take before the compositor counts as gone.
constexpr auto kAnswerWithin = std::chrono::seconds(1);
// Requests wait in libwayland's buffer (4 KiB, which it treats a full socket as a fatal
// error for) until finish(); a long batch is flushed every this many requests (the
// longest request is 28 bytes).
constexpr int kFlushEvery = 100;
// How long programs are given to take a pointer or keyboard that the seat gained.
constexpr auto kSeatNewsTime = std::chrono::milliseconds(500);
// The largest seat keymap read (a usual one is 60 KiB).
constexpr uint32_t kMaxKeymapBytes = 4u << 20;
// Wheel motion per notch, as libinput reports a mouse wheel's click.
constexpr double kAxisPerNotch = 15.0;

uint32_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000);
}

struct Output {
  uint32_t name = 0;  // the registry's
  wl_output* proxy = nullptr;
  zxdg_output_v1* logical = nullptr;
  AnnouncedOutput seen;
};

// Safe to destroy: the destructor releases what the sink holds down.
class WlrootsSink : public InputSink {
 public:
  WlrootsSink() = default;

  ~WlrootsSink() override {
    morvane::MutexLock lock(mu_);
    disconnect(true);
  }

  void send(std::span<const InputRecord> records) override {
    morvane::MutexLock lock(mu_);
    if (!connect()) return;
    bind_characters(records);
    for (const InputRecord& r : records) {
      if (r.type == InputRecord::Type::kMouse) {
        mouse(r);
      } else {
        keyboard(r);
      }
      if (requests_ >= kFlushEvery) {
        requests_ = 0;
        if (!flush_all(display_, Clock::now() + kAnswerWithin)) {
          disconnect(true);
          return;
        }
      }
    }
  }

  void finish() override {
    morvane::MutexLock lock(mu_);
    if (display_ == nullptr) return;
    requests_ = 0;
    // Also reads what the compositor sent meanwhile (outputs that came or went).
    // A compositor that stopped answering is left, letting go of what we hold if it
    // still reads; one that went away has dropped our devices with what they held.
    if (!timed_roundtrip(display_, Clock::now() + kAnswerWithin)) {
      disconnect(true);
      return;
    }
    refresh_layout();
  }

 private:
  // True with a working connection and both devices.
  bool connect() REQUIRES(mu_) {
    if (display_ != nullptr && wl_display_get_error(display_) != 0) disconnect(false);
    if (display_ != nullptr) return true;
    const auto now = Clock::now();
    if (last_attempt_ != Clock::time_point() && now - last_attempt_ < kReconnectAfter) {
      return false;
    }
    last_attempt_ = now;
    display_ = wl_display_connect(nullptr);
    if (display_ == nullptr) return false;
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &kRegistryListener, this);
    const auto deadline = now + kAnswerWithin;
    // The first trip names the globals; the second brings the outputs' modes and the
    // seat's devices.
    if (!timed_roundtrip(display_, deadline) || seat_ == nullptr || pointer_manager_ == nullptr ||
        keyboard_manager_ == nullptr || !timed_roundtrip(display_, deadline)) {
      disconnect(false);
      return false;
    }
    refresh_layout();
    keymap_ = VirtualKeymap::create(seat_keymap(deadline));
    if (keymap_ == nullptr) {
      disconnect(false);
      return false;
    }
    pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointer_manager_, seat_);
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboard_manager_, seat_);
    state_ = xkb_state_new(keymap_->base());
    if (state_ == nullptr || !upload_keymap()) {
      disconnect(false);
      return false;
    }
    // sway was seen to drop the first key of a new virtual keyboard: a modifier report
    // (nothing pressed) goes first.
    zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
    const uint32_t had = seat_capabilities_;
    if (!timed_roundtrip(display_, deadline)) {
      disconnect(false);
      return false;
    }
    constexpr uint32_t kBoth = WL_SEAT_CAPABILITY_POINTER | WL_SEAT_CAPABILITY_KEYBOARD;
    if ((had & kBoth) != kBoth) {
      // A seat with no pointer or no keyboard (a desktop with no input devices) gained
      // one with ours: programs take their pointer or keyboard only once told, and what
      // comes before is lost to them.
      std::this_thread::sleep_for(kSeatNewsTime);
    }
    return true;
  }

  // With `release`, first lets go of every key and button pressed
  // through this connection, while the compositor still answers.
  void disconnect(bool release) REQUIRES(mu_) {
    if (display_ == nullptr) return;
    if (release && wl_display_get_error(display_) == 0 && pointer_ != nullptr &&
        keyboard_ != nullptr) {
      release_all();
      timed_roundtrip(display_, Clock::now() + kAnswerWithin);
    }
    if (pointer_ != nullptr) zwlr_virtual_pointer_v1_destroy(pointer_);
    if (keyboard_ != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (pointer_manager_ != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointer_manager_);
    if (keyboard_manager_ != nullptr)
      wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboard_manager_));
    for (Output& o : outputs_) forget(o);
    if (output_manager_ != nullptr) zxdg_output_manager_v1_destroy(output_manager_);
    if (seat_ != nullptr && wl_seat_get_version(seat_) >= WL_SEAT_RELEASE_SINCE_VERSION) {
      wl_seat_release(seat_);
    } else if (seat_ != nullptr) {
      wl_seat_destroy(seat_);
    }
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    if (wl_display_get_error(display_) == 0) wl_display_flush(display_);
    wl_display_disconnect(display_);
    display_ = nullptr;
    registry_ = nullptr;
    seat_ = nullptr;
    pointer_manager_ = nullptr;
    keyboard_manager_ = nullptr;
    pointer_ = nullptr;
    keyboard_ = nullptr;
    outputs_.clear();
    output_manager_ = nullptr;
    layout_ = {0, 0};
    seat_capabilities_ = 0;
    if (state_ != nullptr) xkb_state_unref(state_);
    state_ = nullptr;
    keymap_.reset();
    keys_.clear();
    buttons_.clear();
    typed_.reset();
    sent_mods_ = {};
  }

  // The text of the keymap the seat's keyboard has now (the person's
  // layout), or "" when the seat has no keyboard.
  std::string seat_keymap(Clock::time_point deadline) REQUIRES(mu_) {
    std::string text;
    if ((seat_capabilities_ & WL_SEAT_CAPABILITY_KEYBOARD) == 0) return text;
    wl_keyboard* keyboard = wl_seat_get_keyboard(seat_);
    wl_keyboard_add_listener(keyboard, &kKeyboardListener, &text);
    timed_roundtrip(display_, deadline);
    if (wl_seat_get_version(seat_) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
      wl_keyboard_release(keyboard);
    } else {
      wl_keyboard_destroy(keyboard);
    }
    return text;
  }

  static void keymap_given(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    auto* text = static_cast<std::string*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size <= kMaxKeymapBytes) {
      void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (map != MAP_FAILED) {
        text->assign(static_cast<const char*>(map), size);
        munmap(map, size);
      }
    }
    close(fd);
  }

  void release_all() REQUIRES(mu_) {
    const uint32_t t = now_ms();
    for (uint32_t key : std::set<uint32_t>(keys_)) press(key, false);
    for (uint32_t button : buttons_) {
      zwlr_virtual_pointer_v1_button(pointer_, t, button, WL_POINTER_BUTTON_STATE_RELEASED);
      zwlr_virtual_pointer_v1_frame(pointer_);
    }
    buttons_.clear();
  }

  void mouse(const InputRecord& r) REQUIRES(mu_) {
    const uint32_t t = now_ms();
    if ((r.flags & kMouseMove) != 0) {
      if ((r.flags & kMouseAbsolute) != 0) {
        // The records span the monitor list's bounding box, which is the compositor's
        // output layout; with the layout's size known, the pixel goes as it is
        // (x of width), so the pointer lands exactly where the decoder aimed.
        const auto [w, h] = layout_;
        if (w > 0 && h > 0) {
          zwlr_virtual_pointer_v1_motion_absolute(
              pointer_, t, static_cast<uint32_t>(pixel_for_absolute(r.dx, w)),
              static_cast<uint32_t>(pixel_for_absolute(r.dy, h)), static_cast<uint32_t>(w),
              static_cast<uint32_t>(h));
        } else {
          zwlr_virtual_pointer_v1_motion_absolute(
              pointer_, t, static_cast<uint32_t>(std::clamp(r.dx, 0, 65535)),
              static_cast<uint32_t>(std::clamp(r.dy, 0, 65535)), 65536, 65536);
        }
      } else {
        zwlr_virtual_pointer_v1_motion(pointer_, t, wl_fixed_from_int(r.dx),
                                       wl_fixed_from_int(r.dy));
      }
      frame();
    }
    const auto button = [&](uint32_t code, bool down) {
      mu_.assert_held();  // called only below, under the caller's lock
      zwlr_virtual_pointer_v1_button(
          pointer_, t, code,
          down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
      frame();
      if (down) {
        buttons_.insert(code);
      } else {
        buttons_.erase(code);
      }
    };
    if ((r.flags & kMouseLeftDown) != 0) button(BTN_LEFT, true);
    if ((r.flags & kMouseLeftUp) != 0) button(BTN_LEFT, false);
    if ((r.flags & kMouseRightDown) != 0) button(BTN_RIGHT, true);
    if ((r.flags & kMouseRightUp) != 0) button(BTN_RIGHT, false);
    if ((r.flags & kMouseMiddleDown) != 0) button(BTN_MIDDLE, true);
    if ((r.flags & kMouseMiddleUp) != 0) button(BTN_MIDDLE, false);
    if ((r.flags & (kMouseXDown | kMouseXUp)) != 0) {
      const uint32_t code = r.mouse_data == kXButton1   ? BTN_SIDE
                            : r.mouse_data == kXButton2 ? BTN_EXTRA
                                                        : 0;
      if (code != 0) {
        if ((r.flags & kMouseXDown) != 0) button(code, true);
        if ((r.flags & kMouseXUp) != 0) button(code, false);
      }
    }
    // Windows counts the vertical wheel up, Wayland down; both count horizontal right.
    if ((r.flags & kMouseWheel) != 0)
      axis(WL_POINTER_AXIS_VERTICAL_SCROLL, -vertical_.add(r.mouse_data));
    if ((r.flags & kMouseHWheel) != 0)
      axis(WL_POINTER_AXIS_HORIZONTAL_SCROLL, horizontal_.add(r.mouse_data));
  }

  void axis(uint32_t which, int notches) REQUIRES(mu_) {
    if (notches == 0) return;
    const uint32_t t = now_ms();
    const wl_fixed_t value = wl_fixed_from_double(kAxisPerNotch * notches);
    zwlr_virtual_pointer_v1_axis(pointer_, t, which, value);
    zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_WHEEL);
    zwlr_virtual_pointer_v1_axis_discrete(pointer_, t, which, value, notches);
    frame();
  }

  void frame() REQUIRES(mu_) {
    zwlr_virtual_pointer_v1_frame(pointer_);
    requests_ += 2;
  }

  void keyboard(const InputRecord& r) REQUIRES(mu_) {
    const bool down = (r.flags & kKeyUp) == 0;
    if ((r.flags & kKeyUnicode) != 0) {
      if (const char32_t ch = typed_.press(r.scan, down)) type_char(ch);
      return;
    }
    uint32_t evdev = 0;
    if ((r.flags & kKeyScanCode) != 0) {
      evdev = static_cast<uint32_t>(evdev_code_for_scan(r.scan, (r.flags & kKeyExtended) != 0));
    } else if (const uint32_t keysym = keysym_for_virtual_key(r.vk); keysym != 0) {
      evdev = keymap_->plain_key(keysym);
      if (evdev == 0) evdev = static_cast<uint32_t>(evdev_code_for_virtual_key(r.vk));
    }
    if (evdev != 0) press(evdev, down);
  }

  // Binds the batch's characters that need a key of ours before typing starts, so that
  // a text costs one keymap upload rather than one per new character.
  void bind_characters(std::span<const InputRecord> records) REQUIRES(mu_) {
    TypedUnits ahead = typed_;  // read ahead; the typing itself goes through typed_
    bool changed = false;
    std::size_t bound = 0;
    for (const InputRecord& r : records) {
      if (r.type != InputRecord::Type::kKeyboard || (r.flags & kKeyUnicode) == 0) continue;
      const char32_t ch = ahead.press(r.scan, (r.flags & kKeyUp) == 0);
      if (ch == 0) continue;
      const uint32_t keysym = keysym_for_char(ch);
      if (keymap_->plain_key(keysym) != 0 || keymap_->bound_key(keysym) != 0) continue;
      if (++bound > keymap_->spare_count()) break;  // the rest as they come
      bool one = false;
      keymap_->bind(keysym, ++uses_, one);
      changed = changed || one;
    }
    if (changed) upload_keymap();
  }

  void type_char(char32_t ch) REQUIRES(mu_) {
    const uint32_t keysym = keysym_for_char(ch);
    // A key of the layout types the character only while no modifier is in effect
    // (Num Lock aside).
    const xkb_mod_mask_t num_lock = 1u
                                    << xkb_keymap_mod_get_index(keymap_->base(), XKB_MOD_NAME_NUM);
    const bool plain =
        (xkb_state_serialize_mods(state_, XKB_STATE_MODS_EFFECTIVE) & ~num_lock) == 0 &&
        xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE) == 0;
    uint32_t key = plain ? keymap_->plain_key(keysym) : 0;
    if (key == 0) {
      bool changed = false;
      key = keymap_->bind(keysym, ++uses_, changed);
      if (changed) upload_keymap();
    }
    if (key == 0) return;
    const uint32_t t = now_ms();
    zwp_virtual_keyboard_v1_key(keyboard_, t, key, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard_, t, key, WL_KEYBOARD_KEY_STATE_RELEASED);
    requests_ += 2;
  }

  void press(uint32_t evdev, bool down) REQUIRES(mu_) {
    zwp_virtual_keyboard_v1_key(
        keyboard_, now_ms(), evdev,
        down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    ++requests_;
    if (down) {
      keys_.insert(evdev);
    } else {
      keys_.erase(evdev);
    }
    xkb_state_update_key(state_, evdev + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    report_modifiers(false);
  }

  // Tells the compositor the modifier state the keys give, when it changed (`always`:
  // after a keymap upload, which resets the compositor's copy).
  void report_modifiers(bool always) REQUIRES(mu_) {
    const Mods now{xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED),
                   xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED),
                   xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED),
                   xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE)};
    if (!always && now == sent_mods_) return;
    zwp_virtual_keyboard_v1_modifiers(keyboard_, now.depressed, now.latched, now.locked, now.group);
    ++requests_;
    sent_mods_ = now;
  }

  // The keymap goes as a sealed-size memory file; libwayland sends a copy of the
  // descriptor, so ours is closed at once.
  bool upload_keymap() REQUIRES(mu_) {
    const std::string text = keymap_->text();
    const int fd = memfd_create("vantriel-keymap", MFD_CLOEXEC);
    if (fd < 0) return false;
    const std::size_t size = text.size() + 1;  // with its terminating NUL
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd, text.c_str() + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fd);
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<uint32_t>(size));
    close(fd);
    ++requests_;
    report_modifiers(true);
    return true;
  }

  // The output layout's size, from the outputs as last read: the
  // bounding box of their logical rectangles, the monitor list's virtual desktop. (0, 0)
  // when unknown: no output yet, or several without xdg-output, whose core descriptions
  // place every output at 0, 0.
  void refresh_layout() REQUIRES(mu_) {
    std::vector<AnnouncedOutput> seen;
    bool logical = true;
    for (const Output& o : outputs_) {
      seen.push_back(o.seen);
      logical = logical && o.seen.logical_w > 0 && o.seen.logical_h > 0;
    }
    const std::vector<MonitorInfo> monitors = monitors_of_outputs(seen);
    if (monitors.empty() || (!logical && outputs_.size() > 1)) {
      layout_ = {0, 0};
      return;
    }
    const VirtualDesktop desk = bounding_desktop(monitors);
    layout_ = {desk.w, desk.h};
  }

  void watch_logical(Output& o) REQUIRES(mu_) {
    if (output_manager_ == nullptr || o.logical != nullptr) return;
    o.logical = zxdg_output_manager_v1_get_xdg_output(output_manager_, o.proxy);
    zxdg_output_v1_add_listener(o.logical, &kLogicalListener, &o);
  }

  static void forget(Output& o) {
    if (o.logical != nullptr) zxdg_output_v1_destroy(o.logical);
    wl_output_destroy(o.proxy);
  }

  static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t version) {
    auto* self = static_cast<WlrootsSink*>(data);
    self->mu_.assert_held();  // Wayland calls listeners from a dispatch, run under mu_ only
    const auto bind = [&](const wl_interface* which, uint32_t max) {
      return wl_registry_bind(registry, name, which, std::min(version, max));
    };
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat_ == nullptr) {
      self->seat_ = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
      wl_seat_add_listener(self->seat_, &kSeatListener, self);
    } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
      self->pointer_manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
          bind(&zwlr_virtual_pointer_manager_v1_interface, 1));
    } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
      self->keyboard_manager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
          bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
      Output& o = self->outputs_.emplace_back();
      o.name = name;
      o.proxy = static_cast<wl_output*>(bind(&wl_output_interface, 2));
      wl_output_add_listener(o.proxy, &kOutputListener, &o);
      self->watch_logical(o);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
               self->output_manager_ == nullptr) {
      self->output_manager_ =
          static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
      for (Output& o : self->outputs_) self->watch_logical(o);
    }
  }

  static void global_remove(void* data, wl_registry*, uint32_t name) {
    auto* self = static_cast<WlrootsSink*>(data);
    self->mu_.assert_held();
    self->outputs_.remove_if([name](Output& o) {
      if (o.name != name) return false;
      forget(o);
      return true;
    });
  }

  static void capabilities(void* data, wl_seat*, uint32_t which) {
    auto* self = static_cast<WlrootsSink*>(data);
    self->mu_.assert_held();
    self->seat_capabilities_ = which;
  }

  static constexpr wl_keyboard_listener kKeyboardListener{
      &WlrootsSink::keymap_given,
      [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
      [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
      [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {},
      [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
      [](void*, wl_keyboard*, int32_t, int32_t) {}};
  static constexpr wl_seat_listener kSeatListener{&WlrootsSink::capabilities,
                                                  [](void*, wl_seat*, const char*) {}};
  static constexpr wl_registry_listener kRegistryListener{&WlrootsSink::global,
                                                          &WlrootsSink::global_remove};
  static void output_geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t,
                              int32_t, const char*, const char*, int32_t transform) {
    AnnouncedOutput& seen = static_cast<Output*>(data)->seen;
    seen.x = x;
    seen.y = y;
    seen.quarter_turn = (transform & 1) != 0;  // 90 and 270 degrees, flipped or not
  }

  static void output_mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height,
                          int32_t) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
    AnnouncedOutput& seen = static_cast<Output*>(data)->seen;
    seen.mode_w = width;
    seen.mode_h = height;
  }

  static void output_scale(void* data, wl_output*, int32_t factor) {
    static_cast<Output*>(data)->seen.scale = factor;
  }

  static void logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    AnnouncedOutput& seen = static_cast<Output*>(data)->seen;
    seen.logical_x = x;
    seen.logical_y = y;
  }

  static void logical_size(void* data, zxdg_output_v1*, int32_t w, int32_t h) {
    AnnouncedOutput& seen = static_cast<Output*>(data)->seen;
    seen.logical_w = w;
    seen.logical_h = h;
  }

  static constexpr wl_output_listener kOutputListener{&WlrootsSink::output_geometry,
                                                      &WlrootsSink::output_mode,
                                                      [](void*, wl_output*) {},
                                                      &WlrootsSink::output_scale,
                                                      nullptr,
                                                      nullptr};
  static constexpr zxdg_output_v1_listener kLogicalListener{
      &WlrootsSink::logical_position, &WlrootsSink::logical_size, [](void*, zxdg_output_v1*) {},
      [](void*, zxdg_output_v1*, const char*) {}, [](void*, zxdg_output_v1*, const char*) {}};

  struct Mods {
    uint32_t depressed = 0, latched = 0, locked = 0, group = 0;
    friend bool operator==(const Mods&, const Mods&) = default;
  };

  morvane::Mutex mu_;
  wl_display* display_ GUARDED_BY(mu_) = nullptr;
  wl_registry* registry_ GUARDED_BY(mu_) = nullptr;
  wl_seat* seat_ GUARDED_BY(mu_) = nullptr;
  zwlr_virtual_pointer_manager_v1* pointer_manager_ GUARDED_BY(mu_) = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboard_manager_ GUARDED_BY(mu_) = nullptr;
  zwlr_virtual_pointer_v1* pointer_ GUARDED_BY(mu_) = nullptr;
  zwp_virtual_keyboard_v1* keyboard_ GUARDED_BY(mu_) = nullptr;
  zxdg_output_manager_v1* output_manager_ GUARDED_BY(mu_) = nullptr;
  std::list<Output> outputs_ GUARDED_BY(mu_);  // stable addresses: each is its listeners' data
  std::pair<int, int> layout_ GUARDED_BY(mu_){0, 0};  // see refresh_layout()
  uint32_t seat_capabilities_ GUARDED_BY(mu_) = 0;
  std::unique_ptr<VirtualKeymap> keymap_ GUARDED_BY(mu_);
  xkb_state* state_ GUARDED_BY(mu_) = nullptr;
  Mods sent_mods_ GUARDED_BY(mu_);
  std::set<uint32_t> keys_ GUARDED_BY(mu_);  // evdev codes held down
  std::set<uint32_t> buttons_ GUARDED_BY(mu_);  // BTN_* codes held down
  TypedUnits typed_ GUARDED_BY(mu_);
  uint64_t uses_ GUARDED_BY(mu_) = 0;
  int requests_ GUARDED_BY(mu_) = 0;  // since the last flush
  Clock::time_point last_attempt_ GUARDED_BY(mu_);
  WheelAccumulator vertical_ GUARDED_BY(mu_);
  WheelAccumulator horizontal_ GUARDED_BY(mu_);
};

}  // namespace

bool wayland_offers_virtual_input() {
  wl_display* d = wl_display_connect(nullptr);
  if (d == nullptr) return false;
  struct Offer {
    bool pointer = false;
    bool keyboard = false;
  } offer;
  static const wl_registry_listener kListener{
      [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
        auto* o = static_cast<Offer*>(data);
        if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
          o->pointer = true;
        if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
          o->keyboard = true;
      },
      [](void*, wl_registry*, uint32_t) {}};
  wl_registry* registry = wl_display_get_registry(d);
  wl_registry_add_listener(registry, &kListener, &offer);
  const bool answered = timed_roundtrip(d, Clock::now() + kAnswerWithin);
  wl_registry_destroy(registry);
  wl_display_disconnect(d);
  return answered && offer.pointer && offer.keyboard;
}

std::unique_ptr<InputSink> make_wlroots_input_sink() { return std::make_unique<WlrootsSink>(); }

}  // namespace vantriel
