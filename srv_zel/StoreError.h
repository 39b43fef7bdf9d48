// StoreError: a failure of the database itself (SQLite or PostgreSQL), as
// opposed to a wrong request; the server answers it with 500 and counts it.
#pragma once

#include <stdexcept>

namespace zel {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zel
