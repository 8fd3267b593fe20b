#include "qo/text.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qo::text;

TEST(Utf, RoundTripsEveryPlane) {
    std::string s = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";   // a é 中 😀 z
    std::u16string u = fromUtf8(s);
    ASSERT_EQ(u.size(), 6u);
    EXPECT_EQ(u[0], u'a');
    EXPECT_EQ(u[1], 0xE9);
    EXPECT_EQ(u[2], 0x4E2D);
    EXPECT_EQ(u[3], 0xD83D);
    EXPECT_EQ(u[4], 0xDE00);
    EXPECT_EQ(toUtf8(u), s);
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(fromUtf8("\xC3"), std::u16string(1, 0xFFFD));            // truncated
    EXPECT_EQ(fromUtf8("\xC0\xAF"), std::u16string(2, 0xFFFD));        // overlong
    EXPECT_EQ(fromUtf8("\xED\xA0\x80").substr(0, 1), std::u16string(1, 0xFFFD));  // surrogate
    EXPECT_EQ(fromUtf8("\xFF" "a"), (std::u16string{0xFFFD, u'a'}));
    char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(toUtf8(lone), "x\xEF\xBF\xBDy");
}

TEST(Text, LengthCompareEqual) {
    EXPECT_EQ(length(nullptr), 0u);
    EXPECT_EQ(length(u"abc"), 3u);
    EXPECT_LT(compare(u"ab", u"abc"), 0);
    EXPECT_EQ(compare(u"abc", u"abc"), 0);
    EXPECT_TRUE(equal(u"ab", 2, u"abc", 2));
    EXPECT_FALSE(equal(u"ab", 2, u"abc", 3));
}

TEST(FormatReal, AddsPointZeroOnlyToIntegralTexts) {
    EXPECT_EQ(formatReal(8.0, 16), "8.0");
    EXPECT_EQ(formatReal(-3.0, 18), "-3.0");
    EXPECT_EQ(formatReal(3.5, 16), "3.5");
    EXPECT_EQ(formatReal(1e20, 16), "1e+20");
    EXPECT_EQ(formatReal(0.1, 16), "0.1");
    EXPECT_EQ(formatReal(0.1, 18), "0.100000000000000006");
    EXPECT_EQ(formatReal(1.0 / 0.0, 16), "inf");
    EXPECT_EQ(formatReal(-1.0 / 0.0, 16), "-inf");
    EXPECT_EQ(formatReal(std::nan(""), 16), "nan");
    EXPECT_EQ(formatReal(-std::nan(""), 16), "nan");
    EXPECT_EQ(formatReal(std::copysign(std::nan(""), -1.0), 18), "nan");
    EXPECT_EQ(formatReal(0.0, 16), "0.0");
}
