// Integer and decimal conversions of configuration values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "gateway/TextToNumber.h"

namespace {

using std::nullopt;

TEST(TextToInt32, Table) {
    // clang-format off
    const struct {
        const char* text;
        std::optional<std::int32_t> value;
    } rows[] = {
        {"0", 0}, {"123", 123}, {"007", 7}, {"  42", 42}, {"\t7", 7}, {"+5", 5}, {"-1", -1},
        {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}, {"2147483648", nullopt},
        {"-2147483649", nullopt}, {"99999999999999999999", nullopt},
        {"$1F", 31}, {"x1f", 31}, {"X10", 16}, {"0x7FFFFFFF", 2147483647}, {"0X10", 16},
        {"-$10", -16}, {"-$80000000", INT32_MIN}, {"$80000000", nullopt}, {"$FFFFFFFF", nullopt},
        {"", nullopt}, {"   ", nullopt}, {"abc", nullopt}, {"12a", nullopt}, {"1 ", nullopt},
        {"1.5", nullopt}, {"1e3", nullopt}, {"+", nullopt}, {"$", nullopt}, {"0x", nullopt},
        {"0x0x1", nullopt}, {"$G", nullopt}, {"--1", nullopt}, {"- 1", nullopt}, {"1,000", nullopt},
    };
    // clang-format on
    for (const auto& r : rows) {
        EXPECT_EQ(zel::TextToInt32(r.text), r.value) << '"' << r.text << '"';
    }
}

TEST(TextToDouble, Table) {
    // clang-format off
    const struct {
        const char* text;
        const char* separator;
        std::optional<double> value;
    } rows[] = {
        {"0.01", ".", 0.01}, {"0.005", ".", 0.005}, {"0.1", ".", 0.1},
        {"0.30000000000000004", ".", 0.30000000000000004}, {"  1.5  ", ".", 1.5},
        {"\t-2.5", ".", -2.5}, {"+3", ".", 3.0}, {"1e3", ".", 1000.0}, {"1E-2", ".", 0.01},
        {"2.5e+1", ".", 25.0}, {".5", ".", 0.5}, {"5.", ".", 5.0}, {"-.5e1", ".", -5.0},
        {"1e-320", ".", 1e-320}, {"1e-400", ".", 0.0}, {"0.0000e99999999999", ".", 0.0},
        {"100000000000000000000e-400", ".", 0.0}, {"1e400", ".", nullopt},
        {"1e99999999999", ".", nullopt}, {".", ".", nullopt}, {"", ".", nullopt},
        {"  ", ".", nullopt}, {"-", ".", nullopt}, {"e5", ".", nullopt}, {"1e", ".", nullopt},
        {"1e+", ".", nullopt}, {"1e 5", ".", nullopt}, {"0,01", ".", nullopt},
        {"1,000.5", ".", nullopt}, {"1.2.3", ".", nullopt}, {"1 .5", ".", nullopt},
        {"abc", ".", nullopt}, {"nan", ".", nullopt}, {"inf", ".", nullopt},
        {"0x1p3", ".", nullopt}, {"1d", ".", nullopt},
        {"0,01", ",", 0.01}, {"1,5e1", ",", 15.0}, {"0.01", ",", nullopt}, {"1.000,5", ",", nullopt},
        {"5", "", 5.0}, {"1e2", "", 100.0}, {"5.", "", nullopt}, {".5", "", nullopt},
    };
    // clang-format on
    for (const auto& r : rows) {
        const auto got = zel::TextToDouble(r.text, r.separator);
        ASSERT_EQ(got.has_value(), r.value.has_value()) << '"' << r.text << "\" " << r.separator;
        if (got) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(*r.value))
                << '"' << r.text << "\" gave " << *got;
        }
    }
    // The sign of a zero is kept, also when the value underflows.
    EXPECT_TRUE(std::signbit(*zel::TextToDouble("-1e-400", ".")));
    EXPECT_TRUE(std::signbit(*zel::TextToDouble("-0", ".")));
}

TEST(TextToDouble, LongValuesRoundCorrectly) {
    // 2047 characters of digits, as the reader may hand over.
    const std::string tiny = "0." + std::string(2044, '0') + "1";
    EXPECT_EQ(zel::TextToDouble(tiny, "."), 0.0);
    const std::string third = "0." + std::string(2045, '3');
    EXPECT_EQ(zel::TextToDouble(third, "."), 1.0 / 3.0);
    EXPECT_EQ(zel::TextToDouble(std::string(2047, '9'), "."), nullopt);
}

}  // namespace
