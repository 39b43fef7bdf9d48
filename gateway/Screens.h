// The three screens a terminal shows: idle, result and not found.
//
// Screens are bytes in the terminal code page: 0x0B opens each one and 0x0D
// breaks lines. Type 0 (tipo == 0) runs lines of up to 30 characters
// together; every other type ends each line with 0x0D.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel {

// The seven idle lines after the opening byte, each followed by 0x0D on type 1.
std::string BuildIdleScreen(const std::array<std::string, 7>& idleLines, std::uint8_t tipo);

// The description and the money text, both code-page bytes, laid out for the
// terminal type. The description has one byte per character (its screen text,
// CodePage::ScreenText), so its length is what the terminal shows.
std::string BuildResultScreen(std::string_view description, std::string_view moneyText,
                              std::uint8_t tipo);

// 0x0B 0x0D text 0x0D: a message in place of a result.
std::string MessageScreen(std::string_view text);

// MessageScreen of "ARTICULO NO ENCONTRADO": sent on type 1 only.
std::string NotFoundScreen();

// A line centred in 30 columns: 15 - floor(m / 2) spaces when that is
// positive, then the text, cut to 30 characters; nothing added on the right.
std::string CentreLine(std::string_view text);

}  // namespace zel
