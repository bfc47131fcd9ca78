#include "base/access_code.h"

#include <regex>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(AccessCodeTest, CodesUseTheirAlphabet) {
  AccessCode access_code;
  const std::regex clave("[ABCDEFGHJKMNPQRSTUVWXYZ2-9]{6}");
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(std::regex_match(access_code.renew(), clave));
}

TEST(AccessCodeTest, CheckNormalisesWhatPeopleType) {
  AccessCode access_code;
  const std::string clave = access_code.renew();
  EXPECT_EQ(access_code.current(), clave);
  std::string typed;
  for (const char c : clave) {
    typed += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    typed += "- \t\xE3\x80\x80";  // dash, blank, tab, ideographic space
  }
  EXPECT_TRUE(access_code.check(typed));
  EXPECT_TRUE(access_code.check("\n" + clave + "\n"));
  EXPECT_FALSE(access_code.check(clave.substr(1)));
  EXPECT_FALSE(access_code.check(clave + "A"));
  EXPECT_FALSE(access_code.check(""));
  EXPECT_FALSE(access_code.check("\xFF" + clave));
  const std::string next = access_code.renew();
  EXPECT_TRUE(access_code.check(next));
  EXPECT_EQ(access_code.check(clave), next == clave);
}

}  // namespace
}  // namespace vantriel
