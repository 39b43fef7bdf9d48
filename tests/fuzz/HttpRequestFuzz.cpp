// HTTP requests as a connection reads them: in pieces of any size, one after
// another on the same connection, with limits small enough to be reached.
// Whatever the bytes, each request ends complete within the limits or failed
// with an error status, and the parser never takes more than it was given
// nor stalls on bytes it was given.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzInput.h"
#include "srv_zel/HttpRequestReader.h"

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
    zel::HttpRequestReader reader(limits);
    boost::beast::flat_buffer buffer(zel::HttpRequestReader::BufferBytes(limits));
    using Step = zel::HttpRequestReader::Step;
    while (!rest.empty()) {
        // What the buffer has room for, as a connection reads.
        const std::string_view chunk =
            rest.substr(0, std::min(piece, buffer.max_size() - buffer.size()));
        Check(!chunk.empty(), "stalled on a full buffer");
        const auto to = buffer.prepare(chunk.size());
        std::memcpy(to.data(), chunk.data(), chunk.size());
        buffer.commit(chunk.size());
        rest.remove_prefix(chunk.size());
        for (Step step = reader.Feed(buffer); step != Step::ReadHead && step != Step::ReadBody;
             step = reader.Feed(buffer)) {
            if (step == Step::Failed) {
                Check(reader.ErrorStatus() >= 400 && reader.ErrorStatus() <= 505, "error status");
                Check(!reader.ErrorReason().empty(), "a failure says why");
                return 0;
            }
            const zel::HttpRequest request = reader.Take();
            Check(request.Body.size() <= limits.MaxBodyBytes, "body within its limit");
            Check(request.Headers.size() <= limits.MaxHeaders, "headers within their limit");
            Check(!request.Path.empty() && request.Path[0] == '/', "a path from the root");
        }
    }
    return 0;
}
