// The simulator's frame decoder, fed in pieces of any size.
#include <cstdint>

#include "FuzzInput.h"
#include "rv7300_sim/FrameDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    zel::FrameDecoder decoder(input.Take<std::uint8_t>() & 1);
    const std::size_t piece = 1 + input.Take<std::uint8_t>() % 64;
    const std::string bytes = input.Rest();
    std::size_t out = 0;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        for (const zel::ReceivedFrame& frame :
             decoder.Feed(std::string_view(bytes).substr(at, piece))) {
            zel::fuzz::Check(frame.bytes.size() <= zel::MAX_FRAME_BYTES + piece,
                             "frame over the limit");
            out += frame.bytes.size();
        }
    }
    if (const auto rest = decoder.Flush()) {
        out += rest->bytes.size();
    }
    zel::fuzz::Check(out == bytes.size(), "bytes lost or added by the decoder");
    return 0;
}
