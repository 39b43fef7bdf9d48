// The causes the figures are counted by, from the kinds and codes the lower
// layers give, and the latency buckets.
#include <gtest/gtest.h>

#include <cerrno>

#include "gateway/GatewayStats.h"
#include "money/CodePage.h"
#include "money/MoneySettings.h"

namespace zel {
namespace {

TEST(GatewayStatsTest, ReleasesAreNamedByTheirCause) {
    EXPECT_EQ(ReleaseCauseOf(0), ReleaseCause::Closed);
    EXPECT_EQ(ReleaseCauseOf(ECONNRESET), ReleaseCause::Reset);
    EXPECT_EQ(ReleaseCauseOf(ETIMEDOUT), ReleaseCause::KeepAlive);
}

TEST(GatewayStatsTest, LatenciesFallInTheirBucketAndErrorsAreRemembered) {
    GatewayStats stats(WallClock::now(), "h:6100", 0);
    const auto now = WallClock::now();
    stats.LookupDone(std::chrono::milliseconds(3), nullptr, now);
    stats.LookupDone(std::chrono::milliseconds(10), nullptr, now);  // a bound is its own bucket
    const LookupFailure failure{"x: connection refused", ServerFailure::Refused};
    stats.LookupDone(std::chrono::seconds(60), &failure, now);
    const CodePage codes("WINDOWS-1252");
    const GatewaySettings settings;
    const TaxRateArray rates{};
    const MoneySettings money;
    const ScanContext context{settings, rates, money, codes, false};
    const StatsSnapshot s =
        stats.Snapshot(SessionTable(context, false), 0, ServerHealth{}, now, SessionClock::now());
    EXPECT_EQ(s.LatencyBuckets.front(), 1u);
    EXPECT_EQ(s.LatencyBuckets[1], 1u);
    EXPECT_EQ(s.LatencyBuckets.back(), 1u);
    EXPECT_NEAR(s.LatencySum, 60.013, 1e-9);
    EXPECT_EQ(s.ServerErrors[static_cast<std::size_t>(ServerFailure::Refused)], 1u);
    EXPECT_EQ(s.LastError, failure.Cause);
    EXPECT_TRUE(s.HasSucceeded);
}

}  // namespace
}  // namespace zel
