// The server address a shop writes in Conf.ini.
#include <cstdint>

#include "FuzzInput.h"
#include "server/ServerAddress.h"
#include "server/ServerError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    const bool allowZero = input.Take<std::uint8_t>() & 1;
    const std::string text = input.Rest();
    try {
        const zel::ServerAddress address = zel::ParseServerAddress(text, 6100, allowZero);
        zel::fuzz::Check(allowZero || address.Port != 0, "port 0 taken");
        // What it writes back reads as the same address.
        zel::fuzz::Check(zel::ParseServerAddress(address.ToString(), 6100, allowZero) == address,
                         "address does not read back");
    } catch (const zel::ServerError&) {
    }
    return 0;
}
