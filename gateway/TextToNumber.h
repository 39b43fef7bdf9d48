// TextToInt32 and TextToDouble: the strict number conversions that
// configuration values go through. Each gives nothing when the text is not
// wholly a number of its kind; none of them depends on the process locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zel {

// Optional leading blanks, an optional "+" or "-", then either decimal digits
// or hexadecimal digits after "$", "x" or "0x" (x in either case). The value,
// sign applied, must fit a 32-bit signed integer ("$FFFFFFFF" does not).
// Nothing may follow the digits; empty text fails.
std::optional<std::int32_t> TextToInt32(std::string_view text);

// Optional blanks, an optional sign, digits, optionally the decimal separator
// and digits, optionally "E" or "e" with an optional sign and digits, optional
// blanks. Digits may be missing on one side of the separator (".5", "5.") but
// not on both. No digit grouping. An empty separator allows no fraction.
// The result is the double nearest to the decimal value; a value too large for
// a double fails, one too small for it gives zero.
std::optional<double> TextToDouble(std::string_view text, std::string_view decimalSeparator);

}  // namespace zel
