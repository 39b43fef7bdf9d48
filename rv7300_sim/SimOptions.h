// Command line of the terminal simulator: where to connect, how to behave.
//
// ParseSimOptions turns the arguments (without the program name) into
// SimOptions or throws UsageError with a message that names the bad value.
// ParseEndpoint reads "host:port", "ipv4:port" and "[ipv6]:port".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerAddress.h"

namespace zel {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int DEFAULT_WAIT_MS = 5000;

struct SimOptions {
    ServerAddress endpoint;
    std::uint8_t type = 0;           // terminal type: 0 or 1
    std::vector<std::string> scans;  // codes to send; empty: read them from stdin
    bool raw = false;                // also print every frame in hex
    int waitMs = DEFAULT_WAIT_MS;    // quiet time that ends a wait
    bool help = false;               // --help given: nothing else was checked
    bool version = false;            // --version given (and no --help): nothing else was checked
};

ServerAddress ParseEndpoint(std::string_view text);
SimOptions ParseSimOptions(const std::vector<std::string>& args);

// The text --help prints.
std::string SimUsage();

}  // namespace zel
