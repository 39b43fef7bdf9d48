// The last hour minute by minute and the lookups' percentiles of the last
// five minutes, in a ring of fixed size.
#include <gtest/gtest.h>

#include "gateway/ScanHistory.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

const WallClock::time_point t0{std::chrono::minutes(30'000'000)};  // on the minute

TEST(ScanHistory, TheLastHourByMinuteAndRecentPercentiles) {
    ScanHistory history;
    const struct {
        std::chrono::seconds at;  // after t0
        ScanOutcome outcome;
        std::chrono::milliseconds took;
    } scans[] = {
        {0s, ScanOutcome::Found, 400ms},  // 61 minutes before the view: gone
        {60s, ScanOutcome::NotFound, 400ms},
        {61min, ScanOutcome::Found, 2ms},
        {61min + 59s, ScanOutcome::Failed, 2ms},
        {62min, ScanOutcome::None, 0ms},  // no outcome: not a scan
    };
    for (const auto& s : scans) {
        history.Scanned(s.outcome, t0 + s.at);
        history.LookupTimed(s.took, t0 + s.at);
    }
    // 1 ms to 100 ms, one each, in the last five minutes; more a minute before.
    for (int ms = 1; ms <= 100; ++ms) {
        history.LookupTimed(std::chrono::milliseconds(ms), t0 + 57min + 1s * ms);
    }
    history.LookupTimed(5s, t0 + 56min);

    const HistoryView view = history.View(t0 + 61min + 30s);
    ASSERT_EQ(view.Minutes.size(), HISTORY_MINUTES);
    EXPECT_EQ(view.Minutes.front().Start, t0 + 2min);
    EXPECT_EQ(view.Minutes.back().Start, t0 + 61min);
    EXPECT_EQ(view.LastHour.Found, 1u);
    EXPECT_EQ(view.LastHour.NotFound, 0u) << "minute 1 is older than the hour shown";
    EXPECT_EQ(view.LastHour.Failed, 1u);
    const MinuteFigures& now = view.Minutes.back();
    EXPECT_EQ(now.Scans.Found, 1u);
    EXPECT_EQ(now.Lookups, 2u);
    EXPECT_NEAR(*now.LookupMeanSeconds, 0.002, 1e-9);
    EXPECT_FALSE(view.Minutes[10].LookupMeanSeconds) << "a minute without lookups has none";
    EXPECT_EQ(view.RecentLookups, 102u);
    EXPECT_NEAR(*view.P50Seconds, 0.050, 0.050 * 0.09);
    EXPECT_NEAR(*view.P95Seconds, 0.095, 0.095 * 0.09);

    // Nothing in the last five minutes: no percentile.
    EXPECT_FALSE(history.View(t0 + 70min).P50Seconds);
    // A clock gone back more than the ring starts it again.
    history.Scanned(ScanOutcome::Found, t0 - 3h);
    const HistoryView back = history.View(t0 - 3h);
    EXPECT_EQ(back.LastHour.Found, 1u);
    EXPECT_EQ(back.LastHour.Failed, 0u);
    EXPECT_EQ(history.View(t0 + 61min).LastHour.Failed, 0u);
}

}  // namespace
}  // namespace zel
