// Conf.ini text: the reader and the settings taken from it, under both
// decimal separators.
#include <cstdint>

#include "FuzzInput.h"
#include "gateway/Constants.h"
#include "gateway/GatewaySettings.h"
#include "money/CodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const zel::CodePage codePage("WINDOWS-1252");
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* separator : {".", ","}) {
        const zel::ConfigReading reading = zel::ReadConfIni(text, separator, codePage);
        for (const std::string& line : reading.Settings.IdleLines) {
            zel::fuzz::Check(line.size() <= zel::SCREEN_COLUMNS, "idle line over 30 bytes");
        }
        zel::fuzz::Check(reading.Settings.ServerAddress.size() <= 4 * 2047, "address too long");
    }
    return 0;
}
