#include "base/access_code.h"

#include <regex>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(AccessCodeTest, CodesUseTheirAlphabet) {
  AccessCode access_code;
  const std::regex alphabet("[ABCDEFGHJKMNPQRSTUVWXYZ2-9]{6}");
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(std::regex_match(access_code.renew(), alphabet));
}

TEST(AccessCodeTest, CheckNormalisesWhatPeopleType) {
  AccessCode access_code;
  const std::string code = access_code.renew();
  EXPECT_EQ(access_code.current(), code);
  std::string typed;
  for (const char c : code) {
    typed += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    typed += "- \t\xE3\x80\x80";  // dash, blank, tab, ideographic space
  }
  EXPECT_TRUE(access_code.check(typed));
  EXPECT_TRUE(access_code.check("\n" + code + "\n"));
  EXPECT_FALSE(access_code.check(code.substr(1)));
  EXPECT_FALSE(access_code.check(code + "A"));
  EXPECT_FALSE(access_code.check(""));
  EXPECT_FALSE(access_code.check("\xFF" + code));
  const std::string next = access_code.renew();
  EXPECT_TRUE(access_code.check(next));
  EXPECT_EQ(access_code.check(code), next == code);
}

}  // namespace
}  // namespace vantriel
