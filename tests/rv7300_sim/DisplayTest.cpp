// The display model and the printed forms: what an installer sees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rv7300_sim/Display.h"
#include "rv7300_sim/SimOutput.h"
#include "tests/rv7300_sim/TestBytes.h"

namespace zel {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using test::Screen;

struct Case {
    const char* name;
    std::uint8_t type;
    std::vector<std::string> screens;  // shown one after the other
    Lines expected;
};

TEST(DisplayTest, ShowsScreensAsTheTerminalWould) {
    const std::string k30 = "123456789012345678901234567890";
    // clang-format off
    const Case cases[] = {
        {"not-found screen", 1, {"#|ARTICULO NO ENCONTRADO|"}, {"", "ARTICULO NO ENCONTRADO"}},
        {"type 0 short idle lines run together", 0, {"#ABCDEFG"}, {"ABCDEFG"}},
        {"type 1 idle lines end in CR", 1, {"#A|B|C|D|E|F|G|"},
         {"A", "B", "C", "D", "E", "F", "G"}},
        {"type 0 seven full lines, no blank rows", 0,
         {"#" + k30 + k30 + k30 + k30 + k30 + k30 + k30},
         Lines(7, k30)},
        {"type 1 seven empty lines", 1, {"#|||||||"}, Lines(7, "")},
        {"type 0 empty idle", 0, {"#"}, {}},
        {"type 0 31st column wraps", 0, {"#" + k30 + "X"}, {k30, "X"}},
        {"type 0 full row then CR", 0, {"#" + k30 + "|X"}, {k30, "X"}},
        {"type 0 long description on two rows", 0,
         {"#|" + k30 + "        ABCDEFGHIJKLMNO|||      $12.50"},
         {"", k30, "        ABCDEFGHIJKLMNO", "", "", "      $12.50"}},
        {"type 1 does not wrap", 1, {"#|" + k30 + k30 + "ABC"}, {"", k30 + k30 + "ABC"}},
        {"0x0B inside a screen clears", 0, {"#OLD|ROW#NEW"}, {"NEW"}},
        {"next screen replaces the last", 1, {"#A|B|", "#C|"}, {"C"}},
        {"screen without 0x0B writes on", 0, {"#AB", "C|D"}, {"ABC", "D"}},
        {"other control bytes take a column", 0, {"#" + std::string(29, '-') + "\x01\x02"},
         {std::string(29, '-') + "\x01", "\x02"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Display display(c.type);
        for (const auto& screen : c.screens) {
            display.Show(Screen(screen));
        }
        EXPECT_EQ(display.Lines(), c.expected);
    }
}

TEST(SimOutputTest, FormatsHex) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"\x02\x0B\x0D\x03\x04", "02 0B 0D 03 04"},
        {"\x00\xFF\x7F"s, "00 FF 7F"},
    };
    for (const auto& [bytes, hex] : cases) {
        EXPECT_EQ(FormatHex(bytes), hex);
    }
}

TEST(SimOutputTest, DrawsTheDisplayInABox) {
    const std::string edge30 = "+" + std::string(30, '-') + "+";
    EXPECT_EQ(FormatScreenBox({}), Lines({edge30, edge30}));
    EXPECT_EQ(FormatScreenBox({"", "ARTICULO NO ENCONTRADO"}),
              Lines({edge30, "|" + std::string(30, ' ') + "|", "|ARTICULO NO ENCONTRADO        |",
                     edge30}));
    // A row wider than the terminal widens the box; control bytes show as '.'.
    const std::string wide(33, 'W');
    const std::string edge33 = "+" + std::string(33, '-') + "+";
    EXPECT_EQ(FormatScreenBox({wide,
                               "A\x01\x7F"
                               "\xE9"}),
              Lines({edge33, "|" + wide + "|", "|A..\xE9" + std::string(29, ' ') + "|", edge33}));
}

}  // namespace
}  // namespace zel
