// Frame decoding: whole, split and joined frames, and every kind of bad one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/Framing.h"
#include "rv7300_sim/FrameDecoder.h"
#include "tests/rv7300_sim/TestBytes.h"

namespace zel {
namespace {

using namespace std::string_literals;
using test::Hex;

struct Expected {
    bool hasText;
    std::string text;
    std::string fault;  // part of the reason; empty for a good frame
};

struct Case {
    const char* name;
    std::uint8_t type;
    std::vector<std::string> chunks;  // as the reads deliver them
    std::vector<Expected> frames;     // what Feed yields, then what Flush yields
};

const std::string kNotFound = "\x0B\x0D"s + "ARTICULO NO ENCONTRADO" + "\x0D";

std::vector<std::string> SplitEvery(const std::string& bytes, std::size_t n) {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < bytes.size(); i += n) {
        parts.push_back(bytes.substr(i, n));
    }
    return parts;
}

std::string WithBcc(std::string frame, char bcc) {
    frame[frame.size() - 2] = bcc;
    return frame;
}

TEST(FrameDecoderTest, CutsAndChecksFrames) {
    const std::string notFound0 = FrameMessage(kNotFound, 0);
    const std::string overlong = "\x02"s + std::string(MAX_FRAME_BYTES + 10, 'A');
    // clang-format off
    const Case cases[] = {
        {"type 0 abc", 0, {Hex("02 61 62 63 03 63 04")}, {{true, "abc", ""}}},
        {"type 1 abc", 1, {Hex("02 61 62 63 03 04")}, {{true, "abc", ""}}},
        {"type 0 empty text", 0, {Hex("02 03 03 04")}, {{true, "", ""}}},
        {"type 1 empty text", 1, {Hex("02 03 04")}, {{true, "", ""}}},
        {"type 0 text ETX, zero BCC", 0, {Hex("02 03 03 00 04")}, {{true, "\x03", ""}}},
        {"type 1 EOT inside the text", 1, {Hex("02 41 04 42 03 04")},
         {{true, Hex("41 04 42"), ""}}},
        {"type 0 one byte a read", 0, SplitEvery(notFound0, 1), {{true, kNotFound, ""}}},
        {"type 0 split between ETX and BCC", 0, {Hex("02 61 62 63 03"), Hex("63 04")},
         {{true, "abc", ""}}},
        {"type 1 two frames in one read, third split", 1,
         {Hex("02 41 03 04 02 42 03 04 02 43"), Hex("03 04")},
         {{true, "A", ""}, {true, "B", ""}, {true, "C", ""}}},
        {"type 0 bad BCC keeps the text", 0, {WithBcc(notFound0, '\x16')},
         {{true, kNotFound, "BCC 0x17 expected, got 0x16"}}},
        {"garbage before STX", 1, {Hex("78 78 02 41 03 04")},
         {{false, "", "2 bytes outside a frame"}, {true, "A", ""}}},
        {"garbage after the last frame", 0, {Hex("02 03 03 04 7A")},
         {{true, "", ""}, {false, "", "1 byte outside a frame"}}},
        {"missing EOT", 0, {Hex("02 41 03 42")},
         {{false, "", "unfinished frame: no EOT after the ETX"}}},
        {"no ETX", 1, {Hex("02 41 42 04")}, {{false, "", "unfinished frame: no ETX"}}},
        {"type-1 frames read as type 0", 0, {Hex("02 41 03 04")}, {{false, "", "try --type 1"}}},
        {"type-0 frame read as type 1", 1, {Hex("02 41 03 42 04")}, {{false, "", "try --type 0"}}},
        {"frame that never ends", 1, {overlong}, {{false, "", "no end of frame in"}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameDecoder decoder(c.type);
        std::vector<ReceivedFrame> got;
        std::string all;
        for (const auto& chunk : c.chunks) {
            all += chunk;
            for (auto& f : decoder.Feed(chunk)) {
                got.push_back(std::move(f));
            }
        }
        if (auto rest = decoder.Flush()) {
            got.push_back(std::move(*rest));
        }
        EXPECT_FALSE(decoder.Pending());
        ASSERT_EQ(got.size(), c.frames.size());
        std::string joined;
        for (std::size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(i);
            joined += got[i].bytes;
            EXPECT_EQ(got[i].hasText, c.frames[i].hasText);
            EXPECT_EQ(got[i].text, c.frames[i].text);
            if (c.frames[i].fault.empty()) {
                EXPECT_TRUE(got[i].Good()) << got[i].fault;
            } else {
                EXPECT_NE(got[i].fault.find(c.frames[i].fault), std::string::npos) << got[i].fault;
            }
        }
        // Every byte received is accounted for, once and in order.
        EXPECT_EQ(joined, all);
    }
}

TEST(FrameDecoderTest, KeepsWorkingAfterABadFrame) {
    FrameDecoder decoder(0);
    auto first = decoder.Feed(WithBcc(FrameMessage("abc", 0), '\x00'));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_FALSE(first[0].Good());
    auto second = decoder.Feed(FrameMessage("def", 0));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].Good());
    EXPECT_EQ(second[0].text, "def");
}

}  // namespace
}  // namespace zel
