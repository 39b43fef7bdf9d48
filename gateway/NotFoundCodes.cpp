#include "gateway/NotFoundCodes.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "gateway/Constants.h"

namespace zel {
namespace {

// The longest address a terminal can have, as text (IPv6 with IPv4).
constexpr std::size_t kMaxAddressChars = 45;

std::int64_t HourOf(WallClock::time_point t) {
    return std::chrono::floor<std::chrono::hours>(t.time_since_epoch()).count();
}

// The part of a full table the codes one terminal brought in may hold before
// its new codes make room among its own only: enough for the codes shown.
std::size_t ShareOf(std::size_t capacity) {
    return std::max<std::size_t>(1, capacity / 4);
}

std::size_t SlotOf(std::int64_t hour, std::size_t slots) {
    const auto n = static_cast<std::int64_t>(slots);
    return static_cast<std::size_t>(((hour % n) + n) % n);
}

}  // namespace

std::uint32_t NotFoundCodes::Sketch::Add(std::string_view code, std::int64_t hour) {
    const std::int64_t generation = hour / kGenerationHours;
    if (generation != generation_) {
        previous_ = generation == generation_ + 1 ? current_ : Table{};
        current_ = Table{};
        generation_ = generation;
    }
    const std::size_t hash = std::hash<std::string_view>{}(code);
    const std::size_t h1 = hash;
    const std::size_t h2 = (hash >> 32) | 1;
    std::array<std::size_t, kRows> at{};
    std::uint32_t least = std::numeric_limits<std::uint32_t>::max();
    for (std::size_t row = 0; row < kRows; ++row) {
        at[row] = (h1 + row * h2) % kWidth;
        least = std::min<std::uint32_t>(least, current_[row][at[row]] + previous_[row][at[row]]);
    }
    // Conservative update: only the counters at the least move, so codes
    // that share a counter inflate each other as little as can be.
    for (std::size_t row = 0; row < kRows; ++row) {
        std::uint16_t& counter = current_[row][at[row]];
        if (counter + previous_[row][at[row]] == least &&
            counter < std::numeric_limits<std::uint16_t>::max()) {
            ++counter;
        }
    }
    return least + 1;
}

NotFoundCodes::NotFoundCodes(std::size_t capacity) : capacity_(capacity) {
    entries_.reserve(capacity_);
}

std::uint64_t NotFoundCodes::CountAt(const Entry& e, std::int64_t hour) {
    const std::int64_t late = hour - e.LastHour;  // hours past the entry's last
    if (late >= static_cast<std::int64_t>(kHours)) {
        return 0;
    }
    // Less the hours that have left the window since.
    std::uint64_t count = e.Total;
    for (std::int64_t h = e.LastHour - static_cast<std::int64_t>(kHours) + 1;
         h <= e.LastHour - static_cast<std::int64_t>(kHours) + late; ++h) {
        count -= e.PerHour[SlotOf(h, kHours)];
    }
    return count;
}

void NotFoundCodes::Restart(Entry& e, std::string_view code, std::int64_t hour,
                            WallClock::time_point now) {
    e.Code.assign(code);
    e.PerHour.fill(0);
    e.Total = 0;
    e.LastHour = hour;
    e.First = now;
    e.TerminalCount = 0;
    e.MoreTerminals = false;
}

void NotFoundCodes::Count(Entry& e, std::string_view terminal, std::int64_t hour,
                          WallClock::time_point now) {
    // Hours between the last scan and this one held none; a clock that went
    // back counts in the latest hour.
    for (std::int64_t h = e.LastHour + 1;
         h <= hour && h <= e.LastHour + static_cast<std::int64_t>(kHours); ++h) {
        e.Total -= std::exchange(e.PerHour[SlotOf(h, kHours)], 0);
    }
    e.LastHour = std::max(e.LastHour, hour);
    ++e.PerHour[SlotOf(e.LastHour, kHours)];
    ++e.Total;
    e.Last = std::max(e.Last, now);
    terminal = terminal.substr(0, kMaxAddressChars);
    const auto end = e.Terminals.begin() + static_cast<std::ptrdiff_t>(e.TerminalCount);
    if (std::find(e.Terminals.begin(), end, terminal) != end) {
        return;
    }
    if (e.TerminalCount < e.Terminals.size()) {
        e.Terminals[e.TerminalCount++].assign(terminal);
    } else {
        e.MoreTerminals = true;
    }
}

void NotFoundCodes::Add(std::string_view code, std::string_view terminal,
                        WallClock::time_point now) {
    code = code.substr(0, static_cast<std::size_t>(MAX_CODE_DIGITS));
    const std::int64_t hour = HourOf(now);
    const auto known = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& e) { return e.Code == code; });
    if (known != entries_.end()) {
        if (CountAt(*known, hour) == 0) {
            Restart(*known, code, hour, now);  // its scans all older than the window
        }
        Count(*known, terminal, hour, now);
        return;
    }
    Entry* place = nullptr;
    if (entries_.size() < capacity_) {
        place = &entries_.emplace_back();
    } else if (capacity_ > 0) {
        // The least scanned, of those the oldest scanned; it gives way to a
        // code the sketch has seen more often. A terminal that brought in its
        // share of the table already makes room among its own codes only.
        terminal = terminal.substr(0, kMaxAddressChars);
        const auto ownedBy = [&](const Entry& e) {
            return e.TerminalCount > 0 && e.Terminals[0] == terminal;
        };
        const bool ownOnly = static_cast<std::size_t>(std::count_if(
                                 entries_.begin(), entries_.end(), ownedBy)) >= ShareOf(capacity_);
        Entry* least = nullptr;
        std::uint64_t leastCount = 0;
        for (Entry& e : entries_) {
            if (ownOnly && !ownedBy(e)) {
                continue;
            }
            const std::uint64_t count = CountAt(e, hour);
            if (least == nullptr || count < leastCount ||
                (count == leastCount && e.Last < least->Last)) {
                least = &e;
                leastCount = count;
            }
        }
        if (leastCount == 0 || sketch_.Add(code, hour) > leastCount) {
            place = least;
        }
    }
    if (place != nullptr) {
        Restart(*place, code, hour, now);
        place->Last = now;
        Count(*place, terminal, hour, now);
    }
}

std::vector<NotFoundCode> NotFoundCodes::Top(WallClock::time_point now, std::size_t limit) const {
    const std::int64_t hour = HourOf(now);
    std::vector<std::pair<std::uint64_t, const Entry*>> counted;
    for (const Entry& e : entries_) {
        if (const std::uint64_t count = CountAt(e, hour); count > 0) {
            counted.emplace_back(count, &e);
        }
    }
    const auto before = [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second->Last > b.second->Last;
    };
    const std::size_t shown = std::min(limit, counted.size());
    std::partial_sort(counted.begin(), counted.begin() + static_cast<std::ptrdiff_t>(shown),
                      counted.end(), before);
    std::vector<NotFoundCode> top;
    for (std::size_t i = 0; i < shown; ++i) {
        const auto& [count, e] = counted[i];
        NotFoundCode& code = top.emplace_back();
        code.Code = e->Code;
        code.Count = count;
        // The first scan still in the window: the entry's own, or the start
        // of its oldest hour that still counts.
        std::int64_t oldest = std::max(hour, e->LastHour) - static_cast<std::int64_t>(kHours) + 1;
        while (e->PerHour[SlotOf(oldest, kHours)] == 0) {
            ++oldest;
        }
        code.First = std::max(e->First, WallClock::time_point(std::chrono::hours(oldest)));
        code.Last = e->Last;
        code.Terminals.assign(e->Terminals.begin(),
                              e->Terminals.begin() + static_cast<std::ptrdiff_t>(e->TerminalCount));
        code.MoreTerminals = e->MoreTerminals;
    }
    return top;
}

}  // namespace zel
