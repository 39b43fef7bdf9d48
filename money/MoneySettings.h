// MoneySettings: the six currency settings of the money text, and where they
// come from on this platform (the POSIX locale of the process).
#pragma once

#include <cstdint>
#include <string>

namespace zel {

class CodePage;

struct MoneySettings {
    std::string CurrencyText;              // terminal code page bytes, up to 255
    std::uint8_t PositiveLayout = 0;       // 0..3, larger acts as 3
    std::uint8_t NegativeLayout = 0;       // 0..15, larger acts as 15
    std::string DigitGroupSeparator = ","; // one byte, or empty for none
    std::string DecimalSeparator = ".";    // one byte, or empty for none
    std::uint8_t Decimals = 0;             // above 18 acts as 18

    bool operator==(const MoneySettings&) const = default;
};

// Reads all six settings from the process locale (localeconv()), converting
// texts to the given code page. Returns a complete set, so a re-read replaces
// the settings at once.
MoneySettings ReadMoneySettings(const CodePage& codePage);

}  // namespace zel
