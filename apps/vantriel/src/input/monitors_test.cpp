#include "input/monitors.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(MonitorsTest, JsonKeepsOrderAndMembers) {
  const std::vector<MonitorInfo> monitors = {{0, 0, 0, 1920, 1080, true, "DISPLAY1"},
                                             {1, -1280, 56, 1280, 1024, false, "DISPLAY2"}};
  EXPECT_EQ(monitors_json(monitors).dump(),
            R"([{"i":0,"x":0,"y":0,"w":1920,"h":1080,"primary":true,"name":"DISPLAY1"},)"
            R"({"i":1,"x":-1280,"y":56,"w":1280,"h":1024,"primary":false,"name":"DISPLAY2"}])");
  EXPECT_EQ(monitors_json({}).dump(), "[]");
}

TEST(MonitorsTest, ParsedListsAndTheirBoundingDesktop) {
  const auto list = parse_monitor_list(
      R"([{"x":0,"y":0,"w":1920,"h":1080,"primary":true,"name":"A"},
          {"x":-1280,"y":-200,"w":1280,"h":1024}])");
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[1].i, 1);
  EXPECT_EQ((*list)[1].x, -1280);
  EXPECT_FALSE((*list)[1].primary);
  const VirtualDesktop desk = bounding_desktop(*list);
  EXPECT_EQ(desk.x, -1280);
  EXPECT_EQ(desk.y, -200);
  EXPECT_EQ(desk.w, 3200);
  EXPECT_EQ(desk.h, 1280);

  EXPECT_TRUE(parse_monitor_list("[]").has_value());
  for (const char* bad : {"", "{}", "[1]", R"([{"x":0,"y":0,"w":0,"h":10}])",
                          R"([{"x":0,"y":0,"w":10}])", R"([{"x":0.5,"y":0,"w":10,"h":10}])",
                          R"([{"x":0,"y":0,"w":10,"h":99999999999}])"}) {
    EXPECT_FALSE(parse_monitor_list(bad).has_value()) << bad;
  }
}

// Keys, text and the wheel reuse a recent layout; a batch that places the pointer, or one
// after the layout aged, reads it again and sees a change (here the display going away).
TEST(MonitorsTest, KeptLayoutIsReadAgainForPositionsAndOnceItAges) {
  KeptLayout kept;
  int reads = 0;
  std::vector<MonitorInfo> system = {{0, 0, 0, 1280, 800, true, "screen"}};
  const auto read = [&] {
    ++reads;
    return KeptLayout::Layout{system, bounding_desktop(system)};
  };
  const auto t0 = KeptLayout::Clock::time_point() + std::chrono::hours(1);
  EXPECT_EQ(kept.get(false, t0, read).monitors.size(), 1u);  // nothing kept yet
  EXPECT_EQ(kept.get(false, t0 + std::chrono::milliseconds(500), read).desktop.w, 1280);
  EXPECT_EQ(reads, 1);

  system.clear();
  EXPECT_TRUE(kept.get(true, t0 + std::chrono::milliseconds(600), read).monitors.empty());
  EXPECT_EQ(reads, 2);
  system = {{0, 0, 0, 1920, 1080, true, "screen"}};
  EXPECT_TRUE(kept.get(false, t0 + std::chrono::milliseconds(700), read).monitors.empty());
  EXPECT_EQ(kept.get(false, t0 + std::chrono::milliseconds(600) + KeptLayout::kKeptFor, read)
                .desktop.w,
            1920);
  EXPECT_EQ(reads, 3);
}

}  // namespace
}  // namespace vantriel
