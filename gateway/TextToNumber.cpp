// Number conversions of configuration values.
#include "gateway/TextToNumber.h"

#include <charconv>
#include <string>

namespace zel {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string_view SkipBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

// Leading digits of s, removed from it.
std::string_view TakeDigits(std::string_view& s) {
    std::size_t n = 0;
    while (n < s.size() && IsDigit(s[n])) {
        ++n;
    }
    const std::string_view digits = s.substr(0, n);
    s.remove_prefix(n);
    return digits;
}

}  // namespace

std::optional<std::int32_t> TextToInt32(std::string_view text) {
    std::string_view s = SkipBlanks(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (!s.empty() && (s.front() == '$' || s.front() == 'x' || s.front() == 'X')) {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return std::nullopt;
    }
    // The magnitude may reach 2^31 for the most negative value.
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    for (char c : s) {
        const int digit = base == 16 ? HexValue(c) : (IsDigit(c) ? c - '0' : -1);
        if (digit < 0) {
            return std::nullopt;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > kLimit) {
            return std::nullopt;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value >= kLimit) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<double> TextToDouble(std::string_view text, std::string_view decimalSeparator) {
    std::string_view s = SkipBlanks(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    const std::string_view whole = TakeDigits(s);
    std::string_view fraction;
    if (!decimalSeparator.empty() && s.starts_with(decimalSeparator)) {
        s.remove_prefix(decimalSeparator.size());
        fraction = TakeDigits(s);
    }
    if (whole.empty() && fraction.empty()) {
        return std::nullopt;
    }
    bool negativeExponent = false;
    std::string_view exponent;
    if (!s.empty() && (s.front() == 'e' || s.front() == 'E')) {
        s.remove_prefix(1);
        if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
            negativeExponent = s.front() == '-';
            s.remove_prefix(1);
        }
        exponent = TakeDigits(s);
        if (exponent.empty()) {
            return std::nullopt;
        }
    }
    if (!SkipBlanks(s).empty()) {
        return std::nullopt;
    }

    // An exponent beyond six digits decides the range alone; cap it so that
    // it stays a small integer while keeping that decision.
    while (exponent.size() > 1 && exponent.front() == '0') {
        exponent.remove_prefix(1);
    }
    const int exponentValue =
        exponent.size() > 6 ? 9999999 : (exponent.empty() ? 0 : std::stoi(std::string(exponent)));

    // The same number in the form from_chars reads, which rounds correctly.
    std::string normal;
    normal.reserve(whole.size() + fraction.size() + 12);
    normal += whole.empty() ? std::string_view("0") : whole;
    if (!fraction.empty()) {
        normal += '.';
        normal += fraction;
    }
    normal += negativeExponent ? "e-" : "e";
    normal += std::to_string(exponentValue);

    double value = 0;
    const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // Too large fails; too small is zero. The magnitude is decided by the
        // first significant digit: its power of ten is below 0 only when the
        // value lies below 1.
        std::int64_t power = negativeExponent ? -exponentValue : exponentValue;
        const auto first = whole.find_first_not_of('0');
        if (first != std::string_view::npos) {
            power += static_cast<std::int64_t>(whole.size() - first) - 1;
        } else if (const auto inFraction = fraction.find_first_not_of('0');
                   inFraction != std::string_view::npos) {
            power -= static_cast<std::int64_t>(inFraction) + 1;
        }
        if (power >= 0) {
            return std::nullopt;
        }
        value = 0.0;
    } else if (ec != std::errc() || end != normal.data() + normal.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace zel
