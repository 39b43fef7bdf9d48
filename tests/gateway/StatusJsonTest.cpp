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

TEST(StatusJsonTest, TheServerStateFollowsTheLastLookupAndTextIsMended) {
    const WallClock::time_point start{std::chrono::seconds(1'800'000'000)};
    GatewayStats stats(start, "10.0.0.5:6100", 1);
    const CodePage codes("WINDOWS-1252");
    const GatewaySettings settings;
    const TaxRateArray rates{};
    const MoneySettings money;
    const ScanContext context{settings, rates, money, codes, false};
    const SessionTable none(context, false);
    const auto status = [&](WallClock::time_point at) {
        return Json::parse(StatusJsonOf(stats.Snapshot(none, 0, at, SessionClock::now())));
    };
    const LookupFailure failure{"HTTP 500: \xff\xfe bytes"};
    const struct {
        const LookupFailure* failure;  // none: no lookup, or one answered
        bool lookup;
        const char* state;
        const char* since;
    } rows[] = {
        {nullptr, false, "unknown", "2027-01-15T08:00:00.000Z"},
        {nullptr, true, "up", "2027-01-15T08:00:10.000Z"},
        {nullptr, true, "up", "2027-01-15T08:00:10.000Z"},  // still up: the same since
        {&failure, true, "down", "2027-01-15T08:00:30.000Z"},
        {&failure, true, "down", "2027-01-15T08:00:30.000Z"},
        {nullptr, true, "up", "2027-01-15T08:00:50.000Z"},
    };
    WallClock::time_point now = start;
    for (const auto& row : rows) {
        if (row.lookup) {
            stats.LookupDone(1ms, row.failure, now);
        }
        const Json s = status(now + 1s);
        EXPECT_EQ(s["server"]["state"], row.state) << s.dump();
        EXPECT_EQ(s["server"]["since"], row.since) << s.dump();
        EXPECT_DOUBLE_EQ(s["uptime_seconds"].get<double>(),
                         std::chrono::duration<double>(now + 1s - start).count());
        now += 10s;
    }
    const Json s = status(now);
    EXPECT_EQ(s["server"]["address"], "10.0.0.5:6100");
    EXPECT_EQ(s["server"]["last_error"], "HTTP 500: \xEF\xBF\xBD\xEF\xBF\xBD bytes");
    EXPECT_EQ(s["pause_per_terminal"], 1);
}

}  // namespace
}  // namespace zel
