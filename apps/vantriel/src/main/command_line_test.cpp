#include "main/command_line.h"

#include <gtest/gtest.h>

#include "main/app_version.h"
#include "host/host.h"

namespace vantriel {
namespace {

TEST(CommandLine, InstallerNeedsTwoArgumentsAfterTheSwitch) {
  EXPECT_FALSE(parse_command_line({"--apply-update", "a"}).installer);
  auto cl = parse_command_line({"--apply-update", "a", "b"});
  ASSERT_TRUE(cl.installer);
  EXPECT_EQ(cl.installer->first, "a");
  EXPECT_EQ(cl.installer->second, "b");
  EXPECT_EQ(cl.installer->number, 0u);
  EXPECT_EQ(parse_command_line({"--apply-update", "a", "b", "+12"}).installer->number, 12u);
  EXPECT_EQ(parse_command_line({"--apply-update", "a", "b", "x"}).installer->number, 0u);
  EXPECT_EQ(parse_command_line({"--apply-update", "a", "b", "4294967296"}).installer->number, 0u);
  cl = parse_command_line({"--quiet", "--apply-update", "a", "b", "7", "--version", "0.1.2",
                           "--from-version", "0.1.1", "--no-relaunch"});
  EXPECT_EQ(cl.installer->version, "0.1.2");
  EXPECT_EQ(cl.installer->from_version, "0.1.1");
  EXPECT_TRUE(cl.installer->quiet);
  EXPECT_TRUE(cl.installer->no_relaunch);
  // "--version" as the last argument has no value.
  EXPECT_EQ(parse_command_line({"--apply-update", "a", "b", "--version"}).installer->version,
            std::nullopt);
}

TEST(CommandLine, SwitchesAreExactAndAnywhere) {
  auto cl = parse_command_line({"x", "--no-tray", "--startup", "--No-Window"});
  EXPECT_TRUE(cl.no_tray);
  EXPECT_TRUE(cl.startup);
  EXPECT_FALSE(cl.no_window);
  EXPECT_FALSE(cl.print_version);
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

TEST(ElevationParameters, QuotesEachArgumentAndAppendsNoElevate) {
  EXPECT_EQ(elevation_parameters({"--startup"}), "\"--startup\" \"--no-elevate\" ");
  EXPECT_EQ(elevation_parameters({}), "\"--no-elevate\" ");
  EXPECT_EQ(elevation_parameters({"--no-elevate", "a b"}), "\"a b\" \"--no-elevate\" ");
}

TEST(BuildPage, FillsEveryPlaceholder) {
  EXPECT_EQ(build_page("__TOKEN__|__VERSION__|__TOKEN__", "t0k"),
            std::string("t0k|") + kAppVersion + "|t0k");
  // A token that itself looked like a placeholder is not expanded again.
  EXPECT_EQ(build_page("__TOKEN__", "__TOKEN__"), "__TOKEN__");
}

}  // namespace
}  // namespace vantriel
