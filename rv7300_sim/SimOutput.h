// The simulator's printed forms: the display in a box, bytes in hex.
//
// Both work on bytes of the terminal code page; the caller converts the box
// rows to the user's character set when it prints them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel {

// "02 0B 41 03 04": two upper-case hex digits a byte, one space between.
std::string FormatHex(std::string_view bytes);

// The display rows framed by '+', '-' and '|', padded with spaces to 30
// columns or to the longest row. Control bytes show as '.'.
std::vector<std::string> FormatScreenBox(const std::vector<std::string>& lines);

}  // namespace zel
