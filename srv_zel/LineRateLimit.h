// LineRateLimit: keeps a flood of like lines (refused requests, failed
// handshakes) from filling the journal. At most so many lines pass in each
// window; the ones past it are counted, and the next line that passes says
// how many were left out. Safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

namespace zel {

class LineRateLimit {
public:
    using Clock = std::chrono::steady_clock;

    LineRateLimit(std::size_t lines, Clock::duration window) : lines_(lines), window_(window) {}

    // The line to write now, or nothing when this window's lines are spent.
    std::optional<std::string> Admit(std::string line, Clock::time_point now = Clock::now());

private:
    std::mutex mutex_;
    std::size_t lines_;
    Clock::duration window_;
    Clock::time_point windowStart_;
    std::size_t passed_ = 0;
    std::size_t leftOut_ = 0;
};

}  // namespace zel
