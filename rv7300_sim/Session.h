// One run of the simulator on an open connection.
//
// Waits for the greeting (the idle screen), then sends each code and prints
// every screen that comes back until the idle screen returns or the gateway
// stays quiet for the wait time. Codes come from the options or, when there
// are none, from lines of the input descriptor, read while screens are shown.
#pragma once

#include <iosfwd>

#include "rv7300_sim/SimOptions.h"
#include "rv7300_sim/TcpClient.h"

namespace zel {

// Exit statuses of the simulator.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_CONNECTION = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_BAD_FRAME = 3;
inline constexpr int EXIT_NO_IDLE = 4;

// Returns the exit status. Screens and events go to out, warnings to err.
int RunSession(const SimOptions& options, TcpClient& connection, int inputFd, std::ostream& out,
               std::ostream& err);

}  // namespace zel
