#include "common/Text.h"

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(Text, Utf8) {
    const std::pair<const char*, bool> cases[] = {
        {"Piñón", true},         {"😀", true},
        {"\xC3", false},         {"\xC0\xAF", false},
        {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false},
        {"a\xE2\x82", false},    {"\xE2\x82\xAC", true}};
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(IsValidUtf8(text), valid) << text;
    }
}

TEST(Text, NamesBlanksAndQuotes) {
    EXPECT_TRUE(EqualsIgnoringCase("Pct", "pCT"));
    EXPECT_FALSE(EqualsIgnoringCase("PCT", "PCTS"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC3\x91", "\xC3\xB1"));  // only A-Z fold
    EXPECT_EQ(AsciiLower("Codigo,PRECIO1"), "codigo,precio1");
    EXPECT_EQ(Trim(" \t a b\t "), "a b");
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(Trim("\r\nx\r", "\r\n"), "x");
    EXPECT_EQ(Quoted("abc"), "\"abc\"");
    EXPECT_EQ(Quoted("abcdef", 3), "\"abc...\"");
    EXPECT_EQ(Printable("a\nb\x1b\x7f\xc3\xb1~"), "a?b??\xc3\xb1~");  // UTF-8 kept
}

}  // namespace
}  // namespace zel
