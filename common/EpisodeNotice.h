// EpisodeNotice: one journal line per episode of a condition that lasts (a
// listener out of file handles, a table full), and at most one line per
// interval however often the condition comes and goes. An episode that begins
// within the interval after the last line is counted, and the next line that
// is written says how many there were.
//
// Pure: the caller gives the time and writes the line.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

class EpisodeNotice {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{60};

    // The condition holds now. The line to write, once per episode and
    // interval; nothing while the episode goes on.
    std::optional<std::string> Begin(std::string_view line, Clock::time_point now);
    // The condition is over: the next Begin starts another episode.
    void End() { open_ = false; }
    bool Open() const { return open_; }

private:
    bool open_ = false;
    std::optional<Clock::time_point> lastLine_;
    std::size_t unsaid_ = 0;  // episodes since the last line, not told
};

}  // namespace zel
