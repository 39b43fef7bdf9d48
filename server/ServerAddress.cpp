#include "server/ServerAddress.h"

#include <charconv>

#include "common/Text.h"
#include "server/ServerError.h"

namespace zel {

namespace {

constexpr std::string_view LOCAL_HOST = "127.0.0.1";

bool IsPrintable(char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
}

// The text as it may be shown in a message: other bytes as \xNN.
std::string Shown(std::string_view text) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (IsPrintable(c)) {
            out += c;
        } else {
            out += {'\\', 'x', HEX[u >> 4], HEX[u & 0xF]};
        }
    }
    return out;
}

[[noreturn]] void Bad(std::string_view text, std::string_view why) {
    throw ServerError("server address \"" + Shown(text) + "\": " + std::string(why));
}

bool IsAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Only what a host name or an IP literal holds reaches a Host header:
// letters, digits, '-', '_' and '.'; an IPv6 literal also ':' and a '%' zone.
void CheckHost(std::string_view whole, std::string_view host, bool v6) {
    for (char c : host) {
        const bool fits =
            IsAlnum(c) || c == '-' || c == '_' || c == '.' || (v6 && (c == ':' || c == '%'));
        if (!fits) {
            const std::string shown = c == ' '         ? std::string("a blank")
                                      : IsPrintable(c) ? std::string("'") + c + "'"
                                                       : Shown(std::string_view(&c, 1));
            Bad(whole, "character " + shown + " does not belong in a host name or IP address");
        }
    }
}

std::uint16_t ParsePort(std::string_view whole, std::string_view digits, bool allowZero) {
    if (digits.empty()) {
        Bad(whole, "the port is missing after ':'");
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            Bad(whole, "port \"" + std::string(digits) + "\" is not a number");
        }
    }
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    const unsigned long lowest = allowZero ? 0 : 1;
    if (ec != std::errc() || end != digits.data() + digits.size() || value < lowest ||
        value > 65535) {
        Bad(whole,
            "port " + std::string(digits) + " is outside " + std::to_string(lowest) + " to 65535");
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string ServerAddress::ToString() const {
    if (Host.find(':') != std::string::npos) {
        return "[" + Host + "]:" + std::to_string(Port);
    }
    return Host + ":" + std::to_string(Port);
}

ServerAddress ParseServerAddress(std::string_view text, std::uint16_t defaultPort,
                                 bool allowPortZero) {
    const std::string_view s = Trim(text, " \t\r\n");
    if (s.empty()) {
        return {std::string(LOCAL_HOST), defaultPort};
    }
    if (s.front() == '[') {
        const auto close = s.find(']');
        if (close == std::string_view::npos) {
            Bad(text, "'[' without ']'");
        }
        const std::string_view host = s.substr(1, close - 1);
        if (host.empty()) {
            Bad(text, "nothing between '[' and ']'");
        }
        if (host.find_first_of("[]") != std::string_view::npos) {
            Bad(text, "unbalanced brackets");
        }
        CheckHost(text, host, true);
        const std::string_view rest = s.substr(close + 1);
        if (rest.empty()) {
            return {std::string(host), defaultPort};
        }
        if (rest.front() != ':') {
            Bad(text, "unexpected \"" + std::string(rest) + "\" after ']'");
        }
        return {std::string(host), ParsePort(text, rest.substr(1), allowPortZero)};
    }
    if (s.find_first_of("[]") != std::string_view::npos) {
        Bad(text, "unbalanced brackets");
    }
    const auto firstColon = s.find(':');
    if (firstColon == std::string_view::npos) {
        CheckHost(text, s, false);
        return {std::string(s), defaultPort};
    }
    if (s.find(':', firstColon + 1) != std::string_view::npos) {
        // Two or more colons and no brackets: an IPv6 address alone.
        CheckHost(text, s, true);
        return {std::string(s), defaultPort};
    }
    const std::string_view host = s.substr(0, firstColon);
    if (host.empty()) {
        Bad(text, "the host is missing before ':'");
    }
    CheckHost(text, host, false);
    return {std::string(host), ParsePort(text, s.substr(firstColon + 1), allowPortZero)};
}

}  // namespace zel
