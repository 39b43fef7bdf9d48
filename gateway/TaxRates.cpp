#include "gateway/TaxRates.h"

#include <charconv>
#include <string>

#include "common/ServerNames.h"
#include "common/Text.h"
#include "gateway/ExtendedFloat.h"

namespace zel {
namespace {

// The field as a floating-point number; null and blank text read as 0.
double PercentOf(const FieldValue& field, std::size_t row) {
    if (const auto* integer = std::get_if<std::int64_t>(&field)) {
        return static_cast<double>(*integer);
    }
    if (const auto* real = std::get_if<double>(&field)) {
        return *real;
    }
    if (const auto* text = std::get_if<std::string>(&field)) {
        const std::string_view digits = Trim(*text, " ");
        if (digits.empty()) {
            return 0;
        }
        double value = 0;
        const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc() || ptr != digits.data() + digits.size()) {
            throw ServerError("tax table row " + std::to_string(row + 1) + ": PCT \"" + *text +
                              "\" is not a number");
        }
        return value;
    }
    return 0;
}

}  // namespace

TaxRateArray TaxRatesFromRows(const RowSet& rows) {
    const std::optional<std::size_t> column = rows.FindColumn(TAX_COLUMN);
    if (!column) {
        throw ServerError("the tax table has no column " + std::string(TAX_COLUMN));
    }
    TaxRateArray rates{};
    if (rows.Rows.empty()) {
        return rates;
    }
    using extended::D;
    using extended::E;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        // Moving on from the last row leaves it current.
        const std::size_t row = std::min(i, rows.Rows.size() - 1);
        const std::vector<FieldValue>& fields = rows.Rows[row];
        const double percent = *column < fields.size() ? PercentOf(fields[*column], row) : 0.0;
        rates[i] = D(E(percent) / E(100.0));
    }
    return rates;
}

}  // namespace zel
