// Scan requests as a terminal sends them.
#include "rv7300_sim/ScanRequest.h"

#include <cstdio>

#include "gateway/Constants.h"
#include "gateway/Framing.h"

namespace zel {

void CheckScanCode(std::string_view code) {
    if (code.empty()) {
        throw UsageError("bad code \"\": a code has at least one digit");
    }
    for (char c : code) {
        if (c < '0' || c > '9') {
            throw UsageError("bad code \"" + std::string(code) + "\": digits only");
        }
    }
}

std::string EncodeScanRequest(std::string_view code, std::uint8_t type) {
    // A request is laid out as the gateway's own frame of the digits, without
    // the closing EOT: the same block check, computed in one place.
    std::string request = FrameMessage(std::string(code), type);
    request.pop_back();
    return request;
}

std::vector<std::string> ScanCodeWarnings(std::string_view code, std::uint8_t type) {
    std::vector<std::string> warnings;
    const std::string shown = "code " + std::string(code);
    if (code.size() > static_cast<std::size_t>(MAX_CODE_DIGITS)) {
        warnings.push_back(shown + " has " + std::to_string(code.size()) +
                           " digits; the gateway looks up only the first " +
                           std::to_string(MAX_CODE_DIGITS));
    }
    if (type == 0 && code.size() < static_cast<std::size_t>(MAX_CODE_DIGITS)) {
        const char check = EncodeScanRequest(code, type).back();
        if (check >= '0' && check <= '9') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(check));
            warnings.push_back(shown + ": its check byte " + hex + " is the digit '" + check +
                               "', which the gateway reads as part of the code (it looks up " +
                               std::string(code) + check + ")");
        }
    }
    return warnings;
}

}  // namespace zel
