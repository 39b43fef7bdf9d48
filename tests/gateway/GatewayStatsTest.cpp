// The causes the figures are counted by, from the kinds and codes the lower
// layers give; the figures as the events move them, in /status and /metrics.
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

TEST(GatewayStatsTest, FiguresMoveAtTheEventAndStatusAndMetricsReadTheSame) {
    const CodePage codes("WINDOWS-1252");
    const GatewaySettings settings;
    const TaxRateArray rates{};
    const MoneySettings money;
    const ScanContext context{settings, rates, money, codes, false};
    const SessionTable sessions(context, false);
    GatewayStats stats(WallClock::now(), "h:6100", 0);
    const auto now = WallClock::now();
    const SessionClock::time_point asked{};
    for (SessionId id : {1, 2, 3, 4}) {
        stats.LookupAsked(id, asked);
    }
    stats.LookupAnswered(1, nullptr, asked + std::chrono::milliseconds(3), now);
    stats.LookupAnswered(2, nullptr, asked + std::chrono::milliseconds(10),
                         now);  // a bound is its own bucket
    const LookupFailure failure{"x: connection refused", ServerFailure::Refused};
    stats.LookupAnswered(3, &failure, asked + std::chrono::seconds(60), now);
    stats.LookupAnswered(9, &failure, asked, now);  // never asked: ignored
    for (ScanOutcome outcome :
         {ScanOutcome::Found, ScanOutcome::Found, ScanOutcome::Failed, ScanOutcome::None}) {
        stats.Counted(outcome);
    }
    stats.Released(ReleaseCause::Overflow);

    const StatsSnapshot s = stats.Snapshot(sessions, ServerHealth{}, now, SessionClock::now());
    EXPECT_EQ(s.Scans.Found, 2u);
    EXPECT_EQ(s.Scans.Failed, 1u);
    EXPECT_EQ(s.Scans.Ignored, 1u);
    EXPECT_EQ(s.LastError, failure.Cause);
    EXPECT_TRUE(s.HasSucceeded);
    EXPECT_EQ(stats.LookupsInFlight(), 1u);
    const std::string text = stats.MetricsText(sessions, 0, ServerHealth{});
    for (const char* line :
         {"zel_lookup_duration_seconds_bucket{le=\"0.005\"} 1\n",
          "zel_lookup_duration_seconds_bucket{le=\"0.01\"} 2\n",
          "zel_lookup_duration_seconds_bucket{le=\"10\"} 2\n",
          "zel_lookup_duration_seconds_bucket{le=\"+Inf\"} 3\n",
          "zel_lookup_duration_seconds_sum 60.013\n", "zel_lookups_in_flight 1\n",
          "zel_server_errors_total{cause=\"refused\"} 1\n",
          "zel_scans_total{outcome=\"found\"} 2\n", "zel_scans_total{outcome=\"ignored\"} 1\n",
          "zel_connections_released_total{cause=\"overflow\"} 1\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    // No sample of the server's state while it is unknown.
    EXPECT_EQ(text.find("zel_app_server_up "), std::string::npos) << text;
}

}  // namespace
}  // namespace zel
