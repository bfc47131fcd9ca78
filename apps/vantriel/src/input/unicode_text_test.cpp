#include "input/unicode_text.h"

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(UnicodeTextTest, RoundTripsAboveTheBasicPlane) {
  const std::string text = "año € 😀 \xF4\x8F\xBF\xBF";
  const std::u16string units = utf8_to_utf16(text);
  EXPECT_EQ(units, u"año € 😀 \U0010FFFF");
  EXPECT_EQ(utf16_to_utf8(units), text);
}

TEST(UnicodeTextTest, InvalidInputBecomesReplacementCharacters) {
  // Lone surrogates in UTF-16; a surrogate, an overlong form, a cut sequence in UTF-8.
  EXPECT_EQ(utf16_to_utf8(u"a\xD83D" u"b\xDE00"), "a\uFFFDb\uFFFD");
  EXPECT_EQ(decode_utf8("\xED\xA0\x80x\xC0\xAFy\xE2\x82"),
            U"\uFFFD\uFFFD\uFFFDx\uFFFD\uFFFDy\uFFFD");
  EXPECT_EQ(decode_utf8("abcdef", 3), U"abc");
}

TEST(UnicodeTextTest, PrefixByUnitsNeverSplitsAPair) {
  EXPECT_EQ(utf8_prefix_by_utf16_units("ab😀c", 3), "ab");
  EXPECT_EQ(utf8_prefix_by_utf16_units("ab😀c", 4), "ab😀");
  EXPECT_EQ(utf8_prefix_by_utf16_units("ab😀c", 100), "ab😀c");
  EXPECT_EQ(utf8_prefix_by_utf16_units("a\xFF", 100), "a\uFFFD");
}

}  // namespace
}  // namespace vantriel
