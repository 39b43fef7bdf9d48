// ServerAddress: where the application server listens, parsed from the text a
// shop writes in its configuration ("host", "host:port", "[v6]:port", ...).
//
// Pure: no sockets, no name resolution.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zel {

struct ServerAddress {
    std::string Host;  // name or address; an IPv6 address without its brackets
    std::uint16_t Port = 0;

    // "host:port", with brackets around an IPv6 address.
    std::string ToString() const;

    friend bool operator==(const ServerAddress&, const ServerAddress&) = default;
};

// Reads "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address (two
// or more colons, no port). Blanks around the text are dropped; empty text is
// this machine, 127.0.0.1. A missing port is defaultPort. Throws ServerError
// naming the text when the port is not a number from 1 to 65535 (0 too when
// allowPortZero, for a listener that lets the system choose), when brackets
// do not close, when the host is missing, or when it holds a character
// that no host name or IP literal has (the error names it).
ServerAddress ParseServerAddress(std::string_view text, std::uint16_t defaultPort,
                                 bool allowPortZero = false);

}  // namespace zel
