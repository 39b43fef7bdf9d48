// GatewaySettings and the reading of Conf.ini into them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/TerminalNames.h"

namespace zel {

class CodePage;

struct GatewaySettings {
    std::string ServerAddress;             // [SRV_ZEL] IP; empty: this machine
    std::string ServerCa;                  // [SRV_ZEL] CA; empty: the system's store
    std::string ServerKeyFile;             // [SRV_ZEL] CLAVE_ARCHIVO; empty: no key
    std::int32_t PriceOptions = 0;         // bits 0..2 price list, bit 3 taxes included
    double MONEDA_MINIMA = 0;              // the smallest coin
    double PUNTO_REDONDEO = 0;             // the rounding point
    std::int32_t ESPERA = 0;               // pause after a result screen, ms
    std::uint8_t TIPO = 0;                 // terminal type
    std::array<std::string, 7> IdleLines;  // terminal code page bytes, up to 30 each
    std::int32_t PAUSA_POR_TERMINAL = 0;   // [GENERAL] PAUSA_POR_TERMINAL
    std::int32_t CONEXIONES = 16;          // [SRV_ZEL] lookups in flight at once, 1 to 256
    std::int32_t LIMITE_CONSULTA = 5000;   // [SRV_ZEL] ms a lookup may take
    std::string SIN_SERVICIO;              // [MENSAJES] screen of a failed lookup; empty: none
    std::string MonitorAddress = "127.0.0.1:6200";  // [MONITOR] DIRECCION; empty: no endpoint
    TerminalNames Names;                            // [TERMINALES], for the monitor
};

struct ConfigReading {
    GatewaySettings Settings;
    std::int32_t Port = 0;              // [TCP] PUERTO, handed to the listener
    std::vector<std::string> Warnings;  // one per value that did not convert
};

// The settings from the text of Conf.ini (nullopt: no file). A value written
// in the file is read with decimalSeparator; the built-in defaults always
// convert. When the whole text is valid UTF-8, values other than the server
// address are converted to codePage; otherwise they are taken as its bytes.
// Warnings are UTF-8 text for people: values that did not convert, and values
// taken as written that break the service (a coin that is not positive, a
// rounding point outside 0 up to the coin, a pause over 60 s).
ConfigReading ReadConfIni(const std::optional<std::string>& fileText,
                          std::string_view decimalSeparator, const CodePage& codePage);

// ZEL_CONF when set and not empty, else Conf.ini beside the executable.
std::filesystem::path ConfIniPath();

// The bytes of the file, or nullopt when it is missing, not a regular file or
// unreadable; then *reason (when given) says why, as the system puts it.
std::optional<std::string> LoadConfIniText(const std::filesystem::path& path,
                                           std::string* reason = nullptr);

// Conf.ini as start-up finds it. A file named by ZEL_CONF must be read: when
// it cannot be, Error holds its path and the reason and start-up stops. The
// file beside the executable may be missing (defaults); present but
// unreadable, it gives a warning and the defaults.
struct ConfIniSource {
    std::optional<std::string> Text;
    std::optional<std::string> Error;
    std::vector<std::string> Warnings;
};
ConfIniSource LoadConfIni();

}  // namespace zel
