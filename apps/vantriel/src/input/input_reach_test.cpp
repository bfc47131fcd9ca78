#include "input/input_reach.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

struct Case {
  const char* what;
  SessionFacts facts;
  const char* method;
  const char* why;
};

TEST(InputReachTest, EachSessionIsReachedOrSaysWhyNot) {
  const Case cases[] = {
      {"an X11 session", {"x11", false, true, true}, "xtest", ""},
      {"X11 with a Wayland socket left in the environment", {"x11", true, true, true}, "xtest", ""},
      {"no session type, DISPLAY only (a plain X server)", {"", false, true, true}, "xtest", ""},
      {"Wayland offering nothing, XWayland running", {"wayland", true, true, true}, "", kReachWayland},
      {"a Wayland session named only by its socket", {"", true, false, false}, "", kReachWayland},
      {"a Wayland type without a socket", {"wayland", false, false, false}, "", kReachWayland},
      {"both sockets and no type: XTest is tried", {"", true, true, true}, "xtest", ""},
      {"a text console", {"tty", false, false, false}, "", kReachNoDisplay},
      {"DISPLAY that no server answers", {"x11", false, true, false}, "", kReachXUnreachable},
      {"sway", {"wayland", true, true, true, true}, "wlroots", ""},
      {"sway whose portal also advertises RemoteDesktop",
       {"wayland", true, true, true, true, 1, kPortalKeyboard | kPortalPointer}, "wlroots", ""},
      {"GNOME or KDE", {"wayland", true, false, false, false, 2, 7}, "portal", ""},
      {"a portal offering only the keyboard",
       {"wayland", true, false, false, false, 1, kPortalKeyboard}, "", kReachWayland},
      {"virtual input of a compositor the session does not use", {"x11", false, true, true, true},
       "xtest", ""},
      {"a portal, but no Wayland socket to reach", {"wayland", false, false, false, false, 1, 3},
       "", kReachWayland},
  };
  for (const Case& c : cases) {
    const InputReach reach = decide_input_reach(c.facts);
    EXPECT_EQ(reach.method, c.method) << c.what;
    EXPECT_EQ(reach.possible, !reach.method.empty()) << c.what;
    EXPECT_EQ(reach.why, c.why) << c.what;
  }
}

}  // namespace
}  // namespace vantriel
