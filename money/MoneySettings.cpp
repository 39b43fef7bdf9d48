#include "money/MoneySettings.h"

#include <langinfo.h>
#include <locale.h>

#include <array>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "money/CodePage.h"

namespace zel {

namespace {

constexpr std::size_t MAX_CURRENCY_TEXT = 255;
constexpr std::uint8_t DECIMALS_WITHOUT_LOCALE = 2;

// localeconv() fills one static buffer; our own readers take turns.
std::mutex localeconvLock;
const MoneySettings DEFAULTS{};

// Positive layout by [symbol first][space between symbol and number].
constexpr std::uint8_t POSITIVE_LAYOUT[2][2] = {
    {1, 3},  // symbol after: NS, N S
    {0, 2},  // symbol first: SN, S N
};

// Negative layout by [sign position][symbol first][space between symbol and
// number]. Sign position: 0 brackets, 1 before everything, 2 after
// everything, 3 right before the symbol, 4 right after the symbol.
constexpr std::uint8_t NEGATIVE_LAYOUT[5][2][2] = {
    {{4, 15}, {0, 14}},  // (NS) (N S) | (SN) (S N)
    {{5, 8}, {1, 9}},    // -NS -N S   | -SN -S N
    {{7, 10}, {3, 11}},  // NS- N S-   | SN- S N-
    {{6, 13}, {1, 9}},   // N-S N- S   | -SN -S N
    {{7, 10}, {2, 12}},  // NS- N S-   | S-N S -N
};

// A locale's numeric item is a plain char, unsigned on ARM: read the byte as
// the signed number it is on x86, so that both read a locale alike.
int ItemValue(char item) {
    return static_cast<signed char>(item);
}

// 0 or 1 for a yes/no item, -1 when unset or out of range.
int Flag(char item) {
    const int value = ItemValue(item);
    return (value == 0 || value == 1) ? value : -1;
}

// sep_by_space is 0 (no space), 1 or 2 (a space next to the symbol or sign).
int Space(char item) {
    const int value = ItemValue(item);
    return (value >= 0 && value <= 2) ? (value != 0 ? 1 : 0) : -1;
}

std::string Separator(const std::string& utf8, const CodePage& codePage,
                      const std::string& fallback) {
    const std::string bytes = codePage.FromUtf8(utf8);
    return bytes.size() <= 1 ? bytes : fallback;
}

// The character set a category of the global locale writes its texts in.
std::string CodesetOf(int category) {
    const char* name = setlocale(category, nullptr);
    if (name != nullptr) {
        if (locale_t locale = newlocale(LC_CTYPE_MASK, name, nullptr); locale != nullptr) {
            std::string codeset = nl_langinfo_l(CODESET, locale);
            freelocale(locale);
            return codeset;
        }
    }
    return nl_langinfo(CODESET);
}

std::string TextToUtf8(const char* text, const std::string& codeset) {
    const std::string_view bytes = text != nullptr ? text : "";
    if (codeset == "UTF-8" || bytes.empty())
        return std::string(bytes);
    try {
        return CodePage(codeset).ToUtf8(bytes);
    } catch (const CodePageError&) {
        // A multi-byte character set other than UTF-8: bytes that do not
        // read as UTF-8 turn into "?" on the way to the terminal.
        return std::string(bytes);
    }
}

}  // namespace

std::uint8_t PositiveLayoutFromLocale(char csPrecedes, char sepBySpace) {
    const int first = Flag(csPrecedes);
    const int space = Space(sepBySpace);
    if (first < 0 || space < 0)
        return DEFAULTS.PositiveLayout;
    return POSITIVE_LAYOUT[first][space];
}

std::uint8_t NegativeLayoutFromLocale(char signPosn, char csPrecedes, char sepBySpace) {
    const int first = Flag(csPrecedes);
    const int space = Space(sepBySpace);
    const int position = ItemValue(signPosn);
    if (position < 0 || position > 4 || first < 0 || space < 0)
        return DEFAULTS.NegativeLayout;
    return NEGATIVE_LAYOUT[position][first][space];
}

MoneySettings MoneySettingsFromLocale(const LocaleMoneyItems& items, const CodePage& codePage) {
    MoneySettings settings;
    settings.CurrencyText = codePage.FromUtf8(items.CurrencySymbol);
    if (settings.CurrencyText.size() > MAX_CURRENCY_TEXT) {
        settings.CurrencyText.resize(MAX_CURRENCY_TEXT);
    }
    settings.PositiveLayout = PositiveLayoutFromLocale(items.PCsPrecedes, items.PSepBySpace);
    settings.NegativeLayout =
        NegativeLayoutFromLocale(items.NSignPosn, items.NCsPrecedes, items.NSepBySpace);
    settings.DigitGroupSeparator =
        Separator(items.ThousandsSeparator, codePage, DEFAULTS.DigitGroupSeparator);
    settings.DecimalSeparator = Separator(items.DecimalPoint, codePage, DEFAULTS.DecimalSeparator);
    const int fracDigits = ItemValue(items.FracDigits);
    const bool decimalsSet = fracDigits >= 0 && items.FracDigits != CHAR_MAX;
    settings.Decimals = items.FracDigits == CHAR_MAX ? DECIMALS_WITHOUT_LOCALE
                        : decimalsSet                ? static_cast<std::uint8_t>(fracDigits)
                                                     : DEFAULTS.Decimals;
    return settings;
}

LocaleMoneyItems CurrentLocaleMoneyItems() {
    const std::lock_guard guard(localeconvLock);
    const lconv* conv = localeconv();
    const std::string monetary = CodesetOf(LC_MONETARY);
    const std::string numeric = CodesetOf(LC_NUMERIC);

    LocaleMoneyItems items;
    items.CurrencySymbol = TextToUtf8(conv->currency_symbol, monetary);
    items.ThousandsSeparator = TextToUtf8(conv->thousands_sep, numeric);
    items.DecimalPoint = TextToUtf8(conv->decimal_point, numeric);
    items.FracDigits = conv->frac_digits;
    items.PCsPrecedes = conv->p_cs_precedes;
    items.PSepBySpace = conv->p_sep_by_space;
    items.NCsPrecedes = conv->n_cs_precedes;
    items.NSepBySpace = conv->n_sep_by_space;
    items.NSignPosn = conv->n_sign_posn;
    return items;
}

MoneySettings ReadMoneySettings(const CodePage& codePage) {
    return MoneySettingsFromLocale(CurrentLocaleMoneyItems(), codePage);
}

std::optional<std::string> MissingMoneySettingsWarning() {
    {
        const std::lock_guard guard(localeconvLock);
        if (localeconv()->frac_digits != CHAR_MAX) {
            return std::nullopt;
        }
    }
    const char* current = setlocale(LC_MONETARY, nullptr);
    std::string warning = "the locale \"";
    warning += current != nullptr ? current : "C";
    warning += "\"";
    // The variable that chose it, when one did: a name the system did not know.
    for (const char* variable : {"LC_ALL", "LC_MONETARY", "LANG"}) {
        if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') {
            warning += std::string(" (") + variable + "=" + value + ")";
            break;
        }
    }
    warning +=
        " has no money settings; prices show with 2 decimals and no currency symbol. Set "
        "LANG or LC_MONETARY to the shop's installed locale (e.g. es_MX.UTF-8; see locale -a)";
    return warning;
}

}  // namespace zel
