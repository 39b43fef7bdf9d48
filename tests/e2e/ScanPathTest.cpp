// The road of one scan through the real processes: the greeting, found and
// not-found answers on each terminal type, taxes, what a read must hold, and
// the terminal simulator against the gateway.
#include <gtest/gtest.h>

#include "GatewayFixture.h"
#include "gateway/Constants.h"

namespace zel::e2e {
namespace {

using std::chrono::milliseconds;

// The idle lines A to G, framed for each type, byte for byte.
constexpr std::string_view kIdleType0 = "02 0B 41 42 43 44 45 46 47 03 48 04";
constexpr std::string_view kIdleType1 = "02 0B 41 0D 42 0D 43 0D 44 0D 45 0D 46 0D 47 0D 03 04";

TEST_F(GatewayTest, AConnectingTerminalIsGreetedWithTheIdleScreen) {
    struct Case {
        int tipo;
        std::string_view frame;
    };
    for (const Case& c : {Case{0, kIdleType0}, Case{1, kIdleType1}, Case{2, kIdleType1}}) {
        SCOPED_TRACE("TIPO " + std::to_string(c.tipo));
        GatewayConfig config;
        config.Tipo = c.tipo;
        StartGateway(config);
        Terminal terminal(gateway_->Port(), c.tipo);  // sends nothing
        EXPECT_EQ(Hex(terminal.ExpectFrame(kPrompt).Bytes), c.frame);
        EXPECT_EQ(Hex(ExpectedIdleFrame(config)), c.frame);
        EXPECT_EQ(terminal.ReadFor(milliseconds(200)), "");
    }
}

TEST_F(GatewayTest, FullIdleLinesMakeTheLongestIdleFrames) {
    for (const int tipo : {0, 1}) {
        GatewayConfig config;
        config.Tipo = tipo;
        for (std::size_t i = 0; i < config.IdleLines.size(); ++i) {
            config.IdleLines[i] = std::string(30, static_cast<char>('a' + i));
        }
        StartGateway(config);
        Terminal terminal(gateway_->Port(), tipo);
        const Frame greeting = terminal.ExpectFrame(kPrompt);
        EXPECT_EQ(greeting.Bytes.size(), tipo == 0 ? 215u : 221u);
        EXPECT_EQ(greeting.Bytes, ExpectedIdleFrame(config));
    }
}

TEST_F(GatewayTest, AFoundArticleShowsItsPriceThenTheIdleScreenAfterThePause) {
    struct Case {
        int tipo;
        std::string_view code;
        std::string expected;  // the result frame
    };
    const Case cases[] = {
        // Line 1 centred (8 spaces), price line centred (12 spaces), BCC 0x35.
        {0, kMilk,
         FromHex("02 0B 0D 20 20 20 20 20 20 20 20 4C 45 43 48 45 20 45 4E 54 45 52 41 20 31 4C"
                 " 0D 0D 0D 20 20 20 20 20 20 20 20 20 20 20 20 24 38 39 2E 35 30 03 35 04")},
        // Nothing centred, no check byte.
        {1, kMilk,
         FromHex("02 0B 0D 4C 45 43 48 45 20 45 4E 54 45 52 41 20 31 4C 0D 0D 0D"
                 " 24 38 39 2E 35 30 03 04")},
        // 40 characters: line 2 holds the last 10, centred; é is 0xE9.
        {0, kCoffee, ExpectedResultFrame(kCoffeeText, "$18.50", 0)},
        {1, kCoffee, ExpectedResultFrame(kCoffeeText, "$18.50", 1)},
        {2, kCoffee, ExpectedResultFrame(kCoffeeText, "$18.50", 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("TIPO " + std::to_string(c.tipo) + ", code " + std::string(c.code));
        GatewayConfig config;
        config.Tipo = c.tipo;
        config.Espera = 300;
        StartGateway(config);
        auto terminal = Connect();
        terminal->Scan(c.code);
        const Frame result = terminal->ExpectFrame(kPrompt);
        const Frame idle = terminal->ExpectFrame(kPrompt);
        EXPECT_EQ(Hex(result.Bytes), Hex(c.expected));
        EXPECT_EQ(Hex(idle.Bytes), Hex(ExpectedIdleFrame(config)));
        EXPECT_GE(MillisecondsBetween(result.At, idle.At), config.Espera - kStampNoiseMs);
        EXPECT_EQ(terminal->ReadFor(milliseconds(200)), "");
    }
    // The helper agrees with the literal bytes above.
    EXPECT_EQ(Hex(cases[0].expected), Hex(ExpectedResultFrame(kMilkText, "$89.50", 0)));
    EXPECT_EQ(Hex(cases[1].expected), Hex(ExpectedResultFrame(kMilkText, "$89.50", 1)));
}

TEST_F(GatewayTest, ANotFoundScreenOnlyOnTypeOneElseTheIdleScreenAtOnce) {
    constexpr int kEspera = 1000;  // long enough to tell "at once" from "after the pause"
    struct Case {
        int tipo;
        std::string_view notFound;  // empty: no not-found screen
    };
    const Case cases[] = {
        {0, ""},
        {1, "02 0B 0D 41 52 54 49 43 55 4C 4F 20 4E 4F 20 45 4E 43 4F 4E 54 52 41 44 4F 0D 03 04"},
        {2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("TIPO " + std::to_string(c.tipo));
        GatewayConfig config;
        config.Tipo = c.tipo;
        config.Espera = kEspera;
        StartGateway(config);
        auto terminal = Connect();
        const auto sent = terminal->Scan(kMissing);
        const Frame first = terminal->ExpectFrame(kPrompt);
        if (c.notFound.empty()) {
            EXPECT_EQ(first.Bytes, ExpectedIdleFrame(config));
            EXPECT_LT(MillisecondsBetween(sent, first.At), kEspera / 2);
        } else {
            EXPECT_EQ(Hex(first.Bytes), c.notFound);
            EXPECT_EQ(first.Bytes, ExpectedNotFoundFrame(c.tipo));
            const Frame idle = terminal->ExpectFrame(kPrompt);
            EXPECT_EQ(idle.Bytes, ExpectedIdleFrame(config));
            EXPECT_GE(MillisecondsBetween(first.At, idle.At), kEspera - kStampNoiseMs);
        }
        EXPECT_EQ(terminal->ReadFor(milliseconds(200)), "");
    }
}

TEST_F(GatewayTest, TaxesAreAddedUnlessPricesIncludeThem) {
    struct Case {
        int impsIncluido;
        std::string_view code;
        std::string_view description;
        std::string_view money;
    };
    const Case cases[] = {
        {0, kOil, "ACEITE 1L", "$124.00"},                // 100 × (1 + 0.16 + 0.08)
        {0, kOliveOil, "ACEITE DE OLIVA 1L", "$125.28"},  // 100 × 1.16 × 1.08
        {0, kMilk, kMilkText, "$89.50"},                  // no tax applies
        {1, kOil, "ACEITE 1L", "$100.00"},
        {1, kOliveOil, "ACEITE DE OLIVA 1L", "$100.00"},
    };
    int started = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE("IMPS_INCLUIDO " + std::to_string(c.impsIncluido) + ", code " +
                     std::string(c.code));
        if (started != c.impsIncluido) {
            GatewayConfig config;
            config.Tipo = 1;
            config.Espera = 0;
            config.ImpsIncluido = c.impsIncluido;
            StartGateway(config);
            started = c.impsIncluido;
        }
        auto terminal = Connect();
        terminal->Scan(c.code);
        EXPECT_EQ(Hex(terminal->ExpectFrame(kPrompt).Bytes),
                  Hex(ExpectedResultFrame(c.description, c.money, 1)));
        EXPECT_EQ(terminal->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(gateway_->Config()));
    }
}

// What one read must hold: STX first, then up to 13 digits from anywhere in
// it; everything else is skipped.
TEST_F(GatewayTest, WhatAReadHoldsDecidesTheLookup) {
    struct Case {
        std::string name;
        std::string read;
        std::string_view description;  // empty: no reply at all
        std::string_view money;
    };
    const std::string longRead =
        STX + std::string(154, 'x') + "750100011" + std::string(130, ETX) + "120699";
    const Case cases[] = {
        {"a plain scan", ScanRequest(kMilk), kMilkText, "$89.50"},
        {"a check byte after ETX", ScanRequest(kMilk) + '\x00', kMilkText, "$89.50"},
        {"15 digits: the first 13 count", ScanRequest("750100011120699"), kSugarText, "$25.00"},
        {"two frames in one read join", ScanRequest(kMilk) + ScanRequest(kBread), "LECHE Y PAN",
         "$2.00"},
        {"letters are skipped", STX + std::string("7a5b0c1") + ETX, kMilkText, "$89.50"},
        {"a 300-byte read is examined to its end", longRead, kSugarText, "$25.00"},
        {"no STX first", "7501\x03", "", ""},
        {"a blank before STX", " " + ScanRequest(kMilk), "", ""},
        {"STX and ETX only", ScanRequest(""), "", ""},
    };
    GatewayConfig config;
    config.Tipo = 0;
    config.Espera = 0;
    StartGateway(config);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto terminal = Connect();
        terminal->Send(c.read);
        if (c.description.empty()) {
            EXPECT_EQ(Hex(terminal->ReadFor(milliseconds(300))), "");
            continue;
        }
        EXPECT_EQ(Hex(terminal->ExpectFrame(kPrompt).Bytes),
                  Hex(ExpectedResultFrame(c.description, c.money, 0)));
        EXPECT_EQ(terminal->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config));
        EXPECT_EQ(terminal->ReadFor(milliseconds(100)), "");
    }
}

TEST_F(GatewayTest, AFrameSplitOverTwoReadsIsLookedUpWithItsFirstPart) {
    GatewayConfig config;
    config.Espera = 300;
    StartGateway(config);
    auto terminal = Connect();
    terminal->Send(STX + std::string("7501"));  // the rest of 7501000111206 comes later
    EXPECT_EQ(terminal->ExpectFrame(kPrompt).Bytes, ExpectedResultFrame(kMilkText, "$89.50", 0));
    terminal->Send("000111206\x03");  // no STX: ignored after the pause
    EXPECT_EQ(terminal->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config));
    EXPECT_EQ(Hex(terminal->ReadFor(milliseconds(400))), "");
}

TEST_F(GatewayTest, TheSimulatorScansThroughTheGateway) {
    GatewayConfig config;
    config.Espera = 200;
    StartGateway(config);
    ChildOptions options;
    options.Arguments = {ProgramPaths().Simulator,
                         "127.0.0.1:" + std::to_string(gateway_->Port()),
                         "--type",
                         "0",
                         "--wait",
                         "3000",
                         "--scan",
                         std::string(kMilk)};
    options.StandardOutput = dir_.File("sim.out");
    options.StandardError = dir_.File("sim.err");
    ChildProcess simulator(options);
    const auto status = simulator.WaitExit(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "the simulator did not end";
    const std::string out = ReadWholeFile(options.StandardOutput);
    EXPECT_EQ(ExitCode(*status), 0) << DescribeStatus(*status) << "\n"
                                    << out << ReadWholeFile(options.StandardError);
    EXPECT_NE(out.find("|ABCDEFG                       |"), std::string::npos) << out;
    EXPECT_NE(out.find("|        LECHE ENTERA 1L       |"), std::string::npos) << out;
    EXPECT_NE(out.find("|            $89.50            |"), std::string::npos) << out;
    EXPECT_EQ(out.find("bad frame"), std::string::npos) << out;
}

}  // namespace
}  // namespace zel::e2e
