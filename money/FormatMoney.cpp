#include "money/FormatMoney.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace zel {

namespace {

constexpr int SIGNIFICANT_DIGITS = 18;
constexpr int MAX_DECIMALS = 18;
constexpr std::uint8_t MAX_POSITIVE_LAYOUT = 3;
constexpr std::uint8_t MAX_NEGATIVE_LAYOUT = 15;

// S is the currency text, N the number; everything else is written as is.
constexpr std::array<std::string_view, MAX_POSITIVE_LAYOUT + 1> POSITIVE_LAYOUTS = {"SN", "NS",
                                                                                    "S N", "N S"};
constexpr std::array<std::string_view, MAX_NEGATIVE_LAYOUT + 1> NEGATIVE_LAYOUTS = {
    "(SN)", "-SN",  "S-N",  "SN-",  "(NS)", "-NS",  "N-S",   "NS-",
    "-N S", "-S N", "N S-", "S N-", "S -N", "N- S", "(S N)", "(N S)"};

// The magnitude's first 18 significant digits (exactly rounded, ties to even)
// and the power of ten of the first of them.
struct SignificantDigits {
    std::array<char, SIGNIFICANT_DIGITS> Digits{};
    int Exponent = 0;
};

SignificantDigits SignificantDigitsOf(double magnitude) {
    // "d.ddddddddddddddddde+XXX": at most 1 + 1 + 17 + 5 characters.
    std::array<char, 32> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), magnitude,
                                            std::chars_format::scientific, SIGNIFICANT_DIGITS - 1);
    SignificantDigits result;
    if (error != std::errc())
        return result;  // cannot happen for a finite double
    const std::string_view written(text.data(), end - text.data());
    std::size_t next = 0;
    for (char c : written.substr(0, written.find('e'))) {
        if (c != '.')
            result.Digits[next++] = c;
    }
    const std::string_view exponent = written.substr(written.find('e') + 1);
    const std::size_t skip = exponent.front() == '+' ? 1 : 0;
    std::from_chars(exponent.data() + skip, exponent.data() + exponent.size(), result.Exponent);
    return result;
}

// Adds one to a string of decimal digits, carrying as far as needed.
void Increment(std::string& digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    digits.insert(digits.begin(), '1');
}

// The magnitude times 10^decimals, rounded half-up on its 18-digit decimal
// expansion, as a string of decimal digits (possibly with leading zeros).
std::string ScaledDigits(double magnitude, int decimals) {
    const SignificantDigits significant = SignificantDigitsOf(magnitude);
    // Digits at or above the place of the last kept decimal.
    const int kept = significant.Exponent + 1 + decimals;
    if (kept < 0)
        return "0";  // the first digit cut off is a leading zero
    if (kept == 0)
        return significant.Digits[0] >= '5' ? "1" : "0";
    std::string digits(significant.Digits.data(),
                       static_cast<std::size_t>(std::min(kept, SIGNIFICANT_DIGITS)));
    if (kept > SIGNIFICANT_DIGITS) {
        digits.append(static_cast<std::size_t>(kept - SIGNIFICANT_DIGITS), '0');
    } else if (kept < SIGNIFICANT_DIGITS && significant.Digits[kept] >= '5') {
        Increment(digits);
    }
    return digits;
}

std::string GroupedIntegerPart(std::string_view digits, const std::string& separator) {
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos)
        return "0";
    digits.remove_prefix(first);
    std::string result;
    result.reserve(digits.size() + (digits.size() / 3) * separator.size());
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0)
            result += separator;
        result.push_back(digits[i]);
    }
    return result;
}

std::string ApplyLayout(std::string_view layout, const std::string& currency,
                        const std::string& number) {
    std::string result;
    result.reserve(layout.size() + currency.size() + number.size());
    for (char c : layout) {
        if (c == 'S') {
            result += currency;
        } else if (c == 'N') {
            result += number;
        } else {
            result.push_back(c);
        }
    }
    return result;
}

}  // namespace

std::string FormatMoney(double value, const MoneySettings& settings) {
    const std::string_view positive =
        POSITIVE_LAYOUTS[std::min(settings.PositiveLayout, MAX_POSITIVE_LAYOUT)];
    const std::string_view negative =
        NEGATIVE_LAYOUTS[std::min(settings.NegativeLayout, MAX_NEGATIVE_LAYOUT)];

    // No price can be NaN or infinite; should one arrive it is named rather
    // than shown as an amount.
    if (std::isnan(value))
        return ApplyLayout(positive, settings.CurrencyText, "NAN");
    if (std::isinf(value)) {
        return ApplyLayout(value < 0 ? negative : positive, settings.CurrencyText, "INF");
    }

    const int decimals = std::min<int>(settings.Decimals, MAX_DECIMALS);
    std::string digits = ScaledDigits(std::fabs(value), decimals);
    const bool allZero = digits.find_first_not_of('0') == std::string::npos;

    if (digits.size() <= static_cast<std::size_t>(decimals)) {
        digits.insert(0, static_cast<std::size_t>(decimals) + 1 - digits.size(), '0');
    }
    const std::size_t integerLength = digits.size() - static_cast<std::size_t>(decimals);
    std::string number = GroupedIntegerPart(std::string_view(digits).substr(0, integerLength),
                                            settings.DigitGroupSeparator);
    if (decimals > 0) {
        number += settings.DecimalSeparator;
        number.append(digits, integerLength);
    }

    const bool isNegative = value < 0 && !allZero;
    return ApplyLayout(isNegative ? negative : positive, settings.CurrencyText, number);
}

}  // namespace zel
