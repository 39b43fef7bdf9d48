// The terminals that left: by address, when and how, for a day, and at most
// so many remembered.
#include <gtest/gtest.h>

#include "gateway/TerminalRoster.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

const WallClock::time_point t0{std::chrono::seconds(1'800'000'000)};

std::vector<std::string> AddressesOf(const std::vector<RosterEntry>& entries) {
    std::vector<std::string> addresses;
    for (const RosterEntry& e : entries) {
        addresses.push_back(e.Address);
    }
    return addresses;
}

TEST(TerminalRoster, GoneTerminalsByAddressForADayAndBounded) {
    TerminalRoster roster(3);
    std::vector<std::string> forgotten;
    ASSERT_TRUE(roster.Connected("10.0.0.1", t0, forgotten));
    ASSERT_TRUE(roster.Connected("10.0.0.2", t0, forgotten));
    ASSERT_TRUE(roster.Connected("10.0.0.1", t0 + 1s, forgotten));  // a second connection
    roster.Seen("10.0.0.2", t0 + 2min);
    roster.Left("10.0.0.1", Departure::Closed, t0 + 3min);
    EXPECT_TRUE(roster.Departed(t0 + 3min).empty()) << "one connection of 10.0.0.1 stays";
    roster.Left("10.0.0.1", Departure::Reset, t0 + 4min);
    roster.Left("10.0.0.2", Departure::Error, t0 + 5min);
    auto gone = roster.Departed(t0 + 5min);
    ASSERT_EQ(AddressesOf(gone), (std::vector<std::string>{"10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(gone[1].How, Departure::Reset);
    EXPECT_EQ(gone[1].LeftAt, t0 + 4min);
    EXPECT_EQ(gone[0].How, Departure::Error);

    // Back from the same address: the same one entry, connected again.
    ASSERT_TRUE(roster.Connected("10.0.0.1", t0 + 6min, forgotten));
    EXPECT_EQ(AddressesOf(roster.Departed(t0 + 6min)), std::vector<std::string>{"10.0.0.2"});
    EXPECT_EQ(roster.Size(), 2u);

    // Full: a new address makes the one that left the longest ago forgotten.
    ASSERT_TRUE(roster.Connected("10.0.0.3", t0 + 7min, forgotten));
    roster.Left("10.0.0.3", Departure::Closed, t0 + 8min);
    ASSERT_TRUE(roster.Connected("10.0.0.4", t0 + 9min, forgotten));
    EXPECT_EQ(forgotten, std::vector<std::string>{"10.0.0.2"});
    // Full of connected terminals: a new one is not remembered, nor its leaving.
    ASSERT_TRUE(roster.Connected("10.0.0.3", t0 + 10min, forgotten));
    EXPECT_FALSE(roster.Connected("10.0.0.5", t0 + 11min, forgotten));
    roster.Left("10.0.0.5", Departure::Closed, t0 + 12min);
    EXPECT_EQ(roster.Find("10.0.0.5"), nullptr);
    EXPECT_EQ(roster.Size(), 3u);

    // A day later the terminal that left is forgotten.
    roster.Left("10.0.0.4", Departure::Closed, t0 + 13min);
    EXPECT_EQ(AddressesOf(roster.Departed(t0 + 13min + 24h)), std::vector<std::string>{"10.0.0.4"});
    EXPECT_TRUE(roster.Departed(t0 + 13min + 24h + 1s).empty());
    EXPECT_EQ(roster.Expire(t0 + 13min + 24h + 1s), std::vector<std::string>{"10.0.0.4"});
    EXPECT_EQ(roster.Size(), 2u);

    // A port check is no terminal; one that sent is, however short.
    TerminalRoster checked;
    ASSERT_TRUE(checked.Connected("10.0.0.9", t0, forgotten));
    EXPECT_TRUE(checked.Left("10.0.0.9", Departure::Closed, t0 + 1s));
    EXPECT_EQ(checked.Size(), 0u);
    ASSERT_TRUE(checked.Connected("10.0.0.9", t0 + 2s, forgotten));
    checked.Seen("10.0.0.9", t0 + 2s);
    EXPECT_FALSE(checked.Left("10.0.0.9", Departure::Closed, t0 + 3s));
    EXPECT_EQ(checked.Departed(t0 + 3s).size(), 1u);
}

}  // namespace
}  // namespace zel
