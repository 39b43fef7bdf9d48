// Frame decoding of what a gateway sends to a terminal.
#include "rv7300_sim/FrameDecoder.h"

#include <cstdio>

#include "gateway/Constants.h"
#include "gateway/Framing.h"

namespace zel {

namespace {

std::string HexByte(char c) {
    char out[8];
    std::snprintf(out, sizeof out, "0x%02X", static_cast<unsigned char>(c));
    return out;
}

}  // namespace

std::vector<ReceivedFrame> FrameDecoder::Feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::vector<ReceivedFrame> frames;
    // Bytes between ETX and EOT: the check byte on type 0, none on type 1.
    const std::size_t gap = type_ == 0 ? 2 : 1;
    while (!buffer_.empty()) {
        if (buffer_.front() != STX) {
            const std::size_t stx = buffer_.find(STX);
            ReceivedFrame stray;
            stray.bytes = buffer_.substr(0, stx);
            stray.fault = std::to_string(stray.bytes.size()) + " byte" +
                          (stray.bytes.size() == 1 ? "" : "s") + " outside a frame";
            frames.push_back(std::move(stray));
            buffer_.erase(0, stx);  // npos: everything
            scanned_ = 1;
            continue;
        }
        std::size_t end = std::string::npos;  // index of the EOT
        for (std::size_t i = scanned_; i + gap < buffer_.size(); ++i) {
            if (buffer_[i] == ETX && buffer_[i + gap] == EOT) {
                end = i + gap;
                break;
            }
        }
        if (end == std::string::npos) {
            // Resume where the search stopped, next time bytes come.
            scanned_ = buffer_.size() > gap ? buffer_.size() - gap : 1;
            if (buffer_.size() > MAX_FRAME_BYTES) {
                ReceivedFrame overlong;
                overlong.bytes = std::move(buffer_);
                overlong.fault =
                    "no end of frame in " + std::to_string(overlong.bytes.size()) + " bytes";
                frames.push_back(std::move(overlong));
                buffer_.clear();
                scanned_ = 1;
            }
            break;
        }
        ReceivedFrame frame;
        frame.bytes = buffer_.substr(0, end + 1);
        frame.text = frame.bytes.substr(1, end - gap - 1);
        frame.hasText = true;
        buffer_.erase(0, end + 1);
        scanned_ = 1;
        if (type_ == 0) {
            const std::string expected = FrameMessage(frame.text, 0);
            const char want = expected[expected.size() - 2];
            const char got = frame.bytes[frame.bytes.size() - 2];
            if (want != got) {
                frame.fault = "BCC " + HexByte(want) + " expected, got " + HexByte(got);
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::optional<ReceivedFrame> FrameDecoder::Flush() {
    if (buffer_.empty()) {
        return std::nullopt;
    }
    ReceivedFrame unfinished;
    unfinished.bytes = std::move(buffer_);
    buffer_.clear();
    scanned_ = 1;
    const std::string& b = unfinished.bytes;
    const auto etx = b.find(ETX, 1);
    if (etx == std::string::npos) {
        unfinished.fault = "unfinished frame: no ETX";
    } else {
        unfinished.fault = "unfinished frame: no EOT after the ETX";
        // The commonest cause: the gateway frames for the other terminal type.
        const std::string typeOneEnd{ETX, EOT};
        if (type_ == 0 && b.find(typeOneEnd, 1) != std::string::npos) {
            unfinished.fault += " (frames of type 1? try --type 1)";
        } else if (type_ != 0) {
            for (std::size_t i = 1; i + 2 < b.size(); ++i) {
                if (b[i] == ETX && b[i + 2] == EOT) {
                    unfinished.fault += " (frames of type 0? try --type 0)";
                    break;
                }
            }
        }
    }
    return unfinished;
}

}  // namespace zel
