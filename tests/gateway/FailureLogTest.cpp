// Failures reach the journal at once, then as one summary a minute.
#include <gtest/gtest.h>

#include "gateway/FailureLog.h"

namespace zel {
namespace {

TEST(FailureLogTest, TheFirstAtOnceThenOneSummaryAMinute) {
    using namespace std::chrono_literals;
    const FailureLog::Clock::time_point t0{};
    FailureLog log;
    const struct {
        std::chrono::seconds at;
        const char* line;  // nullptr: a Flush
        std::optional<std::string> written;
    } steps[] = {
        {0s, "a", "a"},
        {10s, "b", std::nullopt},
        {20s, "c", std::nullopt},
        {59s, nullptr, std::nullopt},
        {60s, nullptr, "2 more failures in the last minute; the last: c"},
        {90s, "d", std::nullopt},
        {120s, nullptr, "1 more failure in the last minute; the last: d"},
        {180s, nullptr, std::nullopt},  // a quiet minute ends the holding back
        {200s, "e", "e"},
        {300s, "f", "f"},  // Add flushes a quiet minute itself
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at.count());
        const auto got = step.line ? log.Add(step.line, t0 + step.at) : log.Flush(t0 + step.at);
        EXPECT_EQ(got, step.written);
    }
}

}  // namespace
}  // namespace zel
