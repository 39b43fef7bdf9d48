#include "money/MoneySettings.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <climits>
#include <string>
#include <vector>

#include "money/CodePage.h"
#include "money/FormatMoney.h"

namespace zel {
namespace {

constexpr char UNSET = CHAR_MAX;

TEST(MoneySettings, LayoutsFromLocaleItems) {
    struct Row {
        const char* label;
        int signPosn, nCsPrecedes, nSepBySpace, pCsPrecedes, pSepBySpace;
        std::uint8_t positive, negative;
    };
    const std::vector<Row> rows = {
        // The locales of the shops, as glibc describes them.
        {"en_US", 1, 1, 0, 1, 0, 0, 1},
        {"es_ES / de_DE", 1, 0, 1, 0, 1, 3, 8},
        {"es_MX", 1, 1, 1, 1, 1, 2, 9},
        // Every sign position, symbol after and first, with and without space.
        {"brackets", 0, 0, 0, 0, 0, 1, 4},
        {"brackets, space", 0, 0, 1, 0, 1, 3, 15},
        {"brackets, first", 0, 1, 0, 1, 0, 0, 0},
        {"brackets, first, space", 0, 1, 1, 1, 1, 2, 14},
        {"sign first", 1, 0, 0, 0, 0, 1, 5},
        {"sign last", 2, 0, 0, 0, 0, 1, 7},
        {"sign last, space", 2, 0, 1, 0, 1, 3, 10},
        {"sign last, first", 2, 1, 0, 1, 0, 0, 3},
        {"sign last, first, space", 2, 1, 1, 1, 1, 2, 11},
        {"sign before symbol", 3, 0, 0, 0, 0, 1, 6},
        {"sign before symbol, space", 3, 0, 1, 0, 1, 3, 13},
        {"sign before symbol, first", 3, 1, 0, 1, 0, 0, 1},
        {"sign before symbol, first, space", 3, 1, 1, 1, 1, 2, 9},
        {"sign after symbol", 4, 0, 0, 0, 0, 1, 7},
        {"sign after symbol, space", 4, 0, 1, 0, 1, 3, 10},
        {"sign after symbol, first", 4, 1, 0, 1, 0, 0, 2},
        {"sign after symbol, first, space", 4, 1, 1, 1, 1, 2, 12},
        {"space next to the sign counts as space", 1, 1, 2, 1, 2, 2, 9},
        // Unset or impossible items give the defaults.
        {"all unset", UNSET, UNSET, UNSET, UNSET, UNSET, 0, 0},
        {"sign position unset", UNSET, 0, 1, 0, 1, 3, 0},
        {"symbol place unset", 1, UNSET, 1, UNSET, 1, 0, 0},
        {"space unset", 1, 0, UNSET, 0, UNSET, 0, 0},
        {"sign position 5", 5, 0, 1, 0, 1, 3, 0},
        {"negative items", -1, -1, -1, -1, -1, 0, 0},
        {"precedes 2", 1, 2, 0, 2, 0, 0, 0},
        {"space 3", 1, 0, 3, 0, 3, 0, 0},
    };
    // The items arrive as plain char, whatever its signedness.
    const auto item = [](int value) { return static_cast<char>(value); };
    for (const Row& row : rows) {
        EXPECT_EQ(PositiveLayoutFromLocale(item(row.pCsPrecedes), item(row.pSepBySpace)),
                  row.positive)
            << row.label;
        EXPECT_EQ(NegativeLayoutFromLocale(item(row.signPosn), item(row.nCsPrecedes),
                                           item(row.nSepBySpace)),
                  row.negative)
            << row.label;
    }
}

TEST(MoneySettings, TextsAreConvertedBeforeTheOneCharacterRule) {
    struct Row {
        const char* label;
        const char* codePage;
        std::string currency, thousands, decimal;
        int fracDigits;
        MoneySettings expected;
    };
    const auto settings = [](std::string currency, std::string group, std::string decimal,
                             std::uint8_t decimals) {
        MoneySettings s;
        s.CurrencyText = std::move(currency);
        s.DigitGroupSeparator = std::move(group);
        s.DecimalSeparator = std::move(decimal);
        s.Decimals = decimals;
        return s;
    };
    const std::vector<Row> rows = {
        {"plain", "WINDOWS-1252", "$", ",", ".", 2, settings("$", ",", ".", 2)},
        {"euro", "WINDOWS-1252", "€", ".", ",", 2, settings("\x80", ".", ",", 2)},
        {"euro without a byte", "CP850", "€", ".", ",", 2, settings("EUR", ".", ",", 2)},
        {"narrow space becomes one byte", "WINDOWS-1252", "$", "\u202F", ".", 2,
         settings("$", "\xA0", ".", 2)},
        {"no-break space in CP850", "CP850", "$", "\u00A0", ".", 2, settings("$", "\xFF", ".", 2)},
        {"empty separators give none", "WINDOWS-1252", "", "", "", 0, settings("", "", "", 0)},
        {"longer separators give the defaults", "WINDOWS-1252", "kr", "''", "::", 2,
         settings("kr", ",", ".", 2)},
        {"a separator that converts to several bytes", "CP850", "$", "€", "€", 2,
         settings("$", ",", ".", 2)},
        {"a separator with no equivalent", "WINDOWS-1252", "$", "中", ".", 2,
         settings("$", "?", ".", 2)},
        {"decimals unset: 2", "WINDOWS-1252", "$", ",", ".", UNSET, settings("$", ",", ".", 2)},
        {"decimals negative", "WINDOWS-1252", "$", ",", ".", -3, settings("$", ",", ".", 0)},
        {"decimals above 18 kept", "WINDOWS-1252", "$", ",", ".", 30, settings("$", ",", ".", 30)},
        {"currency cut to 255 bytes", "WINDOWS-1252", std::string(300, 'X'), ",", ".", 2,
         settings(std::string(255, 'X'), ",", ".", 2)},
    };
    for (const Row& row : rows) {
        LocaleMoneyItems items;
        items.CurrencySymbol = row.currency;
        items.ThousandsSeparator = row.thousands;
        items.DecimalPoint = row.decimal;
        items.FracDigits = static_cast<char>(row.fracDigits);
        EXPECT_EQ(MoneySettingsFromLocale(items, CodePage(row.codePage)), row.expected)
            << row.label;
    }
}

// Sets the whole process locale for one test and puts the old one back.
class ProcessLocale {
public:
    explicit ProcessLocale(const char* name) : saved_(setlocale(LC_ALL, nullptr)) {
        ok_ = setlocale(LC_ALL, name) != nullptr;
    }
    ~ProcessLocale() { setlocale(LC_ALL, saved_.c_str()); }
    ProcessLocale(const ProcessLocale&) = delete;
    ProcessLocale& operator=(const ProcessLocale&) = delete;
    bool Ok() const { return ok_; }

private:
    std::string saved_;
    bool ok_ = false;
};

TEST(MoneySettings, ReadFromTheLocalesOfTheShops) {
    struct Row {
        const char* locale;
        MoneySettings expected;
        std::string price;  // -1234.5 in the locale's money text
    };
    const std::vector<Row> rows = {
        {"en_US.UTF-8", {"$", 0, 1, ",", ".", 2}, "-$1,234.50"},
        {"es_ES.UTF-8", {"\x80", 3, 8, ".", ",", 2}, "-1.234,50 \x80"},
        {"de_DE.UTF-8", {"\x80", 3, 8, ".", ",", 2}, "-1.234,50 \x80"},
        {"es_MX.UTF-8",
         {"$", 2, 9, "\xA0", ".", 2},
         "-$ 1\xA0"
         "234.50"},
        {"C", {"", 0, 0, "", ".", 2}, "(1234.50)"},
        {"C.UTF-8", {"", 0, 0, "", ".", 2}, "(1234.50)"},
        {"POSIX", {"", 0, 0, "", ".", 2}, "(1234.50)"},
    };
    const CodePage windows1252("WINDOWS-1252");
    for (const Row& row : rows) {
        const ProcessLocale locale(row.locale);
        ASSERT_TRUE(locale.Ok()) << row.locale << " is not generated; scripts/install-deps does it";
        const MoneySettings settings = ReadMoneySettings(windows1252);
        EXPECT_EQ(settings, row.expected) << row.locale;
        EXPECT_EQ(FormatMoney(-1234.5, settings), row.price) << row.locale;
        // Only a locale without money settings warns, naming itself.
        const auto warning = MissingMoneySettingsWarning();
        EXPECT_EQ(warning.has_value(), settings.CurrencyText.empty()) << row.locale;
        if (warning) {
            const std::string name = setlocale(LC_MONETARY, nullptr);  // POSIX is "C"
            EXPECT_NE(warning->find("\"" + name + "\""), std::string::npos) << *warning;
        }
    }
}

// A process whose categories come from different locales: each text is read
// in the character set of its own category.
TEST(MoneySettings, EachTextInTheCharacterSetOfItsCategory) {
    const ProcessLocale locale("C");
    ASSERT_NE(setlocale(LC_MONETARY, "es_ES.UTF-8"), nullptr);
    const MoneySettings settings = ReadMoneySettings(CodePage("WINDOWS-1252"));
    EXPECT_EQ(settings.CurrencyText, "\x80");
    EXPECT_EQ(settings.DecimalSeparator, ".");
}

}  // namespace
}  // namespace zel
