#include "gateway/StatusJson.h"

#include <cmath>
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

using nlohmann::json;

json TextOrNull(std::string_view text) {
    return text.empty() ? json() : json(std::string(text));
}

// Milliseconds to the microsecond, or null.
json Milliseconds(const std::optional<double>& seconds) {
    return seconds ? json(std::round(*seconds * 1e6) / 1e3) : json();
}

json TallyJson(const ScanTally& t) {
    return {{"found", t.Found}, {"not_found", t.NotFound}, {"failed", t.Failed}};
}

std::string_view NameOf(const TerminalNames* names, std::string_view address) {
    return names ? names->NameOf(address) : std::string_view();
}

// A terminal that is gone, or that scanned a code: its address and name.
json NamedTerminal(const StatsSnapshot& s, std::string_view address) {
    return {{"address", std::string(address)}, {"name", TextOrNull(NameOf(s.Names, address))}};
}

// The last hour as one series per figure, a value a minute, oldest first.
json HistoryJson(const HistoryView& h) {
    json found = json::array(), notFound = json::array(), failed = json::array();
    json lookups = json::array(), mean = json::array(), p95 = json::array();
    for (const MinuteFigures& m : h.Minutes) {
        found.push_back(m.Scans.Found);
        notFound.push_back(m.Scans.NotFound);
        failed.push_back(m.Scans.Failed);
        lookups.push_back(m.Lookups);
        mean.push_back(Milliseconds(m.LookupMeanSeconds));
        p95.push_back(Milliseconds(m.LookupP95Seconds));
    }
    return {{"start", h.Minutes.empty() ? json() : json(TimeText(h.Minutes.front().Start))},
            {"found", found},
            {"not_found", notFound},
            {"failed", failed},
            {"lookups", lookups},
            {"lookup_mean_ms", mean},
            {"lookup_p95_ms", p95}};
}

}  // namespace

std::string StatusJsonOf(const StatsSnapshot& s) {
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
            const auto textOrNull = [](const std::string& text) { return TextOrNull(text); };
            last = {{"time", TimeText(t.LastScanAt)},
                    {"code", t.LastCode},
                    {"outcome", t.LastOutcome.empty() ? json() : json(std::string(t.LastOutcome))},
                    {"description", textOrNull(t.LastDescription)},
                    {"price", textOrNull(t.LastPrice)},
                    {"error", textOrNull(t.LastError)}};
        }
        const std::string address = t.Peer.substr(0, colon);
        terminals.push_back({{"address", address},
                             {"name", TextOrNull(NameOf(s.Names, address))},
                             {"port", std::stoi(t.Peer.substr(colon + 1))},
                             {"connected_since", TimeText(t.ConnectedAt)},
                             {"scans", t.Scans},
                             {"found", t.Tally.Found},
                             {"not_found", t.Tally.NotFound},
                             {"failed", t.Tally.Failed},
                             {"last_scan", last},
                             {"state", std::string(t.State)}});
    }
    json left = json::array();
    for (const RosterEntry& e : s.Departed) {
        json gone = NamedTerminal(s, e.Address);
        gone["left_at"] = TimeText(e.LeftAt);
        gone["how"] = std::string(kDepartureNames[static_cast<std::size_t>(e.How)]);
        left.push_back(std::move(gone));
    }
    json notFound = json::array();
    for (const NotFoundCode& c : s.NotFound) {
        json by = json::array();
        for (const std::string& address : c.Terminals) {
            by.push_back(NamedTerminal(s, address));
        }
        notFound.push_back({{"code", c.Code},
                            {"count", c.Count},
                            {"first", TimeText(c.First)},
                            {"last", TimeText(c.Last)},
                            {"terminals", by},
                            {"more_terminals", c.MoreTerminals}});
    }
    json scans = TallyJson(s.Scans);
    scans["last_hour"] = TallyJson(s.History.LastHour);
    const json status{
        {"version", ZEL_VERSION},
        {"started", TimeText(s.StartedAt)},
        {"uptime_seconds", std::chrono::duration<double>(s.TakenAt - s.StartedAt).count()},
        {"pause_per_terminal", s.PausePerTerminal},
        {"terminal_port", s.TerminalPort},
        {"scans", scans},
        {"lookups",
         {{"minutes", PERCENTILE_MINUTES},
          {"count", s.History.RecentLookups},
          {"p50_ms", Milliseconds(s.History.P50Seconds)},
          {"p95_ms", Milliseconds(s.History.P95Seconds)}}},
        {"server", server},
        {"terminals", terminals},
        {"left", left},
        {"not_found_codes", notFound},
        {"last_hour", HistoryJson(s.History)}};
    // An error text may quote whatever bytes a server sent: mended, so the
    // answer is always valid JSON.
    return status.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace zel

namespace zel {
namespace {

// A CSV field: quoted when it holds a separator (a semicolon too, the
// separator of spreadsheets in Spanish), a quote or a line break; and text a
// spreadsheet would take for a formula made plain with a leading apostrophe.
std::string CsvField(std::string_view text) {
    std::string field;
    if (!text.empty() && std::string_view("=+-@").find(text.front()) != std::string_view::npos) {
        field = "'";
    }
    field += text;
    if (field.find_first_of(",;\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string NotFoundCsvOf(const std::vector<NotFoundCode>& codes, const TerminalNames* names) {
    std::string csv = "codigo,veces,primera,ultima,terminales\r\n";
    for (const NotFoundCode& c : codes) {
        std::string terminals;
        for (const std::string& address : c.Terminals) {
            const std::string_view name = NameOf(names, address);
            terminals += terminals.empty() ? "" : "; ";
            terminals += name.empty() ? address : std::string(name) + " (" + address + ")";
        }
        if (c.MoreTerminals) {
            terminals += "; ...";
        }
        csv += CsvField(c.Code) + "," + std::to_string(c.Count) + "," + TimeText(c.First) + "," +
               TimeText(c.Last) + "," + CsvField(terminals) + "\r\n";
    }
    return csv;
}

}  // namespace zel
