#include "common/EpisodeNotice.h"

namespace zel {

std::optional<std::string> EpisodeNotice::Begin(std::string_view line, Clock::time_point now) {
    if (open_) {
        return std::nullopt;
    }
    open_ = true;
    if (lastLine_ && now - *lastLine_ < kInterval) {
        ++unsaid_;
        return std::nullopt;
    }
    lastLine_ = now;
    std::string text(line);
    if (unsaid_ > 0) {
        text += " (" + std::to_string(unsaid_) + " more time" + (unsaid_ == 1 ? "" : "s") +
                " since the last such line)";
        unsaid_ = 0;
    }
    return text;
}

}  // namespace zel
