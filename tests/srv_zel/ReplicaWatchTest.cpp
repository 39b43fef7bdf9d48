// What a standby's replication samples tell, one after the other: the
// streaming state, the catalogue's age and the log lines, each once.
#include <cmath>

#include <gtest/gtest.h>

#include "srv_zel/ReplicaWatch.h"

namespace zel {
namespace {

using std::chrono::seconds;

TEST(ReplicaFollower, FollowsStreamingAgeAndLogsEachChangeOnce) {
    const auto t0 = std::chrono::system_clock::from_time_t(1'700'000'000);  // 2023-11-14T22:13:20Z
    struct Step {
        int at;  // seconds after t0
        ReplicaSample sample;
        const char* line;  // a part of the one line due; empty: none
        bool streaming;
        double lag;
    };
    const Step steps[] = {
        // Caught up with an idle head office: current, whatever the last commit's age.
        {0, {true, true, true, 100.0}, "", true, 0},
        {5,
         {true, false, false, 105.0},
         "does not stream from the head office: answering with "
         "the prices as of 2023-11-14T22:13:20Z",
         false,
         5},
        {10, {true, false, false, 110.0}, "", false, 10},
        // Streaming again, replaying what it missed: as old as its last replayed commit.
        {12, {true, true, false, 2.0}, "streams from the head office again", true, 2},
        {13, {true, true, true, 1.0}, "", true, 0},
        {20, {false, false, false, std::nullopt}, "no longer a standby (promoted)", false, 0},
        {21, {false, false, false, std::nullopt}, "", false, 0},
    };
    ReplicaFollower follower;
    for (const Step& s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.at) + " s");
        const auto now = t0 + seconds(s.at);
        const auto lines = follower.Take(s.sample, now);
        ASSERT_EQ(lines.size(), *s.line == '\0' ? 0u : 1u);
        if (!lines.empty()) {
            EXPECT_NE(lines[0].find(s.line), std::string::npos) << lines[0];
        }
        EXPECT_EQ(follower.Streaming(), s.streaming);
        EXPECT_DOUBLE_EQ(LagSeconds(follower.AsOf(now), now), s.lag);
    }

    // Never caught up and nothing replayed yet: the age is not known.
    ReplicaFollower fresh;
    const auto lines = fresh.Take({true, false, false, std::nullopt}, t0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("as of an unknown time"), std::string::npos) << lines[0];
    EXPECT_TRUE(std::isnan(LagSeconds(fresh.AsOf(t0), t0)));
}

}  // namespace
}  // namespace zel
