#include "money/FormatMoney.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace zel {
namespace {

// "$", positive layout 0, negative layout 1, "," and ".", two decimals.
MoneySettings Dollars() {
    MoneySettings settings;
    settings.CurrencyText = "$";
    settings.PositiveLayout = 0;
    settings.NegativeLayout = 1;
    settings.DigitGroupSeparator = ",";
    settings.DecimalSeparator = ".";
    settings.Decimals = 2;
    return settings;
}

using Change = std::function<void(MoneySettings&)>;

Change Decimals(std::uint8_t d) {
    return [d](MoneySettings& s) { s.Decimals = d; };
}
Change Negative(std::uint8_t layout) {
    return [layout](MoneySettings& s) { s.NegativeLayout = layout; };
}
Change Positive(std::uint8_t layout) {
    return [layout](MoneySettings& s) { s.PositiveLayout = layout; };
}
void Euros(MoneySettings& s) {
    s.CurrencyText = "EUR";
    s.PositiveLayout = 3;
    s.DigitGroupSeparator = ".";
    s.DecimalSeparator = ",";
}

struct Row {
    double value;
    std::vector<Change> changes;
    std::string text;
};

TEST(FormatMoney, EdgeCases) {
    const std::vector<Row> rows = {
        {11.6, {}, "$11.60"},
        {1234567.891, {}, "$1,234,567.89"},
        {1000, {}, "$1,000.00"},
        {999.999, {}, "$1,000.00"},
        {0, {}, "$0.00"},
        {0.06999999999999999, {}, "$0.07"},
        {116.00000000000001, {}, "$116.00"},
        {9.996, {}, "$10.00"},
        {9.995, {}, "$9.99"},
        {2.675, {}, "$2.67"},
        {-14.31, {}, "-$14.31"},
        {-0.004, {}, "$0.00"},
        {-0.02, {Negative(0)}, "($0.02)"},
        {-11.6, {Negative(20)}, "(11.60 $)"},
        {11.6, {Positive(7)}, "11.60 $"},
        {11.6, {[](MoneySettings& s) { s.CurrencyText.clear(); }}, "11.60"},
        {0.031200000000000002, {Decimals(4)}, "$0.0312"},
        {11.6, {Decimals(3)}, "$11.600"},
        {12.5, {Decimals(0)}, "$13"},
        {-12.5, {Decimals(0), Negative(0)}, "($13)"},
        {11.4, {Decimals(0)}, "$11"},
        {1234567.89, {[](MoneySettings& s) { s.DigitGroupSeparator.clear(); }}, "$1234567.89"},
        {1234.5, {Euros}, "1.234,50 EUR"},
        {-1234.5, {Euros, Negative(8)}, "-1.234,50 EUR"},
        // Stored just below 1000.005, it reaches ...005 at the 18th digit.
        {1000.005, {}, "$1,000.01"},
        {0.005, {}, "$0.01"},  // stored above 0.005
        {0.125, {}, "$0.13"},  // exact tie: half up
        {-0.005, {}, "-$0.01"},
        {-0.0049, {Negative(0)}, "$0.00"},
        {-0.0, {Negative(0)}, "$0.00"},
        {0.0, {Decimals(0)}, "$0"},
        {0.4, {Decimals(0)}, "$0"},
        {0.5, {Decimals(0)}, "$1"},
        {99999.5, {Decimals(0)}, "$100,000"},
        {999999.996, {}, "$1,000,000.00"},  // carries through every group
        {999999.995, {}, "$999,999.99"},    // stored below
        {123, {}, "$123.00"},
        {1234, {}, "$1,234.00"},
        {123456, {}, "$123,456.00"},
        {0.1, {Decimals(18)}, "$0.100000000000000006"},  // 18 digits, then zeros
        {0.1, {Decimals(25)}, "$0.100000000000000006"},  // above 18 acts as 18
        {1e-19, {Decimals(18)}, "$0.000000000000000000"},
        {5e-19, {Decimals(18)}, "$0.000000000000000001"},
        {4e-19, {Decimals(18)}, "$0.000000000000000000"},
        {5e-324, {}, "$0.00"},
        {123456789012345678901.0, {Decimals(0)}, "$123,456,789,012,345,684,000"},
        {0.3, {[](MoneySettings& s) { s.DecimalSeparator.clear(); }}, "$030"},
        {1234.5,
         {[](MoneySettings& s) { s.DigitGroupSeparator = "\xA0"; }},
         "$1\xA0"
         "234.50"},
    };
    for (const Row& row : rows) {
        MoneySettings settings = Dollars();
        for (const Change& change : row.changes) change(settings);
        EXPECT_EQ(FormatMoney(row.value, settings), row.text) << "value " << row.value;
    }
}

TEST(FormatMoney, EveryLayout) {
    const std::vector<std::string> positive = {"$1.50", "1.50$", "$ 1.50", "1.50 $", "1.50 $"};
    const std::vector<std::string> negative = {
        "($1.50)", "-$1.50",  "$-1.50",   "$1.50-",   "(1.50$)", "-1.50$",
        "1.50-$",  "1.50$-",  "-1.50 $",  "-$ 1.50",  "1.50 $-", "$ 1.50-",
        "$ -1.50", "1.50- $", "($ 1.50)", "(1.50 $)", "(1.50 $)"};
    MoneySettings settings = Dollars();
    for (std::size_t layout = 0; layout < positive.size(); ++layout) {
        settings.PositiveLayout = static_cast<std::uint8_t>(layout);
        EXPECT_EQ(FormatMoney(1.5, settings), positive[layout]) << "positive layout " << layout;
    }
    for (std::size_t layout = 0; layout < negative.size(); ++layout) {
        settings.NegativeLayout = static_cast<std::uint8_t>(layout);
        EXPECT_EQ(FormatMoney(-1.5, settings), negative[layout]) << "negative layout " << layout;
    }
    settings.NegativeLayout = 255;
    EXPECT_EQ(FormatMoney(-1.5, settings), "(1.50 $)");
}

TEST(FormatMoney, HugeAndNonFiniteValuesHaveADefinedText) {
    MoneySettings settings = Dollars();
    settings.Decimals = 0;
    settings.DigitGroupSeparator.clear();
    const std::string huge = FormatMoney(1e300, settings);
    // 1e300 is stored as 1000000000000000052504...; 18 digits, then zeros.
    EXPECT_EQ(huge, "$100000000000000005" + std::string(283, '0'));

    settings.Decimals = 18;
    EXPECT_EQ(FormatMoney(-std::numeric_limits<double>::max(), settings).size(),
              1u + 1u + 309u + 1u + 18u);

    settings = Dollars();
    EXPECT_EQ(FormatMoney(std::numeric_limits<double>::quiet_NaN(), settings), "$NAN");
    EXPECT_EQ(FormatMoney(-std::numeric_limits<double>::quiet_NaN(), settings), "$NAN");
    EXPECT_EQ(FormatMoney(std::numeric_limits<double>::infinity(), settings), "$INF");
    EXPECT_EQ(FormatMoney(-std::numeric_limits<double>::infinity(), settings), "-$INF");
}

}  // namespace
}  // namespace zel
