#include "winformat/text.h"

#include <gtest/gtest.h>

namespace telvo::winformat {
namespace {

TEST(Text, RoundTripsEveryPlane) {
    const std::string text = "C:\\Wörk\\日本\\\xF0\x9F\x98\x80";
    auto wide = Utf8ToUtf16(text);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, u"C:\\Wörk\\日本\\\U0001F600");
    auto back = Utf16ToUtf8(*wide);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, text);
}

TEST(Text, RefusesIllFormedUtf8) {
    for (std::string_view bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                  "\xE6\x97", "abc\xFF"}) {
        auto result = Utf8ToUtf16(bad);
        ASSERT_FALSE(result) << std::string(bad);
        EXPECT_EQ(result.error().Display(), "text is not valid UTF-8");
    }
}

TEST(Text, RefusesUnpairedSurrogates) {
    for (const std::u16string& bad : {std::u16string{0xD800}, std::u16string{u'a', 0xDC00},
                                     std::u16string{0xD800, u'x'}}) {
        auto result = Utf16ToUtf8(bad);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().Display(), "text contains an unpaired UTF-16 surrogate");
    }
}

TEST(Text, DisplaysUnpairedSurrogatesAsEscapes) {
    EXPECT_EQ(Utf16ToDisplay(std::u16string{u'a', 0xD800, u'b', 0xDC01}), "a<U+D800>b<U+DC01>");
    EXPECT_EQ(Utf16ToDisplay(u"C:\\\u00e9\U0001F600"), "C:\\\xC3\xA9\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace telvo::winformat
