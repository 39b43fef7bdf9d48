// One scan: what the read holds, the reply planned for any server answer and
// settings, the screens and their frames.
#include <cmath>
#include <cstdint>
#include <variant>

#include "FuzzInput.h"
#include "gateway/Constants.h"
#include "gateway/Framing.h"
#include "gateway/ScanReply.h"
#include "gateway/Screens.h"
#include "money/CodePage.h"
#include "money/MoneySettings.h"

namespace {

using zel::fuzz::Check;

void CheckFrame(const std::string& frame, std::uint8_t tipo) {
    Check(frame.size() >= 3 && frame.front() == zel::STX && frame.back() == zel::EOT,
          "frame not STX ... EOT");
    if (tipo == 0) {
        Check(frame[frame.size() - 3] == zel::ETX, "type-0 frame without ETX before the check");
        unsigned char bcc = 0;
        for (std::size_t i = 1; i + 2 < frame.size(); ++i)
            bcc ^= static_cast<unsigned char>(frame[i]);
        Check(static_cast<unsigned char>(frame[frame.size() - 2]) == bcc,
              "type-0 check byte wrong");
    } else {
        Check(frame[frame.size() - 2] == zel::ETX, "frame without ETX before EOT");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const zel::CodePage codePage("WINDOWS-1252");
    zel::fuzz::FuzzInput input(data, size);

    const std::string received = input.Text();
    (void)zel::TraceLine(received);
    if (const auto code = zel::CollectCode(received)) {
        Check(!code->empty() && code->size() <= 13, "code of 1 to 13 digits");
        Check(std::isfinite(zel::CodeValue(*code)), "code value not finite");
    }

    zel::GatewaySettings settings;
    settings.PriceOptions = input.Take<std::int32_t>();
    settings.MONEDA_MINIMA = input.Take<double>();
    settings.PUNTO_REDONDEO = input.Take<double>();
    settings.ESPERA = input.Take<std::int32_t>();
    settings.TIPO = input.Take<std::uint8_t>() & 3;
    zel::TaxRateArray taxes{};
    for (double& rate : taxes) rate = input.Take<std::int8_t>();
    zel::MoneySettings money;
    money.Decimals = input.Take<std::uint8_t>() % 20;
    money.CurrencyText = input.Text(8);

    zel::LookupOutcome outcome;
    outcome.Result = input.Take<std::int8_t>();
    outcome.Precio = input.Take<double>();
    outcome.Ban_Imps = input.Take<std::int8_t>();
    outcome.Imps_Act = input.Take<std::int16_t>();
    outcome.Descrip = input.Rest();

    try {
        for (const zel::ScanStep& step :
             zel::PlanScanReply(outcome, settings, taxes, money, codePage)) {
            if (const auto* send = std::get_if<zel::SendStep>(&step)) {
                CheckFrame(send->Frame, settings.TIPO);
            }
        }
    } catch (const std::exception&) {
        // A price that cannot be computed: nothing is sent.
    }

    // Type 0: a description over 30 characters fills line 1 with exactly 30 bytes.
    const std::string text = codePage.ScreenText(outcome.Descrip);
    const std::string screen = zel::BuildResultScreen(text, "$1.00", 0);
    if (text.size() > zel::SCREEN_COLUMNS) {
        Check(screen.compare(2, zel::SCREEN_COLUMNS, text, 0, zel::SCREEN_COLUMNS) == 0,
              "type-0 line 1 not the first 30 bytes");
    }
    Check(screen.size() <= 2 + 2 * zel::SCREEN_COLUMNS + 3 + zel::SCREEN_COLUMNS,
          "type-0 result screen too long");
    CheckFrame(zel::FrameMessage(screen, 0), 0);
    std::array<std::string, 7> idle;
    idle.fill(text.substr(0, zel::SCREEN_COLUMNS));
    CheckFrame(zel::FrameMessage(zel::BuildIdleScreen(idle, settings.TIPO), settings.TIPO),
               settings.TIPO);
    return 0;
}
