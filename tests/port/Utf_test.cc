#include "port/Utf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using port::Utf16ToUtf8;
using port::Utf8ToUtf16;

TEST(Utf8ToUtf16Test, ConvertsAllPlanes) {
    bool bExact = false;
    // a, e-acute, euro sign, and U+1F3A5 (a surrogate pair).
    EXPECT_EQ(u"a\u00E9\u20AC\U0001F3A5",
              Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA5", &bExact));
    EXPECT_TRUE(bExact);
    EXPECT_EQ(u"", Utf8ToUtf16("", &bExact));
    EXPECT_TRUE(bExact);
    // A replacement character of the text's own is text like any other.
    EXPECT_EQ(u"\uFFFD", Utf8ToUtf16("\xEF\xBF\xBD", &bExact));
    EXPECT_TRUE(bExact);
}

TEST(Utf8ToUtf16Test, MendsMalformedTextAndSaysSo) {
    struct {
        const char* psz;
        const char16_t* pwszMended;
    } const rgCase[] = {
        {"\x80", u"\uFFFD"},              // stray continuation byte
        {"\xC3", u"\uFFFD"},              // truncated at the end
        {"\xE2\x82", u"\uFFFD"},          // truncated at the end
        {"\xC0\xAF", u"\uFFFD"},          // overlong '/'
        {"\xE0\x80\xAF", u"\uFFFD"},      // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD"},      // an encoded (unpaired) surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},  // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // no such lead byte
        {"a\xC3z", u"a\uFFFDz"},                                      // the next character survives
    };
    for (const auto& c : rgCase) {
        bool bExact = true;
        EXPECT_EQ(c.pwszMended, Utf8ToUtf16(c.psz, &bExact)) << testing::PrintToString(c.psz);
        EXPECT_FALSE(bExact) << testing::PrintToString(c.psz);
    }
}

TEST(Utf16ToUtf8Test, ConvertsEveryPlane) {
    bool bExact = false;
    EXPECT_EQ("", Utf16ToUtf8(u"", &bExact));
    EXPECT_TRUE(bExact);
    EXPECT_EQ("out.wmv", Utf16ToUtf8(u"out.wmv"));
    EXPECT_EQ("caf\xC3\xA9", Utf16ToUtf8(u"caf\u00E9"));
    EXPECT_EQ("\xE2\x82\xAC", Utf16ToUtf8(u"\u20AC"));
    EXPECT_EQ("\xF0\x9F\x8E\xA5", Utf16ToUtf8(u"\U0001F3A5", &bExact));
    EXPECT_TRUE(bExact);
}

TEST(Utf16ToUtf8Test, UnpairedSurrogatesBecomeTheReplacementCharacter) {
    bool bExact = true;
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(
        "a\xEF\xBF\xBD"
        "b\xEF\xBF\xBD",
        Utf16ToUtf8(lone, &bExact));
    EXPECT_FALSE(bExact);
    const char16_t trailingHigh[] = {u'a', 0xDBFF, 0};
    EXPECT_EQ("a\xEF\xBF\xBD", Utf16ToUtf8(trailingHigh));
    // And back: the mended text is valid and round-trips.
    EXPECT_EQ(u"a\uFFFDb\uFFFD", Utf8ToUtf16(Utf16ToUtf8(lone), &bExact));
    EXPECT_TRUE(bExact);
}

}  // namespace
