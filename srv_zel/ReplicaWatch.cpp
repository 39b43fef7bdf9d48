#include "srv_zel/ReplicaWatch.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace zel {

namespace {
using Clock = std::chrono::system_clock;
}  // namespace

std::vector<std::string> ReplicaFollower::Take(const ReplicaSample& sample, TimePoint now) {
    std::vector<std::string> lines;
    if (!sample.InRecovery) {
        if (!promoted_) {
            lines.push_back(
                "the database is no longer a standby (promoted): its catalogue is its own");
        }
        promoted_ = true;
        streaming_ = false;
        current_ = true;
        asOf_ = now;
        return lines;
    }
    current_ = sample.Streaming && sample.CaughtUp;
    if (current_) {
        asOf_ = now;
    } else if (sample.CommitSecondsAgo) {
        // On this clock, whatever the database's says.
        const TimePoint commit =
            now - std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(std::max(0.0, *sample.CommitSecondsAgo)));
        if (!asOf_ || commit > *asOf_) {
            asOf_ = commit;
        }
    }
    if (!reported_ || *reported_ != sample.Streaming) {
        if (!sample.Streaming) {
            lines.push_back(
                "the standby does not stream from the head office: answering with the prices as "
                "of " +
                (asOf_ ? FormatUtc(*asOf_) : std::string("an unknown time")));
        } else if (reported_) {
            lines.push_back("the standby streams from the head office again");
        }
        reported_ = sample.Streaming;
    }
    streaming_ = sample.Streaming;
    return lines;
}

std::optional<ReplicaFollower::TimePoint> ReplicaFollower::AsOf(TimePoint now) const {
    return current_ ? std::optional(now) : asOf_;
}

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
