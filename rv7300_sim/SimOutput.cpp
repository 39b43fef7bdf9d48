// Printed forms of frames and screens.
#include "rv7300_sim/SimOutput.h"

#include <algorithm>

#include "gateway/Constants.h"

namespace zel {

std::string FormatHex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty()) {
            out.push_back(' ');
        }
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::vector<std::string> FormatScreenBox(const std::vector<std::string>& lines) {
    std::size_t width = SCREEN_COLUMNS;
    for (const auto& line : lines) {
        width = std::max(width, line.size());
    }
    const std::string edge = "+" + std::string(width, '-') + "+";
    std::vector<std::string> box;
    box.reserve(lines.size() + 2);
    box.push_back(edge);
    for (const auto& line : lines) {
        std::string row = "|";
        for (char c : line) {
            const auto b = static_cast<unsigned char>(c);
            row.push_back(b < 0x20 || b == 0x7F ? '.' : c);
        }
        row.append(width - line.size(), ' ');
        row.push_back('|');
        box.push_back(std::move(row));
    }
    box.push_back(edge);
    return box;
}

}  // namespace zel
