#include <gtest/gtest.h>

#include "output/text_case.h"
#include "output/utf8.h"

namespace shotsieve {
namespace {

TEST(Utf8, ValidityRejectsOverlongSurrogatesAndOutOfRange) {
  EXPECT_TRUE(isValidUtf8("ascii 截图 😀"));
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xE6\x88"));          // cut short
}

TEST(Utf8, LossyDecodingReplacesEachMaximalSubpart) {
  EXPECT_EQ(decodeUtf8Lossy("a\xFF" "b"), "a\uFFFD" "b");
  EXPECT_EQ(decodeUtf8Lossy("\xE6\x88" "x"), "\uFFFD" "x");  // one replacement for a truncated sequence
  EXPECT_EQ(decodeUtf8Lossy("\xC0\xAF"), "\uFFFD\uFFFD");
  EXPECT_EQ(decodeUtf8Lossy("截图"), "截图");
  EXPECT_TRUE(isValidUtf8(decodeUtf8Lossy(std::string("\x80\xBF\xF0\x9F\x98", 5))));
}

TEST(LowercaseFull, FollowsUnicodeNotOnlyAscii) {
  EXPECT_EQ(lowercaseFull("HEIC"), "heic");
  EXPECT_EQ(lowercaseFull("ÉTÉ"), "été");
  EXPECT_EQ(lowercaseFull("СНИМКИ"), "снимки");
  EXPECT_EQ(lowercaseFull("İ"), "i\u0307");
  EXPECT_EQ(lowercaseFull("ΟΔΟΣ"), "οδος");
  EXPECT_EQ(lowercaseFull("Σ"), "σ");
}

}  // namespace
}  // namespace shotsieve
