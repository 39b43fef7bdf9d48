// HttpRequest: one HTTP request as srv_zel's handlers see it, and the limits
// a connection reads it within.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel {

class CancelSignal;

struct HttpLimits {
    std::size_t MaxHeadBytes = 16u << 10;  // request line and headers
    std::size_t MaxHeaders = 64;
    std::size_t MaxBodyBytes = 1u << 20;  // decoded, whatever the framing
};

struct HttpRequest {
    std::string Method;
    std::string Target;                                        // as sent, query included
    std::string Path;                                          // the target up to '?'
    std::vector<std::pair<std::string, std::string>> Headers;  // names in lower case
    std::string Body;
    bool KeepAlive = true;
    std::string RemoteAddress;
    int RemotePort = 0;
    // Cancelled when the client goes or the server stops, while the request
    // waits for a worker or is served; every request a server hands to a
    // handler has one.
    std::shared_ptr<CancelSignal> Gone;

    // The first header of that name (lower case), or empty.
    std::string_view Header(std::string_view lowerName) const;
};

}  // namespace zel
