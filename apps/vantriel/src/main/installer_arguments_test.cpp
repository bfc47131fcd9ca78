#include "main/installer_arguments.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(InstallerArguments, NeedTwoArgumentsAfterTheSwitch) {
  EXPECT_FALSE(parse_installer_arguments({"--apply-update", "a"}));
  EXPECT_FALSE(parse_installer_arguments({"a", "b", "--apply-update"}));
  auto in = parse_installer_arguments({"--apply-update", "a", "b"});
  ASSERT_TRUE(in);
  EXPECT_EQ(in->first, "a");
  EXPECT_EQ(in->second, "b");
  EXPECT_EQ(in->number, 0u);
  EXPECT_EQ(parse_installer_arguments({"--apply-update", "a", "b", "+12"})->number, 12u);
  EXPECT_EQ(parse_installer_arguments({"--apply-update", "a", "b", "x"})->number, 0u);
  EXPECT_EQ(parse_installer_arguments({"--apply-update", "a", "b", "4294967296"})->number, 0u);
  in = parse_installer_arguments({"--quiet", "--apply-update", "a", "b", "7", "--version", "0.1.2",
                                   "--from-version", "0.1.1", "--no-relaunch"});
  EXPECT_EQ(in->version, "0.1.2");
  EXPECT_EQ(in->from_version, "0.1.1");
  EXPECT_TRUE(in->quiet);
  EXPECT_TRUE(in->no_relaunch);
  // "--version" as the last argument has no value.
  EXPECT_EQ(parse_installer_arguments({"--apply-update", "a", "b", "--version"})->version,
            std::nullopt);
}

}  // namespace
}  // namespace vantriel
