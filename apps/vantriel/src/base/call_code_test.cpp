#include "base/call_code.h"

#include <regex>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(CallCodeTest, CodesUseTheirAlphabetWithL) {
  const std::regex call("[ABCDEFGHJKLMNPQRSTUVWXYZ2-9]{6}");
  bool saw_l = false;
  for (int i = 0; i < 300; ++i) {
    const std::string code = new_call_code();
    ASSERT_TRUE(std::regex_match(code, call));
    saw_l = saw_l || code.find('L') != std::string::npos;
  }
  EXPECT_TRUE(saw_l);  // 1800 draws; missing L has probability below 1e-24
}

}  // namespace
}  // namespace vantriel
