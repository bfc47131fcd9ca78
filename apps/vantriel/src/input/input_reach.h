// Whether injected input can reach the person's desktop, decided from what the session
// offers. The platform part only gathers the facts (input_sink_*.cpp); the decision and
// its words are here, so that every platform says the same thing for the same facts.
#ifndef VANTRIEL_INPUT_INPUT_REACH_H_
#define VANTRIEL_INPUT_INPUT_REACH_H_

#include <string>

namespace vantriel {

// What a Linux session offers, as the host sees it at start.
struct SessionFacts {
  std::string session_type;      // XDG_SESSION_TYPE as given ("x11", "wayland", "tty", "")
  bool wayland_display = false;  // WAYLAND_DISPLAY is set
  bool x_display = false;        // DISPLAY is set
  bool x_reachable = false;      // an X connection to DISPLAY opened
};

struct InputReach {
  bool possible = false;
  std::string method;  // "xtest", "sendinput", "recording" or "" when not possible
  // Why not, in the host's words (Spanish, as every text it answers; the page shows it in
  // its own language); empty when possible.
  std::string why;
};

// The words of each refusal; the page knows each of them.
inline constexpr const char* kReachWayland =
    "Este escritorio usa Wayland: Vantriel todavía no puede mover el ratón ni escribir en él "
    "(solo en sesiones X11).";
inline constexpr const char* kReachNoDisplay =
    "No hay un escritorio gráfico al que llegar: Vantriel no se inició dentro de una sesión de "
    "escritorio.";
inline constexpr const char* kReachXUnreachable =
    "No se pudo abrir el escritorio X11 de esta sesión.";

// X11 sessions are reached through XTest. A Wayland session is not: through XWayland,
// XTest reaches only the X11 programs, not the desktop. A session that names no type is
// taken as Wayland when only WAYLAND_DISPLAY is set.
InputReach decide_input_reach(const SessionFacts& facts);

// The platform's own answer: Windows always reaches its desktop; Linux gathers the facts
// of this process's session and decides.
InputReach system_input_reach();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_REACH_H_
