// Prices bit for bit, built once per extended arithmetic (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "gateway/ExtendedFloat.h"
#include "gateway/Price.h"

namespace {

using zel::ApplyTaxes;
using zel::PriceError;
using zel::RoundToCoin;
using zel::TaxRateArray;
using zel::ToFixedPoint;

const TaxRateArray kRates = {16.0 / 100, 5.0 / 100, 8.0 / 100,  3.0 / 100, 0.0 / 100,
                             10.0 / 100, 2.0 / 100, 26.0 / 100, 50.0 / 100};

::testing::AssertionResult SameBits(double expected, double actual) {
    if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::hexfloat << "expected " << expected << " got "
                                         << actual << std::defaultfloat << " (" << actual << ")";
}

struct PriceRow {
    double precio;
    bool included;
    std::uint16_t impsAct;
    std::uint8_t banImps;
    double coin;
    double threshold;
    double afterTaxes;
    double result;
};

constexpr double kCoin = 0.01;
constexpr double kPoint = 0.005;

// Result doubles are written with the fewest digits that identify them.
const PriceRow kPriceRows[] = {
    {12.34, true, 0x01FF, 0xFF, kCoin, kPoint, 12.34, 12.34},
    {10, false, 0x0001, 0x00, kCoin, kPoint, 11.6, 11.6},
    {10, false, 0x0003, 0x00, kCoin, kPoint, 12.1, 12.1},
    {10, false, 0x0003, 0x01, kCoin, kPoint, 12.18, 12.18},
    {10, false, 0x0005, 0x02, kCoin, kPoint, 12.527999999999999, 12.53},
    {10, false, 0x0004, 0x02, kCoin, kPoint, 10.8, 10.8},
    {10, false, 0x0007, 0x03, kCoin, kPoint, 13.154399999999999, 13.15},
    {10, false, 0x01FF, 0x00, kCoin, kPoint, 22.0, 22.000000000000004},
    {10, false, 0x01FF, 0xFF, kCoin, kPoint, 28.731806278559997, 28.73},
    {9.99, false, 0x0001, 0x00, kCoin, kPoint, 11.5884, 11.59},
    {100, false, 0x0001, 0x00, kCoin, kPoint, 115.99999999999999, 116.00000000000001},
    {-12.34, false, 0x0001, 0x00, kCoin, kPoint, -14.3144, -14.31},
    {0, false, 0x0001, 0x00, kCoin, kPoint, 0, 0},
    {1.234, true, 0, 0, kCoin, kPoint, 1.234, 1.23},
    {1.2351, true, 0, 0, kCoin, kPoint, 1.2351, 1.24},
    {-1.2351, true, 0, 0, kCoin, kPoint, -1.2351, -1.24},
    {0.004, true, 0, 0, kCoin, kPoint, 0.004, 0},
    {0.005, true, 0, 0, kCoin, kPoint, 0.005, 0.01},
    {1.235, true, 0, 0, kCoin, kPoint, 1.235, 1.24},
    {1.005, true, 0, 0, kCoin, kPoint, 1.005, 1.01},
    {0.035, true, 0, 0, kCoin, kPoint, 0.035, 0.04},
    {0.025, true, 0, 0, kCoin, kPoint, 0.025, 0.02},
    {0.045, true, 0, 0, kCoin, kPoint, 0.045, 0.04},
    {0.065, true, 0, 0, kCoin, kPoint, 0.065, 0.06999999999999999},
    {-0.025, true, 0, 0, kCoin, kPoint, -0.025, -0.02},
    {1.03125, true, 0, 0, kCoin, kPoint, 1.03125, 1.03},
    {0.03125, true, 0, 0, 0.0001, 0.00005, 0.03125, 0.031200000000000002},
    {1.239, true, 0, 0, 0.01, 0, 1.239, 1.23},
    {12.34, true, 0, 0, 0.01, 0, 12.34, 12.33},
    {1, true, 0, 0, 0.01, 0, 1, 0.99},
    {5, true, 0, 0, 0.01, -1, 5, 4.99},
    {2.1, true, 0, 0, 0.3, 0, 2.1, 2.4},
    {0.6, true, 0, 0, 0.3, 0, 0.6, 0.6},
    {1.23, true, 0, 0, 0.05, 0.025, 1.23, 1.2500000000000002},
    {1.22, true, 0, 0, 0.05, 0.025, 1.22, 1.2000000000000002},
    {1.225, true, 0, 0, 0.05, 0.025, 1.225, 1.2000000000000002},
    {10.3, true, 0, 0, 0.5, 0.25, 10.3, 10.5},
    {10.49, true, 0, 0, 1, 0.5, 10.49, 10},
    {10.5, true, 0, 0, 1, 0.5, 10.5, 11},
    {-10.5, true, 0, 0, 1, 0.5, -10.5, -11},
};

TEST(Price, EveryRowBitForBit) {
    int row = 0;
    for (const PriceRow& r : kPriceRows) {
        ++row;
        SCOPED_TRACE(::testing::Message() << "row " << row << ": precio " << r.precio);
        const double price = r.included
                                 ? r.precio
                                 : ApplyTaxes(static_cast<std::int8_t>(r.banImps), kRates,
                                              static_cast<std::int16_t>(r.impsAct), r.precio);
        EXPECT_TRUE(SameBits(r.afterTaxes, price));
        const double result = RoundToCoin(ToFixedPoint(price), r.coin, r.threshold);
        EXPECT_TRUE(SameBits(r.result, result));
    }
    EXPECT_EQ(row, 40);
}

TEST(Price, ArithmeticIsTheOneThisBuildAskedFor) {
#if defined(ZEL_EXTENDED_IS_LONG_DOUBLE)
    EXPECT_EQ(zel::ExtendedArithmetic(), "x87 long double");
#else
    EXPECT_EQ(zel::ExtendedArithmetic(), "Boost cpp_bin_float_double_extended");
#endif
}

TEST(Price, FixedPointTiesGoToEven) {
    const struct {
        double price;
        std::int64_t amount;
    } rows[] = {
        // Exact halves of a unit: multiples of 1/32 with an odd numerator.
        {1.03125, 10312},
        {-1.03125, -10312},
        {0.03125, 312},
        {0.09375, 938},
        {-0.09375, -938},
        // Not halves in binary: the nearest unit.
        {1.2345, 12345},
        {0.00015, 1},
        {0, 0},
        {-0.0, 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(ToFixedPoint(r.price), r.amount) << r.price;
    }
}

TEST(Price, FailuresThrow) {
    const struct {
        const char* what;
        double price;
        double coin;
    } rows[] = {
        {"coin 0", 12.34, 0.0},
        {"coin 0, amount 0", 0.0, 0.0},
        {"coin -0", 1.0, -0.0},
        {"price 1e300", 1e300, kCoin},
        {"price -1e300", -1e300, kCoin},
        {"price at 2^63 units", 922337203685477.625, kCoin},
        {"coins times 10000 beyond int64", 1e13, kCoin},
        {"price infinite", std::numeric_limits<double>::infinity(), kCoin},
        {"price NaN", std::numeric_limits<double>::quiet_NaN(), kCoin},
        {"coin far below 0.0001", 900000000000000.0, 1e-10},
        {"coin NaN", 1.0, std::numeric_limits<double>::quiet_NaN()},
    };
    for (const auto& r : rows) {
        EXPECT_THROW((void)RoundToCoin(ToFixedPoint(r.price), r.coin, kPoint), PriceError)
            << r.what;
    }
}

TEST(Price, LargestAmountsStayInRange) {
    // The magnitude of the most negative amount is taken without overflow.
    EXPECT_TRUE(std::isfinite(RoundToCoin(INT64_MIN, 1.0, 0.5)));
    EXPECT_TRUE(std::isfinite(RoundToCoin(INT64_MAX, 1.0, 0.5)));
    EXPECT_EQ(ToFixedPoint(922337203685477.0), 9223372036854770000);
}

TEST(Price, MaskBitsAboveNineAreIgnored) {
    const struct {
        std::uint16_t mask;
        std::uint16_t sameAs;
    } rows[] = {
        {0x8000, 0x0000}, {0xFE00, 0x0000}, {0x8001, 0x0001}, {0xFFFF, 0x01FF}, {0x0200, 0x0000},
    };
    for (const auto& r : rows) {
        for (std::uint8_t flags : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
            const auto banImps = static_cast<std::int8_t>(flags);
            EXPECT_TRUE(
                SameBits(ApplyTaxes(banImps, kRates, static_cast<std::int16_t>(r.sameAs), 10),
                         ApplyTaxes(banImps, kRates, static_cast<std::int16_t>(r.mask), 10)))
                << std::hex << r.mask << " flags " << int{flags};
        }
    }
}

TEST(Extended, ConversionsToInt64) {
    using zel::extended::E;
    using zel::extended::Extended;
    const struct {
        double value;
        std::optional<std::int64_t> rounded;
        std::optional<std::int64_t> truncated;
    } rows[] = {
        {2.5, 2, 2},
        {3.5, 4, 3},
        {-2.5, -2, -2},
        {-3.5, -4, -3},
        {2.4999999999999996, 2, 2},
        {-0.7, -1, 0},
        {9223372036854774784.0, 9223372036854774784, 9223372036854774784},  // 2^63 - 1024
        {9223372036854775808.0, std::nullopt, std::nullopt},                // 2^63
        {-9223372036854775808.0, std::nullopt, std::nullopt},
        {1e19, std::nullopt, std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt, std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt, std::nullopt},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(zel::extended::RoundedToInt64(E(r.value)), r.rounded) << r.value;
        EXPECT_EQ(zel::extended::TruncatedToInt64(E(r.value)), r.truncated) << r.value;
    }
    // Just below 2^63 in extended precision, the tie rounds up to 2^63: refused.
    const Extended justBelow = E(9223372036854775808.0) - Extended(0.5);
    EXPECT_EQ(zel::extended::RoundedToInt64(justBelow), std::nullopt);
    EXPECT_EQ(zel::extended::TruncatedToInt64(justBelow), 9223372036854775807);
}

}  // namespace
