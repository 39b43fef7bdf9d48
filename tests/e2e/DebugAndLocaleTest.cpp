// The debug switch and its log lines on stderr, the money text and the
// Conf.ini decimals under each locale, and the signals that end the gateway.
#include <signal.h>

#include <gtest/gtest.h>

#include "GatewayFixture.h"

namespace zel::e2e {
namespace {

using std::chrono::milliseconds;

// A found scan of 7501 and a not-found scan of 9999, as the log writes them.
constexpr std::string_view kFoundLines =
    "2 55 53 48 49 3 \nEnviado...\nYa se envio\nDespues del delay\nmensaje pase codigo\n";
constexpr std::string_view kNotFoundLines = "2 57 57 57 57 3 \nmensaje pase codigo\n";

TEST_F(GatewayTest, OnlyTheSingleArgumentDebugWritesTheTraceAndTheStepsOnStderr) {
    struct Case {
        std::vector<std::string> arguments;
        bool logs;
    };
    const Case cases[] = {
        {{"DEBUG"}, true},           {{}, false},         {{"debug"}, false},
        {{"DEBUG", "DEBUG"}, false}, {{"DEBUG "}, false},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.arguments) {
            shown += "[" + a + "]";
        }
        SCOPED_TRACE("arguments " + shown);
        GatewayConfig config;
        config.Espera = 50;
        StartGateway(config, GatewayRun{c.arguments});
        auto terminal = Connect();
        terminal->Scan(kMilk);
        terminal->ExpectFrame(kPrompt);
        terminal->ExpectFrame(kPrompt);
        terminal->Scan(kMissing);
        terminal->ExpectFrame(kPrompt);

        const auto status = gateway_->Stop(SIGTERM);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(ExitCode(*status), 0) << DescribeStatus(*status);
        const std::string err = gateway_->Stderr();
        if (c.logs) {
            EXPECT_NE(err.find(std::string(kFoundLines) + std::string(kNotFoundLines)),
                      std::string::npos)
                << err;
        } else {
            EXPECT_EQ(err, "");
        }
    }
}

TEST_F(GatewayTest, TheMoneyTextAndTheConfDecimalsFollowTheLocale) {
    // The coin of 0.5 with rounding point 0.25 makes 10.30 show as 10.50, so
    // a coin written with the wrong separator (which falls back to 0.01 with
    // a warning) shows as 10.30 and is caught.
    struct Case {
        std::string locale;
        std::string coin;
        std::string roundingPoint;
        std::string_view milk;  // 89.50
        std::string_view rice;  // 1234.50
        std::string_view soda;  // 10.30 rounded to the coin
    };
    const Case cases[] = {
        {"en_US.UTF-8", "0.5", "0.25", "$89.50", "$1,234.50", "$10.50"},
        // The euro sign is 0x80 in windows-1252.
        {"es_ES.UTF-8", "0,5", "0,25", "89,50 \x80", "1.234,50 \x80", "10,50 \x80"},
        // Digits are grouped with the locale's number separator, U+202F here,
        // which windows-1252 writes as its no-break space 0xA0.
        {"es_MX.UTF-8", "0.5", "0.25", "$ 89.50",
         "$ 1\xA0"
         "234.50",
         "$ 10.50"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        for (const int tipo : {0, 1}) {
            SCOPED_TRACE("TIPO " + std::to_string(tipo));
            GatewayConfig config;
            config.Tipo = tipo;
            config.Espera = 0;
            config.MonedaMinima = c.coin;
            config.PuntoRedondeo = c.roundingPoint;
            StartGateway(config, GatewayRun{{}, c.locale});
            auto terminal = Connect();
            const std::pair<std::string_view, std::string_view> scans[] = {
                {kMilk, c.milk}, {kRice, c.rice}, {kSoda, c.soda}};
            const std::string_view texts[] = {kMilkText, "ARROZ 25KG", "REFRESCO 2L"};
            for (std::size_t i = 0; i < std::size(scans); ++i) {
                terminal->Scan(scans[i].first);
                EXPECT_EQ(Hex(terminal->ExpectFrame(kPrompt).Bytes),
                          Hex(ExpectedResultFrame(texts[i], scans[i].second, tipo)));
                terminal->ExpectFrame(kPrompt);
            }
            EXPECT_EQ(gateway_->Stderr(), "") << "no warning expected";
        }
    }
}

TEST_F(GatewayTest, TheLiteralSpanishFrame) {
    // The milk on type 0 under es_ES: "89,50 €" centred, windows-1252.
    GatewayConfig config;
    config.Espera = 0;
    config.MonedaMinima = "0,01";
    config.PuntoRedondeo = "0,005";
    StartGateway(config, GatewayRun{{}, "es_ES.UTF-8"});
    auto terminal = Connect();
    terminal->Scan(kMilk);
    EXPECT_EQ(Hex(terminal->ExpectFrame(kPrompt).Bytes),
              "02 0B 0D 20 20 20 20 20 20 20 20 4C 45 43 48 45 20 45 4E 54 45 52 41 20 31 4C 0D "
              "0D 0D 20 20 20 20 20 20 20 20 20 20 20 20 38 39 2C 35 30 20 80 03 B3 04");
}

TEST_F(GatewayTest, SigtermAndSigintEndTheGatewayWithStatusZero) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        StartGateway();
        auto terminal = Connect();
        const auto status = gateway_->Stop(signal);
        ASSERT_TRUE(status.has_value()) << "still running";
        EXPECT_EQ(ExitCode(*status), 0) << DescribeStatus(*status);
        const auto rest = terminal->ReadUntilClosed(kPrompt);
        ASSERT_TRUE(rest.has_value()) << "the terminal's connection stayed open";
        EXPECT_EQ(Hex(*rest), "");
        EXPECT_FALSE(SomethingListens(gateway_->Port()));
    }
}

}  // namespace
}  // namespace zel::e2e
