// What a terminal sends when it scans a code.
//
// A request is STX, the digits, ETX; a type-0 terminal adds its block-check
// byte (XOR of the digits and ETX) after the ETX. No EOT follows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rv7300_sim/SimOptions.h"  // UsageError

namespace zel {

// Throws UsageError naming the code unless it is one or more ASCII digits.
void CheckScanCode(std::string_view code);

// Builds the request for a checked code.
std::string EncodeScanRequest(std::string_view code, std::uint8_t type);

// Remarks on a checked code that will be sent anyway: more digits than the
// gateway looks up, or a type-0 check byte that the gateway will read as one
// more digit of the code.
std::vector<std::string> ScanCodeWarnings(std::string_view code, std::uint8_t type);

}  // namespace zel
