// The simulator's command line: accepted forms and refused ones, named in the message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rv7300_sim/SimOptions.h"

namespace zel {
namespace {

using Args = std::vector<std::string>;

std::string UsageMessage(const Args& args) {
    try {
        ParseSimOptions(args);
    } catch (const UsageError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(SimOptionsTest, ReadsEndpoints) {
    const struct {
        const char* text;
        const char* host;
        std::uint16_t port;
        const char* shown;
    } cases[] = {
        {"localhost:6000", "localhost", 6000, "localhost:6000"},
        {"127.0.0.1:1", "127.0.0.1", 1, "127.0.0.1:1"},
        {"[::1]:65535", "::1", 65535, "[::1]:65535"},
        {"[fe80::1%eth0]:6000", "fe80::1%eth0", 6000, "[fe80::1%eth0]:6000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const ServerAddress e = ParseEndpoint(c.text);
        EXPECT_EQ(e.Host, c.host);
        EXPECT_EQ(e.Port, c.port);
        EXPECT_EQ(e.ToString(), c.shown);
    }
}

TEST(SimOptionsTest, RefusesBadEndpoints) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"localhost", "expected HOST:PORT"},
        {":6000", "the host is missing"},
        {"[]:6000", "nothing between '[' and ']'"},
        {"host:", "the port is missing"},
        {"host:0", "port 0 is outside 1 to 65535"},
        {"host:65536", "port 65536 is outside"},
        {"host:6x", "port \"6x\" is not a number"},
        {"host:+1", "port \"+1\" is not a number"},
        {"host:99999999999", "port 99999999999 is outside"},
        {"::1:6000", "in brackets"},
        {"[::1]6000", "unexpected \"6000\" after ']'"},
        {"[::1", "'[' without ']'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string message = UsageMessage({c.text});
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        EXPECT_NE(message.find(std::string("\"") + c.text + "\""), std::string::npos) << message;
    }
}

TEST(SimOptionsTest, ReadsOptions) {
    const SimOptions plain = ParseSimOptions({"gw:6000"});
    EXPECT_EQ(plain.type, 0);
    EXPECT_TRUE(plain.scans.empty());
    EXPECT_FALSE(plain.raw);
    EXPECT_EQ(plain.waitMs, DEFAULT_WAIT_MS);

    const SimOptions full = ParseSimOptions(
        {"--type", "1", "--scan", "7501", "gw:6000", "--scan=0042", "--raw", "--wait=250"});
    EXPECT_EQ(full.endpoint.Host, "gw");
    EXPECT_EQ(full.type, 1);
    EXPECT_EQ(full.scans, (std::vector<std::string>{"7501", "0042"}));
    EXPECT_TRUE(full.raw);
    EXPECT_EQ(full.waitMs, 250);

    // --help wins over everything, even arguments that are wrong.
    EXPECT_TRUE(ParseSimOptions({"--scan", "x", "--help"}).help);
    EXPECT_TRUE(ParseSimOptions({"--help", "--scan", "x"}).help);
    EXPECT_TRUE(ParseSimOptions({"--scan", "x", "--version"}).version);
    EXPECT_FALSE(SimUsage().empty());
}

TEST(SimOptionsTest, RefusesBadOptions) {
    const struct {
        Args args;
        const char* reason;
    } cases[] = {
        {{}, "missing HOST:PORT"},
        {{"--raw"}, "missing HOST:PORT"},
        {{"gw:1", "gw:2"}, "unexpected argument \"gw:2\""},
        {{"gw:1", "--type", "2"}, "bad terminal type \"2\""},
        {{"gw:1", "--type=-1"}, "bad terminal type \"-1\""},
        {{"gw:1", "--type"}, "option --type needs a value"},
        {{"gw:1", "--scan", "12a"}, "bad code \"12a\": digits only"},
        {{"gw:1", "--scan="}, "bad code \"\""},
        {{"gw:1", "--wait", "0"}, "bad wait \"0\""},
        {{"gw:1", "--wait", "5s"}, "bad wait \"5s\""},
        {{"gw:1", "--wait", "99999999999"}, "bad wait \"99999999999\""},
        {{"gw:1", "--verbose"}, "unknown option \"--verbose\""},
        {{"gw:1", "--raw=1"}, "unknown option \"--raw=1\""},
    };
    for (const auto& c : cases) {
        const std::string message = UsageMessage(c.args);
        SCOPED_TRACE(message);
        EXPECT_NE(message.find(c.reason), std::string::npos);
    }
}

}  // namespace
}  // namespace zel
