// Where the clipboard's text is read and written, decided from what the session offers,
// as input_reach.h decides for input. The platform part gathers the facts
// (clipboard_linux.cpp); the decision and its words are here.
#ifndef VANTRIEL_INPUT_CLIPBOARD_REACH_H_
#define VANTRIEL_INPUT_CLIPBOARD_REACH_H_

#include <string>

#include "input/input_reach.h"

namespace vantriel {

struct ClipboardReach {
  bool possible = false;
  // "x11" (the CLIPBOARD selection, XWayland's in a Wayland session), "wlroots" (the
  // compositor's wlr-data-control), "windows", or "" when not possible.
  std::string method;
  // Why not, in the host's words (Spanish; the page shows it in its own language); empty
  // when possible.
  std::string why;
};

// The words of each refusal; the page knows each of them. An X display that does not
// answer says kReachXUnreachable, as for input.
inline constexpr const char* kClipboardWayland =
    "Este escritorio Wayland no deja que otros programas usen el portapapeles: no ofrece el "
    "control de datos de wlroots (sway, KDE) ni XWayland.";
inline constexpr const char* kClipboardNoDisplay =
    "No hay un escritorio gr\xC3\xA1" "fico cuyo portapapeles usar: Vantriel no se inici\xC3\xB3 "
    "dentro de una sesi\xC3\xB3n de escritorio.";

// An X11 session's clipboard is its CLIPBOARD selection. A Wayland session's is the
// compositor's selection: through wlr-data-control where the compositor offers it (it
// reads and sets the selection of a seat without a focused window), else through
// XWayland's X11 CLIPBOARD, which XWayland's window manager bridges to the Wayland
// selection both ways (GNOME's mutter, which has no data-control); else none.
// `facts.x_reachable` says here that an X connection to DISPLAY opened (no extension is
// needed).
ClipboardReach decide_clipboard_reach(const SessionFacts& facts);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_CLIPBOARD_REACH_H_
