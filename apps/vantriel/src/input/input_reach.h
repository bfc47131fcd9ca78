// Whether injected input can reach the person's desktop, decided from what the session
// offers. The platform part only gathers the facts (input_sink_*.cpp); the decision and
// its words are here, so that every platform says the same thing for the same facts.
#ifndef VANTRIEL_INPUT_INPUT_REACH_H_
#define VANTRIEL_INPUT_INPUT_REACH_H_

#include <cstdint>
#include <string>

namespace vantriel {

// What a Linux session offers, as the host sees it at start.
struct SessionFacts {
  std::string session_type;      // XDG_SESSION_TYPE as given ("x11", "wayland", "tty", "")
  bool wayland_display = false;  // WAYLAND_DISPLAY is set
  bool x_display = false;        // DISPLAY is set
  bool x_reachable = false;      // an X connection to DISPLAY opened
  // The Wayland compositor offers virtual pointers and keyboards to clients
  // (zwlr_virtual_pointer_manager_v1 and zwp_virtual_keyboard_manager_v1: sway and the
  // other wlroots compositors).
  bool wlroots_virtual_input = false;
  // The desktop portal's RemoteDesktop interface: its version (0 when the portal or the
  // interface is missing) and the device types its backend offers (1 keyboard, 2 pointer).
  uint32_t portal_remote_desktop = 0;
  uint32_t portal_device_types = 0;
  // The compositor lets clients read and set the selection (zwlr_data_control_manager_v1:
  // sway and the other wlroots compositors, KDE's KWin).
  bool wlroots_data_control = false;
};

// RemoteDesktop device types.
inline constexpr uint32_t kPortalKeyboard = 1;
inline constexpr uint32_t kPortalPointer = 2;

struct InputReach {
  bool possible = false;
  // "xtest", "sendinput", "wlroots" (virtual pointer and keyboard), "portal" (the desktop
  // portal's RemoteDesktop, which asks the person first), "recording", or "" when not
  // possible.
  std::string method;
  // Why not, in the host's words (Spanish, as every text it answers; the page shows it in
  // its own language); empty when possible.
  std::string why;
};

// Whether the sink for `reach` injects a batch as soon as it is handed over (XTest, SendInput,
// the recording sink), so that a short one may be applied on the loopback server's I/O
// thread; the portal and wlroots ones wait on a compositor and stay on the workers.
inline bool injects_at_once(const InputReach& reach) {
  return reach.method == "xtest" || reach.method == "sendinput" || reach.method == "recording";
}

// The words of each refusal; the page knows each of them.
inline constexpr const char* kReachWayland =
    "Este escritorio Wayland no deja que otros programas muevan el ratón ni escriban: no ofrece "
    "el portal de escritorio remoto (GNOME, KDE) ni la entrada virtual de wlroots (sway).";
inline constexpr const char* kReachNoDisplay =
    "No hay un escritorio gráfico al que llegar: Vantriel no se inició dentro de una sesión de "
    "escritorio.";
inline constexpr const char* kReachXUnreachable =
    "No se pudo abrir el escritorio X11 de esta sesión.";

// Whether the session is a Wayland one: XDG_SESSION_TYPE says so, or names no type while
// only WAYLAND_DISPLAY is set.
bool is_wayland_session(const SessionFacts& facts);

// The facts the environment gives (type and sockets; nothing is connected to).
SessionFacts session_facts_from_environment();

// X11 sessions are reached through XTest. A Wayland session is not: through XWayland,
// XTest reaches only the X11 programs, not the desktop. A Wayland session is reached
// through the compositor's virtual input where it offers it (no question to the person),
// else through the portal's RemoteDesktop with a pointer and a keyboard (some portals
// advertise RemoteDesktop where their backend cannot work, as GNOME's under sway: the
// compositor's own offer comes first). A session that names no type is taken as Wayland
// when only WAYLAND_DISPLAY is set.
InputReach decide_input_reach(const SessionFacts& facts);

// The platform's own answer: Windows always reaches its desktop; Linux gathers the facts
// of this process's session and decides.
InputReach system_input_reach();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_REACH_H_
