#include "gateway/ScanReply.h"

#include <gtest/gtest.h>

#include "gateway/Constants.h"
#include "gateway/Framing.h"
#include "gateway/Screens.h"
#include "money/CodePage.h"
#include "money/MoneySettings.h"

namespace zel {
namespace {

TEST(ScanReply, TraceLineEndsEveryByteWithASpace) {
    EXPECT_EQ(TraceLine(std::string("\x02"
                                    "7501\x03")),
              "2 55 53 48 49 3 ");
    EXPECT_EQ(TraceLine(""), "");
    EXPECT_EQ(TraceLine(std::string("\x00\xFF", 2)), "0 255 ");
}

TEST(ScanReply, CollectCode) {
    const std::string stx(1, STX);
    const std::string etx(1, ETX);
    std::string long300 = stx + std::string(280, 'x') + "12345678901234567890";
    ASSERT_EQ(long300.size(), 301u);
    const struct {
        const char* name;
        std::string read;
        std::optional<std::string> code;
    } cases[] = {
        {"plain request", stx + "7501" + etx, "7501"},
        {"15 digits keep 13", stx + "123456789012345" + etx, "1234567890123"},
        {"type-0 check byte that is a digit joins", stx + "7501" + etx + "4", "75014"},
        {"two frames in one read are joined", stx + "1234" + etx + stx + "5678" + etx, "12345678"},
        {"second half of a split frame", "01" + etx, std::nullopt},
        {"digits after 280 other bytes", long300, "1234567890123"},
        {"no STX first", "7501" + etx, std::nullopt},
        {"STX ETX only", stx + etx, std::nullopt},
        {"empty read", "", std::nullopt},
        {"letters skipped", stx + "a1b2c3" + etx, "123"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CollectCode(c.read), c.code) << c.name;
    }
}

TEST(ScanReply, CodeValueIsExact) {
    EXPECT_EQ(CodeValue("0007501"), 7501.0);
    EXPECT_EQ(CodeValue("9999999999999"), 9999999999999.0);
    EXPECT_EQ(CodeValue("7501000111206"), 7501000111206.0);
}

TEST(ScanReply, PriceListIndexIsLowThreeBits) {
    EXPECT_EQ(PriceListIndex(8), 0);
    EXPECT_EQ(PriceListIndex(-1), 7);
    EXPECT_EQ(PriceListIndex(25), 1);
}

class PlanTest : public ::testing::Test {
protected:
    PlanTest() : cp_("WINDOWS-1252") {
        settings_.PriceOptions = 0;  // taxes added, list 0
        settings_.MONEDA_MINIMA = 0.01;
        settings_.PUNTO_REDONDEO = 0.005;
        settings_.ESPERA = 2000;
        rates_ = {16.0 / 100, 5.0 / 100, 8.0 / 100,  3.0 / 100, 0,
                  10.0 / 100, 2.0 / 100, 26.0 / 100, 50.0 / 100};
        money_.CurrencyText = "$";
        money_.NegativeLayout = 1;
        money_.Decimals = 2;
    }

    static std::string Describe(const std::vector<ScanStep>& steps) {
        std::string text;
        for (const ScanStep& step : steps) {
            if (auto* log = std::get_if<LogStep>(&step)) {
                text += "log:" + std::string(log->Line) + ";";
            } else if (std::holds_alternative<SendStep>(step)) {
                text += "send;";
            } else if (auto* pause = std::get_if<PauseStep>(&step)) {
                text += "pause:" + std::to_string(pause->Milliseconds) + ";";
            } else {
                text += "idle;";
            }
        }
        return text;
    }

    CodePage cp_;
    GatewaySettings settings_;
    TaxRateArray rates_{};
    MoneySettings money_;
};

TEST_F(PlanTest, StepsFollowTheLookup) {
    const std::string found =
        "log:Enviado...;send;log:Ya se envio;pause:2000;log:Despues del delay;"
        "log:mensaje pase codigo;idle;";
    const std::string notFoundType1 = "send;pause:2000;log:mensaje pase codigo;idle;";
    const std::string idleOnly = "log:mensaje pase codigo;idle;";
    const struct {
        std::int8_t result;
        std::uint8_t tipo;
        std::string steps;
    } cases[] = {
        {1, 0, found},    {1, 1, found},          {0, 1, notFoundType1}, {0, 0, idleOnly},
        {0, 2, idleOnly}, {-1, 1, notFoundType1}, {2, 0, idleOnly},
    };
    for (const auto& c : cases) {
        settings_.TIPO = c.tipo;
        LookupOutcome outcome;
        outcome.Result = c.result;
        outcome.Precio = 10;
        outcome.Descrip = "Leche";
        EXPECT_EQ(Describe(PlanScanReply(outcome, settings_, rates_, money_, cp_)), c.steps)
            << int(c.result) << " tipo " << int(c.tipo);
    }
}

TEST_F(PlanTest, FoundFrameCarriesTaxedRoundedPrice) {
    LookupOutcome outcome{1, 10.0, "Leche entera", 0x00, 0x0001};
    settings_.TIPO = 1;
    auto steps = PlanScanReply(outcome, settings_, rates_, money_, cp_);
    const auto& frame = std::get<SendStep>(steps[1]).Frame;
    EXPECT_EQ(frame, FrameMessage("\x0B\rLeche entera\r\r\r$11.60", 1));

    settings_.PriceOptions = 8;  // prices include taxes: the server's price stands
    steps = PlanScanReply(outcome, settings_, rates_, money_, cp_);
    EXPECT_EQ(std::get<SendStep>(steps[1]).Frame,
              FrameMessage("\x0B\rLeche entera\r\r\r$10.00", 1));
}

TEST_F(PlanTest, NotFoundFrameOnType1) {
    settings_.TIPO = 1;
    const auto steps = PlanScanReply(LookupOutcome{}, settings_, rates_, money_, cp_);
    EXPECT_EQ(std::get<SendStep>(steps[0]).Frame, FrameMessage(NotFoundScreen(), 1));
}

TEST_F(PlanTest, OutOfServiceIsLaidOutAsNotFound) {
    EXPECT_TRUE(PlanOutOfServiceReply(settings_).empty());
    settings_.SIN_SERVICIO = "SIN SERVICIO";
    const auto steps = PlanOutOfServiceReply(settings_);
    EXPECT_EQ(Describe(steps), "send;pause:2000;log:mensaje pase codigo;idle;");
    EXPECT_EQ(std::get<SendStep>(steps[0]).Frame, FrameMessage("\x0B\rSIN SERVICIO\r", 0));
}

TEST_F(PlanTest, APriceThatFailsSendsNothing) {
    settings_.MONEDA_MINIMA = 0;  // division by a zero coin
    LookupOutcome outcome{1, 10.0, "x", 0, 0};
    EXPECT_THROW(PlanScanReply(outcome, settings_, rates_, money_, cp_), PriceError);
}

}  // namespace
}  // namespace zel
