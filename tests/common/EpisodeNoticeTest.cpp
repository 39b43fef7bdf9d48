#include "common/EpisodeNotice.h"

#include <gtest/gtest.h>

namespace zel {
namespace {

using std::chrono::seconds;

TEST(EpisodeNotice, OneLinePerEpisodeAndIntervalTheEpisodesLeftUnsaidCountedInTheNext) {
    EpisodeNotice notice;
    const EpisodeNotice::Clock::time_point t0{};
    EXPECT_EQ(notice.Begin("full", t0), "full");
    EXPECT_EQ(notice.Begin("full", t0 + seconds(90)), std::nullopt) << "the same episode";
    notice.End();
    EXPECT_EQ(notice.Begin("full", t0 + seconds(10)), std::nullopt) << "within the interval";
    notice.End();
    EXPECT_EQ(notice.Begin("full", t0 + seconds(20)), std::nullopt);
    notice.End();
    EXPECT_EQ(notice.Begin("full", t0 + seconds(60)),
              "full (2 more times since the last such line)");
    notice.End();
    EXPECT_EQ(notice.Begin("full", t0 + seconds(130)), "full");
}

}  // namespace
}  // namespace zel
