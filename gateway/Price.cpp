// Price computation in 64-bit-significand arithmetic, rounding where each step
// stores a double, so that a price ends on the same side of the rounding
// point every time.
#include "gateway/Price.h"

#include <string>

#include "gateway/ExtendedFloat.h"

namespace zel {

using extended::D;
using extended::E;
using extended::Extended;

namespace {

constexpr double kUnitsPerCurrency = 10000.0;  // fixed-point units of 0.0001
constexpr int kTaxCount = 9;
constexpr std::uint16_t kTaxMask = (1u << kTaxCount) - 1;

[[noreturn]] void ThrowOutOfRange(const char* what, const Extended& value) {
    throw PriceError(std::string(what) + " " + extended::ToText(value) +
                     " does not fit a 64-bit integer");
}

}  // namespace

std::string_view ExtendedArithmetic() {
    return extended::kArithmeticName;
}

double ApplyTaxes(std::int8_t banImps, const TaxRateArray& rates, std::int16_t impsAct,
                  double price) {
    const auto flags = static_cast<std::uint8_t>(banImps);
    // Bits above the ninth name no tax; dropping them also ends the loop
    // after tax 9 whatever the sign bit says.
    auto mask = static_cast<std::uint16_t>(static_cast<std::uint16_t>(impsAct) & kTaxMask);
    double factor = 1.0;
    for (int i = 1; mask != 0; ++i, mask = static_cast<std::uint16_t>(mask >> 1)) {
        if ((mask & 1u) == 0) {
            continue;
        }
        const double rate = rates[static_cast<std::size_t>(i - 1)];
        const bool compounding = i >= 2 && ((flags >> (i - 2)) & 1u) != 0;
        if (compounding) {
            const Extended charged = E(factor) * E(rate);
            factor = D(charged + E(factor));
        } else {
            factor = D(E(factor) + E(rate));
        }
    }
    return D(E(price) * E(factor));
}

FixedPointAmount ToFixedPoint(double price) {
    const Extended units = E(price) * E(kUnitsPerCurrency);
    const auto amount = extended::RoundedToInt64(units);
    if (!amount) {
        ThrowOutOfRange("price in units of 0.0001", units);
    }
    return *amount;
}

double RoundToCoin(FixedPointAmount amount, double coin, double roundingPoint) {
    if (coin == 0.0) {
        throw PriceError("the smallest coin is 0: division by zero");
    }
    const bool negative = amount < 0;
    // The magnitude in Extended: no int64 overflow even for the most negative.
    Extended a = E(amount);
    if (negative) {
        a = -a;
    }
    const Extended m = E(coin);
    const Extended tenThousand = E(kUnitsPerCurrency);

    const Extended coinsExact = (a / m) / tenThousand;
    const auto n = extended::TruncatedToInt64(coinsExact);
    if (!n) {
        ThrowOutOfRange("number of coins", coinsExact);
    }
    constexpr std::int64_t kMaxScalable = INT64_MAX / 10000;
    if (*n > kMaxScalable || *n < -kMaxScalable) {
        ThrowOutOfRange("number of coins times 10000", E(*n) * tenThousand);
    }
    const std::int64_t nUnits = *n * 10000;  // exact, checked above

    const double base = D((m * E(nUnits)) / tenThousand);
    const double rem = D((a - E(base) * tenThousand) / tenThousand);

    double r = base;
    const bool atOrAbove = E(rem) >= E(roundingPoint);
    const bool addCoin = roundingPoint > 0.0 ? atOrAbove : !atOrAbove;
    if (addCoin) {
        r = D(E(base) + m);
    }
    return negative ? -r : r;
}

}  // namespace zel
