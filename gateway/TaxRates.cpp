#include "gateway/TaxRates.h"

#include <charconv>
#include <string>

#include "gateway/Constants.h"
#include "gateway/ExtendedFloat.h"

namespace zel {
namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The field as a floating-point number; null and blank text read as 0.
double PercentOf(const FieldValue& field, std::size_t row) {
    if (const auto* integer = std::get_if<std::int64_t>(&field)) {
        return static_cast<double>(*integer);
    }
    if (const auto* real = std::get_if<double>(&field)) {
        return *real;
    }
    if (const auto* text = std::get_if<std::string>(&field)) {
        const std::size_t begin = text->find_first_not_of(' ');
        if (begin == std::string::npos) {
            return 0;
        }
        const std::size_t end = text->find_last_not_of(' ') + 1;
        double value = 0;
        const auto [ptr, ec] = std::from_chars(text->data() + begin, text->data() + end, value);
        if (ec != std::errc() || ptr != text->data() + end) {
            throw ServerError("tax table row " + std::to_string(row + 1) + ": PCT \"" + *text +
                              "\" is not a number");
        }
        return value;
    }
    return 0;
}

}  // namespace

TaxRateArray TaxRatesFromRows(const RowSet& rows) {
    std::optional<std::size_t> column;
    for (std::size_t i = 0; i < rows.Columns.size(); ++i) {
        if (SameName(rows.Columns[i].Name, TAX_COLUMN)) {
            column = i;
            break;
        }
    }
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
