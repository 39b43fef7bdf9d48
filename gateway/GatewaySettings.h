// GatewaySettings and the reading of Conf.ini into them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zel {

struct GatewaySettings {
    std::string ServerAddress;          // [SRV_ZEL] IP; empty: this machine
    std::int32_t PriceOptions = 0;      // bits 0..2 price list, bit 3 taxes included
    double MONEDA_MINIMA = 0;           // the smallest coin
    double PUNTO_REDONDEO = 0;          // the rounding point
    std::int32_t ESPERA = 0;            // pause after a result screen, ms
    std::uint8_t TIPO = 0;              // terminal type
    std::array<std::string, 7> IdleLines;  // terminal code page bytes, up to 30 each
};

struct ConfigReading {
    GatewaySettings Settings;
    std::int32_t Port = 0;              // [TCP] PUERTO, handed to the listener
    std::vector<std::string> Warnings;  // one per value that did not convert
};

}  // namespace zel
