// FrameMessage for both terminal types.
#include <gtest/gtest.h>

#include <string>

#include "gateway/Framing.h"

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

// An idle screen of seven full lines: the letters cancel out in the BCC.
const std::string kIdle211 = "\x0B" + std::string(210, 'A');

const std::string kNotFound =
    "\x0B\x0D"
    "ARTICULO NO ENCONTRADO\x0D";

struct FrameRow {
    const char* what;
    std::string text;
    std::uint8_t tipo;
    std::string frame;
};

TEST(FrameMessage, EveryLayout) {
    const FrameRow rows[] = {
        {"empty, type 0", "", 0, Bytes({0x02, 0x03, 0x03, 0x04})},
        {"empty, type 1", "", 1, Bytes({0x02, 0x03, 0x04})},
        {"abc, type 0", "abc", 0, Bytes({0x02, 0x61, 0x62, 0x63, 0x03, 0x63, 0x04})},
        {"abc, type 1", "abc", 1, Bytes({0x02, 0x61, 0x62, 0x63, 0x03, 0x04})},
        {"zero BCC still sent", Bytes({0x03}), 0, Bytes({0x02, 0x03, 0x03, 0x00, 0x04})},
        {"not found, type 1", kNotFound, 1, "\x02" + kNotFound + "\x03\x04"},
        {"not found, type 0", kNotFound, 0, "\x02" + kNotFound + "\x03\x17\x04"},
        {"tipo 2 is type 1", "abc", 2, Bytes({0x02, 0x61, 0x62, 0x63, 0x03, 0x04})},
        {"tipo 255 is type 1", "abc", 255, Bytes({0x02, 0x61, 0x62, 0x63, 0x03, 0x04})},
        {"control bytes kept, type 0", Bytes({0x02, 0x03, 0x04}), 0,
         Bytes({0x02, 0x02, 0x03, 0x04, 0x03, 0x06, 0x04})},
        {"control bytes kept, type 1", Bytes({0x02, 0x03, 0x04}), 1,
         Bytes({0x02, 0x02, 0x03, 0x04, 0x03, 0x04})},
        {"BCC equal to EOT not escaped", Bytes({0x07}), 0, Bytes({0x02, 0x07, 0x03, 0x04, 0x04})},
        {"high bytes and NUL", Bytes({0xFF, 0x00, 0x80}), 0,
         Bytes({0x02, 0xFF, 0x00, 0x80, 0x03, 0x7C, 0x04})},
        {"idle screen of 211 bytes", kIdle211, 0, "\x02" + kIdle211 + "\x03\x08\x04"},
    };
    for (const FrameRow& r : rows) {
        const std::string copy = r.text;
        EXPECT_EQ(zel::FrameMessage(r.text, r.tipo), r.frame) << r.what;
        EXPECT_EQ(r.text, copy) << r.what;
    }
    EXPECT_EQ(zel::FrameMessage(kNotFound, 1).size(), 28u);
    EXPECT_EQ(zel::FrameMessage(kNotFound, 0).size(), 29u);
    EXPECT_EQ(zel::FrameMessage(kIdle211, 0).size(), 215u);
}

}  // namespace
