// The causes the figures are counted by, from the messages and codes the
// lower layers give, and the latency buckets.
#include <gtest/gtest.h>

#include <cerrno>

#include "gateway/GatewayStats.h"
#include "money/CodePage.h"
#include "money/MoneySettings.h"

namespace zel {
namespace {

TEST(GatewayStatsTest, ServerFailuresAreNamedByTheirCause) {
    const struct {
        const char* message;
        ServerFailure cause;
    } cases[] = {
        {"Srv_Zel.Data_Srv_Zel at 127.0.0.1:6100: BuscaPrecio: connection refused",
         ServerFailure::Refused},
        {"... at h:6100: BuscaPrecio: no answer within 5 s (time-out)", ServerFailure::TimeLimit},
        {"... at h:6100: BuscaPrecio: no connection within 2000 ms", ServerFailure::TimeLimit},
        {"... at h:6100: BuscaPrecio: HTTP 503: database refused the time-out",
         ServerFailure::HttpStatus},
        {"... at h:6100: BuscaPrecio: access key refused (401)", ServerFailure::HttpStatus},
        {"... at h:6100: BuscaPrecio: answer: missing field \"Precio\"", ServerFailure::BadAnswer},
        {"... at h:6100: create: not a Srv_Zel.Data_Srv_Zel server: bad JSON",
         ServerFailure::BadAnswer},
        {"... at h:6100: BuscaPrecio: the connection closed before an answer",
         ServerFailure::Other},
        {"HTTPS 5", ServerFailure::Other},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ServerFailureOf(c.message), c.cause) << c.message;
    }
    EXPECT_EQ(ReleaseCauseOf(0), ReleaseCause::Closed);
    EXPECT_EQ(ReleaseCauseOf(ECONNRESET), ReleaseCause::Reset);
    EXPECT_EQ(ReleaseCauseOf(ETIMEDOUT), ReleaseCause::KeepAlive);
}

TEST(GatewayStatsTest, LatenciesFallInTheirBucketAndErrorsAreRemembered) {
    GatewayStats stats(WallClock::now(), "h:6100", 0);
    const auto now = WallClock::now();
    stats.LookupDone(std::chrono::milliseconds(3), nullptr, now);
    stats.LookupDone(std::chrono::milliseconds(10), nullptr, now);  // a bound is its own bucket
    const LookupFailure failure{"x: connection refused"};
    stats.LookupDone(std::chrono::seconds(60), &failure, now);
    const CodePage codes("WINDOWS-1252");
    const GatewaySettings settings;
    const TaxRateArray rates{};
    const MoneySettings money;
    const ScanContext context{settings, rates, money, codes, false};
    const StatsSnapshot s =
        stats.Snapshot(SessionTable(context, false), 0, now, SessionClock::now());
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
