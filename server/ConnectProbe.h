// ConnectProbe: why a TCP connection to an address cannot be made, in words
// ("connection refused", "host 'x' not found: ..."), for error messages.
//
// The HTTP library reports only that connecting failed; this asks the system
// once more, on the failure path only.
#pragma once

#include <chrono>
#include <string>

#include "server/ServerAddress.h"

namespace zel {

// Tries one connection to address within timeout and describes the outcome:
// the system's reason in lower case, "no connection within N ms", or
// "connects now" when the retry happens to succeed.
std::string ProbeConnect(const ServerAddress& address, std::chrono::milliseconds timeout);

}  // namespace zel
