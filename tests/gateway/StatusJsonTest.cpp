// The /status answer: the application server's state and since when, the
// uptime to the moment asked, and text that is not UTF-8 mended.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "gateway/StatusJson.h"
#include "money/CodePage.h"
#include "money/MoneySettings.h"

namespace zel {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

TEST(StatusJsonTest, TheServerStateAsTheClientKnowsItTheUptimeAndTextMended) {
    const WallClock::time_point start{std::chrono::seconds(1'800'000'000)};
    GatewayStats stats(start, "127.0.0.5:6100", 1);
    const CodePage codes("WINDOWS-1252");
    const GatewaySettings settings;
    const TaxRateArray rates{};
    const MoneySettings money;
    const ScanContext context{settings, rates, money, codes, false};
    const SessionTable none(context, false);
    const LookupFailure failure{"HTTP 500: \xff\xfe bytes", ServerFailure::HttpStatus};
    stats.LookupAsked(1, SessionClock::time_point{});
    stats.LookupAnswered(1, &failure, SessionClock::time_point{1ms}, start);
    const struct {
        ServerHealth::State state;
        std::chrono::seconds since;  // after the start
        std::chrono::seconds asked;
        const char* stateText;
        const char* sinceText;
    } rows[] = {
        {ServerHealth::Unknown, 0s, 5s, "unknown", "2027-01-15T08:00:00.000Z"},
        {ServerHealth::Up, 10s, 26s, "up", "2027-01-15T08:00:10.000Z"},
        {ServerHealth::Down, 30s, 90s, "down", "2027-01-15T08:00:30.000Z"},
    };
    for (const auto& row : rows) {
        const ServerHealth health{row.state, start + row.since, "refused"};
        const Json s = Json::parse(
            StatusJsonOf(stats.Snapshot(none, health, start + row.asked, SessionClock::now())));
        EXPECT_EQ(s["server"]["state"], row.stateText) << s.dump();
        EXPECT_EQ(s["server"]["since"], row.sinceText) << s.dump();
        // The uptime counts to the moment asked, not to the last event.
        EXPECT_DOUBLE_EQ(s["uptime_seconds"].get<double>(),
                         std::chrono::duration<double>(row.asked).count());
        EXPECT_EQ(s["server"]["address"], "127.0.0.5:6100");
        EXPECT_EQ(s["server"]["last_error"], "HTTP 500: \xEF\xBF\xBD\xEF\xBF\xBD bytes");
        EXPECT_EQ(s["pause_per_terminal"], 1);
    }
}

}  // namespace
}  // namespace zel
