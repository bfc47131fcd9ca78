#include "base/display_name.h"

#include <gtest/gtest.h>

#include "base/settings.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using DisplayNameTest = DataFolderTest;

TEST_F(DisplayNameTest, FallsBackAndIsCut) {
  ScopedEnv computer("COMPUTERNAME", "OFICINA-1");
  load_settings(data_);
  EXPECT_EQ(display_name(data_), "OFICINA-1");
  {
    ScopedEnv no_computer("COMPUTERNAME", std::nullopt);
    ScopedEnv host("HOSTNAME", "caja");
    EXPECT_EQ(display_name(data_), "caja");
  }
  ASSERT_TRUE(set_setting(data_, "general", "nombre", std::string(38, 'n') + "\xC3\xB1\xC3\xB1").ok());
  EXPECT_EQ(display_name(data_), std::string(32, 'n'));
  ASSERT_TRUE(set_setting(data_, "general", "nombre", std::string(31, 'n') + "\xC3\xB1\xC3\xB1").ok());
  EXPECT_EQ(display_name(data_), std::string(31, 'n') + "\xC3\xB1");
}

}  // namespace
}  // namespace vantriel
