// The price functions in both extended arithmetics, which must agree bit for
// bit: the build's own (x87 where there is one) and the Boost one, linked
// side by side under another namespace.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "FuzzInput.h"
#include "gateway/Price.h"

namespace zel_boost {
double ApplyTaxes(std::int8_t banImps, const zel::TaxRateArray& rates, std::int16_t impsAct,
                  double price);
zel::FixedPointAmount ToFixedPoint(double price);
double RoundToCoin(zel::FixedPointAmount amount, double coin, double roundingPoint);
}  // namespace zel_boost

namespace {

// Bit for bit, except that any NaN equals any other: no rate or price that
// reaches the computation can be one (the server's answers and the catalogue
// hold finite numbers only), and the sign and payload of a NaN differ between
// x87 and software arithmetic.
bool SameBits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zel::fuzz::Check;
    zel::fuzz::FuzzInput input(data, size);
    const auto banImps = input.Take<std::int8_t>();
    const auto impsAct = input.Take<std::int16_t>();
    zel::TaxRateArray rates{};
    for (double& rate : rates) rate = input.Take<double>();
    const double price = input.Take<double>();
    const double coin = input.Take<double>();
    const double point = input.Take<double>();

    const double taxed = zel::ApplyTaxes(banImps, rates, impsAct, price);
    Check(SameBits(taxed, zel_boost::ApplyTaxes(banImps, rates, impsAct, price)),
          "ApplyTaxes differs");

    for (const double value : {price, taxed}) {
        bool failed = false, failedBoost = false;
        zel::FixedPointAmount amount = 0, amountBoost = 0;
        try {
            amount = zel::ToFixedPoint(value);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        try {
            amountBoost = zel_boost::ToFixedPoint(value);
        } catch (const std::runtime_error&) {
            failedBoost = true;
        }
        Check(failed == failedBoost && amount == amountBoost, "ToFixedPoint differs");
        if (failed) {
            continue;
        }
        double rounded = 0, roundedBoost = 0;
        failed = failedBoost = false;
        try {
            rounded = zel::RoundToCoin(amount, coin, point);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        try {
            roundedBoost = zel_boost::RoundToCoin(amount, coin, point);
        } catch (const std::runtime_error&) {
            failedBoost = true;
        }
        Check(failed == failedBoost && SameBits(rounded, roundedBoost), "RoundToCoin differs");
    }
    return 0;
}
