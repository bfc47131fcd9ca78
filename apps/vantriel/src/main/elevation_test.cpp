#include "main/elevation.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(ElevationParameters, QuotesEachArgumentAndAppendsNoElevate) {
  EXPECT_EQ(elevation_parameters({"--startup"}), "\"--startup\" \"--no-elevate\" ");
  EXPECT_EQ(elevation_parameters({}), "\"--no-elevate\" ");
  EXPECT_EQ(elevation_parameters({"--no-elevate", "a b"}), "\"a b\" \"--no-elevate\" ");
  // The elevated process splits them back with CommandLineToArgvW: an inner quote and the
  // backslashes before a quote, a closing one included, must come back as they were.
  EXPECT_EQ(elevation_parameters({"say \"hi\"", "C:\\dir\\", "a\\\"b", "x\\y"}),
            "\"say \\\"hi\\\"\" \"C:\\dir\\\\\" \"a\\\\\\\"b\" \"x\\y\" \"--no-elevate\" ");
}

}  // namespace
}  // namespace vantriel
