#include "base/id_format.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(IdFormatTest, DisplayFormAndValidity) {
  EXPECT_EQ(format_id("123456789"), "123 456 789");
  EXPECT_EQ(format_id("12345"), "12345");
  EXPECT_TRUE(is_valid_id("100000000"));
  EXPECT_FALSE(is_valid_id("012345678"));
  EXPECT_FALSE(is_valid_id("12345678\xD9\xA1"));  // Arabic-Indic digit
}

}  // namespace
}  // namespace vantriel
