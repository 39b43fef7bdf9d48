#include "server/ServerAddress.h"

#include <charconv>

#include "common/Text.h"
#include "server/IData_Srv_Zel.h"

namespace zel {

namespace {

constexpr std::string_view LOCAL_HOST = "127.0.0.1";

[[noreturn]] void Bad(std::string_view text, std::string_view why) {
    throw ServerError("server address \"" + std::string(text) + "\": " + std::string(why));
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
    if (s.find_first_of(" \t") != std::string_view::npos) {
        Bad(text, "blanks inside the address");
    }
    const auto firstColon = s.find(':');
    if (firstColon == std::string_view::npos) {
        return {std::string(s), defaultPort};
    }
    if (s.find(':', firstColon + 1) != std::string_view::npos) {
        // Two or more colons and no brackets: an IPv6 address alone.
        return {std::string(s), defaultPort};
    }
    const std::string_view host = s.substr(0, firstColon);
    if (host.empty()) {
        Bad(text, "the host is missing before ':'");
    }
    return {std::string(host), ParsePort(text, s.substr(firstColon + 1), allowPortZero)};
}

}  // namespace zel
