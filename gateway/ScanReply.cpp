#include "gateway/ScanReply.h"

#include <charconv>

#include "gateway/Constants.h"
#include "gateway/Framing.h"
#include "gateway/Screens.h"
#include "money/CodePage.h"
#include "money/FormatMoney.h"

namespace zel {

std::string TraceLine(std::string_view received) {
    std::string line;
    line.reserve(received.size() * 4);
    for (char c : received) {
        char digits[4];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits,
                                       static_cast<unsigned>(static_cast<unsigned char>(c)));
        (void)ec;  // three digits always fit
        line.append(digits, end);
        line += ' ';
    }
    return line;
}

std::optional<std::string> CollectCode(std::string_view received) {
    if (received.empty() || received.front() != STX) {
        return std::nullopt;
    }
    std::string digits;
    for (char c : received.substr(1)) {
        if (c >= '0' && c <= '9' && digits.size() < static_cast<std::size_t>(MAX_CODE_DIGITS)) {
            digits += c;
        }
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    return digits;
}

double CodeValue(const std::string& digits) {
    double value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::int8_t PriceListIndex(std::int32_t priceOptions) {
    return static_cast<std::int8_t>(priceOptions & 0x7);
}

double FinalPrice(double precio, std::int8_t banImps, std::int16_t impsAct,
                  const GatewaySettings& settings, const TaxRateArray& taxRates) {
    const bool taxesIncluded = (settings.PriceOptions & 0x8) != 0;
    const double price = taxesIncluded ? precio : ApplyTaxes(banImps, taxRates, impsAct, precio);
    return RoundToCoin(ToFixedPoint(price), settings.MONEDA_MINIMA, settings.PUNTO_REDONDEO);
}

std::vector<ScanStep> PlanScanReply(const LookupOutcome& outcome, const GatewaySettings& settings,
                                    const TaxRateArray& taxRates,
                                    const MoneySettings& moneySettings, const CodePage& codePage,
                                    ShownResult* shown) {
    std::vector<ScanStep> steps;
    if (outcome.Result == 1) {
        const double price =
            FinalPrice(outcome.Precio, outcome.Ban_Imps, outcome.Imps_Act, settings, taxRates);
        const std::string money = FormatMoney(price, moneySettings);
        const std::string text = codePage.ScreenText(outcome.Descrip);
        const std::string screen = BuildResultScreen(text, money, settings.TIPO);
        if (shown != nullptr) {
            shown->Description = text;
            shown->Money = money;
        }
        steps.emplace_back(LogStep{LOG_SENDING});
        steps.emplace_back(SendStep{FrameMessage(screen, settings.TIPO)});
        steps.emplace_back(LogStep{LOG_SENT});
        steps.emplace_back(PauseStep{settings.ESPERA});
        steps.emplace_back(LogStep{LOG_AFTER_DELAY});
    } else if (settings.TIPO == 1) {
        steps.emplace_back(SendStep{FrameMessage(NotFoundScreen(), settings.TIPO)});
        steps.emplace_back(PauseStep{settings.ESPERA});
    }
    steps.emplace_back(LogStep{LOG_PASS_CODE});
    steps.emplace_back(SendIdleStep{});
    return steps;
}

std::vector<ScanStep> PlanOutOfServiceReply(const GatewaySettings& settings) {
    if (settings.SIN_SERVICIO.empty()) {
        return {};
    }
    return {SendStep{FrameMessage(MessageScreen(settings.SIN_SERVICIO), settings.TIPO)},
            PauseStep{settings.ESPERA}, LogStep{LOG_PASS_CODE}, SendIdleStep{}};
}

}  // namespace zel
