#include "server/ConnectProbe.h"

#include <cerrno>
#include <cstring>

#include <netdb.h>

#include "server/TcpConnect.h"

namespace zel {

namespace {

std::string LowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::string ProbeConnect(const ServerAddress& address, std::chrono::milliseconds timeout) {
    const TcpConnectResult result = ConnectTcp(address.Host, address.Port, timeout);
    if (result.LookupError != 0) {
        return "host '" + address.Host +
               "' not found: " + LowerFirst(gai_strerror(result.LookupError));
    }
    if (result.Error == 0) {
        return "connects now";
    }
    if (result.Error == ETIMEDOUT) {
        return "no connection within " + std::to_string(timeout.count()) + " ms";
    }
    return LowerFirst(std::strerror(result.Error));
}

}  // namespace zel
