// The terminal display model.
#include "rv7300_sim/Display.h"

#include "gateway/Constants.h"

namespace zel {

void Display::Show(std::string_view screen) {
    for (char c : screen) {
        if (c == SCREEN_OPEN) {
            rows_.assign(1, std::string());
        } else if (c == LINE_BREAK) {
            rows_.emplace_back();
        } else {
            if (type_ == 0 && rows_.back().size() >= static_cast<std::size_t>(SCREEN_COLUMNS)) {
                rows_.emplace_back();
            }
            rows_.back().push_back(c);
        }
    }
}

std::vector<std::string> Display::Lines() const {
    std::vector<std::string> lines = rows_;
    if (lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

}  // namespace zel
