#include "gateway/DebugLog.h"

namespace zel {

namespace {

// The line as kept: whole up to the limit, else cut before a UTF-8 character
// that would straddle it, with the count of bytes left out.
std::string Bounded(std::string_view line) {
    if (line.size() <= DebugLog::MaxLineBytes) {
        return std::string(line);
    }
    std::size_t cut = DebugLog::MaxLineBytes;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0u) == 0x80u) {
        --cut;
    }
    return std::string(line.substr(0, cut)) + " ... (line cut at " + std::to_string(cut) +
           " bytes, " + std::to_string(line.size() - cut) + " more not kept)";
}

}  // namespace

void DebugLog::Append(std::string_view whole) {
    const std::string line = Bounded(whole);
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
