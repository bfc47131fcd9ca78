#include "morvane/core/text/utf8.h"

#include <gtest/gtest.h>

#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf16.h"

namespace morvane {
namespace {

TEST(Utf8Test, ValidityFollowsTheStrictDefinition) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("a\xC3\xB1o \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));       // U+FFFD itself
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));   // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("abc\xE2\x82"));       // cut at the end
  EXPECT_FALSE(is_valid_utf8("\x80"));
  EXPECT_FALSE(is_valid_utf8("\xFF"));
}

TEST(Utf8Test, SanitizeReplacesEachMaximalBadPart) {
  EXPECT_EQ(sanitize_utf8("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(sanitize_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(sanitize_utf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_TRUE(is_valid_utf8(sanitize_utf8("\xFF\xFE\xED\xA0\x80x")));
}

TEST(Utf8Test, DecodingReadsEachMaximalBadPartAsOneReplacement) {
  // A surrogate, an overlong form, a cut sequence.
  EXPECT_EQ(decode_utf8("\xED\xA0\x80x\xC0\xAFy\xE2\x82"),
            U"\uFFFD\uFFFD\uFFFDx\uFFFD\uFFFDy\uFFFD");
  EXPECT_EQ(decode_utf8("abcdef", 3), U"abc");
}

TEST(Utf8Test, PrefixAndLengthCountCharactersNotBytes) {
  EXPECT_EQ(utf8_length("a\xC3\xB1\xF0\x9F\x98\x80"), 3u);
  EXPECT_EQ(utf8_prefix("\xC3\xB1\xC3\xB1\xC3\xB1", 2), "\xC3\xB1\xC3\xB1");
  EXPECT_EQ(utf8_prefix("ab", 5), "ab");
  EXPECT_EQ(utf8_prefix("ab", 0), "");
}

TEST(Utf8Test, TrimRemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_unicode(" \t\r\n x y \xC2\xA0\xE3\x80\x80"), "x y");  // NBSP, ideographic
  EXPECT_EQ(trim_unicode("\xE2\x80\x83"), "");                         // em space
  EXPECT_EQ(trim_unicode("\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");           // BOM is not space
}

TEST(Utf8Test, AsciiCaseLeavesOtherBytesAlone) {
  EXPECT_EQ(ascii_lower("AbC\xC3\x91"), "abc\xC3\x91");
}

TEST(Utf16Test, RoundTripsAboveTheBasicPlane) {
  const std::string text = "año € 😀 \xF4\x8F\xBF\xBF";
  const std::u16string units = utf8_to_utf16(text);
  EXPECT_EQ(units, u"año € 😀 \U0010FFFF");
  EXPECT_EQ(utf16_to_utf8(units), text);
}

TEST(Utf16Test, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16_to_utf8(u"a\xD83D"
                          u"b\xDE00"),
            "a\uFFFDb\uFFFD");
}

TEST(Utf16Test, PrefixByUnitsNeverSplitsAPair) {
  EXPECT_EQ(utf8_prefix_by_utf16_units("ab😀c", 3), "ab");
  EXPECT_EQ(utf8_prefix_by_utf16_units("ab😀c", 4), "ab😀");
  EXPECT_EQ(utf8_prefix_by_utf16_units("ab😀c", 100), "ab😀c");
  EXPECT_EQ(utf8_prefix_by_utf16_units("a\xFF", 100), "a\uFFFD");
}

}  // namespace
}  // namespace morvane
