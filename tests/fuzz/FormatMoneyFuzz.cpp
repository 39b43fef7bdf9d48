// The money text under any settings and value.
#include <cstdint>

#include "FuzzInput.h"
#include "money/FormatMoney.h"
#include "money/MoneySettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    zel::MoneySettings settings;
    const double value = input.Take<double>();
    settings.PositiveLayout = input.Take<std::uint8_t>();
    settings.NegativeLayout = input.Take<std::uint8_t>();
    settings.Decimals = input.Take<std::uint8_t>();
    settings.DigitGroupSeparator = input.Text(1);
    settings.DecimalSeparator = input.Text(1);
    settings.CurrencyText = input.Text(255);
    const std::string text = zel::FormatMoney(value, settings);
    zel::fuzz::Check(text.size() < 1024, "money text unbounded");
    return 0;
}
