#include "money/Unicode.h"

#include <gtest/gtest.h>

#include <vector>

namespace zel {
namespace {

TEST(Unicode, DecodeUtf8ReplacesEachMalformedPart) {
    struct Row {
        const char* label;
        std::string utf8;
        std::u32string decoded;
    };
    const std::vector<Row> rows = {
        {"ascii", "abc", U"abc"},
        {"two bytes", "ñ", U"ñ"},
        {"three bytes", "€", U"€"},
        {"four bytes", "\xF0\x9F\x98\x80", U"\U0001F600"},
        {"embedded NUL", std::string("a\0b", 3), std::u32string(U"a\0b", 3)},
        {"stray continuation",
         "a\x80"
         "b",
         U"a\uFFFDb"},
        {"invalid lead", "\xFF\xFE", U"\uFFFD\uFFFD"},
        {"overlong two bytes", "\xC0\xAF", U"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\x80", U"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"highest", "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
        {"truncated at end", "a\xE2\x82", U"a\uFFFD"},
        {"truncated mid-text",
         "\xE2\x82"
         "A",
         U"\uFFFD"
         "A"},
        {"truncated four bytes",
         "\xF0\x9F\x98"
         "x",
         U"\uFFFDx"},
        {"empty", "", U""},
    };
    for (const Row& row : rows) EXPECT_EQ(DecodeUtf8(row.utf8), row.decoded) << row.label;
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
    }
}

}  // namespace
}  // namespace zel
