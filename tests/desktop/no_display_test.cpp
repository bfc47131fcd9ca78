// Desktop control without an X display, and after the display goes away: no monitors,
// nothing injected, empty reads, failed writes; never a crash or a hang.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/json_body.h"
#include "input/clipboard.h"
#include "input/desktop.h"
#include "input/monitors.h"
#include "xvfb_server.h"

namespace vantriel {
namespace {

// The desktop the host would own, made on first use and shared by every test here.
Desktop& desktop() {
  static Desktop shared;
  return shared;
}

// A request body with these events for monitor 0, read as the server reads it.
InputBatch batch_of(const std::string& events_json) {
  return read_input_batch("{\"mon\":0,\"ev\":" + events_json + "}", kMaxBodyNesting);
}

void expect_no_desktop() {
  EXPECT_TRUE(desktop().monitors().empty());
  EXPECT_EQ(monitors_json(desktop().monitors()).dump(), "[]");
  EXPECT_EQ(desktop().virtual_desktop().w, 0);
  EXPECT_EQ(desktop().apply_input(batch_of(R"([{"k":"m","x":0,"y":0},{"k":"t","s":"x"},{"k":"rel"}])")),
            0);
  desktop().release_input();
  EXPECT_FALSE(desktop().read_clipboard().ok());  // a failure, not an empty clipboard
  EXPECT_FALSE(desktop().write_clipboard("x"));
}

// Runs with whatever DISPLAY CTest gives it: none, or one where no server listens.
TEST(NoDisplayTest, EverythingDegrades) { expect_no_desktop(); }

TEST(NoDisplayTest, TheServerGoingAwayIsSurvived) {
  const char* before = std::getenv("DISPLAY");
  const std::string saved = before != nullptr ? before : "";
  {
    testing::XvfbServer xvfb("800x600x24");
    ASSERT_FALSE(xvfb.display().empty());
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    ASSERT_EQ(desktop().monitors().size(), 1u);
    EXPECT_EQ(desktop().apply_input(batch_of(R"([{"k":"d","x":0.5,"y":0.5}])")), 1);
    ASSERT_TRUE(desktop().write_clipboard("antes"));
    EXPECT_EQ(desktop().read_clipboard().value_or("<failed>"), "antes");
    xvfb.stop();
    expect_no_desktop();
  }
  if (saved.empty()) {
    ::unsetenv("DISPLAY");
  } else {
    ::setenv("DISPLAY", saved.c_str(), 1);
  }
}

}  // namespace
}  // namespace vantriel
