#include "main/elevation.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(ElevationParameters, QuotesEachArgumentAndAppendsNoElevate) {
  EXPECT_EQ(elevation_parameters({"--startup"}), "\"--startup\" \"--no-elevate\" ");
  EXPECT_EQ(elevation_parameters({}), "\"--no-elevate\" ");
  EXPECT_EQ(elevation_parameters({"--no-elevate", "a b"}), "\"a b\" \"--no-elevate\" ");
}

}  // namespace
}  // namespace vantriel
