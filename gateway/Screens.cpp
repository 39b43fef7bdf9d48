#include "gateway/Screens.h"

#include "gateway/Constants.h"

namespace zel {
namespace {

std::string Centre(std::string_view text) {
    // Signed arithmetic: a long text gives a negative count and no spaces.
    const long long m = static_cast<long long>(text.size());
    const long long p = SCREEN_COLUMNS / 2 - m / 2;
    std::string line;
    if (p > 0) {
        line.assign(static_cast<std::size_t>(p), ' ');
    }
    line.append(text);
    if (line.size() > static_cast<std::size_t>(SCREEN_COLUMNS)) {
        line.resize(SCREEN_COLUMNS);
    }
    return line;
}

}  // namespace

std::string CentreLine(std::string_view text) {
    return Centre(text);
}

std::string BuildIdleScreen(const std::array<std::string, 7>& idleLines, std::uint8_t tipo) {
    std::string screen(1, SCREEN_OPEN);
    for (const std::string& line : idleLines) {
        screen += line;
        if (tipo != 0) {
            screen += LINE_BREAK;
        }
    }
    return screen;
}

std::string BuildResultScreen(std::string_view text, std::string_view moneyText,
                              std::uint8_t tipo) {
    std::string screen{SCREEN_OPEN, LINE_BREAK};
    if (tipo == 0) {
        const std::size_t columns = SCREEN_COLUMNS;
        if (text.size() <= columns) {
            screen += CentreLine(text);
        } else {
            screen += text.substr(0, columns);
            screen += CentreLine(text.substr(columns));
        }
        screen.append(3, LINE_BREAK);
        screen += CentreLine(moneyText);
    } else {
        screen += text;
        screen.append(3, LINE_BREAK);
        screen += moneyText.substr(0, SCREEN_COLUMNS);
    }
    return screen;
}

std::string MessageScreen(std::string_view text) {
    std::string screen{SCREEN_OPEN, LINE_BREAK};
    screen += text;
    screen += LINE_BREAK;
    return screen;
}

std::string NotFoundScreen() {
    return MessageScreen(NOT_FOUND_MESSAGE);
}

}  // namespace zel
