#include "main/command_line.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(CommandLine, SwitchesAreExactAndAnywhere) {
  auto cl = parse_command_line({"x", "--no-tray", "--startup", "--No-Window"});
  EXPECT_FALSE(cl.installer);
  EXPECT_TRUE(cl.no_tray);
  EXPECT_TRUE(cl.startup);
  EXPECT_FALSE(cl.no_window);
  EXPECT_FALSE(cl.print_version);
  cl = parse_command_line({"--apply-update", "a", "b", "--version", "1.0"});
  ASSERT_TRUE(cl.installer);
  EXPECT_EQ(cl.installer->version, "1.0");
}

TEST(FirstPort, AcceptsOnlyPlainDecimalsUpTo65535) {
  EXPECT_EQ(first_port(std::nullopt), 8800u);
  for (const char* bad : {"", "abc", "65536", " 8801", "8801 ", "-1", "+", "0x10"}) {
    EXPECT_EQ(first_port(std::string(bad)), 8800u) << bad;
  }
  EXPECT_EQ(first_port(std::string("+8801")), 8801u);
  EXPECT_EQ(first_port(std::string("65535")), 65535u);
  EXPECT_EQ(first_port(std::string("0")), 0u);
}

}  // namespace
}  // namespace vantriel
