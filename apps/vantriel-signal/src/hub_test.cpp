#include "hub.h"

#include <gtest/gtest.h>

namespace vantriel::signal {
namespace {

TEST(JsonDepth, CountsNestingOutsideStrings) {
  EXPECT_EQ(json_depth(""), 0);
  EXPECT_EQ(json_depth(R"({"t":"ping"})"), 1);
  EXPECT_EQ(json_depth(R"({"a":[{"b":[]}]})"), 4);
  // Brackets inside strings, also after escaped quotes and backslashes, do not count.
  EXPECT_EQ(json_depth(R"({"s":"[[[{{{"})"), 1);
  EXPECT_EQ(json_depth(R"({"s":"\"[[[","u":"\\","v":[1]})"), 2);
  const std::string at_limit = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
  const std::string over = "[" + at_limit + "]";
  EXPECT_EQ(json_depth(at_limit), kMaxDepth);
  EXPECT_EQ(json_depth(over), kMaxDepth + 1);
  // Unbalanced text is still measured, never read past its end.
  EXPECT_EQ(json_depth("[[[\"\\"), 3);
}

}  // namespace
}  // namespace vantriel::signal
