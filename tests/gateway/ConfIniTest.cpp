// The initialisation-file reader.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "gateway/ConfIni.h"

namespace {

using std::nullopt;

TEST(ConfIni, Lookup) {
    const std::string longValue(3000, 'a');
    std::string longUtf8;
    for (int i = 0; i < 3000; ++i) {
        longUtf8 += "\xC3\xA9";  // é
    }
    const struct {
        const char* what;
        std::string text;
        const char* section;
        const char* key;
        std::optional<std::string> value;
    } rows[] = {
        {"plain", "[A]\nk=v\n", "A", "k", "v"},
        {"no such section", "[A]\nk=v\n", "B", "k", nullopt},
        {"no such key", "[A]\nk=v\n", "A", "j", nullopt},
        {"empty text", "", "A", "k", nullopt},
        {"empty value", "[A]\nk=\n", "A", "k", ""},
        {"names ignore case", "[gEnErAl]\nPrecio=3\n", "GENERAL", "PRECIO", "3"},
        {"blanks around", "[A]\n  k \t=  v w \t\n", "A", "k", "v w"},
        {"double quotes", "[A]\nk= \"  v  \" \n", "A", "k", "  v  "},
        {"single quotes", "[A]\nk='v'\n", "A", "k", "v"},
        {"one pair only", "[A]\nk=\"\"v\"\"\n", "A", "k", "\"v\""},
        {"unbalanced quote kept", "[A]\nk=\"v\n", "A", "k", "\"v"},
        {"mixed quotes kept", "[A]\nk=\"v'\n", "A", "k", "\"v'"},
        {"lone quote kept", "[A]\nk=\"\n", "A", "k", "\""},
        {"empty quotes", "[A]\nk=''\n", "A", "k", ""},
        {"equals in value", "[A]\nk=a=b\n", "A", "k", "a=b"},
        {"semicolon inside a value", "[A]\nk=a ; b\n", "A", "k", "a ; b"},
        {"comment", "[A]\n;k=1\nk=2\n", "A", "k", "2"},
        {"indented comment", "[A]\n  ;k=1\n", "A", "k", nullopt},
        {"line without equals", "[A]\nk\n", "A", "k", nullopt},
        {"key before any section", "k=1\n[A]\n", "A", "k", nullopt},
        {"blanks in brackets", "[ A ]\nk=v\n", "A", "k", "v"},
        {"text after brackets", "[A] x\nk=v\n", "A", "k", "v"},
        {"first key wins", "[A]\nk=1\nK=2\n", "A", "k", "1"},
        {"first section wins", "[A]\nk=1\n[a]\nk=2\nj=3\n", "A", "k", "1"},
        {"later section not read", "[A]\nk=1\n[a]\nj=3\n", "A", "j", nullopt},
        {"section after repeat", "[A]\n[a]\n[B]\nk=4\n", "B", "k", "4"},
        {"CRLF", "[A]\r\nk=v\r\nj=w\r\n", "A", "k", "v"},
        {"no final newline", "[A]\nk=v", "A", "k", "v"},
        {"BOM", "\xEF\xBB\xBF[A]\nk=v\n", "A", "k", "v"},
        {"cut to 2047 bytes", "[A]\nk=" + longValue + "\n", "A", "k", longValue.substr(0, 2047)},
        {"cut to 2047 characters in UTF-8", "[A]\nk=" + longUtf8 + "\n", "A", "k",
         longUtf8.substr(0, 2 * 2047)},
        {"cut after unquoting", "[A]\nk=\"" + longValue + "\"\n", "A", "k",
         longValue.substr(0, 2047)},
    };
    for (const auto& r : rows) {
        const zel::ConfIni ini(r.text);
        EXPECT_EQ(ini.Find(r.section, r.key), r.value) << r.what;
    }
}

TEST(ConfIni, ReadGivesDefaultOnlyWhenMissing) {
    const zel::ConfIni ini("[A]\nempty=\n");
    EXPECT_EQ(ini.Read("A", "empty", "d"), "");
    EXPECT_EQ(ini.Read("A", "missing", "d"), "d");
    EXPECT_EQ(ini.Read("B", "empty", "d"), "d");
}

TEST(ConfIni, Utf8Detection) {
    const struct {
        const char* what;
        std::string text;
        bool utf8;
    } rows[] = {
        {"empty", "", true},
        {"ASCII", "[A]\nk=v", true},
        {"two bytes", "\xC3\xA9", true},
        {"three bytes", "\xE2\x82\xAC", true},
        {"four bytes", "\xF0\x9F\x98\x80", true},
        {"BOM then ASCII", "\xEF\xBB\xBFk", true},
        {"code page byte", "caf\xE9", false},
        {"stray continuation", "\x80", false},
        {"overlong two bytes", "\xC0\x80", false},
        {"overlong three bytes", "\xE0\x80\x80", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"truncated at the end", "\xE2\x82", false},
        {"bad continuation", "\xE2\x28\xA1", false},
        {"F5 lead", "\xF5\x80\x80\x80", false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(zel::ConfIni(r.text).IsUtf8(), r.utf8) << r.what;
    }
}

}  // namespace
