#include "srv_zel/LineRateLimit.h"

namespace zel {

std::optional<std::string> LineRateLimit::Admit(std::string line, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    if (now - windowStart_ >= window_) {
        windowStart_ = now;
        passed_ = 0;
    }
    if (passed_ >= lines_) {
        ++leftOut_;
        return std::nullopt;
    }
    ++passed_;
    if (leftOut_ > 0) {
        line += " (" + std::to_string(leftOut_) + " like lines left out before this one)";
        leftOut_ = 0;
    }
    return line;
}

}  // namespace zel
