#include "platform/wide_text.h"

#include <gtest/gtest.h>

namespace {

TEST(WideText, ConvertsToUtf8WithinTheByteLimit) {
    std::string han84;
    std::u16string wideHan84;
    for (int i = 0; i < 84; ++i) {
        han84 += "网";
        wideHan84 += u'网';
    }
    const struct {
        const char* name;
        std::u16string wide;
        std::optional<std::string> narrow;
    } cases[] = {
        {"ascii", u"eth0", "eth0"},
        {"empty", u"", ""},
        {"chinese", u"本地连接 2", "本地连接 2"},
        {"surrogate pair", u"a\U0001F600", "a\xF0\x9F\x98\x80"},
        {"lone high surrogate", std::u16string{u'a', char16_t(0xD800), u'b'},
         "a\xEF\xBF\xBD"
         "b"},
        {"lone low surrogate", std::u16string{char16_t(0xDC00)}, "\xEF\xBF\xBD"},
        {"254 bytes fit", std::u16string(254, u'a'), std::string(254, 'a')},
        {"255 bytes do not", std::u16string(255, u'a'), std::nullopt},
        {"252 bytes of three-byte characters fit", wideHan84, han84},
        {"a character crossing the limit fails", std::u16string(252, u'a') + u"网", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WideToNarrow(c.wide), c.narrow);
    }
    EXPECT_EQ(WideToNarrow(u"abc", 4), "abc");
    EXPECT_EQ(WideToNarrow(u"abc", 3), std::nullopt);
}

TEST(WideText, NarrowToWideRoundTripsAndReplacesBadBytes) {
    for (const char* text : {"", "lo", "本地连接", "a\xF0\x9F\x98\x80z"})
        EXPECT_EQ(WideToNarrow(NarrowToWide(text), 1000), text) << text;
    const struct {
        const char* name;
        std::string narrow;
        std::u16string wide;
    } bad[] = {
        {"stray continuation", "a\x80z", u"a\uFFFDz"},
        {"truncated sequence", "a\xE7\xBD", u"a\uFFFD\uFFFD"},
        {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NarrowToWide(c.narrow), c.wide);
    }
}

TEST(WideText, KeptLoneSurrogatesComeBackUnchanged) {
    const std::u16string texts[] = {
        {u'a', char16_t(0xD800), u'b'},
        {char16_t(0xDC00)},
        {char16_t(0xDBFF), char16_t(0xDBFF)},
        {char16_t(0xD800), u'x', char16_t(0xDC00)},
        u"名字=\U0001F600",
    };
    for (const std::u16string& wide : texts) {
        const std::optional<std::string> narrow =
            WideToNarrow(wide, std::string::npos, LoneSurrogates::Keep);
        ASSERT_TRUE(narrow.has_value());
        EXPECT_EQ(NarrowToWide(*narrow, LoneSurrogates::Keep), wide);
    }
    EXPECT_EQ(WideToNarrow(std::u16string{char16_t(0xD800)}, 10, LoneSurrogates::Keep),
              "\xED\xA0\x80");
    // Bytes that are no UTF-8 at all are still replaced.
    EXPECT_EQ(NarrowToWide("a\x80", LoneSurrogates::Keep), u"a\uFFFD");
}

} // namespace
