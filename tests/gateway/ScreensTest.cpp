#include "gateway/Screens.h"

#include <gtest/gtest.h>

#include <string>

#include "money/CodePage.h"

namespace zel {
namespace {

const CodePage& Cp1252() {
    static const CodePage cp("WINDOWS-1252");
    return cp;
}

std::string Letters(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += static_cast<char>('a' + i % 26);
    }
    return s;
}

std::string Bytes(std::string_view s) {
    return Cp1252().FromUtf8(s);
}

// The screen of a description as a found scan lays it out.
std::string ResultScreen(std::string_view description, std::string_view money, std::uint8_t tipo) {
    return BuildResultScreen(Cp1252().ScreenText(description), money, tipo);
}

struct IdleCase {
    const char* name;
    std::array<std::string, 7> lines;
    std::uint8_t tipo;
    std::string expected;
};

TEST(Screens, IdleScreenLayouts) {
    const std::array<std::string, 7> letters{"A", "B", "C", "D", "E", "F", "G"};
    const std::array<std::string, 7> empty{};
    std::array<std::string, 7> full;
    full.fill(std::string(30, '*'));
    const IdleCase cases[] = {
        {"letters type 0", letters, 0,
         "\x0B"
         "ABCDEFG"},
        {"letters type 1", letters, 1,
         "\x0B"
         "A\rB\rC\rD\rE\rF\rG\r"},
        {"letters type 2 acts as 1", letters, 2,
         "\x0B"
         "A\rB\rC\rD\rE\rF\rG\r"},
        {"empty type 0", empty, 0, "\x0B"},
        {"empty type 1", empty, 1, "\x0B\r\r\r\r\r\r\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BuildIdleScreen(c.lines, c.tipo), c.expected) << c.name;
    }
    EXPECT_EQ(BuildIdleScreen(full, 0).size(), 211u);
    EXPECT_EQ(BuildIdleScreen(full, 1).size(), 218u);
}

TEST(Screens, CentringRule) {
    const struct {
        std::size_t length;
        std::size_t spaces;
        std::size_t lineLength;
    } cases[] = {
        {0, 15, 15}, {1, 15, 16}, {6, 12, 18}, {15, 8, 23},
        {29, 1, 30}, {30, 0, 30}, {31, 0, 30}, {45, 0, 30},
    };
    for (const auto& c : cases) {
        const std::string text(c.length, 'x');
        const std::string line = CentreLine(text);
        EXPECT_EQ(line.size(), c.lineLength) << c.length;
        EXPECT_EQ(line.find_first_not_of(' '), c.length == 0 ? std::string::npos : c.spaces)
            << c.length;
    }
}

struct ResultCase {
    const char* name;
    std::size_t descriptionLength;
    std::uint8_t tipo;
    std::string line1;  // type 0: line 1 and line 2 together; type 1: the description
};

TEST(Screens, ResultScreenLayouts) {
    const std::string money = "$11.60";  // 6 characters: 12 spaces before it on type 0
    const std::string centredMoney = std::string(12, ' ') + money;
    const std::string d15 = Letters(15), d30 = Letters(30), d31 = Letters(31), d45 = Letters(45),
                      d75 = Letters(75);
    const struct {
        const char* name;
        std::string description;
        std::uint8_t tipo;
        std::string lines;
        std::string price;
    } cases[] = {
        {"15 chars centred", d15, 0, std::string(8, ' ') + Bytes(d15), centredMoney},
        {"30 chars fill line 1", d30, 0, Bytes(d30), centredMoney},
        {"31 chars: line 2 centred", d31, 0,
         Bytes(d31.substr(0, 30)) + std::string(15, ' ') + Bytes(d31.substr(30)), centredMoney},
        {"45 chars", d45, 0, Bytes(d45.substr(0, 30)) + std::string(8, ' ') + Bytes(d45.substr(30)),
         centredMoney},
        {"75 chars cut at 60", d75, 0, Bytes(d75.substr(0, 60)), centredMoney},
        {"empty description", "", 0, std::string(15, ' '), centredMoney},
        {"type 1 whole description", d75, 1, Bytes(d75), money},
        {"type 2 acts as 1", d15, 2, Bytes(d15), money},
        // One byte per character whatever the text: composed first, "?"
        // where the closest equivalent is several bytes or none.
        {"ligature fi is one character", "\uFB01" + d30, 0,
         "?" + Bytes(d30.substr(0, 29)) + std::string(15, ' ') + Bytes(d30.substr(29)),
         centredMoney},
        {"emoji is one character", "\U0001F600" + d30, 0,
         "?" + Bytes(d30.substr(0, 29)) + std::string(15, ' ') + Bytes(d30.substr(29)),
         centredMoney},
        {"decomposed n-tilde composes", "n\u0303" + d30, 0,
         "\xF1" + Bytes(d30.substr(0, 29)) + std::string(15, ' ') + Bytes(d30.substr(29)),
         centredMoney},
        {"type 1 same bytes", "\uFB01n\u0303", 1, "?\xF1", money},
    };
    for (const auto& c : cases) {
        const std::string expected = "\x0B\r" + c.lines + "\r\r\r" + c.price;
        EXPECT_EQ(ResultScreen(c.description, money, c.tipo), expected) << c.name;
    }
}

TEST(Screens, ResultScreenConvertsAndCutsMoney) {
    // Accents become single windows-1252 bytes and count as one character each.
    const std::string description = "Café molido señorial";  // 20 characters
    const std::string screen = ResultScreen(description, "$1.00", 0);
    EXPECT_EQ(screen.substr(2, 25), std::string(5, ' ') + "Caf\xE9 molido se\xF1orial");
    // Type 1 cuts the money text to 30 bytes and does not centre it.
    const std::string longMoney(40, '9');
    EXPECT_EQ(ResultScreen("x", longMoney, 1), "\x0B\rx\r\r\r" + longMoney.substr(0, 30));
    // Control characters in a description reach the screen unchanged.
    EXPECT_EQ(ResultScreen("a\rb", "", 1), std::string("\x0B\ra\rb\r\r\r"));
}

TEST(Screens, NotFoundScreenIs25Bytes) {
    EXPECT_EQ(NotFoundScreen(), std::string("\x0B\rARTICULO NO ENCONTRADO\r"));
    EXPECT_EQ(NotFoundScreen().size(), 25u);
}

}  // namespace
}  // namespace zel
