// HTTP requests as a connection reads them: in pieces of any size, one after
// another on the same connection, with limits small enough to be reached.
// Whatever the bytes, each request ends complete within the limits or failed
// with an error status, and the parser never takes more than it was given
// nor stalls on bytes it was given.
#include <cstdint>

#include "FuzzInput.h"
#include "srv_zel/HttpRequestParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zel::fuzz::Check;
    zel::fuzz::FuzzInput input(data, size);
    const std::size_t piece = input.Take<std::uint8_t>() % 64 + 1;
    zel::HttpLimits limits;
    limits.MaxHeadBytes = 512;
    limits.MaxHeaders = 8;
    limits.MaxBodyBytes = 1024;
    const std::string bytes = input.Rest();
    std::string_view rest(bytes);
    zel::HttpRequestParser parser(limits);
    while (!rest.empty()) {
        const std::string_view chunk = rest.substr(0, piece);
        const std::size_t used = parser.Feed(chunk);
        Check(used <= chunk.size(), "took more than given");
        rest.remove_prefix(used);
        if (parser.Failed()) {
            Check(parser.ErrorStatus() >= 400 && parser.ErrorStatus() <= 505, "error status");
            Check(!parser.ErrorReason().empty(), "a failure says why");
            break;
        }
        if (parser.Done()) {
            const zel::HttpRequest request = parser.Take();
            Check(request.Body.size() <= limits.MaxBodyBytes, "body within its limit");
            Check(request.Headers.size() <= limits.MaxHeaders, "headers within their limit");
            Check(!request.Path.empty() && request.Path[0] == '/', "a path from the root");
            continue;
        }
        Check(used == chunk.size(), "stalled on bytes given");
    }
    return 0;
}
