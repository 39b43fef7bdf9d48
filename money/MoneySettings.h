// MoneySettings: the six currency settings of the money text, and where they
// come from on this platform (the POSIX locale of the process).
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <string>

namespace zel {

class CodePage;

struct MoneySettings {
    std::string CurrencyText;               // terminal code page bytes, up to 255
    std::uint8_t PositiveLayout = 0;        // 0..3, larger acts as 3
    std::uint8_t NegativeLayout = 0;        // 0..15, larger acts as 15
    std::string DigitGroupSeparator = ",";  // one byte, or empty for none
    std::string DecimalSeparator = ".";     // one byte, or empty for none
    std::uint8_t Decimals = 0;              // above 18 acts as 18

    bool operator==(const MoneySettings&) const = default;
};

// The items of a POSIX locale the six settings are taken from, as
// localeconv() gives them; texts already converted to UTF-8. A numeric item
// of CHAR_MAX is one the locale leaves unset.
struct LocaleMoneyItems {
    std::string CurrencySymbol;      // currency_symbol
    std::string ThousandsSeparator;  // thousands_sep (for numbers, not the monetary one)
    std::string DecimalPoint;        // decimal_point (for numbers, not the monetary one)
    char FracDigits = CHAR_MAX;      // frac_digits
    char PCsPrecedes = CHAR_MAX;     // p_cs_precedes
    char PSepBySpace = CHAR_MAX;     // p_sep_by_space
    char NCsPrecedes = CHAR_MAX;     // n_cs_precedes
    char NSepBySpace = CHAR_MAX;     // n_sep_by_space
    char NSignPosn = CHAR_MAX;       // n_sign_posn
};

// The closest positive (0..3) and negative (0..15) layout to what the locale
// describes; 0 when an item is unset or out of range.
std::uint8_t PositiveLayoutFromLocale(char csPrecedes, char sepBySpace);
std::uint8_t NegativeLayoutFromLocale(char signPosn, char csPrecedes, char sepBySpace);

// The six settings from the locale items, texts converted to the code page.
// A separator is taken when it is exactly one byte in the code page; longer
// ones give the default, an empty one gives none. A locale without money
// settings (frac_digits unset, as in C and POSIX) gives 2 decimals: whole
// units would round every price.
MoneySettings MoneySettingsFromLocale(const LocaleMoneyItems& items, const CodePage& codePage);

// The items of the process locale (localeconv()), texts converted to UTF-8
// from the character set of their locale category.
LocaleMoneyItems CurrentLocaleMoneyItems();

// Reads all six settings from the process locale (localeconv()), converting
// texts to the given code page. Returns a complete set, so a re-read replaces
// the settings at once. The regional decimal separator, which also governs
// decimal values in the configuration file, is its DecimalSeparator.
MoneySettings ReadMoneySettings(const CodePage& codePage);

// For the start-up journal: when the process locale has no money settings
// (C, C.UTF-8, POSIX, or a LANG naming a locale that is not installed), a
// warning naming it and what to set; nullopt for a locale that has them.
std::optional<std::string> MissingMoneySettingsWarning();

}  // namespace zel
