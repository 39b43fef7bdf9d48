#include "money/Unicode.h"

#include <gtest/gtest.h>

#include <vector>

#include "money/CodePage.h"

namespace zel {
namespace {

TEST(Unicode, Utf8ToUtf16ReplacesEachMalformedPart) {
    struct Row {
        const char* label;
        std::string utf8;
        std::u16string utf16;
    };
    const std::vector<Row> rows = {
        {"ascii", "abc", u"abc"},
        {"two bytes", "ñ", u"ñ"},
        {"three bytes", "€", u"€"},
        {"four bytes", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"stray continuation",
         "a\x80"
         "b",
         u"a\uFFFDb"},
        {"invalid lead", "\xFF\xFE", u"\uFFFD\uFFFD"},
        {"overlong two bytes", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"highest", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"truncated at end", "a\xE2\x82", u"a\uFFFD"},
        {"truncated mid-text",
         "\xE2\x82"
         "A",
         u"\uFFFD"
         "A"},
        {"truncated four bytes",
         "\xF0\x9F\x98"
         "x",
         u"\uFFFDx"},
        {"empty", "", u""},
    };
    for (const Row& row : rows) EXPECT_EQ(Utf8ToUtf16(row.utf8), row.utf16) << row.label;
}

TEST(Unicode, Utf16ToUtf8HandlesLoneSurrogates) {
    struct Row {
        const char* label;
        std::u16string utf16;
        std::string utf8;
    };
    const std::vector<Row> rows = {
        {"plain", u"Año €", "Año €"},
        {"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {"high at end", u"a\xD83D", "a\uFFFD"},
        {"low alone",
         u"\xDE00"
         "a",
         "\uFFFD"
         "a"},
        {"reversed pair", u"\xDE00\xD83D", "\uFFFD\uFFFD"},
        {"high then letter",
         u"\xD83D"
         "a",
         "\uFFFD"
         "a"},
        {"two highs then low", u"\xD83D\xD83D\xDE00", "\uFFFD\xF0\x9F\x98\x80"},
        {"empty", u"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(Utf16ToUtf8(row.utf16), row.utf8) << row.label;
}

TEST(Unicode, EveryCodePointSurvivesBothWays) {
    for (char32_t c = 0; c <= 0x10FFFF; c += (c < 0x800 ? 1 : 37)) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        std::string utf8;
        AppendUtf8(c, utf8);
        const std::u32string decoded = DecodeUtf8(utf8);
        ASSERT_EQ(decoded.size(), 1u) << std::hex << unsigned(c);
        ASSERT_EQ(decoded[0], c) << std::hex << unsigned(c);
        ASSERT_EQ(Utf16ToUtf8(Utf8ToUtf16(utf8)), utf8) << std::hex << unsigned(c);
    }
}

}  // namespace
}  // namespace zel
