#include "gateway/FailureLog.h"

namespace zel {

std::optional<std::string> FailureLog::Add(std::string line, Clock::time_point now) {
    std::optional<std::string> summary = Flush(now);
    if (windowStart_) {
        ++held_;
        last_ = std::move(line);
        return summary;
    }
    windowStart_ = now;
    return summary ? *summary + "\n" + line : line;
}

std::optional<std::string> FailureLog::Flush(Clock::time_point now) {
    if (!windowStart_ || now - *windowStart_ < kPeriod) {
        return std::nullopt;
    }
    if (held_ == 0) {
        windowStart_.reset();  // a quiet minute: the next failure is written at once
        return std::nullopt;
    }
    std::string summary = std::to_string(held_) + " more failure" + (held_ == 1 ? "" : "s") +
                          " in the last minute; the last: " + last_;
    held_ = 0;
    last_.clear();
    windowStart_ = now;
    return summary;
}

}  // namespace zel
