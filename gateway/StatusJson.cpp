#include "gateway/StatusJson.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace zel {
namespace {

// RFC 3339 in UTC, to the millisecond.
std::string TimeText(WallClock::time_point t) {
    const std::time_t seconds = WallClock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80];  // room for any year the format could print
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) %
                    std::chrono::seconds(1);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

}  // namespace

std::string StatusJsonOf(const StatsSnapshot& s) {
    using nlohmann::json;
    const auto timeOrNull = [](bool has, WallClock::time_point t) {
        return has ? json(TimeText(t)) : json();
    };
    const bool failed = !s.LastError.empty();
    const json server{
        {"address", s.ServerAddress.empty() ? std::string("127.0.0.1") : s.ServerAddress},
        {"state", std::string(kServerStateNames[s.Server.Now])},
        {"since", TimeText(s.Server.Since)},
        {"last_success", timeOrNull(s.HasSucceeded, s.LastSuccessAt)},
        {"last_error", failed ? json(s.LastError) : json()},
        {"last_error_at", timeOrNull(failed, s.LastErrorAt)},
        {"prices_as_of", s.PricesAsOf.empty() ? json() : json(s.PricesAsOf)}};
    json terminals = json::array();
    for (const TerminalStatus& t : s.Terminals) {
        const std::size_t colon = t.Peer.rfind(':');
        json last;
        if (t.HasScanned) {
            const auto textOrNull = [](const std::string& text) {
                return text.empty() ? json() : json(text);
            };
            last = {{"time", TimeText(t.LastScanAt)},
                    {"code", t.LastCode},
                    {"outcome", t.LastOutcome.empty() ? json() : json(std::string(t.LastOutcome))},
                    {"description", textOrNull(t.LastDescription)},
                    {"price", textOrNull(t.LastPrice)},
                    {"error", textOrNull(t.LastError)}};
        }
        terminals.push_back({{"address", t.Peer.substr(0, colon)},
                             {"port", std::stoi(t.Peer.substr(colon + 1))},
                             {"connected_since", TimeText(t.ConnectedAt)},
                             {"scans", t.Scans},
                             {"found", t.Tally.Found},
                             {"not_found", t.Tally.NotFound},
                             {"failed", t.Tally.Failed},
                             {"last_scan", last},
                             {"state", std::string(t.State)}});
    }
    const json status{
        {"version", ZEL_VERSION},
        {"started", TimeText(s.StartedAt)},
        {"uptime_seconds", std::chrono::duration<double>(s.TakenAt - s.StartedAt).count()},
        {"pause_per_terminal", s.PausePerTerminal},
        {"terminal_port", s.TerminalPort},
        {"scans",
         {{"found", s.Scans.Found}, {"not_found", s.Scans.NotFound}, {"failed", s.Scans.Failed}}},
        {"server", server},
        {"terminals", terminals}};
    // An error text may quote whatever bytes a server sent: mended, so the
    // answer is always valid JSON.
    return status.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace zel
