// FormatMoney: a price as the money text of the price line.
#pragma once

#include <string>

#include "money/MoneySettings.h"

namespace zel {

// The value with the settings' decimals (18 significant digits first, then
// cut with round-half-up on the decimal expansion), grouped, in the positive
// or negative layout. Bytes in the code page the settings were read in.
std::string FormatMoney(double value, const MoneySettings& settings);

}  // namespace zel
