#include "Bytes.h"

#include <stdexcept>

#include "gateway/Constants.h"

namespace zel::e2e {

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty()) {
            out += ' ';
        }
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string FromHex(std::string_view hex) {
    std::string out;
    std::size_t i = 0;
    while (i < hex.size()) {
        if (hex[i] == ' ' || hex[i] == '\n' || hex[i] == '\t') {
            ++i;
            continue;
        }
        const int high = HexValue(hex[i]);
        const int low = i + 1 < hex.size() ? HexValue(hex[i + 1]) : -1;
        if (high < 0 || low < 0) {
            throw std::invalid_argument("hex text \"" + std::string(hex) +
                                        "\": no byte pair at position " + std::to_string(i));
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string ScanRequest(std::string_view digits) {
    std::string out(1, STX);
    out += digits;
    out += ETX;
    return out;
}

}  // namespace zel::e2e
