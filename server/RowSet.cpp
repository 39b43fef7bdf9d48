#include <algorithm>

#include "server/IData_Srv_Zel.h"

namespace zel {

namespace {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

}  // namespace

std::optional<std::size_t> RowSet::FindColumn(std::string_view name) const {
    for (std::size_t i = 0; i < Columns.size(); ++i) {
        if (SameNameIgnoringCase(Columns[i].Name, name)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace zel
