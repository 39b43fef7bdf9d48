// The codes the catalogue lacks: the most scanned over the last day, exact
// while tracked, in a fixed memory whatever the terminals send.
#include <gtest/gtest.h>

#include <set>

#include "gateway/NotFoundCodes.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

const WallClock::time_point t0{std::chrono::hours(500'000)};  // on the hour

TEST(NotFoundCodes, AFloodOfDistinctCodesLeavesTheTopCodesAndTheMemoryBound) {
    // 50 codes, code i scanned 60 - i times by two terminals, a scan of each
    // a minute; and one terminal's 4,000 codes a minute, each scanned once,
    // 200,000 in all, from minute `FloodFrom`, before or after the minute's
    // scans of the 50. A scan a microsecond after the one before.
    const struct {
        const char* Name;
        int FloodFrom;
        bool FloodFirst;
        std::uint64_t Lost;  // scans a code may have made before it was taken in
    } rows[] = {
        {"a flood after the codes' tenth scan", 10, false, 0},
        {"a flood before their first", 0, true, 2},
    };
    const auto top = [](int i) { return "7501" + std::to_string(100 + i); };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        NotFoundCodes codes;
        WallClock::time_point now = t0;
        const auto add = [&](const std::string& code, const char* terminal, int round) {
            now = std::max(now + 1us, t0 + 1min * round);
            codes.Add(code, terminal, now);
        };
        const auto flood = [&](int round) {
            for (int f = 0; f < 4000 && round >= row.FloodFrom && round < row.FloodFrom + 50; ++f) {
                add(std::to_string(1'000'000'000 + round * 4000 + f), "10.0.0.9", round);
            }
        };
        for (int round = 0; round < 60; ++round) {
            if (row.FloodFirst) {
                flood(round);
            }
            for (int i = 0; i < 50 && round < 60 - i; ++i) {
                add(top(i), round % 2 ? "10.0.0.1" : "10.0.0.2", round);
            }
            if (!row.FloodFirst) {
                flood(round);
            }
            ASSERT_LE(codes.Tracked(), TRACKED_NOT_FOUND_CODES);
        }
        const std::vector<NotFoundCode> shown = codes.Top(t0 + 1h, 50);
        ASSERT_EQ(shown.size(), 50u);
        std::set<std::string> expected, got;
        for (int i = 0; i < 50; ++i) {
            expected.insert(top(i));
            got.insert(shown[i].Code);
            // The count it had, or as many less as it may have lost.
            const auto scans =
                static_cast<std::uint64_t>(60 - (std::stoi(shown[i].Code) - 7501100));
            EXPECT_LE(shown[i].Count, scans) << shown[i].Code;
            EXPECT_GE(shown[i].Count + row.Lost, scans) << shown[i].Code;
            EXPECT_EQ(std::set<std::string>(shown[i].Terminals.begin(), shown[i].Terminals.end()),
                      (std::set<std::string>{"10.0.0.1", "10.0.0.2"}));
            if (row.Lost == 0) {
                EXPECT_EQ(shown[i].Code, top(i));
                EXPECT_LT(shown[i].First, t0 + 1min);
            }
        }
        EXPECT_EQ(got, expected) << "the flood's codes, once each, never outrank them";
    }
}

TEST(NotFoundCodes, CountsTerminalsAndTheDayAndLetsANewFrequentCodeIn) {
    NotFoundCodes codes(4);
    // A code from 20 terminals: the first 8 named, the rest marked.
    for (int t = 0; t < 20; ++t) {
        codes.Add("111", "10.0.0." + std::to_string(t), t0);
    }
    auto shown = codes.Top(t0, 10);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Count, 20u);
    EXPECT_EQ(shown[0].Terminals.size(), TERMINALS_PER_CODE);
    EXPECT_TRUE(shown[0].MoreTerminals);

    // Scans over more than a day: only those of the last 24 hours count.
    codes.Add("222", "10.0.0.1", t0 + 10min);
    codes.Add("222", "10.0.0.1", t0 + 23h + 10min);
    shown = codes.Top(t0 + 23h + 20min, 10);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].Code, "222");
    EXPECT_EQ(shown[1].Count, 2u);
    EXPECT_EQ(shown[1].First, t0 + 10min);
    shown = codes.Top(t0 + 24h + 30min, 10);
    ASSERT_EQ(shown.size(), 1u) << "111 is over a day old";
    EXPECT_EQ(shown[0].Count, 1u);
    EXPECT_EQ(shown[0].First, t0 + 23h);  // its scan of a day ago no longer counts
    EXPECT_TRUE(codes.Top(t0 + 48h, 10).empty());

    // A full table of codes scanned twice: a new code gets in once scanned
    // more often than they were, and counts from then on.
    NotFoundCodes full(4);
    for (const char* code : {"1", "2", "3", "4", "1", "2", "3", "4"}) {
        full.Add(code, "10.0.0.1", t0);
    }
    for (int scan = 0; scan < 5; ++scan) {
        full.Add("99", "10.0.0.2", t0 + 1min);
    }
    shown = full.Top(t0 + 1min, 10);
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].Code, "99");
    EXPECT_EQ(shown[0].Count, 3u);  // taken in at its third scan
    // Codes are cut to a scan's 13 digits.
    NotFoundCodes cut;
    cut.Add(std::string(40, '7'), "10.0.0.1", t0);
    EXPECT_EQ(cut.Top(t0, 10).front().Code, std::string(13, '7'));
}

}  // namespace
}  // namespace zel
