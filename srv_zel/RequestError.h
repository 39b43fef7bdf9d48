// RequestError: a request that the server will not answer because the
// request itself is wrong (HTTP 400); any other failure is the server's (500).
#pragma once

#include <stdexcept>

namespace zel {

class RequestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zel
