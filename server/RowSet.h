// RowSet: the rows of a query on the application server, as the tax query
// reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zel {

// One field of a row set: null, an integer, a floating-point number or text (UTF-8).
using FieldValue = std::variant<std::monostate, std::int64_t, double, std::string>;

struct RowSetColumn {
    std::string Name;
    std::string Type;  // as the server declares it ("integer", "float", "text", ...)
};

// The rows of a query, in the order the server returned them.
struct RowSet {
    std::vector<RowSetColumn> Columns;
    std::vector<std::vector<FieldValue>> Rows;

    // Index of the column with that name (case-insensitive), if any.
    std::optional<std::size_t> FindColumn(std::string_view name) const;
};

}  // namespace zel
