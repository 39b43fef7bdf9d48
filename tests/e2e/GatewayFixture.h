// What every end-to-end test starts from: the shop's test catalogue served by
// srv_zel, a gateway started on it with a given Conf.ini, and the screens the
// terminals are expected to show, laid out here independently of the
// gateway's own screen code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Bytes.h"
#include "GatewayStack.h"
#include "Terminal.h"

namespace zel::e2e {

// The catalogue (prices on list 1) and its taxes 16 %, 0 %, 8 %.
const std::vector<Article>& TestArticles();
const std::vector<std::string>& TestTaxes();

// Articles the tests name.
inline constexpr std::string_view kMilk = "7501";            // 89.50, no taxes
inline constexpr std::string_view kBread = "7502";           // 35.50, no taxes
inline constexpr std::string_view kOil = "7503";             // 100 + taxes 1 and 3, simple
inline constexpr std::string_view kOliveOil = "7504";        // 100 + tax 1, tax 3 compounding
inline constexpr std::string_view kRice = "7505";            // 1,234.50
inline constexpr std::string_view kCoffee = "7506";          // 40 characters, one accented
inline constexpr std::string_view kSoda = "7507";            // 10.30
inline constexpr std::string_view kSugar = "7501000111206";  // 25.00, 13 digits
inline constexpr std::string_view kMissing = "9999";

// Descriptions as the terminal code page (windows-1252) writes them.
inline constexpr std::string_view kMilkText = "LECHE ENTERA 1L";
inline constexpr std::string_view kBreadText = "PAN BLANCO";
inline constexpr std::string_view kSugarText = "AZUCAR ESTANDAR 1KG";
inline constexpr std::string_view kCoffeeText = "Caf\xE9 de olla molido en grano, bolsa 500g";

// Expected frames, built from the layout rules with plain string work and
// framed by the product's FrameMessage (whose bytes the literal-hex tests pin).
std::string ExpectedIdleFrame(const GatewayConfig& config);
std::string ExpectedResultFrame(std::string_view description, std::string_view money, int tipo);
std::string ExpectedNotFoundFrame(int tipo);
// A one-line message laid out as the not-found screen (SIN_SERVICIO).
std::string ExpectedMessageFrame(std::string_view text, int tipo);

// Wait for one frame at most this long when a frame is due now.
inline constexpr std::chrono::milliseconds kPrompt{3000};

// How late a frame's arrival may be stamped (the test's own thread woken
// late on a busy machine), which can make a measured pause look shorter.
// Well below the 5 % by which a coarse timer could cut a pause.
inline constexpr double kStampNoiseMs = 8;

class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override;

    // A gateway on this test's srv_zel (when config names no server), once it
    // listens.
    Gateway& StartGateway(GatewayConfig config = {}, GatewayRun run = {});
    // A terminal of the gateway's type, connected, its greeting checked.
    std::unique_ptr<Terminal> Connect();

    TempDir dir_;
    std::unique_ptr<SrvZel> server_;
    std::unique_ptr<Gateway> gateway_;
};

}  // namespace zel::e2e
