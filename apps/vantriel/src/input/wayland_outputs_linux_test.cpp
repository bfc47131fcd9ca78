#include "input/wayland_outputs_linux.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

AnnouncedOutput logical(const char* name, int x, int y, int w, int h) {
  AnnouncedOutput o;
  o.name = name;
  o.logical_x = x;
  o.logical_y = y;
  o.logical_w = w;
  o.logical_h = h;
  return o;
}

TEST(WaylandOutputsTest, MonitorsAreLogicalRectanglesAndTheOriginOneIsPrimary) {
  // A 4K panel at 150 % left of a plain 1080p one at the origin: xdg-output's logical
  // sizes win over the modes, whatever the core output says.
  AnnouncedOutput scaled = logical("eDP-1", -2560, 0, 2560, 1440);
  scaled.mode_w = 3840;
  scaled.mode_h = 2160;
  scaled.scale = 2;  // the core protocol's integer scale: not what the layout uses
  const auto both = monitors_of_outputs({scaled, logical("HDMI-A-1", 0, 0, 1920, 1080)});
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].name, "eDP-1");
  EXPECT_EQ(both[0].x, -2560);
  EXPECT_EQ(both[0].w, 2560);
  EXPECT_EQ(both[0].h, 1440);
  EXPECT_FALSE(both[0].primary);
  EXPECT_EQ(both[1].i, 1);
  EXPECT_TRUE(both[1].primary);
  const VirtualDesktop desk = bounding_desktop(both);
  EXPECT_EQ(desk.x, -2560);
  EXPECT_EQ(desk.w, 4480);
  EXPECT_EQ(desk.h, 1440);

  // Without xdg-output: the mode over the integer scale, turned a quarter; an output
  // with no mode yet is left out and the indexes stay dense; no output at the origin
  // makes the first one primary.
  AnnouncedOutput portrait;
  portrait.name = "DP-2";
  portrait.x = 100;
  portrait.mode_w = 2560;
  portrait.mode_h = 1440;
  portrait.scale = 2;
  portrait.quarter_turn = true;
  AnnouncedOutput empty;
  empty.name = "DP-3";
  const auto core = monitors_of_outputs({empty, portrait});
  ASSERT_EQ(core.size(), 1u);
  EXPECT_EQ(core[0].i, 0);
  EXPECT_EQ(core[0].x, 100);
  EXPECT_EQ(core[0].w, 720);
  EXPECT_EQ(core[0].h, 1280);
  EXPECT_TRUE(core[0].primary);

  EXPECT_TRUE(monitors_of_outputs({}).empty());
}

}  // namespace
}  // namespace vantriel
