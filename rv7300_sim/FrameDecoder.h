// Cuts the byte stream from a gateway into frames and checks each one.
//
// Bytes are fed as they arrive: a frame may be split across reads and one
// read may hold several frames. A frame is STX, text, ETX, then on type 0 the
// block-check byte, then EOT. Nothing is escaped, so the text may hold any
// byte; a frame ends at the first ETX that is followed by EOT in the right
// place. What breaks the rules comes out as a frame with a fault: bytes
// outside a frame, a wrong check byte, a frame that never ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

struct ReceivedFrame {
    std::string bytes;     // exactly as received
    std::string text;      // between STX and ETX; empty when there is none
    bool hasText = false;  // false for bytes outside a frame and unfinished frames
    std::string fault;     // empty for a good frame, otherwise why it is bad

    bool Good() const { return fault.empty(); }
};

// A frame longer than this is given up as bad rather than buffered forever.
inline constexpr std::size_t MAX_FRAME_BYTES = 64 * 1024;

class FrameDecoder {
public:
    explicit FrameDecoder(std::uint8_t type) : type_(type) {}

    // Every frame (good or bad) that the bytes received so far complete.
    std::vector<ReceivedFrame> Feed(std::string_view bytes);

    // An unfinished frame, reported as bad and dropped: for when the gateway
    // has gone quiet or closed the connection. Nothing when no bytes wait.
    std::optional<ReceivedFrame> Flush();

    bool Pending() const { return !buffer_.empty(); }

private:
    std::uint8_t type_;
    std::string buffer_;
    std::size_t scanned_ = 1;  // where the search for the end of the frame resumes
};

}  // namespace zel
