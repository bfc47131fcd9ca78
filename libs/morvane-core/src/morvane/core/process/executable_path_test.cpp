#include "morvane/core/process/executable_path.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

TEST(ExecutablePathTest, NamesThisTestProgram) {
  const auto exe = executable_path();
  ASSERT_TRUE(exe.ok());
  EXPECT_EQ(exe->stem(), "morvane_core_test");
  EXPECT_TRUE(exe->is_absolute());
}

}  // namespace
}  // namespace morvane
