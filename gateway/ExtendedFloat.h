// Extended: the arithmetic prices are computed in, a binary floating point
// with a 64-bit significand, rounding to nearest with ties to even.
//
// E(x) stands for a value held in Extended, D(x) for the same value stored as
// a double. On x86 this is the x87 long double; elsewhere (or when
// ZEL_FORCE_BOOST_EXTENDED is defined) it is Boost.Multiprecision's software
// type of the same format, so both give the same roundings.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

// long double only where it is the x87 format: an x86 compiler told to make
// it a double (-mlong-double-64) gets the software type too.
#if !defined(ZEL_FORCE_BOOST_EXTENDED) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(_MSC_VER) && LDBL_MANT_DIG == 64
#define ZEL_EXTENDED_IS_LONG_DOUBLE 1
#else
#include <boost/multiprecision/cpp_bin_float.hpp>
#endif

namespace zel::extended {

#if defined(ZEL_EXTENDED_IS_LONG_DOUBLE)
static_assert(LDBL_MANT_DIG == 64, "long double must be the x87 extended format here");
using Extended = long double;
inline constexpr std::string_view kArithmeticName = "x87 long double";
#else
using Extended = boost::multiprecision::cpp_bin_float_double_extended;
static_assert(std::numeric_limits<Extended>::digits == 64);
inline constexpr std::string_view kArithmeticName = "Boost cpp_bin_float_double_extended";
#endif

// A double enters the arithmetic exactly.
inline Extended E(double x) {
    return Extended(x);
}

// An int64 enters exactly too: 63 bits fit a 64-bit significand.
inline Extended E(std::int64_t x) {
    return Extended(x);
}

// The value rounded to a double, ties to even.
inline double D(const Extended& x) {
    return static_cast<double>(x);
}

inline bool IsNaN(const Extended& x) {
#if defined(ZEL_EXTENDED_IS_LONG_DOUBLE)
    return std::isnan(x);
#else
    return boost::multiprecision::isnan(x);
#endif
}

inline Extended Truncated(const Extended& x) {
#if defined(ZEL_EXTENDED_IS_LONG_DOUBLE)
    return std::trunc(x);
#else
    return boost::multiprecision::trunc(x);
#endif
}

// The nearest whole number, ties to the even one.
inline Extended RoundedEven(const Extended& x) {
#if defined(ZEL_EXTENDED_IS_LONG_DOUBLE)
    // The default rounding mode is to nearest, ties to even.
    return std::nearbyint(x);
#else
    const Extended below = boost::multiprecision::floor(x);
    const Extended fraction = x - below;  // exact: the fraction of a binary float
    const Extended half(0.5);
    if (fraction < half) {
        return below;
    }
    if (fraction > half) {
        return below + 1;
    }
    const Extended halfBelow = below / 2;  // exact: a power-of-two division
    return boost::multiprecision::floor(halfBelow) == halfBelow ? below : below + 1;
#endif
}

// A whole Extended value as int64, or nothing when its magnitude is 2^63 or
// more (or it is not a number). 2^63 itself, even negative, is refused so that
// every result has a magnitude that is an int64 too.
inline std::optional<std::int64_t> WholeToInt64(const Extended& whole) {
    const Extended limit = E(9223372036854775808.0);  // 2^63, exact
    if (IsNaN(whole) || !(whole < limit) || !(whole > -limit)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(whole);
}

// rounded(x): to nearest, ties to even.
inline std::optional<std::int64_t> RoundedToInt64(const Extended& x) {
    if (IsNaN(x)) {
        return std::nullopt;
    }
    return WholeToInt64(RoundedEven(x));
}

// truncated(x): toward zero.
inline std::optional<std::int64_t> TruncatedToInt64(const Extended& x) {
    if (IsNaN(x)) {
        return std::nullopt;
    }
    return WholeToInt64(Truncated(x));
}

// The value with every digit a person needs to see what went wrong.
inline std::string ToText(const Extended& x) {
    std::ostringstream out;
    out.precision(21);
    out << x;
    return out.str();
}

}  // namespace zel::extended
