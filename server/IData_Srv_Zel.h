// IData_Srv_Zel: what the gateway asks of the application server.
//
// Every call either returns or throws ServerError with a message that says
// what failed and where (address, operation, HTTP status or socket error),
// and the kind of the failure.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zel {

// Why a call on the application server failed.
enum class ServerFailure { Refused, TimeLimit, HttpStatus, BadAnswer, Other };

class ServerError : public std::runtime_error {
public:
    explicit ServerError(const std::string& what, ServerFailure kind = ServerFailure::Other)
        : std::runtime_error(what), kind_(kind) {}
    ServerFailure Kind() const { return kind_; }

private:
    ServerFailure kind_;
};

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

class IData_Srv_Zel {
public:
    virtual ~IData_Srv_Zel() = default;

    // All rows of commandText run by the named provider, in one request.
    virtual RowSet AS_GetRecords(const std::string& providerName,
                                 const std::string& commandText) = 0;

    // Looks an article up. Returns 1 when found; any other value is "not found".
    virtual std::int8_t BuscaPrecio(double& Codigo, std::int8_t No_Precio, double& Precio,
                                    std::u16string& Descrip, std::int8_t& Ban_Imps,
                                    std::int8_t& Tiene_Ofer, double& Fec_ini_ofer,
                                    double& Fec_fin_ofer, double& Pct_ofer, std::int16_t& Imps_Act,
                                    double& Mult, std::int32_t& Bans_Art, double& Precio_Sug) = 0;

    // Drops the object's connection to the server; the next call opens a new
    // one.
    virtual void Hangup() {}
};

}  // namespace zel
