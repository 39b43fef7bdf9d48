// NotFoundCodes: the codes the catalogue lacked (answered "no encontrado")
// that were scanned most over the last day, each with its count, its first
// and last scan and the terminals that scanned it, in a memory that stays
// the same whatever the terminals send.
//
// A fixed table of `capacity` codes counts each tracked code exactly, by the
// hour, over the last NOT_FOUND_WINDOW. When it is full, a new code takes the
// place of the least scanned one only if a small frequency sketch (a
// count-min sketch over two half-day generations) says it has been scanned
// more often than that one; it then starts at one. A terminal whose codes
// (the codes it scanned first since they were taken in) fill a quarter of a
// full table makes room among its own. So a flood of codes seen once each,
// from one terminal, churns its own quarter only, and the codes scanned
// most stay with their counts. A count is the scans since the code was last
// taken in, never more than it had. Pure: times come from the caller.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerHealth.h"

namespace zel {

inline constexpr std::size_t TRACKED_NOT_FOUND_CODES = 256;
inline constexpr std::size_t TERMINALS_PER_CODE = 8;
inline constexpr std::chrono::hours NOT_FOUND_WINDOW{24};

struct NotFoundCode {
    std::string Code;
    std::uint64_t Count = 0;
    WallClock::time_point First;  // within the window, to the hour
    WallClock::time_point Last;
    std::vector<std::string> Terminals;  // addresses, in the order they scanned it
    bool MoreTerminals = false;          // others beyond TERMINALS_PER_CODE
};

class NotFoundCodes {
public:
    explicit NotFoundCodes(std::size_t capacity = TRACKED_NOT_FOUND_CODES);

    // `terminal` scanned `code` and the catalogue did not have it. The code is
    // cut to the digits a terminal's scan can hold.
    void Add(std::string_view code, std::string_view terminal, WallClock::time_point now);

    // The codes scanned within the window, most scanned first (of equal
    // counts, the latest first), at most `limit`.
    std::vector<NotFoundCode> Top(WallClock::time_point now, std::size_t limit) const;
    std::size_t Tracked() const { return entries_.size(); }

private:
    static constexpr std::size_t kHours = NOT_FOUND_WINDOW.count();
    struct Entry {
        std::string Code;
        std::array<std::uint32_t, kHours> PerHour{};  // by hour since the epoch, modulo kHours
        std::int64_t LastHour = 0;
        std::uint64_t Total = 0;  // of PerHour
        WallClock::time_point First;
        WallClock::time_point Last;
        std::array<std::string, TERMINALS_PER_CODE> Terminals;
        std::size_t TerminalCount = 0;
        bool MoreTerminals = false;
    };

    // Estimates how often codes not in the table were scanned.
    class Sketch {
    public:
        // Counts one scan of `code`; the estimate of its scans, this one included.
        std::uint32_t Add(std::string_view code, std::int64_t hour);

    private:
        static constexpr std::size_t kRows = 4;
        static constexpr std::size_t kWidth = 1024;
        static constexpr std::int64_t kGenerationHours = kHours / 2;
        using Table = std::array<std::array<std::uint16_t, kWidth>, kRows>;
        Table current_{};
        Table previous_{};
        std::int64_t generation_ = 0;
    };

    static std::uint64_t CountAt(const Entry& e, std::int64_t hour);
    static void Restart(Entry& e, std::string_view code, std::int64_t hour,
                        WallClock::time_point now);
    static void Count(Entry& e, std::string_view terminal, std::int64_t hour,
                      WallClock::time_point now);

    std::size_t capacity_;
    std::vector<Entry> entries_;
    Sketch sketch_;
};

}  // namespace zel
