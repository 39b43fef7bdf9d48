// ServerError: a call on the application server that failed, with the kind
// of the failure and a message that says what failed and where (address,
// operation, HTTP status or socket error).
#pragma once

#include <stdexcept>
#include <string>

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

}  // namespace zel
