// What the gateway and the application server agree on by name: the server
// class, the tax query, the server's default port, and the header that says
// how old a store's catalogue is.
#pragma once

#include <cstdint>
#include <string_view>

namespace zel {

inline constexpr std::string_view SERVER_CLASS = "Srv_Zel.Data_Srv_Zel";
inline constexpr std::string_view TAX_PROVIDER = "QueryMultiaProvider";
inline constexpr std::string_view TAX_COMMAND = "Select PCT From Impuestos";
inline constexpr std::string_view TAX_COLUMN = "PCT";
inline constexpr int TAX_RATE_COUNT = 9;
inline constexpr std::uint16_t DEFAULT_SERVER_PORT = 6100;
// On a lookup's answer from a store's replicated catalogue: when its prices
// were last known to equal the head office's (UTC, ISO 8601). Absent: current.
inline constexpr const char* CATALOGUE_AS_OF_HEADER = "Catalogue-As-Of";

}  // namespace zel
