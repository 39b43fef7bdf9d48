#include "srv_zel/ReplicaWatch.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace zel {

namespace {
using Clock = std::chrono::system_clock;
}  // namespace

double LagSeconds(std::optional<Clock::time_point> asOf, Clock::time_point now) {
    if (!asOf) {
        return std::nan("");
    }
    return std::max(0.0, std::chrono::duration<double>(now - *asOf).count());
}

std::string FormatUtc(Clock::time_point when) {
    const std::time_t t = Clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace zel
