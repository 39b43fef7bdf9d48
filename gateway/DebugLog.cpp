#include "gateway/DebugLog.h"

namespace zel {

void DebugLog::Append(std::string_view line) {
    if (echo_ != nullptr) {
        std::fwrite(line.data(), 1, line.size(), echo_);
        std::fputc('\n', echo_);
        std::fflush(echo_);
    }
    if (lines_.size() == MaxLines) {
        lines_.pop_front();
    }
    lines_.emplace_back(line);
    if (OnAppend) {
        OnAppend(lines_.back());
    }
}

}  // namespace zel
