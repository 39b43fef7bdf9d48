// Price computation: taxes, the fixed-point amount, rounding to the coin.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace zel {

// Division by a zero coin, or a value at or beyond 2^63 in magnitude where a
// 64-bit integer is needed.
class PriceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TaxRateArray = std::array<double, 9>;  // element 0 is tax 1
using FixedPointAmount = std::int64_t;       // units of 0.0001

// The price with the taxes named by impsAct (bits 0..8; bits 9..15 ignored),
// compounding where banImps says so.
double ApplyTaxes(std::int8_t banImps, const TaxRateArray& rates, std::int16_t impsAct,
                  double price);

// rounded(E(price * 10000)), ties to even. Throws PriceError out of range.
FixedPointAmount ToFixedPoint(double price);

// The amount rounded to a whole number of coins with the rounding point.
// Throws PriceError for a zero coin or an out-of-range intermediate.
double RoundToCoin(FixedPointAmount amount, double coin, double roundingPoint);

// The name of the extended arithmetic this build computes prices in.
std::string_view ExtendedArithmetic();

}  // namespace zel
