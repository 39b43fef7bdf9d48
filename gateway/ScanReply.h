// The decisions of one scan, as plain functions: what a read holds, what the
// server is asked, and the steps of the reply (log lines, frames, the pause).
//
// The read handler wires these to the connection and the server; nothing here
// touches a socket, the server or the clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "gateway/GatewaySettings.h"
#include "gateway/Price.h"

namespace zel {

class CodePage;
struct MoneySettings;

// Each received byte as an unsigned decimal number followed by one space.
std::string TraceLine(std::string_view received);

// The digits of a scan: the read must start with STX; then every byte up to
// the last is examined and the first 13 ASCII digits are kept. nullopt when
// there is nothing to look up (empty read, no STX first, or no digit).
std::optional<std::string> CollectCode(std::string_view received);

// The digit string as the number sent to the server (13 digits are exact).
double CodeValue(const std::string& digits);

// Bits 0..2 of PriceOptions: the price list asked for.
std::int8_t PriceListIndex(std::int32_t priceOptions);

// The price shown for a found article: taxes (unless bit 3 of PriceOptions
// says they are included), the fixed-point amount, the coin.
double FinalPrice(double precio, std::int8_t banImps, std::int16_t impsAct,
                  const GatewaySettings& settings, const TaxRateArray& taxRates);

// What the server answered, as far as the reply depends on it.
struct LookupOutcome {
    std::int8_t Result = 0;  // 1: found
    double Precio = 0;
    std::string Descrip;  // UTF-8
    std::int8_t Ban_Imps = 0;
    std::int16_t Imps_Act = 0;
};

// Steps of a reply, carried out in order by the read handler.
struct LogStep {
    std::string_view Line;
};
struct SendStep {
    std::string Frame;
};
struct PauseStep {
    int Milliseconds;  // ESPERA; a negative value pauses 0
};
struct SendIdleStep {};
using ScanStep = std::variant<LogStep, SendStep, PauseStep, SendIdleStep>;

// The reply to a looked-up scan. Everything that can fail (price, money text,
// screen, frame) is computed before the first step, so a failure sends nothing.
// When `shown` is given, a found article's description and money text are
// left there as the screen holds them (code-page bytes), for the status page.
struct ShownResult {
    std::string Description;
    std::string Money;
};
std::vector<ScanStep> PlanScanReply(const LookupOutcome& outcome, const GatewaySettings& settings,
                                    const TaxRateArray& taxRates,
                                    const MoneySettings& moneySettings, const CodePage& codePage,
                                    ShownResult* shown = nullptr);

// The reply to a scan whose lookup failed: nothing when SIN_SERVICIO is
// empty; otherwise its screen, the pause and the idle screen.
std::vector<ScanStep> PlanOutOfServiceReply(const GatewaySettings& settings);

}  // namespace zel
