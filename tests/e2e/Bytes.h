// Byte strings as the tests write and print them: hex with one space between
// bytes ("02 0B 41 03 48 04"), both ways.
#pragma once

#include <string>
#include <string_view>

namespace zel::e2e {

// "02 0B 41": two hex digits per byte, one space between bytes.
std::string Hex(std::string_view bytes);

// The bytes of hex text; blanks between byte pairs are optional. Throws
// std::invalid_argument naming the offending text and its position.
std::string FromHex(std::string_view hex);

// STX, the digits, ETX: a scan as a terminal sends it (no check byte).
std::string ScanRequest(std::string_view digits);

}  // namespace zel::e2e
