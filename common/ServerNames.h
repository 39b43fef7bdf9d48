// What the gateway and the application server agree on by name: the server
// class, the tax query and the server's default port.
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

}  // namespace zel
