// Byte strings for the simulator's tests, written so a table stays readable.
#pragma once

#include <sstream>
#include <string>

namespace zel::test {

// "02 41 03" -> the bytes 0x02 0x41 0x03.
inline std::string Hex(const char* text) {
    std::istringstream in(text);
    std::string bytes;
    unsigned value = 0;
    while (in >> std::hex >> value) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

// A screen written with '#' for 0x0B and '|' for 0x0D.
inline std::string Screen(std::string text) {
    for (char& c : text) {
        c = c == '#' ? '\x0B' : c == '|' ? '\x0D' : c;
    }
    return text;
}

}  // namespace zel::test
