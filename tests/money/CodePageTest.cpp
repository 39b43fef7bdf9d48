#include "money/CodePage.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "money/Unicode.h"

namespace zel {
namespace {

struct CharacterCase {
    const char* label;
    std::u32string text;
    std::string windows1252;
    std::string cp850;
    std::string iso885915;
};

const std::vector<CharacterCase> CHARACTER_CASES = {
    {"a acute", U"á", "\xE1", "\xA0", "\xE1"},
    {"e acute", U"é", "\xE9", "\x82", "\xE9"},
    {"i acute", U"í", "\xED", "\xA1", "\xED"},
    {"o acute", U"ó", "\xF3", "\xA2", "\xF3"},
    {"u acute", U"ú", "\xFA", "\xA3", "\xFA"},
    {"n tilde", U"ñ", "\xF1", "\xA4", "\xF1"},
    {"N tilde", U"Ñ", "\xD1", "\xA5", "\xD1"},
    {"u diaeresis", U"ü", "\xFC", "\x81", "\xFC"},
    {"inverted question", U"¿", "\xBF", "\xA8", "\xBF"},
    {"inverted exclamation", U"¡", "\xA1", "\xAD", "\xA1"},
    {"euro", U"€", "\x80", "EUR", "\xA4"},
    {"narrow no-break space", U"\u202F", "\xA0", "\xFF", "\xA0"},
    {"o double acute, best fit", U"ő", "o", "o", "o"},
    {"CJK", U"中", "?", "?", "?"},
    {"emoji", U"\U0001F600", "?", "?", "?"},
    {"one ? each, then on", U"a中b\U0001F600c", "a?b?c", "a?b?c", "a?b?c"},
    {"controls pass", std::u32string(U"\0\x02\x03\x04\x0B\x0D\x1B\x7F", 8),
     std::string("\0\x02\x03\x04\x0B\x0D\x1B\x7F", 8),
     std::string("\0\x02\x03\x04\x0B\x0D\x1B\x7F", 8),
     std::string("\0\x02\x03\x04\x0B\x0D\x1B\x7F", 8)},
    {"empty", U"", "", "", ""},
    {"description", U"CAFÉ AÑEJO 1 kg ¡oferta!",
     "CAF\xC9 A\xD1"
     "EJO 1 kg \xA1oferta!",
     "CAF\x90 A\xA5"
     "EJO 1 kg \xADoferta!",
     "CAF\xC9 A\xD1"
     "EJO 1 kg \xA1oferta!"},
};

std::string ToUtf8Reference(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) AppendUtf8(c, out);
    return out;
}

void ExpectAllInputsGive(const CodePage& page, const CharacterCase& row, const std::string& bytes) {
    EXPECT_EQ(page.FromUtf32(row.text), bytes) << row.label << " from UTF-32 in " << page.Name();
    EXPECT_EQ(page.FromUtf8(ToUtf8Reference(row.text)), bytes)
        << row.label << " from UTF-8 in " << page.Name();
}

TEST(CodePage, CharactersBecomeTheirBytesInEachCodePage) {
    const CodePage windows1252("WINDOWS-1252");
    const CodePage cp850("CP850");
    const CodePage iso885915("ISO-8859-15");
    for (const CharacterCase& row : CHARACTER_CASES) {
        ExpectAllInputsGive(windows1252, row, row.windows1252);
        ExpectAllInputsGive(cp850, row, row.cp850);
        ExpectAllInputsGive(iso885915, row, row.iso885915);
    }
}

TEST(CodePage, MalformedInputBecomesQuestionMarks) {
    const CodePage page("WINDOWS-1252");
    EXPECT_EQ(page.FromUtf8("a\xFF"
                            "b"),
              "a?b");
    EXPECT_EQ(page.FromUtf8("a\xC3"), "a?");     // cut short at the end
    EXPECT_EQ(page.FromUtf8("\xC0\xAF"), "??");  // overlong slash
    EXPECT_EQ(page.FromUtf8("\xED\xA0\x80"
                            "x"),
              "???x");  // encoded surrogate
    EXPECT_EQ(page.FromUtf32(std::u32string{U'a', char32_t{0x110000}, U'b'}), "a?b");
    EXPECT_EQ(page.FromUtf32(std::u32string{char32_t{0xD800}}), "?");
}

TEST(CodePage, RefusesNamesThatAreNotSingleByteCodePages) {
    for (const char* name :
         {"", "NO-SUCH-CODE-PAGE", "UTF-8", "UTF-16", "UTF-16LE", "UTF-32", "UCS-2", "UTF-7",
          "SHIFT_JIS", "GB18030", "EUC-JP", "ISO-2022-JP", "CP850//IGNORE"}) {
        try {
            CodePage page(name);
            ADD_FAILURE() << name << " was accepted";
        } catch (const CodePageError& error) {
            EXPECT_NE(std::string(error.what()).find("\"" + std::string(name) + "\""),
                      std::string::npos)
                << error.what();
        }
    }
}

TEST(CodePage, AcceptsSingleByteCodePagesByAnyIconvName) {
    for (const char* name : {"CP1252", "windows-1252", "CP850", "ISO-8859-1", "ISO-8859-15",
                             "LATIN1", "CP437", "KOI8-R", "ASCII"}) {
        EXPECT_NO_THROW(CodePage page(name)) << name;
    }
}

TEST(CodePage, ToUtf8ShowsBytesForPeople) {
    struct Row {
        const char* codePage;
        std::string bytes;
        std::string utf8;
    };
    const std::vector<Row> rows = {
        {"WINDOWS-1252", "Precio \x80 1", "Precio € 1"},
        {"WINDOWS-1252", "\x81", "\uFFFD"},  // undefined in windows-1252
        {"WINDOWS-1252",
         "a\x8D\x90"
         "b",
         "a\uFFFD\uFFFDb"},
        {"WINDOWS-1252", std::string("\x02\0\x0B", 3), std::string("\x02\0\x0B", 3)},
        {"WINDOWS-1252", "", ""},
        {"CP850",
         "A\xA5"
         "O",
         "AÑO"},
        {"ISO-8859-15", "\xA4", "€"},
        // Many undefined bytes in a row: linear, not a doubling per byte.
        {"WINDOWS-1252", std::string(4096, '\x90'),
         [] {
             std::string s;
             for (int i = 0; i < 4096; ++i) s += "\uFFFD";
             return s;
         }()},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CodePage(row.codePage).ToUtf8(row.bytes), row.utf8) << row.codePage;
    }
}

TEST(CodePage, EveryDefinedByteSurvivesTheRoundTrip) {
    for (const char* name : {"WINDOWS-1252", "CP850", "ISO-8859-15"}) {
        const CodePage page(name);
        for (int value = 0; value < 256; ++value) {
            const std::string byte(1, static_cast<char>(value));
            const std::string shown = page.ToUtf8(byte);
            if (shown == "\uFFFD")
                continue;
            EXPECT_EQ(page.FromUtf8(shown), byte) << name << " byte " << value;
        }
    }
}

// Under the "C" locale glibc transliterates next to nothing; the conversion
// must not depend on the process or thread locale.
TEST(CodePage, TransliterationDoesNotDependOnTheProcessLocale) {
    const CodePage page("WINDOWS-1252");
    const std::string saved = setlocale(LC_ALL, nullptr);
    setlocale(LC_ALL, "C");
    locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    ASSERT_NE(cLocale, nullptr);
    const locale_t before = uselocale(cLocale);

    EXPECT_EQ(page.FromUtf32(U"1\u202F234"),
              "1\xA0"
              "234");
    EXPECT_EQ(page.FromUtf32(U"ő"), "o");
    EXPECT_EQ(uselocale(nullptr), cLocale) << "the thread's locale was not put back";

    uselocale(before);
    freelocale(cLocale);
    setlocale(LC_ALL, saved.c_str());
}

TEST(CodePage, CopiesAndThreadsShareOneConverterSafely) {
    std::string expected;
    std::vector<std::string> results(4);
    {
        const CodePage original("WINDOWS-1252");
        const CodePage copy = original;
        expected = copy.FromUtf8("ÑANDÚ €\u202F中");
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < results.size(); ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 2000; ++i) {
                    std::string got = (i % 2 == 0 ? original : copy).FromUtf8("ÑANDÚ €\u202F中");
                    if (got != expected) {
                        results[t] = got;
                        return;
                    }
                }
                results[t] = expected;
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    EXPECT_EQ(expected,
              "\xD1"
              "AND\xDA \x80\xA0?");
    for (const std::string& result : results) EXPECT_EQ(result, expected);
}

// The terminal code page is chosen once; a refused value leaves it unchosen.
TEST(CodePage, TerminalCodePageComesFromTheEnvironment) {
    setenv("ZEL_CODEPAGE", "UTF-8", 1);
    try {
        TerminalCodePage();
        ADD_FAILURE() << "UTF-8 was accepted as the terminal code page";
    } catch (const CodePageError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("ZEL_CODEPAGE"), std::string::npos) << message;
        EXPECT_NE(message.find("UTF-8"), std::string::npos) << message;
    }
    setenv("ZEL_CODEPAGE", "", 1);
    EXPECT_EQ(TerminalCodePage().Name(), "WINDOWS-1252");
    unsetenv("ZEL_CODEPAGE");
}

}  // namespace
}  // namespace zel
