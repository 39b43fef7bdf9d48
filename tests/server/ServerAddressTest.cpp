#include <gtest/gtest.h>

#include "common/ServerNames.h"
#include "server/RowSet.h"
#include "server/ServerAddress.h"
#include "server/ServerError.h"
#include "server/ServerList.h"

namespace zel {
namespace {

TEST(ServerAddress, ReadsEveryWrittenForm) {
    struct Case {
        const char* text;
        const char* host;
        std::uint16_t port;
        const char* shown;
    };
    const Case cases[] = {
        {"", "127.0.0.1", 6100, "127.0.0.1:6100"},
        {"   ", "127.0.0.1", 6100, "127.0.0.1:6100"},
        {"tienda-srv", "tienda-srv", 6100, "tienda-srv:6100"},
        {"tienda-srv:7000", "tienda-srv", 7000, "tienda-srv:7000"},
        {"192.168.1.20", "192.168.1.20", 6100, "192.168.1.20:6100"},
        {" 192.168.1.20:1 ", "192.168.1.20", 1, "192.168.1.20:1"},
        {"10.0.0.1:65535", "10.0.0.1", 65535, "10.0.0.1:65535"},
        {"[::1]", "::1", 6100, "[::1]:6100"},
        {"[2001:db8::5]:7000", "2001:db8::5", 7000, "[2001:db8::5]:7000"},
        {"::1", "::1", 6100, "[::1]:6100"},
        {"fe80::1:2", "fe80::1:2", 6100, "[fe80::1:2]:6100"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const ServerAddress a = ParseServerAddress(c.text, DEFAULT_SERVER_PORT);
        EXPECT_EQ(a.Host, c.host);
        EXPECT_EQ(a.Port, c.port);
        EXPECT_EQ(a.ToString(), c.shown);
    }
}

TEST(ServerAddress, RefusesBadTextNamingIt) {
    struct Case {
        std::string_view text;
        const char* reason;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"host:", "missing"},
        {"host:abc", "not a number"},
        {"host:-1", "not a number"},
        {"host:0", "outside 1 to 65535"},
        {"host:65536", "outside 1 to 65535"},
        {"host:99999999999999999999", "outside"},
        {"[::1", "without ']'"},
        {"::1]", "unbalanced"},
        {"[::1]x", "after ']'"},
        {"[::1]:", "missing"},
        {"[]:80", "nothing between"},
        {":80", "host is missing"},
        {"ho st", "character a blank"},
        {"[a b]:5", "character a blank"},
        {"[::1\x01]:5"sv, "character \\x01"},
        {"[::1\0]:5"sv, "character \\x00"},
        {"tienda/srv:80", "character '/'"},
        {"user@tienda", "character '@'"},
        {"caf\xC3\xA9", "character \\xC3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseServerAddress(c.text, DEFAULT_SERVER_PORT);
            ADD_FAILURE() << "accepted";
        } catch (const ServerError& e) {
            if (c.text.find_first_of("\x01\0\xC3"sv) == std::string_view::npos) {
                EXPECT_NE(std::string(e.what()).find("\"" + std::string(c.text) + "\""),
                          std::string::npos)
                    << e.what();
            }
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}

TEST(ServerAddress, PortZeroOnlyForAListener) {
    EXPECT_THROW(ParseServerAddress("127.0.0.1:0", DEFAULT_SERVER_PORT), ServerError);
    EXPECT_EQ(ParseServerAddress("127.0.0.1:0", DEFAULT_SERVER_PORT, true).Port, 0);
}

TEST(ServerList, ReadsOneOrSeveralAddresses) {
    struct Case {
        const char* text;
        const char* shown;  // the locations, comma-separated
    };
    const Case cases[] = {
        {"", "127.0.0.1:6100"},
        {"tienda-srv:7000", "tienda-srv:7000"},
        {"https://srv-a.cadena", "https://srv-a.cadena:6100"},
        {"HTTPS://[::1]:443", "https://[::1]:443"},
        {"https://srv-a:6100, srv-b ,https://10.0.0.2:7000",
         "https://srv-a:6100,srv-b:6100,https://10.0.0.2:7000"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& l : ParseServerList(c.text, DEFAULT_SERVER_PORT)) {
            shown += (shown.empty() ? "" : ",") + l.ToString();
        }
        EXPECT_EQ(shown, c.shown) << c.text;
    }
    for (const char* bad : {"a,,b", "a,", "http://tienda", "ftp://x", "https://", "a, b c"}) {
        EXPECT_THROW(ParseServerList(bad, DEFAULT_SERVER_PORT), ServerError) << bad;
    }
}

TEST(RowSet, FindsColumnsWithoutRegardToCase) {
    const RowSet rows{{{"PCT", "float"}, {"Nombre", "text"}}, {}};
    struct Case {
        const char* name;
        std::optional<std::size_t> index;
    };
    const Case cases[] = {{"PCT", 0},        {"pct", 0},           {"Pct", 0},
                          {"NOMBRE", 1},     {"PC", std::nullopt}, {"PCTX", std::nullopt},
                          {"", std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(rows.FindColumn(c.name), c.index) << c.name;
    }
    EXPECT_EQ(RowSet{}.FindColumn("PCT"), std::nullopt);
}

}  // namespace
}  // namespace zel
