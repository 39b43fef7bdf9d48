#include "gateway/ScanHistory.h"

#include <algorithm>
#include <cmath>

namespace zel {
namespace {

constexpr double kFirstStepSeconds = 32e-6;
constexpr double kStepsPerOctave = 8;

// Minutes since the epoch (none before it).
std::int64_t MinuteOf(WallClock::time_point t) {
    return std::max<std::int64_t>(
        0, std::chrono::floor<std::chrono::minutes>(t.time_since_epoch()).count());
}

std::size_t SlotOf(std::int64_t minute) {
    return static_cast<std::size_t>(minute % static_cast<std::int64_t>(HISTORY_MINUTES));
}

// Step 0 holds times under kFirstStepSeconds; step n ≥ 1 those from
// Bound(n - 1) to Bound(n).
double Bound(std::size_t step) {
    return kFirstStepSeconds * std::exp2(static_cast<double>(step) / kStepsPerOctave);
}

}  // namespace

ScanHistory::Minute& ScanHistory::At(WallClock::time_point now) {
    const std::int64_t index = MinuteOf(now);
    const auto ringSize = static_cast<std::int64_t>(HISTORY_MINUTES);
    if (latest_ >= 0 && latest_ - index >= ringSize) {
        ring_.fill(Minute{});  // the clock went back past the ring
        latest_ = -1;
    }
    latest_ = std::max(latest_, index);
    Minute& m = ring_[SlotOf(index)];
    if (m.Index != index) {
        m = Minute{};
        m.Index = index;
    }
    return m;
}

const ScanHistory::Minute* ScanHistory::Find(std::int64_t index) const {
    const Minute& m = ring_[SlotOf(index)];
    return m.Index == index ? &m : nullptr;
}

void ScanHistory::Scanned(ScanOutcome outcome, WallClock::time_point now) {
    if (outcome == ScanOutcome::None) {
        return;
    }
    ScanTally& t = At(now).Scans;
    ++(outcome == ScanOutcome::Found      ? t.Found
       : outcome == ScanOutcome::NotFound ? t.NotFound
                                          : t.Failed);
}

void ScanHistory::LookupTimed(std::chrono::nanoseconds took, WallClock::time_point now) {
    const double seconds = std::max(0.0, std::chrono::duration<double>(took).count());
    std::size_t step = 0;
    if (seconds >= kFirstStepSeconds) {
        step = 1 + static_cast<std::size_t>(
                       std::floor(std::log2(seconds / kFirstStepSeconds) * kStepsPerOctave));
    }
    Minute& m = At(now);
    ++m.Times[std::min(step, kSteps - 1)];
    ++m.Lookups;
    m.LookupSeconds += seconds;
}

std::optional<double> ScanHistory::Percentile(const Histogram& h, std::uint64_t total, double q) {
    if (total == 0) {
        return std::nullopt;
    }
    // The rank's place within its step, taken as spread evenly across it.
    const double rank = q * static_cast<double>(total);
    double below = 0;
    for (std::size_t step = 0; step < h.size(); ++step) {
        const double here = h[step];
        if (here > 0 && below + here >= rank) {
            const double low = step == 0 ? 0 : Bound(step - 1);
            if (step == h.size() - 1) {
                return low;  // the last step has no upper bound
            }
            return low + (Bound(step) - low) * std::clamp((rank - below) / here, 0.0, 1.0);
        }
        below += here;
    }
    return std::nullopt;
}

HistoryView ScanHistory::View(WallClock::time_point now) const {
    HistoryView view;
    const std::int64_t current = MinuteOf(now);
    Histogram recent{};
    for (std::size_t i = 0; i < HISTORY_MINUTES; ++i) {
        const std::int64_t index = current - static_cast<std::int64_t>(HISTORY_MINUTES - 1 - i);
        MinuteFigures& shown = view.Minutes.emplace_back();
        shown.Start = WallClock::time_point(std::chrono::minutes(index));
        const Minute* m = index >= 0 ? Find(index) : nullptr;
        if (m == nullptr) {
            continue;
        }
        shown.Scans = m->Scans;
        shown.Lookups = m->Lookups;
        if (m->Lookups > 0) {
            shown.LookupMeanSeconds = m->LookupSeconds / static_cast<double>(m->Lookups);
        }
        shown.LookupP95Seconds = Percentile(m->Times, m->Lookups, 0.95);
        view.LastHour += m->Scans;
        if (current - index < static_cast<std::int64_t>(PERCENTILE_MINUTES)) {
            view.RecentLookups += m->Lookups;
            for (std::size_t s = 0; s < kSteps; ++s) {
                recent[s] += m->Times[s];
            }
        }
    }
    view.P50Seconds = Percentile(recent, view.RecentLookups, 0.5);
    view.P95Seconds = Percentile(recent, view.RecentLookups, 0.95);
    return view;
}

}  // namespace zel
