// Text helpers that every library of the system shares: well-formed UTF-8,
// ASCII case-insensitive names, blanks around a value, a value quoted for a
// message, control bytes kept out of a log line.
//
// Pure: no locale, no allocation beyond the returned strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zel {

// Blanks as configuration files and CSV fields have them.
inline constexpr std::string_view SPACE_AND_TAB = " \t";

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// A-Z as a-z; every other byte as it is.
char AsciiLower(char c);
std::string AsciiLower(std::string_view text);

// Whether a and b are the same name, A-Z and a-z taken as equal.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// text without the leading and trailing bytes found in blanks.
std::string_view Trim(std::string_view text, std::string_view blanks = SPACE_AND_TAB);

// text between double quotes, for a message; past maxShown bytes it is cut
// and "..." marks the cut.
std::string Quoted(std::string_view text, std::size_t maxShown = std::string_view::npos);

// text with its control bytes (below 0x20, and 0x7F) shown as '?', so that a
// line in a log or a warning stays one line.
std::string Printable(std::string_view text);
void AppendPrintable(std::string& out, std::string_view text);

}  // namespace zel
