#include "server/RowSet.h"
#include "common/Text.h"

namespace zel {

std::optional<std::size_t> RowSet::FindColumn(std::string_view name) const {
    for (std::size_t i = 0; i < Columns.size(); ++i) {
        if (EqualsIgnoringCase(Columns[i].Name, name)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace zel
