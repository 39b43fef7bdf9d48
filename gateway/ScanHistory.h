// ScanHistory: the last hour of scans minute by minute (by outcome, and how
// long their lookups took), for the monitor's chart, and the lookups' median
// and 95th percentile over the last few minutes. A ring of HISTORY_MINUTES
// minutes, each with a histogram of lookup times in steps of an eighth of an
// octave (a percentile is right to within 9 %): its size is fixed. Pure:
// times come from the caller; a clock that goes back more than the ring
// starts it again.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "gateway/TerminalSession.h"
#include "server/ServerHealth.h"

namespace zel {

inline constexpr std::size_t HISTORY_MINUTES = 60;
inline constexpr std::size_t PERCENTILE_MINUTES = 5;

struct MinuteFigures {
    WallClock::time_point Start;  // of the minute
    ScanTally Scans;              // Found, NotFound, Failed
    std::uint64_t Lookups = 0;
    std::optional<double> LookupMeanSeconds;  // none without lookups
    std::optional<double> LookupP95Seconds;
};

struct HistoryView {
    std::vector<MinuteFigures> Minutes;  // HISTORY_MINUTES, oldest first, this minute last
    ScanTally LastHour;
    std::uint64_t RecentLookups = 0;  // over the last PERCENTILE_MINUTES
    std::optional<double> P50Seconds;
    std::optional<double> P95Seconds;
};

class ScanHistory {
public:
    // A scan ended: found, not found or failed (anything else is not counted).
    void Scanned(ScanOutcome outcome, WallClock::time_point now);
    // A lookup was answered (or failed) after `took`.
    void LookupTimed(std::chrono::nanoseconds took, WallClock::time_point now);

    HistoryView View(WallClock::time_point now) const;

private:
    static constexpr std::size_t kSteps = 168;  // 32 µs to a minute; longer in the last
    using Histogram = std::array<std::uint32_t, kSteps>;
    struct Minute {
        std::int64_t Index = -1;  // minutes since the epoch; -1 none
        ScanTally Scans;
        std::uint64_t Lookups = 0;
        double LookupSeconds = 0;
        Histogram Times{};
    };

    Minute& At(WallClock::time_point now);
    const Minute* Find(std::int64_t index) const;
    static std::optional<double> Percentile(const Histogram& h, std::uint64_t total, double q);

    std::array<Minute, HISTORY_MINUTES> ring_{};
    std::int64_t latest_ = -1;
};

}  // namespace zel
