// Scan requests: bytes on the wire, refused codes and warnings.
#include <gtest/gtest.h>

#include <string>

#include "rv7300_sim/ScanRequest.h"

namespace zel {
namespace {

using namespace std::string_literals;

TEST(ScanRequestTest, EncodesTheRequestOfEachType) {
    const struct {
        const char* code;
        std::uint8_t type;
        std::string bytes;
    } cases[] = {
        {"7501", 0,
         "\x02"
         "7501\x03\x00"s},  // the digits cancel out: BCC 0x00 is still sent
        {"7501", 1,
         "\x02"
         "7501\x03"},
        {"1", 0,
         "\x02"
         "1\x03\x32"},
        {"1", 1,
         "\x02"
         "1\x03"},
        {"12345678901234", 0,
         "\x02"
         "12345678901234\x03\x06"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(EncodeScanRequest(c.code, c.type), c.bytes);
    }
}

TEST(ScanRequestTest, RefusesCodesThatAreNotDigits) {
    for (const char* bad : {"", "12a", " 1", "1 ", "-1", "1.5", "+7", "\xD9\xA1"}) {
        SCOPED_TRACE(bad);
        try {
            CheckScanCode(bad);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_NE(std::string(e.what()).find("\"" + std::string(bad) + "\""), std::string::npos)
                << e.what();
        }
    }
    EXPECT_NO_THROW(CheckScanCode("0"));
    EXPECT_NO_THROW(CheckScanCode("00000000000000000000"));
}

TEST(ScanRequestTest, WarnsWhatTheGatewayWillMakeOfACode) {
    const struct {
        const char* code;
        std::uint8_t type;
        std::string warning;  // part of the only warning; empty: none
    } cases[] = {
        {"7501", 0, ""},
        {"1", 1, ""},
        {"1", 0, "check byte 0x32 is the digit '2'"},
        {"1234567890123", 0, ""},  // 13 digits: the check byte comes too late to count
        {"12345678901234", 1, "has 14 digits; the gateway looks up only the first 13"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const auto warnings = ScanCodeWarnings(c.code, c.type);
        if (c.warning.empty()) {
            EXPECT_TRUE(warnings.empty());
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        }
    }
}

}  // namespace
}  // namespace zel
