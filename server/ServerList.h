// ServerList: the [SRV_ZEL] IP value as the gateway reads it: one or more
// server addresses separated by commas, each "host[:port]" (plain HTTP) or
// "https://host[:port]". The first that answers is used; the others are
// where a lookup that cannot connect turns next.
//
// Pure: no sockets, no name resolution.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerAddress.h"

namespace zel {

inline constexpr std::string_view HTTPS_SCHEME = "https://";

struct ServerLocation {
    ServerAddress Address;
    bool Https = false;

    // "host:port" or "https://host:port".
    std::string ToString() const;
    friend bool operator==(const ServerLocation&, const ServerLocation&) = default;
};

// Each address as ParseServerAddress reads it (empty text: this machine).
// Throws ServerError naming the text for an empty item in a list ("a,,b"),
// another scheme ("http://" is written without it) or a bad address.
std::vector<ServerLocation> ParseServerList(std::string_view text, std::uint16_t defaultPort);

}  // namespace zel
