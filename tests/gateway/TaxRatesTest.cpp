#include "gateway/TaxRates.h"

#include <gtest/gtest.h>

namespace zel {
namespace {

RowSet Taxes(std::vector<FieldValue> pcts, std::string column = "PCT") {
    RowSet rows;
    rows.Columns.push_back({column, "float"});
    for (auto& pct : pcts) {
        rows.Rows.push_back({pct});
    }
    return rows;
}

TEST(TaxRates, RowRules) {
    const double r16 = 16.0 / 100, r5 = 5.0 / 100;
    const struct {
        const char* name;
        RowSet rows;
        TaxRateArray rates;
    } cases[] = {
        {"three rows repeat the last",
         Taxes({16.0, std::int64_t{0}, 5.0}),
         {r16, 0, r5, r5, r5, r5, r5, r5, r5}},
        {"no rows give 0", Taxes({}), {}},
        {"empty PCT gives 0",
         Taxes({std::monostate{}, std::string(""), 16.0}),
         {0, 0, r16, r16, r16, r16, r16, r16, r16}},
        {"text PCT",
         Taxes({std::string("16"), std::string(" 5 ")}),
         {r16, r5, r5, r5, r5, r5, r5, r5, r5}},
        {"twelve rows: the first nine",
         Taxes({1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0}),
         {0.01, 0.02, 0.03, 0.04, 0.05, 0.06, 0.07, 0.08, 0.09}},
        {"column name in lower case",
         Taxes({16.0}, "pct"),
         {r16, r16, r16, r16, r16, r16, r16, r16, r16}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TaxRatesFromRows(c.rows), c.rates) << c.name;
    }
}

TEST(TaxRates, FailuresNameTheProblem) {
    EXPECT_THROW(TaxRatesFromRows(Taxes({16.0}, "RATE")), ServerError);
    EXPECT_THROW(TaxRatesFromRows(Taxes({std::string("16%")})), ServerError);
}

}  // namespace
}  // namespace zel
