// Remote control through the desktop portal's RemoteDesktop (GNOME, KDE on Wayland): what
// is decided without D-Bus. Input records become the portal's calls (positions in the
// logical pixels of the stream the person shared, evdev buttons and keys, keysyms for
// text, whole wheel notches); the person's agreement from an earlier session is kept in
// one small file; the refusals have their words here. input_sink_portal_linux.cpp only
// speaks them on the bus.
#ifndef VANTRIEL_INPUT_PORTAL_INPUT_H_
#define VANTRIEL_INPUT_PORTAL_INPUT_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "input/input_sink.h"
#include "input/monitors.h"
#include "input/xtest_mapping.h"

namespace vantriel {

// The monitor the person shared for control: its PipeWire node (the portal's stream id)
// and its place in the desktop's logical pixels.
struct PortalStream {
  uint32_t node = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t w = 0;
  int32_t h = 0;
};

// One Notify call on the portal session.
struct PortalCall {
  enum class Kind : uint8_t {
    kMotionAbsolute,  // x, y: logical pixels inside the stream; code: its node
    kMotion,          // x, y: relative pixels
    kButton,          // code: evdev button; pressed
    kAxisDiscrete,    // code: 0 vertical, 1 horizontal; steps (positive down or right)
    kKeycode,         // code: evdev key; pressed
    kKeysym,          // code: keysym; pressed
  };
  Kind kind = Kind::kMotion;
  double x = 0;
  double y = 0;
  int32_t code = 0;
  int32_t steps = 0;
  bool pressed = false;

  friend bool operator==(const PortalCall&, const PortalCall&) = default;
};

// evdev buttons (linux/input-event-codes.h).
inline constexpr int32_t kBtnLeft = 0x110;
inline constexpr int32_t kBtnRight = 0x111;
inline constexpr int32_t kBtnMiddle = 0x112;
inline constexpr int32_t kBtnSide = 0x113;
inline constexpr int32_t kBtnExtra = 0x114;

// Turns records into portal calls. Absolute positions span `desktop` (the virtual desktop
// the decoder placed them on); each lands on the same pixel of the stream the person
// shared, inside it (the portal reaches nothing else). Without a desktop the positions
// span the stream itself. Wheel data is
// sent in whole notches (the rest waits for the next turn the same way, as on X11); a
// character is typed, pressed and released, when its last UTF-16 unit is pressed. Not
// thread-safe.
class PortalTranslator {
 public:
  void translate(std::span<const InputRecord> records, const PortalStream& stream,
                 const VirtualDesktop& desktop, std::vector<PortalCall>& out);

 private:
  void mouse(const InputRecord& r, const PortalStream& stream, const VirtualDesktop& desktop,
             std::vector<PortalCall>& out);
  void keyboard(const InputRecord& r, std::vector<PortalCall>& out);

  WheelAccumulator vertical_;
  WheelAccumulator horizontal_;
  TypedUnits typed_;
};

// The portal's answer to a request (the Response signal's first argument) in the host's
// words; empty for success (0).
std::string portal_refusal(uint32_t response);

inline constexpr const char* kPortalRefused =
    "Rechazaste el control remoto en la ventana de tu escritorio (o la cerraste sin "
    "elegir).";
inline constexpr const char* kPortalFailed =
    "Tu escritorio no pudo empezar el control remoto.";
inline constexpr const char* kPortalEnded = "Tu escritorio terminó el control remoto.";
inline constexpr const char* kPortalNoPointer =
    "Tu escritorio no dio acceso al ratón y al teclado.";

// The restore token a RemoteDesktop portal of version 2 or later gives once the person has
// agreed, so that the next session is not asked again. An opaque printable string of at
// most kMaxRestoreToken bytes; a file holding anything else counts as no token.
inline constexpr std::size_t kMaxRestoreToken = 512;
bool is_valid_restore_token(std::string_view token);
std::string read_restore_token(const std::filesystem::path& file);
// Replaces the file whole; an invalid token removes it.
bool write_restore_token(const std::filesystem::path& file, std::string_view token);
void forget_restore_token(const std::filesystem::path& file);

// Linux (input_sink_portal_linux.cpp). What the session bus's portal offers: the
// RemoteDesktop interface's version (0 when the portal or the interface is missing, or
// does not answer within `timeout`, which also bounds D-Bus activating it) and its
// AvailableDeviceTypes.
struct PortalOffer {
  uint32_t version = 0;
  uint32_t device_types = 0;
};
PortalOffer query_portal_remote_desktop(std::chrono::milliseconds timeout);
// The sink that controls the desktop through the portal once the person agrees.
std::unique_ptr<InputSink> make_portal_input_sink();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_PORTAL_INPUT_H_
