// FailureLog: failures for the journal without flooding it. The first line
// is written at once; the ones in the minute after it are held back and
// told in one summary line when the minute is over, with their count and
// the last of them. Pure: the caller gives the time and writes the lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zel {

class FailureLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kPeriod{60};

    // The line to write now, if any.
    std::optional<std::string> Add(std::string line, Clock::time_point now);
    // The summary of the lines held back, once their minute is over; call it
    // at least once a minute.
    std::optional<std::string> Flush(Clock::time_point now);

private:
    std::optional<Clock::time_point> windowStart_;  // while lines are being held back
    std::uint64_t held_ = 0;
    std::string last_;
};

}  // namespace zel
