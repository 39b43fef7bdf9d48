// The debug log: lines of terminal traffic, kept only in debug mode.
//
// Each line is echoed to stderr and kept in memory (the newest 5,000), so the
// about box can show what came in while it was hidden; a window that is open
// hears of each new line through OnAppend. A line longer than MaxLineBytes is
// cut there and ends with how many bytes were left out, so memory stays
// bounded whatever a terminal sends.
#pragma once

#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace zel {

class DebugLog {
public:
    static constexpr std::size_t MaxLines = 5000;
    static constexpr std::size_t MaxLineBytes = 2000;

    explicit DebugLog(std::FILE* echo = stderr) : echo_(echo) {}

    void Append(std::string_view line);
    const std::deque<std::string>& Lines() const { return lines_; }

    std::function<void(const std::string& line)> OnAppend;

private:
    std::FILE* echo_;
    std::deque<std::string> lines_;
};

}  // namespace zel
