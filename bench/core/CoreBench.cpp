// Figures for the pure core: framing an idle screen and computing a price.
#include <benchmark/benchmark.h>

#include <string>

#include "gateway/Framing.h"
#include "gateway/Price.h"

namespace {

void BM_FrameIdleScreenType0(benchmark::State& state) {
    // The longest type-0 text: the opening byte and seven full lines.
    std::string screen(1, '\x0B');
    for (int i = 0; i < 210; ++i) {
        screen.push_back(static_cast<char>('A' + i % 26));
    }
    for (auto _ : state) {
        std::string frame = zel::FrameMessage(screen, 0);
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 211);
}
BENCHMARK(BM_FrameIdleScreenType0);

void BM_PriceAllTaxes(benchmark::State& state) {
    const zel::TaxRateArray rates = {16.0 / 100, 5.0 / 100, 8.0 / 100,  3.0 / 100, 0.0 / 100,
                                     10.0 / 100, 2.0 / 100, 26.0 / 100, 50.0 / 100};
    double precio = 10.0;
    std::int16_t mask = 0x01FF;
    std::int8_t flags = static_cast<std::int8_t>(0xFF);
    for (auto _ : state) {
        benchmark::DoNotOptimize(precio);
        benchmark::DoNotOptimize(mask);
        benchmark::DoNotOptimize(flags);
        const double price = zel::ApplyTaxes(flags, rates, mask, precio);
        const double shown = zel::RoundToCoin(zel::ToFixedPoint(price), 0.01, 0.005);
        benchmark::DoNotOptimize(shown);
    }
}
BENCHMARK(BM_PriceAllTaxes);

}  // namespace
