// Cost of the money text and of the code-page conversion of a description,
// the two text steps of every answered scan.
#include <benchmark/benchmark.h>

#include <string>

#include "money/CodePage.h"
#include "money/FormatMoney.h"
#include "money/Iconv.h"

namespace {

zel::MoneySettings Dollars() {
    zel::MoneySettings settings;
    settings.CurrencyText = "$";
    settings.NegativeLayout = 1;
    settings.Decimals = 2;
    return settings;
}

void BM_FormatMoney(benchmark::State& state, double value) {
    const zel::MoneySettings settings = Dollars();
    for (auto _ : state) {
        double input = value;
        benchmark::DoNotOptimize(input);
        benchmark::DoNotOptimize(zel::FormatMoney(input, settings));
    }
}
BENCHMARK_CAPTURE(BM_FormatMoney, typical, 11.6);
BENCHMARK_CAPTURE(BM_FormatMoney, grouped, 1234567.891);
BENCHMARK_CAPTURE(BM_FormatMoney, negative, -14.31);

// 60 characters, as a description arrives from the server.
const std::string DESCRIPTION = "JAMÓN SERRANO AÑEJO 250 g ¡OFERTA! CAFÉ MOLIDO ESPAÑA—1 kg  ";

void BM_CodePageFromUtf8(benchmark::State& state) {
    const zel::CodePage page("WINDOWS-1252");
    for (auto _ : state) benchmark::DoNotOptimize(page.FromUtf8(DESCRIPTION));
}
BENCHMARK(BM_CodePageFromUtf8);

// A found scan's description on its screen: the tables, against iconv above.
void BM_CodePageScreenText(benchmark::State& state) {
    const zel::CodePage page("WINDOWS-1252");
    for (auto _ : state) benchmark::DoNotOptimize(page.ScreenText(DESCRIPTION));
}
BENCHMARK(BM_CodePageScreenText);

// What each conversion would cost if it opened its own handle instead of
// sharing one behind a lock.
void BM_IconvOpenClose(benchmark::State& state) {
    for (auto _ : state) {
        zel::IconvHandle handle("WINDOWS-1252//TRANSLIT", "UTF-32LE");
        benchmark::DoNotOptimize(handle.Valid());
    }
}
BENCHMARK(BM_IconvOpenClose);

}  // namespace

BENCHMARK_MAIN();
