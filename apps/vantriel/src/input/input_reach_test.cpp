#include "input/input_reach.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

struct Case {
  const char* what;
  SessionFacts facts;
  bool possible;
  const char* why;
};

TEST(InputReachTest, EachSessionIsReachedOrSaysWhyNot) {
  const Case cases[] = {
      {"an X11 session", {"x11", false, true, true}, true, ""},
      {"X11 with a Wayland socket left in the environment", {"x11", true, true, true}, true, ""},
      {"no session type, DISPLAY only (a plain X server)", {"", false, true, true}, true, ""},
      {"a Wayland session with XWayland", {"wayland", true, true, true}, false, kReachWayland},
      {"a Wayland session named only by its socket", {"", true, false, false}, false, kReachWayland},
      {"a Wayland type without a socket", {"wayland", false, false, false}, false, kReachWayland},
      {"both sockets and no type: XTest is tried", {"", true, true, true}, true, ""},
      {"a text console", {"tty", false, false, false}, false, kReachNoDisplay},
      {"DISPLAY that no server answers", {"x11", false, true, false}, false, kReachXUnreachable},
  };
  for (const Case& c : cases) {
    const InputReach reach = decide_input_reach(c.facts);
    EXPECT_EQ(reach.possible, c.possible) << c.what;
    EXPECT_EQ(reach.why, c.why) << c.what;
    EXPECT_EQ(reach.method, c.possible ? "xtest" : "") << c.what;
  }
}

}  // namespace
}  // namespace vantriel
