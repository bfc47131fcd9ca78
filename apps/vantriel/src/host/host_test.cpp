#include "host/host.h"

#include <gtest/gtest.h>

#include "main/app_version.h"

namespace vantriel {
namespace {

TEST(BuildPage, FillsEveryPlaceholder) {
  EXPECT_EQ(build_page("__TOKEN__|__VERSION__|__TOKEN__", "t0k"),
            std::string("t0k|") + kAppVersion + "|t0k");
  // A token that itself looked like a placeholder is not expanded again.
  EXPECT_EQ(build_page("__TOKEN__", "__TOKEN__"), "__TOKEN__");
}

}  // namespace
}  // namespace vantriel
