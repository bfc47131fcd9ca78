#include "input/clipboard_reach.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

struct Case {
  const char* what;
  SessionFacts facts;
  const char* method;
  const char* why;
};

SessionFacts wayland(bool data_control, bool x_display, bool x_reachable) {
  SessionFacts f{"wayland", true, x_display, x_reachable};
  f.wlroots_data_control = data_control;
  return f;
}

TEST(ClipboardReachTest, EachSessionHasAClipboardOrSaysWhyNot) {
  SessionFacts x11_leftover = {"x11", true, true, true};
  x11_leftover.wlroots_data_control = true;  // a Wayland socket left in an X11 session
  SessionFacts no_socket = wayland(true, false, false);
  no_socket.wayland_display = false;
  const Case cases[] = {
      // X11 sessions: the CLIPBOARD selection, whatever Wayland left in the environment.
      {"an X11 session", {"x11", false, true, true}, "x11", ""},
      {"X11 with a data-control compositor's socket", x11_leftover, "x11", ""},
      {"a plain X server, no session type", {"", false, true, true}, "x11", ""},
      {"DISPLAY that no server answers", {"x11", false, true, false}, "", kReachXUnreachable},
      {"a text console", {"tty", false, false, false}, "", kClipboardNoDisplay},
      // Wayland sessions: data-control first, else XWayland's CLIPBOARD.
      {"sway or KDE", wayland(true, false, false), "wlroots", ""},
      {"sway with XWayland running", wayland(true, true, true), "wlroots", ""},
      {"GNOME with XWayland", wayland(false, true, true), "x11", ""},
      {"GNOME without XWayland", wayland(false, false, false), "", kClipboardWayland},
      {"XWayland named but not answering", wayland(false, true, false), "", kClipboardWayland},
      {"a Wayland type without a socket", no_socket, "", kClipboardWayland},
      {"a session named only by its Wayland socket", {"", true, false, false}, "",
       kClipboardWayland},
  };
  for (const Case& c : cases) {
    const ClipboardReach reach = decide_clipboard_reach(c.facts);
    EXPECT_EQ(reach.method, c.method) << c.what;
    EXPECT_EQ(reach.possible, !reach.method.empty()) << c.what;
    EXPECT_EQ(reach.why, c.why) << c.what;
  }
}

}  // namespace
}  // namespace vantriel
