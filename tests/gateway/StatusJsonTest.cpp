// The /status answer: the application server's state and since when, the
// uptime to the moment asked, and text that is not UTF-8 mended.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "gateway/ConfIni.h"
#include "gateway/StatusJson.h"
#include "gateway/TerminalActivity.h"
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

TEST(StatusJsonTest, NamesTheTerminalsGoneTheCodesNotFoundAndTheLastHourAndTheCsv) {
    const WallClock::time_point t0{std::chrono::hours(500'000)};
    std::vector<std::string> warnings;
    const TerminalNames names = TerminalNames::Read(
        ConfIni("[TERMINALES]\n10.0.0.1=Panaderia\n10.0.0.2=\"=Caja, \"2\"\"\n"),
        CodePage("WINDOWS-1252"), warnings);
    ASSERT_TRUE(warnings.empty());
    TerminalActivity activity;
    activity.Connected("10.0.0.1", t0);
    activity.Connected("10.0.0.3", t0);
    activity.Released("10.0.0.1", ReleaseCause::KeepAlive, t0 + 5min);
    for (const char* peer : {"10.0.0.2:4001", "10.0.0.1:4000", "10.0.0.1:4000"}) {
        activity.ScanEnded({ScanOutcome::NotFound, peer, "9999"}, t0 + 1min);
    }
    activity.ScanEnded({ScanOutcome::Found, "10.0.0.3:4002", "7501"}, t0 + 6min);
    activity.LookupTimed(2ms, t0 + 6min);
    StatsSnapshot snapshot;
    activity.Describe(snapshot, t0 + 6min);
    snapshot.Names = &names;
    snapshot.StartedAt = snapshot.TakenAt = t0;

    const Json s = Json::parse(StatusJsonOf(snapshot));
    EXPECT_EQ(s["left"], Json::parse(R"([{"address": "10.0.0.1", "name": "Panaderia",
        "left_at": "2027-01-15T08:05:00.000Z", "how": "error"}])"));
    ASSERT_EQ(s["not_found_codes"].size(), 1u);
    const Json& code = s["not_found_codes"][0];
    EXPECT_EQ(code["code"], "9999");
    EXPECT_EQ(code["count"], 3);
    EXPECT_EQ(code["terminals"][0],
              Json::parse(R"({"address": "10.0.0.2", "name": "=Caja, \"2\""})"));
    EXPECT_EQ(s["scans"]["last_hour"]["found"], 1);
    EXPECT_EQ(s["last_hour"]["found"].size(), HISTORY_MINUTES);
    EXPECT_EQ(s["last_hour"]["found"].back(), 1);
    EXPECT_EQ(s["last_hour"]["not_found"][HISTORY_MINUTES - 6], 3);
    EXPECT_EQ(s["lookups"]["count"], 1);
    EXPECT_TRUE(s["last_hour"]["lookup_p95_ms"][0].is_null());

    // A name a spreadsheet would take for a formula stays text.
    EXPECT_EQ(NotFoundCsvOf(snapshot.NotFound, &names),
              "codigo,veces,primera,ultima,terminales\r\n"
              "9999,3,2027-01-15T08:01:00.000Z,2027-01-15T08:01:00.000Z,"
              "\"'=Caja, \"\"2\"\" (10.0.0.2); Panaderia (10.0.0.1)\"\r\n");
}

}  // namespace
}  // namespace zel
